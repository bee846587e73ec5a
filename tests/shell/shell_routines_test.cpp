// The shell's own routines: which address it opens, how a "SetTitle" request
// becomes the title, and what happens when the web view runtime is missing.

#include "shell/browser_shell.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace vexa {
namespace {

std::string UrlOf(std::vector<const char*> args) {
  args.insert(args.begin(), "vexaview");
  return ShellUrl(static_cast<int>(args.size()), args.data());
}

TEST(ShellUrl, FirstArgumentLosesSixCharactersAndOthersAreIgnored) {
  EXPECT_EQ(UrlOf({"--url=http://127.0.0.1:8000", "--projpath=/p", "--projtype=x"}),
            "http://127.0.0.1:8000");
  EXPECT_EQ(UrlOf({"abcdefhttp://localhost/"}), "http://localhost/");
  EXPECT_EQ(UrlOf({"--url="}), "");
  EXPECT_EQ(UrlOf({"--u"}), "");
  EXPECT_EQ(UrlOf({"--url=x"}), "x");
}

TEST(ShellUrl, NoOrEmptyArgumentGivesTheBuiltInStartPage) {
  const std::string start = UrlOf({});
  EXPECT_EQ(start.rfind("data:text/html", 0), 0u) << start;
  EXPECT_NE(start.find("vexaview"), std::string::npos);
  // A literal '#' would end the document at the fragment; spaces must be coded.
  EXPECT_EQ(start.find_first_of("# <>\""), std::string::npos) << start;
  EXPECT_EQ(UrlOf({""}), start);
}

TEST(TitleFromRequest, CutsTwoBytesAtEachEndWithoutDecoding) {
  EXPECT_EQ(TitleFromRequest(R"(["Page"])"), "Page");
  EXPECT_EQ(TitleFromRequest(R"(["Say \"hi\""])"), R"(Say \"hi\")");
  EXPECT_EQ(TitleFromRequest("[42]"), "");
  EXPECT_EQ(TitleFromRequest("[12345]"), "234");
  EXPECT_EQ(TitleFromRequest("[\"caf\xC3\xA9\"]"), "caf\xC3\xA9");
}

TEST(TitleFromRequest, ShortRequestsLeaveTheTitleAlone) {
  EXPECT_FALSE(TitleFromRequest("").has_value());
  EXPECT_FALSE(TitleFromRequest("[]").has_value());
  EXPECT_FALSE(TitleFromRequest("[1]").has_value());
}

TEST(RuntimeCheck, LooksForTheRuntimeFolder) {
  const fs::path dir = fs::temp_directory_path() / ("vexa-runtime-" + std::to_string(getpid()));
  fs::remove_all(dir);
  EXPECT_FALSE(IsWebView2Installed(dir.string()));
  EXPECT_FALSE(IsWebView2Installed(""));
  { std::ofstream(dir.string()) << "a file, not a folder"; }
  EXPECT_FALSE(IsWebView2Installed(dir.string()));
  fs::remove(dir);
  fs::create_directory(dir);
  EXPECT_TRUE(IsWebView2Installed(dir.string()));
  fs::remove_all(dir);
  // This machine has the runtime the program was built against.
  EXPECT_TRUE(IsWebView2Installed());
}

TEST(RuntimeCheck, MissingRuntimeIsReportedAndItsPageOpened) {
  std::ostringstream out;
  std::vector<std::string> opened;
  ReportMissingRuntime(out, [&](const std::string& u) {
    opened.push_back(u);
    return true;
  });
  std::istringstream lines(out.str());
  std::string first, second, rest;
  std::getline(lines, first);
  std::getline(lines, second);
  std::getline(lines, rest);
  EXPECT_EQ(first, "WebView2 runtime is not installed.");
  EXPECT_NE(second.find("libwebkit2gtk-4.1-0"), std::string::npos) << second;
  EXPECT_TRUE(rest.empty() && lines.eof());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].rfind("https://", 0), 0u);
}

// Runs with a PATH whose only "xdg-open" is a script of the test's own.
class DefaultHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vexa-open-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    const char* old = std::getenv("PATH");
    oldPath_ = old ? old : "";
    setenv("PATH", dir_.c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", oldPath_.c_str(), 1);
    fs::remove_all(dir_);
  }
  void WriteOpener(const std::string& body) {
    const fs::path p = dir_ / "xdg-open";
    std::ofstream(p.string()) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(p, fs::perms::owner_all);
  }
  fs::path dir_;
  std::string oldPath_;
};

TEST_F(DefaultHandler, PassesTheAddressAsOneArgument) {
  WriteOpener("printf '%s|%s' \"$#\" \"$1\" > \"" + (dir_ / "got").string() + "\"");
  const std::string url = "https://example.invalid/a b;$(touch x)";
  EXPECT_TRUE(OpenInDefaultHandler(url));
  std::ifstream in((dir_ / "got").string());
  std::string got((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(got, "1|" + url);
  EXPECT_FALSE(fs::exists(fs::current_path() / "x"));
}

TEST_F(DefaultHandler, AnOpenerThatStaysDoesNotHoldTheShell) {
  const fs::path pidFile = dir_ / "pid";
  WriteOpener("echo $$ > \"" + pidFile.string() + "\"; exec /bin/sleep 30");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(OpenInDefaultHandler("https://example.invalid/"));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  // The opener is still ours: end and reap it.
  pid_t pid = 0;
  std::ifstream(pidFile.string()) >> pid;
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

TEST_F(DefaultHandler, MissingOpenerIsReported) {
  EXPECT_FALSE(OpenInDefaultHandler("https://example.invalid/"));
}

}  // namespace
}  // namespace vexa
