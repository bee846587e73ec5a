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
// and inflated text) grows with the bytes that arrived, never more than one
// read step (64 KiB) ahead of them, whatever a header announces; it is
// charged to a memory budget shared with other connections as it grows,
// until the message has been delivered; a message that would pass the
// budget gets close 1009 the same way. Each read while a frame or a
// fragmented message is unfinished may wait at most the frame read limit
// (30 s by default); past it the connection gets close 1008 and ends with a
// "WebSocket error: " line. A data message in progress must also keep
// moving (TMinDataRate, from the first byte of its first frame to the end of
// its last): every span (10 s) must bring at least its minimum (64 KiB) of
// data-frame bytes, or all the message still lacked; control frames between
// its fragments do not count. One that does not gets close 1008, a
// "WebSocket error: " line, and its charge back before the close event.
// Between messages a connection may stay silent for as long as it likes.
//
// Sending: every frame of a connection goes through its send queue
// (TSendQueue), so frames keep their order, a frame once begun is finished
// before any byte of another, whichever threads send and on either transport,
// and nothing follows the close frame. A send writes what the connection
// takes at once; the rest waits for the queue's writer thread (started by the
// first frame that has to wait, joined when reading has ended). What waits is
// charged what it holds: its bytes and a fixed cost per frame count against
// the connection's bound (TWsLimits::maxQueued, 64 MiB; a frame may always
// wait alone) and the shared budget, where a text that goes to many
// connections (TWsText) counts once. A pong not yet sent gives way to the
// newest one. A connection past either bound is closed with one "WebSocket
// error: connection <id> ..." line: what waits is dropped at once, the frame
// begun is finished, close 1009 follows, and reading ends. One whose write of
// one slice (at most 1 MiB) takes longer than the connection's write limit
// (60 s) is shut with one such line. When reading has ended, what waits gets
// at most the write limit to go out.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/memory_budget.hpp"
#include "core/min_data_rate.hpp"
#include "core/send_queue.hpp"
#include "server/http/http_types.hpp"
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

// A text on its way to WebSocket clients: valid UTF-8 (invalid sequences are
// replaced by U+FFFD once, as it is made), shared by every connection it goes
// to, and charged to the memory budget once while any of them holds it.
class TWsText {
 public:
  explicit TWsText(std::string text);
  const std::string& Text() const { return text_->Text(); }
  const std::shared_ptr<const TSendText>& Shared() const { return text_; }

 private:
  std::shared_ptr<const TSendText> text_;
};

// How much one connection may make the server hold and wait for.
struct TWsLimits {
  size_t maxMessageSize = size_t(32) * 1024 * 1024;
  // Each read while a frame or fragmented message is unfinished; 0: no limit.
  std::chrono::milliseconds frameRead{30000};
  // Shared with other connections; none: no shared bound.
  TMemoryBudget* budget = nullptr;
  // Bytes of frames (with a fixed cost each) that may wait for one client
  // that reads slowly.
  size_t maxQueued = size_t(64) * 1024 * 1024;
  // The progress a data message in progress must make, besides each read's
  // limit: so much in every span from its first byte.
  TDataRateRule progress{};
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
  // How long a server-side disconnect waits for its close frame to go out.
  static constexpr std::chrono::milliseconds DisconnectWait{1000};

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

  size_t MaxMessageSize() const { return limits_.maxMessageSize; }
  // All limits at once; before Start and before any send.
  void SetLimits(const TWsLimits& limits);

  // Starts the reader thread (4 MiB stack). Once only.
  void Start();
  // Blocks until the reader thread has ended (after OnClose has returned).
  void WaitFor();

  // True from creation until reading ends or Disconnect is called.
  bool Connected() const;

  // Sends `text` as one final frame (text, or binary when isText is false),
  // uncompressed, after the frames queued before it, and waits until it is
  // written. The text is sent as UTF-8, invalid sequences replaced by U+FFFD.
  // Does nothing when the connection is no longer connected; a failed write
  // raises (and ends the connection). Any thread, from the connect event on;
  // the caller makes sure that no call is still running when OnClose
  // returns, as the handler may go away after that.
  void SendMessage(const std::string& text, bool isText = true);
  // Sends `text` followed by `suffix` (at most 4 bytes) as one text frame
  // without waiting for the client: what the connection does not take at
  // once waits in the send queue. False when nothing was sent or queued: not
  // connected, or the connection was closed for its queue. Same threads as
  // SendMessage.
  bool SendQueued(const TWsText& text, std::string_view suffix = {});
  // Bytes waiting in the send queue, with their fixed cost.
  size_t Queued() const { return sends_.Waiting(); }

  // Ends the connection from another thread (server shutdown), in two
  // steps so that many connections can be ended at once: BeginDisconnect
  // queues close 1001 ("going away") when still connected; EndDisconnect
  // gives what waits until `deadline` to go out, then shuts the connection
  // so the reader wakes; the reader then fires OnClose as usual. Neither
  // waits past the deadline for a client that has stopped reading (the close
  // frame is then lost). Any thread, more than once.
  void BeginDisconnect();
  void EndDisconnect(std::chrono::steady_clock::time_point deadline);
  // Both, with DisconnectWait.
  void Disconnect();

  // One unmasked frame: header and payload, ready to write.
  static std::string BuildFrame(std::string_view payload, uint8_t opcode, bool fin);
  // Only the header of such a frame (2 to 10 bytes).
  static size_t BuildFrameHeader(unsigned char (&header)[10], size_t payloadSize, uint8_t opcode,
                                 bool fin);

 private:
  // One frame's header as read off the stream.
  struct TFrameHead {
    bool fin = false;
    bool rsv1 = false;
    bool masked = false;
    uint8_t opcode = 0;
    uint64_t length = 0;
    unsigned char key[4] = {0, 0, 0, 0};
  };
  // The data message in progress and what it holds, until delivered.
  struct TMessage {
    explicit TMessage(TMemoryBudget* budget) : charge(budget) {}
    std::string text;
    TMemoryCharge charge;
    bool open = false;
    uint8_t type = 0;
    bool compressed = false;
  };

  void Execute();
  // Reads frames until the client closes or the connection ends.
  void ReadFrames();
  // Reads a frame's header; refuses frames the protocol forbids and sizes
  // past the limits before anything is allocated for them.
  TFrameHead ReadFrameHead(const TMessage& message);
  // Reads a control frame's payload and answers it; false after a close.
  bool ReadControlFrame(const TFrameHead& head, std::string& payload);
  // Reads a data frame into the message; its last frame delivers it.
  void ReadDataFrame(const TFrameHead& head, TMessage& message);
  void ProcessMessage(std::string& payload, bool compressed, TMemoryCharge& charge);
  std::string Decompress(std::string& data, TMemoryCharge& charge);
  // Charges `bytes` for the message in progress; raises EWsTooLarge when the
  // shared budget cannot take it.
  void Charge(TMemoryCharge& charge, size_t bytes);
  // Replaces invalid UTF-8 in `text`, charging the copy that takes.
  void Sanitize(std::string& text, TMemoryCharge& charge);
  // A final frame of `body` and `suffix` (at most 4 bytes); its body is
  // held by the caller until it is sent.
  static TSendItem MakeFrame(uint8_t opcode, std::string_view body, std::string_view suffix = {});
  static TSendItem CloseFrame(uint16_t code);
  // Puts the frame into the send queue; a bound passed closes the connection.
  TSendQueue::TPut Send(TSendItem frame, uint64_t* seq = nullptr);
  // Closes the connection for a bound its queue passed, with `line`.
  void CloseAtBound(const std::string& line);
  void OnSendFailure(const TSendQueue::TFailure& failure);
  TSendLimits SendLimits() const;
  // Reading has ended: what waits gets until `deadline`, then the writer is
  // stopped and joined.
  void FinishSends(std::chrono::steady_clock::time_point deadline);
  std::string ConName() const;
  // Queues a close frame with `code` unless one went out already.
  void SendClose(uint16_t code);

  // One read on the connection, waiting no longer than the per-read limit
  // in force and the progress rule allow; raises at the end of the stream.
  size_t ReadSocket(void* data, size_t size);
  // Counts bytes taken from the stream towards the progress of the message
  // in progress (data-frame bytes only); raises when it is too slow.
  void Progress(size_t bytes);
  // Refills the empty read buffer with what arrives (at least one byte).
  void Fill();
  // Up to `size` bytes (at least one) through the read buffer.
  size_t ReadSome(char* data, size_t size);
  // Buffered exact reads on the connection; raise at the end of the stream.
  void ReadExact(void* data, size_t size);
  // Appends a payload of `size` bytes to `into` as the bytes arrive: `into`
  // is written and charged (when a charge is given) at most one step ahead
  // of them, and its capacity grows eightfold, never past `maxCapacity`.
  void ReadPayload(std::string& into, size_t size, bool masked, const unsigned char* key,
                   TMemoryCharge* charge = nullptr, size_t maxCapacity = 0);

  TConnection& connection_;
  HttpRequest request_;
  const bool useDeflate_;
  TWsLimits limits_;

  // Reader thread only.
  TWsInflater inflater_;
  std::unique_ptr<char[]> readBuf_;  // left unwritten until a read fills it
  size_t readPos_ = 0;
  size_t readLen_ = 0;
  // How long one read may wait (zero: no limit), and whether the bytes read
  // now are data-frame bytes, which count towards the message's progress.
  std::chrono::milliseconds perRead_{0};
  bool counting_ = false;
  // The last read from the connection filled all the room it was given.
  bool streaming_ = false;
  // When the last read from the connection returned (or timed out).
  std::chrono::steady_clock::time_point lastRead_{};
  TMinDataRate rate_;

  // False once the close frame is queued or sending has ended.
  std::atomic<bool> connected_{true};
  std::atomic<bool> closingAtBound_{false};
  std::atomic<bool> stopRequested_{false};

  std::unique_ptr<TWorkerThread> thread_;
  // Last: its writer, joined when it goes, uses the members above.
  TSendQueue sends_;
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
