#pragma once
// The request description ("idata") and the cookie document ("bcookies") that
// a PHP application process receives, hex-coded, in its environment.
//
// Both are built from the request header exactly as the client sent it: header
// names keep their letter case and their order (Beast stores the name as
// received and never merges repeated lines), so PHP sees HTTP_Content_Type for
// a "Content-Type" line and HTTP_host for a "host" line.

#include <cstddef>
#include <string>
#include <string_view>

#include <boost/beast/http/message.hpp>

namespace vexa {

class TJSON;

using RequestHeader = boost::beast::http::request_header<>;

// The request target up to, not including, "?" (percent escapes kept).
std::string RequestPath(const RequestHeader& request);
// The text after the first "?" of the request target, or "".
std::string RequestQuery(const RequestHeader& request);
// The Content-Type value without its charset parameter (other parameters
// stay), the way the form parser and the content-type choice compare it.
std::string RequestContentType(const RequestHeader& request);

// The field that carries a WebSocket connection's id to PHP, which sees it as
// "HTTP_HTWS_VEXA". Only the server sets it.
constexpr const char* kConIdField = "HTWS_VEXA";
// Removes every field that names the connection id in any letter case, with
// "-" or "_" (the description shows both as "_"), however often it occurs:
// the id a client sends is never taken.
void RemoveConIdFields(RequestHeader& request);

// The hex-coded JSON text of the request description. On any failure, above
// all a request without a header line named exactly "Host", it prints
// "Error:- Cant create Vexa Info Data. " + message and returns "".
std::string BuildServerInfo(const RequestHeader& request, const std::string& remoteIP, bool secure);

// The hex-coded JSON text of the request's cookies, name to value, in the
// order sent. Given a document, the cookies are added to it (after what the
// caller put in); given none, a fresh document is used.
std::string CookiesToJSON(const RequestHeader& request, TJSON* document = nullptr);

// Linux refuses to start a program when one environment entry ("name=value"
// with its terminating NUL) exceeds 32 pages (128 KiB).
constexpr std::size_t kMaxEnvEntry = 128 * 1024;
// Whether "name=" + value fits into one environment entry.
bool FitsEnvEntry(std::string_view name, std::string_view value);
// The same for a value of `valueSize` bytes.
bool FitsEnvEntry(std::string_view name, std::size_t valueSize);

}  // namespace vexa
