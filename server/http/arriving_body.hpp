#pragma once
// TArrivingBody: a request body held as a std::string that grows with the
// bytes that arrive. Beast's string_body reserves a body's announced length
// as soon as the header is read, so a client that announces 64 MiB and
// sends one byte would make the server allocate 64 MiB; this body reserves
// nothing ahead. It grows geometrically (few copies for a large body), never
// past the announced length.

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/core/buffer_traits.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>

#include <algorithm>
#include <cstdint>
#include <string>

namespace vexa {

struct TArrivingBody {
  using value_type = std::string;

  static std::uint64_t size(const value_type& body) { return body.size(); }

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(boost::beast::http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, boost::beast::error_code& ec) {
      if (length && *length > body_.max_size()) {
        ec = boost::beast::http::error::buffer_overflow;
        return;
      }
      most_ = length ? static_cast<size_t>(*length) : body_.max_size();
      ec = {};
    }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::beast::error_code& ec) {
      const size_t extra = boost::beast::buffer_bytes(buffers);
      const size_t size = body_.size();
      if (extra > body_.max_size() - size) {
        ec = boost::beast::http::error::buffer_overflow;
        return 0;
      }
      if (size + extra > body_.capacity()) {
        const size_t doubled = body_.capacity() > most_ / 2 ? most_ : body_.capacity() * 2;
        body_.reserve(std::max(size + extra, std::min(doubled, most_)));
      }
      for (auto b : boost::beast::buffers_range_ref(buffers)) body_.append(static_cast<const char*>(b.data()), b.size());
      ec = {};
      return extra;
    }

    void finish(boost::beast::error_code& ec) { ec = {}; }

   private:
    value_type& body_;
    size_t most_ = 0;  // the announced length, or no bound of its own
  };
};

}  // namespace vexa
