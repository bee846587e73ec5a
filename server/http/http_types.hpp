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

#include <string>

namespace vexa {

namespace http = boost::beast::http;

using HttpRequest = http::request<http::string_body>;
using HttpResponse = http::response<http::string_body>;
using HttpFields = http::fields;

struct HttpReply {
  HttpResponse response{http::status::ok, 11};
  http::file_body::value_type file;  // when is_open(): the body, sent by the loop
  bool started = false;              // header already on the wire (chunked)
  bool ended = false;                // end chunk already on the wire
};

}  // namespace vexa
