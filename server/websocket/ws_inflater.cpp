#include "server/websocket/ws_inflater.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace vexa {

namespace {
// How far ahead of the inflated bytes the output is made writable.
constexpr size_t kSlice = 64 * 1024;
}  // namespace

TWsInflater::~TWsInflater() {
  if (ready_) inflateEnd(&stream_);
}

void TWsInflater::Init() {
  std::memset(&stream_, 0, sizeof stream_);
  if (inflateInit2(&stream_, -15) != Z_OK)
    throw std::runtime_error("Failed to initialize zlib decompression");
  ready_ = true;
  ended_ = false;
}

std::string TWsInflater::Inflate(std::string_view data, size_t max_output,
                                const std::function<void(size_t)>& allocate) {
  if (!ready_) Init();
  // A peer that ended its deflate stream with a final block starts a new one
  // for its next message; without a reset every later message would be lost.
  // The window is carried into the new stream, as the peer may still refer
  // back into it.
  if (ended_) {
    std::string window(32768, '\0');
    uInt windowLen = static_cast<uInt>(window.size());
    if (inflateGetDictionary(&stream_, reinterpret_cast<Bytef*>(window.data()), &windowLen) != Z_OK)
      windowLen = 0;
    inflateReset(&stream_);
    if (windowLen > 0)
      inflateSetDictionary(&stream_, reinterpret_cast<const Bytef*>(window.data()), windowLen);
    ended_ = false;
  }
  std::string out;
  size_t produced = 0;
  stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream_.avail_in = static_cast<uInt>(data.size());
  for (;;) {
    if (out.size() == produced) {
      // One byte past the limit is room enough to learn that there is more.
      if (produced > max_output)
        throw EWsTooLarge("Inflated WebSocket message exceeds " + std::to_string(max_output) +
                          " bytes");
      if (out.size() == out.capacity() || out.empty()) {
        const size_t grown = std::min(std::max(2 * out.capacity(), OutputStep), max_output + 1);
        if (allocate) allocate(grown);
        out.reserve(grown);
      }
      out.resize(std::min({produced + kSlice, out.capacity(), max_output + 1}));
    }
    stream_.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    stream_.avail_out = static_cast<uInt>(out.size() - produced);
    const int ret = inflate(&stream_, Z_SYNC_FLUSH);
    produced = out.size() - stream_.avail_out;
    if (ret == Z_STREAM_END) {
      ended_ = true;
      break;
    }
    // No progress possible with all input consumed and room left: done.
    if (ret == Z_BUF_ERROR && stream_.avail_in == 0) break;
    if (ret != Z_OK) throw std::runtime_error("Decompression error");
    // Stop once every input byte is consumed and zlib had room to spare, so
    // that nothing is left pending inside the stream.
    if (stream_.avail_in == 0 && stream_.avail_out > 0) break;
  }
  stream_.next_in = nullptr;
  stream_.next_out = nullptr;
  if (produced > max_output)
    throw EWsTooLarge("Inflated WebSocket message exceeds " +
                            std::to_string(max_output) + " bytes");
  out.resize(produced);
  return out;
}

}  // namespace vexa
