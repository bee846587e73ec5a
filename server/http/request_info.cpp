#include "server/http/request_info.hpp"

#include <exception>
#include <iterator>

#include "core/globals.hpp"
#include "core/json.hpp"
#include "server/http/shared_routines.hpp"

namespace vexa {

namespace {

// Characters with codes up to 32 are taken off both ends.
std::string_view TrimControl(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string RequestPath(const RequestHeader& request) {
  std::string_view target = request.target();
  return std::string(target.substr(0, target.find('?')));
}

std::string RequestQuery(const RequestHeader& request) {
  std::string_view target = request.target();
  std::size_t q = target.find('?');
  return q == std::string_view::npos ? std::string() : std::string(target.substr(q + 1));
}

std::string RequestContentType(const RequestHeader& request) {
  auto it = request.find(boost::beast::http::field::content_type);
  if (it == request.end()) return {};
  std::string_view raw = it->value();
  // Walk the ";"-separated pieces and leave out the one named charset.
  std::string out;
  std::size_t start = 0;
  bool first = true;
  while (start <= raw.size()) {
    std::size_t end = raw.find(';', start);
    if (end == std::string_view::npos) end = raw.size();
    std::string_view piece = raw.substr(start, end - start);
    std::string_view trimmed = TrimControl(piece);
    std::size_t eq = trimmed.find('=');
    bool isCharset = !first && eq != std::string_view::npos &&
                     EqualsNoCase(TrimControl(trimmed.substr(0, eq)), "charset");
    if (first) {
      out = std::string(TrimControl(piece));
    } else if (!isCharset) {
      out += ';';
      out += piece;
    }
    first = false;
    start = end + 1;
  }
  return out;
}

void RemoveConIdFields(RequestHeader& request) {
  const std::string_view id = kConIdField;
  for (auto it = request.begin(); it != request.end();) {
    std::string name(TrimControl(it->name_string()));
    for (char& c : name) {
      if (c == '-') c = '_';
    }
    it = EqualsNoCase(name, id) ? request.erase(it) : std::next(it);
  }
}

std::string BuildServerInfo(const RequestHeader& request, const std::string& remoteIP, bool secure) {
  try {
    JsonValue server = JsonValue::object();
    for (const auto& field : request) {
      std::string name(TrimControl(field.name_string()));
      for (char& c : name) {
        if (c == '-') c = '_';
      }
      // A repeated name replaces the value in place, keeping the first position.
      server["HTTP_" + name] = std::string(TrimControl(field.value()));
    }
    server["HTTPS"] = secure ? "1" : "0";

    auto host = server.find("HTTP_Host");
    if (host == server.end()) throw std::runtime_error("JSON Key not found.");
    std::string hostValue = host->get<std::string>();

    std::string url = std::string(secure ? "https" : "http") + "://" + hostValue;
    std::string query = RequestQuery(request);
    if (!query.empty()) url += "?" + query;

    std::string script = ProjPath + "/start.php";
    server["REMOTE_ADDR"] = remoteIP;
    server["REMOTE_PORT"] = "";
    server["HTTP_HOST"] = hostValue;
    server["PHP_SELF"] = RequestPath(request);
    server["SCRIPT_NAME"] = script;
    server["SCRIPT_FILENAME"] = script;

    JsonValue description = JsonValue::object();
    description["Method"] = std::string(request.method_string());
    description["URL"] = url;
    description["Server"] = std::move(server);
    description["Header"] = JsonValue::object({{"vexa", "4"}});
    return StrToHex(WriteJSON(description));
  } catch (const std::exception& e) {
    PrintError("Error:- Cant create Vexa Info Data. " + ConsoleQuote(e.what()));
    return {};
  }
}

std::string CookiesToJSON(const RequestHeader& request, TJSON* document) {
  TJSON fresh;
  TJSON& doc = document ? *document : fresh;
  JsonValue& obj = doc.Current();
  for (const auto& field : request) {
    if (field.name() != boost::beast::http::field::cookie) continue;
    std::string_view rest = field.value();
    while (!rest.empty()) {
      std::size_t semi = rest.find(';');
      std::string_view pair = TrimControl(rest.substr(0, semi));
      rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
      if (pair.empty()) continue;
      std::size_t eq = pair.find('=');
      std::string name(TrimControl(pair.substr(0, eq)));
      if (name.empty()) continue;
      std::string_view value =
          eq == std::string_view::npos ? std::string_view() : TrimControl(pair.substr(eq + 1));
      // A value in double quotes is the text between them.
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      obj[name] = std::string(value);
    }
  }
  return StrToHex(doc.GetJSON());
}

bool FitsEnvEntry(std::string_view name, std::string_view value) { return FitsEnvEntry(name, value.size()); }

bool FitsEnvEntry(std::string_view name, std::size_t valueSize) {
  // name, "=", value and the terminating NUL
  return name.size() + 1 + valueSize + 1 <= kMaxEnvEntry;
}

}  // namespace vexa
