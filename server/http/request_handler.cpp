#include "server/http/request_handler.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>

#include "core/globals.hpp"
#include "core/json.hpp"
#include "platform/process.hpp"
#include "server/http/chunked_writer.hpp"
#include "server/http/request_checks.hpp"
#include "server/http/shared_routines.hpp"
#include "server/http/vexa_request_handler.hpp"

namespace vexa {

namespace {

bool Contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

void SetTextReply(HttpReply& reply, http::status status, const std::string& text) {
  reply.response.result(status);
  reply.response.set(http::field::content_type, "text/plain; charset=utf-8");
  reply.response.body() = text;
}

// The fields of every file reply: its type, ten days of caching, and no use
// by a page of another origin: the browser never guesses another type (a
// text file is not run as a script or read as a style sheet) and hands the
// reply to no other origin's page, so a script or image tag there learns
// nothing, not even whether the file exists.
void SetFileFields(HttpResponse& res, const std::string& extension) {
  res.set(http::field::content_type, GetMimeType(extension));
  res.set(http::field::cache_control, kFileCacheControl);
  res.set("X-Content-Type-Options", "nosniff");
  res.set("Cross-Origin-Resource-Policy", "same-origin");
}

// A file reply that turned into an error keeps none of them.
void DropFileFields(HttpResponse& res) {
  res.erase(http::field::cache_control);
  res.erase("X-Content-Type-Options");
  res.erase("Cross-Origin-Resource-Policy");
  res.erase("Content-Security-Policy");
}

// A file stored from an upload is shown and downloaded, but never runs as a
// page of the server's own origin: in a sandbox its scripts do not run, and
// what it loads comes from an opaque origin, which "~furl/" refuses.
void SetUploadFields(HttpResponse& res) { res.set("Content-Security-Policy", "sandbox"); }

// The upload folder (ProjDir + "/cache") as it is now: its device and inode
// and its real path. The real path is looked up again only when the folder
// found there is another one.
struct UploadFolder {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string real;
};

std::optional<UploadFolder> CurrentUploadFolder() {
  static std::mutex lock;
  static UploadFolder known;
  struct stat st;
  if (ProjDir.empty() || ::stat((ProjDir + "/cache").c_str(), &st) != 0) return std::nullopt;
  std::lock_guard<std::mutex> g(lock);
  if (known.real.empty() || known.dev != st.st_dev || known.ino != st.st_ino) {
    char real[PATH_MAX];
    if (!::realpath((ProjDir + "/cache").c_str(), real)) return std::nullopt;
    known = {st.st_dev, st.st_ino, real};
  }
  return known;
}

// Whether something at real path `real` (no links, no "." or ".."; on
// device `dev`) lies in the upload folder or below it. Decided on what the
// path leads to, not on its spelling: the folder that holds it at the upload
// folder's depth must be the upload folder itself (by device and inode), so
// a folder name that the file system matches without regard to case counts
// too.
bool IsUnderUploadFolder(const std::string& real, dev_t dev) {
  const auto folder = CurrentUploadFolder();
  if (!folder || dev != folder->dev) return false;
  const size_t depth = static_cast<size_t>(std::count(folder->real.begin(), folder->real.end(), '/'));
  size_t cut = 0;
  for (size_t seen = 0; seen < depth; ++seen) {
    cut = real.find('/', cut + 1);
    if (cut == std::string::npos) return false;  // the folder itself, or above it
  }
  struct stat st;
  return ::stat(real.substr(0, cut).c_str(), &st) == 0 && st.st_dev == folder->dev && st.st_ino == folder->ino;
}

// The same for an open file: its real path as the kernel knows it, so the
// file cannot change between this check and the reply.
bool IsOpenFileInUploadFolder(int fd, const struct stat& st) {
  if (ProjDir.empty()) return false;
  char real[PATH_MAX];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), real, sizeof real - 1);
  if (n <= 0 || real[0] != '/') return false;
  return IsUnderUploadFolder(std::string(real, static_cast<size_t>(n)), st.st_dev);
}

// Whether a path that reaches into a .phar archive does so in the upload
// folder: some part of it that exists (the archive) lies there, through
// whatever links.
bool IsPharInUploadFolder(const std::string& path) {
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    char real[PATH_MAX];
    struct stat st;
    const std::string part = path.substr(0, end);
    if (::realpath(part.c_str(), real) && ::stat(real, &st) == 0 && IsUnderUploadFolder(real, st.st_dev))
      return true;
    if (end == std::string::npos) return false;
  }
}

}  // namespace

void HttpFileBody::Close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string TargetPath(std::string_view target) {
  return std::string(target.substr(0, target.find('?')));
}

std::string PathExtension(const std::string& path) {
  size_t cut = path.find_last_of("/\\:");
  std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string SettingText(const std::string& name) {
  if (!Settings) return "";
  const JsonValue* v = Settings->Find(name);
  if (!v) return "";
  return v->is_string() ? v->get<std::string>() : WriteJSON(*v);
}

std::string MapLocalPath(const std::string& requestPath, bool* anyLocalFile) {
  std::string local = requestPath;
  bool inFolder = true;
  if (size_t rs = local.find("~rs/"); rs != std::string::npos) {
    local = SettingText("orvantphppath") + "/" + local.substr(rs + 4);
  } else if (PhpAppTypeIsDefault) {
    local = ProjPath + local;
  } else {
    inFolder = false;  // the bare path: any local file
  }
  if (size_t furl = local.find("~furl/"); furl != std::string::npos) {
    local = local.substr(furl + 6);
    inFolder = false;
  }
  if (anyLocalFile) *anyLocalFile = !inFolder;
  return local;
}

std::string EscapePhpSingleQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out;
}

std::string PharOneLiner(const std::string& localPath) {
  return "$f='phar://" + EscapePhpSingleQuoted(localPath) + "';if(!is_file($f))exit(" +
         std::to_string(kPharFileMissingExit) + ");readfile($f);";
}

void TRequestHandler::HandleRequest(TConnection& connection, const HttpRequest& request,
                                    HttpReply& reply, bool secure) {
  std::string path;
  try {
    path = TargetPath(request.target());
    if (path == "/") path = "/index.html";
    const std::string ext = PathExtension(path);
    if (ext == "php" || ext == "front") path += ".html";

    const bool page = ext == "html" || ext == "app";
    bool anyLocalFile = false;
    const std::string local = page ? std::string() : MapLocalPath(path, &anyLocalFile);
    // A file of the project or the framework folder is named from inside it:
    // no ".." segment may climb out. Any local file (by "~furl/" or the bare
    // path of a named start script) is served to this machine's own clients
    // only, and never to a page of another site or port.
    std::optional<std::string_view> fetchSite;
    if (auto site = request.find("Sec-Fetch-Site"); site != request.end()) fetchSite = site->value();
    const bool refused = anyLocalFile
                             ? !IsLoopbackIPv4(connection.PeerAddress()) || !IsLocalFileFetchAllowed(fetchSite)
                             : HasDotDotSegment(path);
    if (refused) {
      SetTextReply(reply, http::status::not_found, "404 Not Found");
      return;
    }

    if (page) {
      // Application page: the page road writes the whole reply.
      ServeApplicationPage(path, connection, request, reply, secure, slots_);
      return;
    }

    if (Contains(local, ".phar"))
      ServePharFile(local, ext, connection, request, reply);
    else
      ServeStaticFile(local, ext, connection, request, reply);
  } catch (const std::exception& e) {
    PrintError("Error Request Handler:- " + std::string(e.what()) + " Path " + ConsoleQuote(path));
  }
}

void TRequestHandler::ServeStaticFile(const std::string& localPath, const std::string& extension,
                                      TConnection&, const HttpRequest&, HttpReply& reply) {
  // Opened first and checked on the descriptor: one look at the file system
  // and no gap between check and open. O_NONBLOCK keeps a FIFO from holding
  // the thread; it changes nothing for regular files.
  int fd = ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int e = errno;
    if (e != ENOENT && e != ENOTDIR && e != ENAMETOOLONG && e != ELOOP) {
      // The file is there but cannot be read: an error, not an empty success.
      PrintError("Error Request Handler:- " + std::string(std::strerror(e)) + " Path " + ConsoleQuote(localPath));
      SetTextReply(reply, http::status::internal_server_error, "500 " + localPath + " cannot be read");
      return;
    }
  }
  struct stat st;
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);  // a folder (or anything else) is not a file
    fd = -1;
  }
  if (fd < 0) {
    SetTextReply(reply, http::status::not_found, "404 " + localPath + " Not Found");
    return;
  }
  SetFileFields(reply.response, extension);
  // The open file itself is checked, so it cannot change between check and reply.
  if (IsOpenFileInUploadFolder(fd, st)) SetUploadFields(reply.response);
  reply.file.fd = fd;
  reply.file.size = static_cast<uint64_t>(st.st_size);
  reply.response.result(http::status::ok);
}

TProcessSlot TakeRequestSlot(TProcessSlots& slots, TConnection& connection, const TRequestRunNames& names,
                             const std::function<void(http::status, const std::string&)>& answer) {
  const auto wait = slots.Limits().PageWait;
  TProcessSlot slot = slots.Take(TProcessKind::Request, wait,
                                 [&] { return connection.IsShutdown() || connection.PeerHungUp(); });
  if (slot) return slot;
  if (connection.IsShutdown()) return slot;
  if (connection.PeerHungUp()) {
    WriteLine(names.Run + " " + ConsoleQuote(names.Path) +
              " not run: its client left while it waited for a process slot");
    connection.Shutdown();  // nothing goes to it
    return slot;
  }
  PrintError("Request Handler Error:- Server busy: " + slots.BusyText(TProcessKind::Request) + "; the " +
             names.Waiter + " waited " + std::to_string(wait.count()) + " ms Path " + ConsoleQuote(names.BusyPath));
  answer(http::status::service_unavailable, kNoSlotReplyText);
  return slot;
}

void TRequestHandler::ServePharFile(const std::string& localPath, const std::string& extension,
                                    TConnection& connection, const HttpRequest& request, HttpReply& reply) {
  // The read is a PHP process like a page's, and waits for a slot the same
  // way; the slot is given back once the child has been reaped (declared
  // first, so it goes last).
  const std::string path = TargetPath(request.target());
  TProcessSlot slot = TakeRequestSlot(slots_, connection, {"Phar read", "file", path, path},
                                      [&](http::status status, const std::string& text) {
                                        SetTextReply(reply, status, text);
                                      });
  if (!slot) return;  // answered 503, or there is nobody to answer
  std::unique_ptr<platform::Process> child;
  try {
    platform::SpawnOptions opts;
    opts.program = SettingText("php");
    opts.args = {"-r", PharOneLiner(localPath)};
    opts.env = platform::CurrentEnvironment();
    opts.env.push_back("VEXA_EXECPATH=" + ExePath);
    opts.env.push_back("VEXA_PROJPATH=" + ProjPath);
    opts.env.push_back("VEXA_PROJDIR=" + ProjDir);
    opts.pipeStdin = false;  // nothing is ever written to it
    child = platform::Process::Spawn(opts);
  } catch (const std::exception& e) {
    PrintError("Error in Phar File " + ProjPath + " Project Read In Phar File " + ConsoleQuote(e.what()));
    SetTextReply(reply, http::status::internal_server_error, "500 PHP could not be started");
    return;
  }

  // A read whose client has left is stopped with one console line, and
  // nothing more goes to the connection; one whose connection the server's
  // shutdown has shut is stopped quietly. Returning kills and reaps a child
  // that still runs.
  auto stopped = [&](const std::string& why) {
    WriteLine("Phar read " + ConsoleQuote(path) + " stopped: " + why);
    connection.Shutdown();
  };
  reply.response.result(http::status::ok);
  SetFileFields(reply.response, extension);
  if (IsPharInUploadFolder(localPath)) SetUploadFields(reply.response);
  try {
    // Both streams side by side, so a child that fills its error pipe cannot
    // stall. The header leaves with the first bytes of the file, or when the
    // child has ended: only then is it known whether the file exists. The
    // wait watches the connection too: the client's hang-up, or the server
    // shutting the connection, ends it at once; bytes that arrive on it (a
    // request pipelined behind this one) do not.
    std::string buf(kMaxChunkSize, '\0');
    int fds[2] = {child->StdoutFd(), child->StderrFd()};
    while (fds[0] >= 0 || fds[1] >= 0) {
      pollfd p[3];
      nfds_t n = 0;
      for (int fd : fds)
        if (fd >= 0) p[n++] = {fd, POLLIN, 0};
      p[n] = {connection.NativeHandle(), POLLRDHUP, 0};
      int r = ::poll(p, n + 1, -1);
      if (r < 0 && errno != EINTR) throw std::runtime_error(std::strerror(errno));
      if (r <= 0) continue;
      if (p[n].revents != 0) {
        if (connection.IsShutdown()) return;
        if (connection.PeerHungUp()) {
          stopped("its client left");
          return;
        }
      }
      for (nfds_t i = 0; i < n; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t got = ::read(p[i].fd, buf.data(), buf.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        const bool isOut = p[i].fd == child->StdoutFd();
        if (got <= 0) {
          if (isOut) {
            child->CloseStdout();
            fds[0] = -1;
          } else {
            child->CloseStderr();
            fds[1] = -1;
          }
          continue;
        }
        if (isOut) {
          if (!reply.started) StartChunked(connection, reply);
          WriteChunked(connection, buf.data(), static_cast<size_t>(got));
        } else {
          std::string text = buf.substr(0, static_cast<size_t>(got));
          while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
          WriteLine("Error Phar File:- " + ConsoleQuote(text));
        }
      }
    }
    const int code = child->Wait();
    if (!reply.started && code == kPharFileMissingExit) {
      DropFileFields(reply.response);
      SetTextReply(reply, http::status::not_found, "404 " + localPath + " Not Found");
      return;
    }
    if (!reply.started) StartChunked(connection, reply);
    child.reset();
    EndChunked(connection, reply);
  } catch (const std::system_error& e) {
    // Only a write to the client raises this: the client went away, or
    // stopped reading for longer than a write may wait.
    if (connection.IsShutdown()) return;
    const std::error_code code = e.code();
    if (code == std::errc::broken_pipe || code == std::errc::connection_reset || connection.PeerHungUp())
      stopped("its client left");
    else
      stopped("writing to its client failed: " + ConsoleQuote(e.what()));
  } catch (const std::exception& e) {
    PrintError("Error in Phar File " + ProjPath + " Project Read In Phar File " + ConsoleQuote(e.what()));
    if (!reply.started) {
      DropFileFields(reply.response);
      SetTextReply(reply, http::status::internal_server_error, "500 " + localPath + " cannot be read");
      return;
    }
    // The reply has begun: it ends where it stands.
    child.reset();
    try {
      EndChunked(connection, reply);
    } catch (const std::system_error&) {
      if (!connection.IsShutdown()) stopped("its client left");
    }
  }
}

}  // namespace vexa
