#include "server/startup/path_routines.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace vexa {

namespace fs = std::filesystem;

std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  size_t pos = 0;
  for (size_t hit; (hit = text.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
    out.append(text, pos, hit - pos);
    out += to;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

std::string RemoveTrailingSlash(const std::string& path) {
  if (!path.empty() && (path.back() == '/' || path.back() == '\\')) return path.substr(0, path.size() - 1);
  return path;
}

std::string GetServerBaseDir(const std::string& exeFile) {
  fs::path exe;
  if (exeFile.empty()) {
    std::error_code ec;
    exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) throw std::runtime_error("Cannot find the server's own path: " + ec.message());
  } else {
    exe = fs::absolute(exeFile);
  }
  fs::path base = (exe.parent_path() / ".." / "..").lexically_normal();
  return RemoveTrailingSlash(base.string());
}

std::string GetCurrentDirNoSlash() {
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  if (ec) throw std::runtime_error("Cannot read the current folder: " + ec.message());
  return RemoveTrailingSlash(cwd.string());
}

std::unique_ptr<TAssoArray> GetPathInfo(const std::string& path) {
  const size_t cut = path.find_last_of("/\\:");
  std::string dir = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
  std::string base = cut == std::string::npos ? path : path.substr(cut + 1);
  std::string ext;
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos) ext = base.substr(dot + 1);
  auto info = std::make_unique<TAssoArray>();
  info->SetValue("dir", RemoveTrailingSlash(dir));
  info->SetValue("basename", base);
  info->SetValue("ext", ext);
  return info;
}

}  // namespace vexa
