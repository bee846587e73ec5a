#pragma once
// The receiving side of permessage-deflate: one raw-inflate stream per
// connection whose window carries over from message to message (context
// takeover), as the handshake reply lets the client expect.

#include <zlib.h>

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vexa {

// A frame, message or inflated message larger than the engine accepts; it
// ends the connection.
class EWsTooLarge : public std::length_error {
 public:
  using std::length_error::length_error;
};

class TWsInflater {
 public:
  // The output's first allocation; each later one doubles it (up to one byte
  // past the limit). Memory is touched only as inflating reaches it.
  static constexpr size_t OutputStep = 64 * 1024;

  TWsInflater() = default;
  ~TWsInflater();
  TWsInflater(const TWsInflater&) = delete;
  TWsInflater& operator=(const TWsInflater&) = delete;

  bool Ready() const { return ready_; }

  // Sets the stream up for raw inflating (window bits -15). Raises
  // std::runtime_error("Failed to initialize zlib decompression").
  void Init();

  // Inflates one message whose payload already carries the 00 00 FF FF tail
  // and returns exactly the bytes this message produced. Sets the stream up
  // on first use. Raises std::runtime_error("Decompression error") when zlib
  // reports an error (the stream then stays broken, as the shared window is
  // lost), and EWsTooLarge when the output would pass max_output bytes.
  // `allocate`, when set, is told each size the output is about to be
  // allocated at, and may raise to refuse it.
  std::string Inflate(std::string_view data, size_t max_output,
                      const std::function<void(size_t)>& allocate = {});

 private:
  z_stream stream_{};
  bool ready_ = false;
  bool ended_ = false;  // the peer closed its deflate stream with a final block
};

}  // namespace vexa
