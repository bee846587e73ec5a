#pragma once
// Helpers of the page tests: requests parsed from raw bytes by Beast, exactly
// as the listener parses them, and capture of console lines.

#include <unistd.h>

#include <cstdio>
#include <string>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <gtest/gtest.h>

namespace vexa::test {

using Request = boost::beast::http::request<boost::beast::http::string_body>;

inline Request ParseRequest(const std::string& raw) {
  boost::beast::http::request_parser<boost::beast::http::string_body> parser;
  parser.eager(true);
  parser.body_limit(64 * 1024 * 1024);
  parser.header_limit(1024 * 1024);
  boost::beast::error_code ec;
  std::size_t used = parser.put(boost::asio::buffer(raw), ec);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_EQ(used, raw.size());
  if (!parser.is_done()) parser.put_eof(ec);
  EXPECT_TRUE(parser.is_done());
  return parser.release();
}

// Collects what the code under test writes to standard output.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    char name[] = "/tmp/pages-capture-XXXXXX";
    fd_ = ::mkstemp(name);
    ::unlink(name);
    saved_ = ::dup(1);
    ::dup2(fd_, 1);
  }
  ~StdoutCapture() {
    Restore();
    if (fd_ >= 0) ::close(fd_);
  }
  std::string Text() {
    Restore();
    std::string out;
    ::lseek(fd_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd_, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
  }
  int fd_ = -1;
  int saved_ = -1;
};

}  // namespace vexa::test
