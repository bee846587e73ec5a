#include "server/http/form_data.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "core/globals.hpp"
#include "core/json.hpp"

namespace vexa {

namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) <= 32; }

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// An upload file being written: closed, and removed unless it was written
// whole.
struct NewFile {
  int fd = -1;
  std::string path;
  bool kept = false;
  ~NewFile() {
    if (fd >= 0) ::close(fd);
    if (!kept && !path.empty()) ::unlink(path.c_str());
  }
};

}  // namespace

std::vector<std::string> SplitFormText(std::string_view text) {
  std::vector<std::string> items;
  std::size_t pos = 0;
  const std::size_t n = text.size();
  bool first = true;
  while (pos < n) {
    if (!first && text[pos] == '&') ++pos;
    while (pos < n && IsControl(text[pos])) ++pos;
    if (pos >= n) {
      if (!first) items.emplace_back();
      break;
    }
    std::string item;
    if (text[pos] == '"') {
      ++pos;
      while (pos < n) {
        if (text[pos] == '"') {
          if (pos + 1 < n && text[pos + 1] == '"') {
            item += '"';
            pos += 2;
            continue;
          }
          ++pos;  // the closing quote
          break;
        }
        item += text[pos++];
      }
    } else {
      std::size_t start = pos;
      while (pos < n && text[pos] != '&' && !IsControl(text[pos])) ++pos;
      item.assign(text.substr(start, pos - start));
    }
    items.push_back(std::move(item));
    first = false;
    while (pos < n && IsControl(text[pos])) ++pos;
  }
  return items;
}

void ParseFormData(const RequestHeader& request, std::string_view body, TJSON& form) {
  try {
    const std::string contentType = RequestContentType(request);
    if (contentType == "application/x-www-form-urlencoded") {
      JsonValue& obj = form.Current();
      for (const std::string& item : SplitFormText(body)) {
        std::size_t eq = item.find('=');
        if (eq == std::string::npos) {
          obj[""] = item;
        } else {
          obj[item.substr(0, eq)] = item.substr(eq + 1);
        }
      }
    } else if (contentType.rfind("multipart/form-data", 0) == 0) {
      ParseMultipartFormData(body, GetBoundary(contentType), form);
    }
  } catch (const std::exception& e) {
    WriteLine("Parser Form Data Error:- " + ConsoleQuote(e.what()));
  }
}

std::string GetBoundary(const std::string& contentType) {
  static const std::string key = "boundary=";
  std::size_t at = contentType.find(key);
  if (at == std::string::npos) return {};
  std::string boundary = contentType.substr(at + key.size());
  if (!boundary.empty() && boundary.front() == '"') {
    boundary = boundary.size() >= 2 ? boundary.substr(1, boundary.size() - 2) : std::string();
  }
  return boundary;
}

std::string GetQuotedParam(const std::string& line, const std::string& key) {
  std::size_t at = line.find(key + "=\"");
  if (at == std::string::npos) return {};
  std::size_t start = at + key.size() + 2;
  std::size_t end = line.find('"', start);
  if (end == std::string::npos) return {};
  return line.substr(start, end - start);
}

long long TMultipartParser::IndexOfBytes(std::string_view pattern, long long start) const {
  if (pattern.empty() || start < 0) return -1;
  if (static_cast<unsigned long long>(start) + pattern.size() > body_.size()) return -1;
  std::size_t at = body_.find(pattern, static_cast<std::size_t>(start));
  return at == std::string_view::npos ? -1 : static_cast<long long>(at);
}

std::vector<std::string> TMultipartParser::ReadPartHeaders(long long start, long long end) const {
  std::vector<std::string> lines;
  if (start < 0) start = 0;
  if (end > static_cast<long long>(body_.size())) end = static_cast<long long>(body_.size());
  if (end <= start) return lines;
  // Bytes are kept as they are, so that UTF-8 field and file names survive.
  std::string_view block = body_.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t brk = block.find_first_of("\r\n", pos);
    if (brk == std::string_view::npos) {
      lines.emplace_back(block.substr(pos));
      break;
    }
    lines.emplace_back(block.substr(pos, brk - pos));
    pos = brk + ((block[brk] == '\r' && brk + 1 < block.size() && block[brk + 1] == '\n') ? 2 : 1);
  }
  return lines;
}

std::string SafeUploadName(std::string_view clientName) {
  std::size_t cut = clientName.find_last_of("/\\");
  std::string_view name = cut == std::string_view::npos ? clientName : clientName.substr(cut + 1);
  if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string_view::npos) return {};
  return std::string(name);
}

std::string NumberedUploadName(const std::string& name, unsigned number) {
  if (number == 0) return name;
  // The extension is what follows the last dot, unless that dot begins the name.
  const std::size_t dot = name.rfind('.');
  const std::size_t cut = dot == std::string::npos || dot == 0 ? name.size() : dot;
  return name.substr(0, cut) + "-" + std::to_string(number) + name.substr(cut);
}

std::string SaveUploadFile(const std::string& cacheDir, const std::string& name, std::string_view data) {
  const std::string shown = cacheDir + "/" + ConsoleQuote(name);  // the client's name, as errors quote it
  NewFile file;
  for (unsigned number = 0; file.fd < 0; ++number) {
    if (number > kMaxUploadNumber) {
      errno = EEXIST;
      throw SystemError("Cannot create file " + shown);
    }
    // O_EXCL: of two uploads at the same time only one creates a name, and a
    // link left at that name is never followed.
    const std::string path = cacheDir + "/" + NumberedUploadName(name, number);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
      file.fd = fd;
      file.path = path;
    } else if (errno != EEXIST) {
      throw SystemError("Cannot create file " + shown);
    }
  }
  ::fchmod(file.fd, 0644);
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t w = ::write(file.fd, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw SystemError("Cannot write file " + shown);
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  const int closed = ::close(file.fd);
  file.fd = -1;
  if (closed != 0) throw SystemError("Cannot write file " + shown);
  file.kept = true;
  return file.path;
}

void ParseMultipartFormData(std::string_view body, const std::string& boundary, TJSON& form) {
  if (body.empty() || boundary.empty()) return;
  try {
    TMultipartParser parser(body);
    const std::string delimiter = "--" + boundary;
    const long long size = static_cast<long long>(body.size());
    const long long dlen = static_cast<long long>(delimiter.size());
    const std::string cacheDir = ProjDir + "/cache";
    JsonValue& obj = form.Current();
    long long pos = 0;
    while (pos < size) {
      long long delim = parser.IndexOfBytes(delimiter, pos);
      if (delim < 0) break;
      long long headerEnd = parser.IndexOfBytes("\r\n\r\n", delim + dlen);
      if (headerEnd < 0) break;
      std::vector<std::string> headers = parser.ReadPartHeaders(delim + dlen + 2, headerEnd);

      TFormDataItem part;
      if (!headers.empty()) {
        part.Name = GetQuotedParam(headers[0], "name");
        part.FileName = GetQuotedParam(headers[0], "filename");
        part.IsFile = !part.FileName.empty();
      }
      const long long contentStart = headerEnd + 4;
      long long next = parser.IndexOfBytes(delimiter, contentStart);
      long long contentEnd = next < 0 ? size : next - 2;
      bool keep = true;
      if (contentEnd > contentStart) {
        std::string_view content = body.substr(static_cast<std::size_t>(contentStart),
                                               static_cast<std::size_t>(contentEnd - contentStart));
        if (part.IsFile) {
          std::string safe = SafeUploadName(part.FileName);
          if (safe.empty()) {
            // A name that could leave the cache folder is never used.
            WriteLine("Parse Form Data Error:- Refused upload file name \"" + ConsoleQuote(part.FileName) + "\"");
            keep = false;
          } else {
            part.Data = content;
            part.Value = SaveUploadFile(cacheDir, safe, part.Data);
          }
        } else {
          part.Value.assign(content);
        }
      }
      if (keep && !part.Name.empty()) obj[part.Name] = part.Value;
      // Move on to the next delimiter (always forward, even for a malformed part).
      pos = next < 0 ? size : next;
    }
  } catch (const std::exception& e) {
    WriteLine("Parse Form Data Error:- " + ConsoleQuote(e.what()));
  }
}

}  // namespace vexa
