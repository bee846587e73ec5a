#pragma once
// Types shared by the listener, the request roads and the WebSocket road.
//
// Requests are parsed by Beast into `HttpRequest`; Beast keeps every header
// field with its name as the client spelled it and in the order it arrived,
// which the request description relies on.
//
// A road answers through an `HttpReply`:
//  - it fills `response` (status, fields, text body) and returns; the
//    connection loop then sends it, or sends `file` as the body when open;
//  - or it streams the reply itself with the chunked writer
//    (chunked_writer.hpp): StartChunked sets `started`, EndChunked `ended`.
// A reply that was started but never ended leaves the stream in an unknown
// state, so the connection is closed after it.

#include <boost/beast/http.hpp>

#include <cstdint>
#include <string>

namespace vexa {

namespace http = boost::beast::http;

using HttpRequest = http::request<http::string_body>;
using HttpRequestHeader = http::request_header<>;
using HttpResponse = http::response<http::string_body>;
using HttpFields = http::fields;

// An open file sent as a reply's body; owns the descriptor.
struct HttpFileBody {
  HttpFileBody() = default;
  ~HttpFileBody() { Close(); }
  HttpFileBody(const HttpFileBody&) = delete;
  HttpFileBody& operator=(const HttpFileBody&) = delete;
  bool is_open() const { return fd >= 0; }
  void Close();
  int fd = -1;
  uint64_t size = 0;
};

struct HttpReply {
  HttpResponse response{http::status::ok, 11};
  HttpFileBody file;                 // when is_open(): the body, sent by the loop
  bool started = false;              // header already on the wire (chunked)
  bool ended = false;                // end chunk already on the wire
  bool close = false;                // the connection ends after this reply
};

}  // namespace vexa
