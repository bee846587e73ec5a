#include "server/websocket/websocket_handler.hpp"

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <typeinfo>

#include "core/globals.hpp"
#include "core/worker_thread.hpp"
#include "server/http/connection.hpp"
#include "server/http/shared_routines.hpp"
#include "server/websocket/utf8_text.hpp"

namespace vexa {

namespace {

constexpr size_t kReadBufferSize = 64 * 1024;
// How far a payload's memory may run ahead of its bytes: while the sender
// keeps the connection full, reads go straight into the message, into room
// made (and charged) for at most this much more than arrived.
constexpr size_t kPayloadStep = 64 * 1024;
// How much a message's buffer grows at once: the buffers it leaves behind
// as it grows held a seventh of its final size in all (a 32 MiB message
// copies 64 KiB, 512 KiB and 4 MiB on its way), and its unwritten room is
// at most this many times what arrived.
constexpr size_t kGrowth = 8;
// Buffers left behind this large give their pages back.
constexpr size_t kReleaseAtLeast = 256 * 1024;
// The part of a frame whose write must show progress within the write limit.
constexpr size_t kWriteSlice = size_t(1) << 20;
// The mark of pongs in the send queue: one waiting gives way to the newest.
constexpr uint8_t kPongKind = 1;
constexpr char kDeflateTail[] = {'\x00', '\x00', '\xFF', '\xFF'};
// Close status codes the server sends.
constexpr uint16_t kCloseNormal = 1000;
constexpr uint16_t kCloseGoingAway = 1001;
constexpr uint16_t kCloseProtocolError = 1002;
constexpr uint16_t kClosePolicy = 1008;
constexpr uint16_t kCloseTooBig = 1009;
constexpr size_t kMaxControlPayload = 125;

// The peer ended the stream in an orderly way; ends reading without a word.
struct ClosedGracefully {};

// A message in progress that broke the progress rule; ends with close 1008.
class EWsTooSlow : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "64 KiB", "1000 bytes"; "10 s", "500 ms".
std::string BytesText(size_t bytes) {
  return bytes % 1024 == 0 ? std::to_string(bytes / 1024) + " KiB" : std::to_string(bytes) + " bytes";
}
std::string SpanText(std::chrono::milliseconds span) {
  return span.count() % 1000 == 0 ? std::to_string(span.count() / 1000) + " s"
                                  : std::to_string(span.count()) + " ms";
}

std::string ClassName(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : mangled;
  std::free(demangled);
  return name;
}

// XORs a masked payload with its key, eight bytes at a time where it can.
void Unmask(char* data, size_t size, const unsigned char* key) {
  uint64_t key8;
  unsigned char k[8];
  for (int i = 0; i < 8; ++i) k[i] = key[i % 4];
  std::memcpy(&key8, k, 8);
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, data + i, 8);
    w ^= key8;
    std::memcpy(data + i, &w, 8);
  }
  for (; i < size; ++i) data[i] = static_cast<char>(data[i] ^ key[i % 4]);
}

// Moves the bytes of `into` to a new buffer of `capacity`. The old buffer's
// pages go back to the system before it is freed: the allocator would keep
// them resident for its own reuse, beside the message that goes on growing.
void Regrow(std::string& into, size_t capacity) {
  std::string grown;
  grown.reserve(capacity);
  grown.append(into);
  if (into.capacity() >= kReleaseAtLeast) {
    static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(into.data()) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(into.data()) + into.capacity()) & ~(page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
  }
  into.swap(grown);
}

// The status codes a peer may put in a close frame: the defined ones that
// are meant for the wire, and the ranges left to libraries and applications.
// 1005, 1006 and 1015 only ever stand for "no frame said so".
bool IsValidReceivedCloseCode(uint16_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

}  // namespace

TWsText::TWsText(std::string text)
    : text_(std::make_shared<const TSendText>(IsValidUtf8(text) ? std::move(text) : SanitizeUtf8(text))) {}

TWebSocketHandler::TWebSocketHandler(TConnection& connection, HttpRequest request,
                                     bool useDeflate)
    : connection_(connection),
      request_(std::move(request)),
      useDeflate_(useDeflate),
      sends_(connection, SendLimits(), [this](const TSendQueue::TFailure& f) { OnSendFailure(f); }) {}

TWebSocketHandler::~TWebSocketHandler() {
  // A handler whose reader never ran may still have a writer: the send
  // queue, which goes first, joins it.
  if (thread_) thread_->WaitFor();
}

void TWebSocketHandler::SetLimits(const TWsLimits& limits) {
  limits_ = limits;
  sends_.SetLimits(SendLimits());
}

TSendLimits TWebSocketHandler::SendLimits() const {
  TSendLimits send;
  send.maxWaiting = limits_.maxQueued;
  send.oneMayPass = true;
  send.budget = limits_.budget;
  send.slice = kWriteSlice;
  send.sliceLimit = connection_.WriteTimeout();
  return send;
}

void TWebSocketHandler::Start() {
  if (thread_) throw std::logic_error("WebSocket handler already started");
  thread_ = std::make_unique<TWorkerThread>([this] { Execute(); });
  thread_->Start();
}

void TWebSocketHandler::WaitFor() {
  if (thread_) thread_->WaitFor();
}

bool TWebSocketHandler::Connected() const {
  return connected_.load() && !connection_.IsShutdown();
}

size_t TWebSocketHandler::BuildFrameHeader(unsigned char (&header)[10], size_t payloadSize,
                                           uint8_t opcode, bool fin) {
  header[0] = static_cast<unsigned char>((fin ? 0x80 : 0x00) | (opcode & 0x0F));
  if (payloadSize <= 125) {
    header[1] = static_cast<unsigned char>(payloadSize);
    return 2;
  }
  if (payloadSize <= 65535) {
    header[1] = 126;
    header[2] = static_cast<unsigned char>(payloadSize >> 8);
    header[3] = static_cast<unsigned char>(payloadSize);
    return 4;
  }
  header[1] = 127;
  const uint64_t n = payloadSize;
  for (int i = 0; i < 8; ++i) header[2 + i] = static_cast<unsigned char>(n >> (56 - 8 * i));
  return 10;
}

std::string TWebSocketHandler::BuildFrame(std::string_view payload, uint8_t opcode, bool fin) {
  unsigned char header[10];
  const size_t headerLen = BuildFrameHeader(header, payload.size(), opcode, fin);
  std::string frame;
  frame.reserve(headerLen + payload.size());
  frame.append(reinterpret_cast<const char*>(header), headerLen);
  frame.append(payload);
  return frame;
}

TSendItem TWebSocketHandler::MakeFrame(uint8_t opcode, std::string_view body, std::string_view suffix) {
  TSendItem frame;
  frame.tailLen = static_cast<uint8_t>(std::min(suffix.size(), sizeof frame.tail));
  if (frame.tailLen != 0) std::memcpy(frame.tail, suffix.data(), frame.tailLen);
  frame.body = body;
  unsigned char head[10];
  frame.headLen = static_cast<uint8_t>(BuildFrameHeader(head, body.size() + frame.tailLen, opcode, true));
  std::memcpy(frame.head, head, frame.headLen);
  frame.last = opcode == OpClose;  // nothing follows the close frame
  return frame;
}

TSendItem TWebSocketHandler::CloseFrame(uint16_t code) {
  // The status code travels in the frame itself: nothing to hold.
  const char payload[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
  return MakeFrame(OpClose, {}, std::string_view(payload, 2));
}

std::string TWebSocketHandler::ConName() const {
  return "connection " + std::to_string(ConId.load());
}

TSendQueue::TPut TWebSocketHandler::Send(TSendItem frame, uint64_t* seq) {
  const size_t size = frame.Size();
  const TSendQueue::TPut put = sends_.Put(std::move(frame), seq);
  if (put == TSendQueue::TPut::OverBound) {
    CloseAtBound("WebSocket error: " + ConName() + " closed: more than " + std::to_string(limits_.maxQueued) +
                 " bytes wait for a client that does not read");
  } else if (put == TSendQueue::TPut::OverBudget) {
    CloseAtBound("WebSocket error: " + ConName() + " closed: " + std::to_string(sends_.Waiting() + size) +
                 " bytes waiting for the client pass what the server's budget has left");
  }
  return put;
}

void TWebSocketHandler::CloseAtBound(const std::string& line) {
  if (closingAtBound_.exchange(true)) return;
  connected_ = false;
  if (!stopRequested_.load()) WriteLine(line);
  // What waits goes at once; the frame begun is finished, then the close
  // frame tells the client why. Reading ends now: the end of reading gives
  // what is left the write limit to go out.
  sends_.CloseWith(CloseFrame(kCloseTooBig));
  connection_.ShutdownRead();
}

void TWebSocketHandler::OnSendFailure(const TSendQueue::TFailure& failure) {
  connected_ = false;
  if (!stopRequested_.load() && !closingAtBound_.load()) {
    if (failure.kind == TSendQueue::TFailureKind::TimedOut) {
      WriteLine("WebSocket error: " + ConName() + " took no write for " +
                std::to_string(connection_.WriteTimeout().count()) + " ms, closed");
    } else if (failure.kind == TSendQueue::TFailureKind::NoWriter) {
      WriteLine("WebSocket error: " + ConName() + " closed: no writer: " + failure.what);
    }
  }
  // A frame may be cut short: the stream cannot go on.
  connection_.Shutdown();
}

void TWebSocketHandler::FinishSends(std::chrono::steady_clock::time_point deadline) {
  connected_ = false;
  // What could not go out in time leaves a frame cut short: the stream ends.
  if (!sends_.Finish(deadline)) connection_.Shutdown();
}

void TWebSocketHandler::SendMessage(const std::string& text, bool isText) {
  if (!Connected()) return;
  std::string clean;
  std::string_view body = text;
  if (!IsValidUtf8(text)) {
    clean = SanitizeUtf8(text);
    body = clean;
  }
  uint64_t seq = 0;
  const TSendQueue::TPut put = Send(MakeFrame(isText ? OpText : OpBinary, body), &seq);
  // The frame's bytes are the caller's: wait until nobody holds them.
  if (put == TSendQueue::TPut::Failed ||
      (put == TSendQueue::TPut::Waiting && !sends_.WaitSent(seq)))
    throw std::system_error(std::make_error_code(std::errc::broken_pipe), "WebSocket write");
}

bool TWebSocketHandler::SendQueued(const TWsText& text, std::string_view suffix) {
  if (!Connected()) return false;
  TSendItem frame = MakeFrame(OpText, text.Text(), suffix);
  frame.text = text.Shared();
  const TSendQueue::TPut put = Send(std::move(frame));
  return put == TSendQueue::TPut::Sent || put == TSendQueue::TPut::Waiting;
}

void TWebSocketHandler::SendClose(uint16_t code) {
  if (connection_.IsShutdown() || !connected_.exchange(false)) return;
  Send(CloseFrame(code));
}

void TWebSocketHandler::BeginDisconnect() {
  stopRequested_ = true;
  SendClose(kCloseGoingAway);
}

void TWebSocketHandler::EndDisconnect(std::chrono::steady_clock::time_point deadline) {
  // The close frame is a courtesy: it must not hold up a server shutdown
  // behind a client that stopped reading. The shutdown below ends any write
  // still under way.
  sends_.WaitDrained(deadline);
  connected_ = false;
  connection_.Shutdown();
}

void TWebSocketHandler::Disconnect() {
  BeginDisconnect();
  EndDisconnect(std::chrono::steady_clock::now() + DisconnectWait);
}

void TWebSocketHandler::Execute() {
  try {
    ReadFrames();
  } catch (const ClosedGracefully&) {
  } catch (const EWsTooLarge& e) {
    SendClose(kCloseTooBig);
    if (!stopRequested_.load()) WriteLine("WebSocket error: " + ConsoleQuote(e.what()) + " " + ClassName(e));
  } catch (const EWsTooSlow& e) {
    // The message's charge went back as ReadFrames unwound.
    SendClose(kClosePolicy);
    if (!stopRequested_.load()) WriteLine(std::string("WebSocket error: ") + e.what());
  } catch (const EWsProtocolError& e) {
    SendClose(kCloseProtocolError);
    if (!stopRequested_.load()) WriteLine("WebSocket error: " + ConsoleQuote(e.what()) + " " + ClassName(e));
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::timed_out) {
      SendClose(kClosePolicy);
      if (!stopRequested_.load())
        WriteLine("WebSocket error: WebSocket frame unfinished after " +
                  std::to_string(limits_.frameRead.count()) + " ms without data");
    } else if (!stopRequested_.load()) {
      WriteLine("WebSocket error: " + ConsoleQuote(e.what()) + " " + ClassName(e));
    }
  } catch (const std::exception& e) {
    // A failure after a server-side disconnect is the disconnect itself.
    if (!stopRequested_.load()) WriteLine("WebSocket error: " + ConsoleQuote(e.what()) + " " + ClassName(e));
  } catch (...) {
    if (!stopRequested_.load()) WriteLine("WebSocket error: unknown");
  }
  // What waits for the client gets the write limit to go out (little after
  // a disconnect, which shuts the connection itself); then the writer is gone.
  FinishSends(std::chrono::steady_clock::now() +
              (stopRequested_.load() ? DisconnectWait : connection_.WriteTimeout()));
  try {
    if (OnClose) OnClose(connection_, request_);
  } catch (const std::exception& e) {
    PrintError("WebSocket close Error: " + ConsoleQuote(e.what()));
  } catch (...) {
    PrintError("WebSocket close Error: unknown");
  }
}

size_t TWebSocketHandler::ReadSocket(void* data, size_t size) {
  using Clock = std::chrono::steady_clock;
  const auto begun = Clock::now();
  for (auto now = begun;; now = Clock::now()) {
    // The per-read limit still left, cut short when the progress rule
    // decides sooner.
    auto perRead = perRead_;
    if (perRead.count() > 0)
      perRead = std::max(std::chrono::milliseconds(1),
                         perRead - std::chrono::duration_cast<std::chrono::milliseconds>(now - begun));
    connection_.SetReadTimeout(rate_.ReadTimeout(perRead, now));
    try {
      const size_t n = connection_.ReadSome(data, size);
      if (n == 0) throw ClosedGracefully{};
      lastRead_ = Clock::now();
      return n;
    } catch (const std::system_error& e) {
      if (e.code() != std::errc::timed_out) throw;
      lastRead_ = Clock::now();
      Progress(0);  // raises when the wait ended on the rule's deadline
      if (perRead_.count() > 0 && lastRead_ - begun >= perRead_) throw;
    }
  }
}

void TWebSocketHandler::Progress(size_t bytes) {
  if (!rate_.Started()) return;
  // Bytes count from when their read returned.
  if (!rate_.Arrived(counting_ ? bytes : 0, lastRead_))
    throw EWsTooSlow("WebSocket message too slow: less than " + BytesText(rate_.Rule().minBytes) +
                     " in " + SpanText(rate_.Rule().span));
}

void TWebSocketHandler::Fill() {
  if (!readBuf_) readBuf_.reset(new char[kReadBufferSize]);
  readLen_ = ReadSocket(readBuf_.get(), kReadBufferSize);
  readPos_ = 0;
  streaming_ = readLen_ == kReadBufferSize;
}

size_t TWebSocketHandler::ReadSome(char* data, size_t size) {
  if (readPos_ == readLen_) Fill();
  const size_t n = std::min(size, readLen_ - readPos_);
  std::memcpy(data, readBuf_.get() + readPos_, n);
  readPos_ += n;
  Progress(n);
  return n;
}

void TWebSocketHandler::ReadExact(void* data, size_t size) {
  char* out = static_cast<char*>(data);
  while (size > 0) {
    const size_t n = ReadSome(out, size);
    out += n;
    size -= n;
  }
}

void TWebSocketHandler::Charge(TMemoryCharge& charge, size_t bytes) {
  if (!charge.GrowTo(bytes))
    throw EWsTooLarge("WebSocket message of " + std::to_string(bytes) +
                      " bytes in memory passes what the server's budget has left");
}

void TWebSocketHandler::ReadPayload(std::string& into, size_t size, bool masked,
                                    const unsigned char* key, TMemoryCharge* charge, size_t maxCapacity) {
  const size_t start = into.size();
  // An announced length alone (a peer that then sends nothing) must not make
  // the server hold memory: `into` grows with the bytes that arrived, and is
  // charged as it grows. While the sender keeps the connection full (its
  // last read filled all it was given), reads go straight into room made
  // (and charged) one step ahead; otherwise the bytes are awaited in the
  // read buffer and appended. The capacity grows eightfold, so a large
  // message is copied a seventh of once in all as it grows; what lies beyond
  // its bytes is address space only, never written or charged, and the
  // announced length only caps it.
  for (size_t done = 0; done < size;) {
    const size_t buffered = readLen_ - readPos_;
    const bool direct = buffered == 0 && streaming_ && size - done >= kReadBufferSize;
    if (buffered == 0 && !direct) {
      // Wait for bytes before making room for them.
      Fill();
      continue;
    }
    const size_t want = std::min(size - done, direct ? kPayloadStep : buffered);
    const size_t room = start + done + want;
    if (room > into.capacity())
      Regrow(into, std::max(room, std::min(maxCapacity, std::max(kGrowth * into.capacity(), room + kPayloadStep))));
    if (charge) Charge(*charge, room);
    if (direct) {
      into.resize(room);
      const size_t n = ReadSocket(into.data() + start + done, want);
      Progress(n);
      done += n;
      streaming_ = n == want;
      into.resize(start + done);
    } else {
      into.append(readBuf_.get() + readPos_, want);
      readPos_ += want;
      Progress(want);
      done += want;
    }
  }
  if (masked) Unmask(into.data() + start, size, key);
}

void TWebSocketHandler::ReadFrames() {
  TMessage message(limits_.budget);
  std::string control;
  rate_ = TMinDataRate(limits_.progress);
  // Only the connection's end stops the loop: a server-side disconnect shuts
  // it after its close frame is out, so the reader never ends first and
  // takes the frame's turn.
  while (!connection_.IsShutdown()) {
    const TFrameHead head = ReadFrameHead(message);
    if (head.opcode < 0x8) {
      ReadDataFrame(head, message);
    } else if (!ReadControlFrame(head, control)) {
      return;  // closed
    }
  }
}

TWebSocketHandler::TFrameHead TWebSocketHandler::ReadFrameHead(const TMessage& message) {
  unsigned char bytes[2];
  // Between messages a peer may stay silent as long as it likes; from the
  // first byte of a frame on, each read has a limit.
  perRead_ = message.open ? limits_.frameRead : std::chrono::milliseconds(0);
  counting_ = false;
  ReadExact(bytes, 1);
  perRead_ = limits_.frameRead;
  // From the first byte of a data frame to the end of its message, the
  // message must keep moving; control frames do not count as its progress,
  // so a ping flood cannot keep it alive.
  counting_ = (bytes[0] & 0x0F) < 0x8;
  if (counting_) {
    // Its time starts now, not when its first byte was buffered: the
    // delivery of the message before it was the server's time.
    if (!rate_.Started()) rate_.Start();
    Progress(1);
  }
  ReadExact(bytes + 1, 1);
  TFrameHead head;
  head.fin = bytes[0] & 0x80;
  head.rsv1 = bytes[0] & 0x40;
  head.opcode = bytes[0] & 0x0F;
  head.masked = bytes[1] & 0x80;
  head.length = bytes[1] & 0x7F;
  if (head.length == 126) {
    unsigned char ext[2];
    ReadExact(ext, 2);
    head.length = (uint64_t{ext[0]} << 8) | ext[1];
  } else if (head.length == 127) {
    unsigned char ext[8];
    ReadExact(ext, 8);
    head.length = 0;
    for (unsigned char b : ext) head.length = (head.length << 8) | b;
  }
  if (head.opcode >= 0x8 && (!head.fin || head.length > kMaxControlPayload))
    throw EWsProtocolError(head.fin ? "WebSocket control frame of " + std::to_string(head.length) + " bytes"
                                    : std::string("Fragmented WebSocket control frame"));
  // Refuse what cannot be held before reading or allocating any of it.
  const size_t maxSize = limits_.maxMessageSize;
  if (head.length > maxSize)
    throw EWsTooLarge("WebSocket frame of " + std::to_string(head.length) + " bytes exceeds " +
                      std::to_string(maxSize));
  if (head.opcode < 0x8 && head.length > maxSize - message.text.size())
    throw EWsTooLarge("WebSocket message of " + std::to_string(message.text.size() + head.length) +
                      " bytes exceeds " + std::to_string(maxSize));
  if (head.masked) ReadExact(head.key, 4);
  return head;
}

bool TWebSocketHandler::ReadControlFrame(const TFrameHead& head, std::string& payload) {
  // Control frames stand alone, also between the fragments of a message.
  payload.clear();
  ReadPayload(payload, static_cast<size_t>(head.length), head.masked, head.key);
  if (head.opcode == OpPing) {
    WriteLine("Received Ping, sending Pong");
    // After the queued frames; nothing follows a close frame. A client that
    // pings without reading holds one pong waiting: the newest.
    auto text = std::make_shared<const TSendText>(payload);
    TSendItem pong = MakeFrame(OpPong, text->Text());
    pong.text = std::move(text);
    pong.kind = kPongKind;
    pong.replaceable = true;
    Send(std::move(pong));
  } else if (head.opcode == OpPong) {
    WriteLine("Received Pong");
  } else if (head.opcode == OpClose) {
    // Answer with a close frame echoing a valid status code (1000 when none
    // came), then stop.
    uint16_t code = kCloseNormal;
    if (payload.size() == 1) throw EWsProtocolError("WebSocket close frame of 1 byte");
    if (payload.size() >= 2) {
      code = static_cast<uint16_t>((static_cast<unsigned char>(payload[0]) << 8) |
                                   static_cast<unsigned char>(payload[1]));
      if (!IsValidReceivedCloseCode(code))
        throw EWsProtocolError("Invalid WebSocket close code " + std::to_string(code));
    }
    SendClose(code);
    return false;
  }
  return true;
}

void TWebSocketHandler::ReadDataFrame(const TFrameHead& head, TMessage& message) {
  if (!message.open) {
    message.open = true;
    message.type = head.opcode;
    message.compressed = head.rsv1;
  }
  const bool compressed = useDeflate_ && message.compressed;
  const size_t length = static_cast<size_t>(head.length);
  // A final frame's length is the rest of its message.
  if (head.fin) rate_.SetMissing(length);
  // The last frame's room stops at its end (and the deflate tail), so that
  // the message is not copied once more to take the tail.
  const size_t tail = compressed ? sizeof kDeflateTail : 0;
  const size_t maxCapacity = head.fin ? message.text.size() + length + tail : limits_.maxMessageSize + tail;
  ReadPayload(message.text, length, head.masked, head.key, &message.charge, maxCapacity);
  if (!head.fin) return;
  rate_.Stop();  // delivery is not the client's time
  if (message.type == OpText || message.type == OpBinary) ProcessMessage(message.text, compressed, message.charge);
  message.text.clear();
  if (message.text.capacity() > kReadBufferSize) message.text.shrink_to_fit();
  message.charge.Release();
  message.open = false;
}

// Invalid UTF-8 is replaced in a copy of exactly its new size, charged first.
void TWebSocketHandler::Sanitize(std::string& text, TMemoryCharge& charge) {
  if (IsValidUtf8(text)) return;
  Charge(charge, charge.Charged() + SanitizedSize(text));
  text = SanitizeUtf8(text);
}

void TWebSocketHandler::ProcessMessage(std::string& payload, bool compressed, TMemoryCharge& charge) {
  try {
    std::string text;
    if (compressed) {
      payload.append(kDeflateTail, sizeof kDeflateTail);
      text = Decompress(payload, charge);
    } else {
      Sanitize(payload, charge);
      text.swap(payload);
    }
    OnMessage(connection_, request_, text);
  } catch (const EWsTooLarge&) {
    throw;  // a message past the limit ends the connection
  } catch (const std::exception& e) {
    PrintError("WebSocket process Error: " + ConsoleQuote(e.what()));
  } catch (...) {
    PrintError("WebSocket process Error: unknown");
  }
}

std::string TWebSocketHandler::Decompress(std::string& data, TMemoryCharge& charge) {
  try {
    const size_t input = data.capacity();
    std::string text = inflater_.Inflate(data, limits_.maxMessageSize,
                                         [&](size_t bytes) { Charge(charge, input + bytes); });
    std::string().swap(data);  // the compressed bytes are done with
    Sanitize(text, charge);
    return text;
  } catch (const EWsTooLarge&) {
    throw;
  } catch (const std::exception& e) {
    PrintError("WebSocket DeCompress Error: " + ConsoleQuote(e.what()));
  }
  return std::string();
}

bool HandleWebSocket(TConnection& connection, const HttpRequest& request, bool secure,
                     const TWsEvents& events, const TWsLimits& limits) {
  bool deflate = false;
  std::string reply;
  try {
    reply = BuildWebSocketReply(request, deflate);
    connection.Write(reply);
  } catch (const std::exception& e) {
    PrintError("WS: Handle Error:- " + ConsoleQuote(e.what()));
    if (reply.empty()) return false;  // nothing written: the caller answers
    connection.Shutdown();
    return true;
  }
  try {
    auto handler = std::make_unique<TWebSocketHandler>(connection, request, deflate);
    handler->SetLimits(limits);
    events.OnWsConnect(*handler, connection, handler->Request(), secure);
    handler->OnClose = events.OnWsDisconnect;
    handler->OnMessage = events.OnWsMessage;
    try {
      handler->Start();
    } catch (...) {
      // The connect event has registered the connection: its close event
      // must follow, or the registration would outlive the connection.
      events.OnWsDisconnect(connection, handler->Request());
      throw;
    }
    handler->WaitFor();
  } catch (const std::exception& e) {
    PrintError("WS: MSG Handle Error:- " + ConsoleQuote(e.what()));
  }
  // The connection carried WebSocket frames; it cannot go back to HTTP.
  connection.Shutdown();
  return true;
}

}  // namespace vexa
