#pragma once
// Turns fuzz bytes into a request the way the listener does: Beast's parser
// over the raw bytes, with the header limit the server uses. Bytes that do not
// make a request give none.
#include <optional>
#include <string_view>

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace vexa::fuzz {

using Request = boost::beast::http::request<boost::beast::http::string_body>;

inline std::optional<Request> ParseRequestBytes(std::string_view raw) {
  boost::beast::http::request_parser<boost::beast::http::string_body> parser;
  parser.eager(true);
  parser.header_limit(64 * 1024);
  parser.body_limit(1024 * 1024);
  boost::beast::error_code ec;
  parser.put(boost::asio::buffer(raw.data(), raw.size()), ec);
  if (ec && ec != boost::beast::http::error::need_more) return std::nullopt;
  if (!parser.is_header_done()) return std::nullopt;
  if (!parser.is_done()) {
    parser.put_eof(ec);
    if (!parser.is_done()) return std::nullopt;
  }
  return parser.release();
}

}  // namespace vexa::fuzz
