#pragma once
// The WebSocket frame engine of one upgraded connection.
//
// After the 101 handshake the connection's own thread runs HandleWebSocket:
// it creates a TWebSocketHandler, fires OnWsConnect, starts the handler's
// reader thread and waits for it. The reader thread reads frames, joins
// fragments, answers pings, inflates permessage-deflate messages and hands
// every complete text or binary message to OnWsMessage as UTF-8 text; when
// reading ends, for whatever reason, it fires OnWsDisconnect once, as the
// last thing it does. Any thread may send meanwhile with SendMessage.
//
// What the engine sends: one unmasked, unfragmented, uncompressed text frame
// per message; pongs; a close frame echoing the client's status code when the
// client closes (1000 when it gave none); close 1001 when the server
// disconnects the client. At most one close frame per connection, and
// nothing after it.
//
// Protocol errors: a control frame that is fragmented or carries more than
// 125 bytes, or a close frame with one byte or a status code a peer may not
// send, is answered with close 1002 and ends the connection.
//
// Limits: a frame or a message (the sum of its fragments), and the inflated
// size of a compressed message, may hold at most MaxMessageSize bytes
// (32 MiB by default). A peer that announces more gets close 1009 and its
// connection ends with a "WebSocket error: " line before anything is
// allocated for it. What a message in progress holds (its frames, fragments
// and inflated text) is charged to a memory budget shared with other
// connections, as it arrives, until the message has been delivered; a
// message that would pass the budget gets close 1009 the same way. Each read
// while a frame or a fragmented message is unfinished may wait at most the
// frame read limit (30 s by default); past it the connection gets close 1008
// and ends with a "WebSocket error: " line. Between messages a connection may
// stay silent for as long as it likes.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "server/http/http_types.hpp"
#include "server/http/memory_budget.hpp"
#include "server/websocket/websocket_handshake.hpp"
#include "server/websocket/ws_inflater.hpp"

namespace vexa {

class TConnection;
class TWebSocketHandler;

// A frame the protocol forbids; the connection ends with close 1002.
class EWsProtocolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TWorkerThread;

// How much one connection may make the server hold and wait for.
struct TWsLimits {
  size_t maxMessageSize = size_t(32) * 1024 * 1024;
  // Each read while a frame or fragmented message is unfinished; 0: no limit.
  std::chrono::milliseconds frameRead{30000};
  // Shared with other connections; none: no shared bound.
  TMemoryBudget* budget = nullptr;
};

// The three WebSocket events of the listener. All three must be set.
struct TWsEvents {
  // The connection's thread, once, after the handshake and before the reader
  // starts: the place to give the handler its ConId and register it. The
  // request is the handler's own copy, which lives as long as the connection;
  // headers added to it here are seen by the other two events.
  std::function<void(TWebSocketHandler& handler, TConnection& connection, HttpRequest& request,
                     bool secure)>
      OnWsConnect;
  // The reader thread, once per complete data message, in arrival order.
  // The text is the handler's to take (swap it out to free it early).
  std::function<void(TConnection& connection, HttpRequest& request, std::string& text)> OnWsMessage;
  // The reader thread, once, after reading has ended (the connection's
  // thread, when the reader could not be started). Must not throw (an
  // escaping exception is printed and dropped).
  std::function<void(TConnection& connection, HttpRequest& request)> OnWsDisconnect;
};

class TWebSocketHandler {
 public:
  static constexpr size_t DefaultMaxMessageSize = TWsLimits{}.maxMessageSize;

  // Opcodes of RFC 6455.
  static constexpr uint8_t OpContinuation = 0x0;
  static constexpr uint8_t OpText = 0x1;
  static constexpr uint8_t OpBinary = 0x2;
  static constexpr uint8_t OpClose = 0x8;
  static constexpr uint8_t OpPing = 0x9;
  static constexpr uint8_t OpPong = 0xA;

  // Keeps a copy of the upgrade request; the thread is not started yet.
  TWebSocketHandler(TConnection& connection, HttpRequest request, bool useDeflate);
  // Waits for a started reader thread to end.
  ~TWebSocketHandler();
  TWebSocketHandler(const TWebSocketHandler&) = delete;
  TWebSocketHandler& operator=(const TWebSocketHandler&) = delete;

  // The connection id; set by the connect event's handler, not used here.
  std::atomic<int32_t> ConId{0};
  // Fired once when reading has ended; set before Start.
  std::function<void(TConnection&, HttpRequest&)> OnClose;
  // Fired for every complete data message; set before Start.
  // The text is the handler's to take.
  std::function<void(TConnection&, HttpRequest&, std::string&)> OnMessage;

  TConnection& Context() { return connection_; }
  HttpRequest& Request() { return request_; }
  bool UseDeflate() const { return useDeflate_; }

  // Bound on frames, messages and inflated messages; set before Start.
  void SetMaxMessageSize(size_t bytes) { limits_.maxMessageSize = bytes; }
  size_t MaxMessageSize() const { return limits_.maxMessageSize; }
  // All limits at once; set before Start.
  void SetLimits(const TWsLimits& limits) { limits_ = limits; }

  // Starts the reader thread (4 MiB stack). Once only.
  void Start();
  // Blocks until the reader thread has ended (after OnClose has returned).
  void WaitFor();

  // True from creation until reading ends or Disconnect is called.
  bool Connected() const;

  // Sends `text` as one frame with FIN set (text frame, or binary when
  // isText is false). The text is sent as UTF-8, invalid sequences replaced
  // by U+FFFD. `compress` and `fin` exist for the full frame interface; the
  // engine never compresses and every sent frame is final. Does nothing when
  // the connection is no longer connected; a failed write raises. Any thread,
  // from the connect event on; the caller makes sure that no call is still
  // running when OnClose returns, as the handler may go away after that.
  void SendMessage(const std::string& text, bool compress = false, bool isText = true,
                   bool fin = true);

  // Writes one control frame with FIN set; raises when the write fails.
  void SendControl(uint8_t opcode, std::string_view payload);

  // Ends the connection from another thread (server shutdown): sends close
  // 1001 ("going away") when still connected, then shuts the connection so
  // the reader wakes; the reader then fires OnClose as usual. Returns within
  // about two seconds even when the client has stopped reading (the close
  // frame is then skipped). Any thread, more than once.
  void Disconnect();

  // One unmasked frame: header and payload, ready to write.
  static std::string BuildFrame(std::string_view payload, uint8_t opcode, bool fin);
  // Only the header of such a frame (2 to 10 bytes).
  static size_t BuildFrameHeader(unsigned char (&header)[10], size_t payloadSize, uint8_t opcode,
                                 bool fin);

 private:
  void Execute();
  void ReadFrames();
  void ProcessMessage(std::string& payload, bool compressed, TMemoryCharge& charge);
  std::string Decompress(std::string& data, TMemoryCharge& charge);
  // Charges `bytes` for the message in progress; raises EWsTooLarge when the
  // shared budget cannot take it.
  void Charge(TMemoryCharge& charge, size_t bytes);
  // Replaces invalid UTF-8 in `text`, charging the copy that takes.
  void Sanitize(std::string& text, TMemoryCharge& charge);
  void WriteFrame(uint8_t opcode, std::string_view payload);
  // Sends a close frame with `code` unless one went out already; the caller
  // holds sendLock_. Write failures are swallowed.
  void SendCloseLocked(uint16_t code);
  // The same, taking sendLock_.
  void SendClose(uint16_t code);

  // Buffered exact reads on the connection; raise at the end of the stream.
  void ReadExact(void* data, size_t size);
  // Appends a payload of `size` bytes to `into`, charging what it grows by
  // (when a charge is given) as the bytes arrive.
  void ReadPayload(std::string& into, size_t size, bool masked, const unsigned char* key,
                   TMemoryCharge* charge = nullptr);

  TConnection& connection_;
  HttpRequest request_;
  const bool useDeflate_;
  TWsLimits limits_;

  // Reader thread only.
  TWsInflater inflater_;
  std::vector<char> readBuf_;
  size_t readPos_ = 0;
  size_t readLen_ = 0;

  // Held across the connected test and the write of one frame, so frames
  // never interleave and nothing follows the close frame.
  std::mutex sendLock_;
  std::atomic<bool> connected_{true};
  std::atomic<bool> stopRequested_{false};

  std::unique_ptr<TWorkerThread> thread_;
};

// What the listener does with a request whose "Upgrade" header is
// "websocket", on the connection's thread: the handshake, the connect event,
// the reader thread and the wait for its end; finally the connection is shut.
// Returns false when the handshake failed before anything was written (a
// missing key): the caller answers the request. Never raises; failures are
// printed ("WS: Handle Error:- ", "WS: MSG Handle Error:- "). The handler gets
// `limits`.
bool HandleWebSocket(TConnection& connection, const HttpRequest& request, bool secure,
                     const TWsEvents& events, const TWsLimits& limits = {});

}  // namespace vexa
