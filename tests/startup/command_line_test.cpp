#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "server/startup/command_line.hpp"
#include "server/startup/path_routines.hpp"

namespace vexa {
namespace {

std::map<std::string, std::string> Parse(const std::vector<std::string>& words) {
  auto args = ParseCommandLineArgs(words);
  std::map<std::string, std::string> out;
  for (const auto& [key, value] : *args) out[key] = value.ToVariant().ToString();
  return out;
}

using Map = std::map<std::string, std::string>;

TEST(ParseCommandLineArgs, WordsAndPairs) {
  EXPECT_EQ(Parse({}), Map{});
  EXPECT_EQ(Parse({"/work/site"}), (Map{{"/work/site", ""}}));
  EXPECT_EQ(Parse({"--port", "9000"}), (Map{{"--port", "9000"}, {"--pfound", ""}}));
  // A switch consumes the next word whatever it is; that word never becomes an option.
  EXPECT_EQ(Parse({"--desk", "--port", "9000"}), (Map{{"--desk", "--port"}, {"9000", ""}, {"--pfound", ""}}));
  EXPECT_EQ(Parse({"-x", "y"}), (Map{{"-x", "y"}, {"--pfound", ""}}));
}

TEST(ParseCommandLineArgs, OptionInLastPlaceIsNoPair) {
  EXPECT_EQ(Parse({"site", "--port"}), (Map{{"site", ""}, {"--port", ""}}));
  // An empty word is not an option.
  EXPECT_EQ(Parse({"", "x"}), (Map{{"", ""}, {"x", ""}}));
}

TEST(ParseCommandLineArgs, LaterDuplicateWinsAndNamesAreCaseSensitive) {
  EXPECT_EQ(Parse({"--port", "1", "--PORT", "2", "--port", "3"}),
            (Map{{"--port", "3"}, {"--PORT", "2"}, {"--pfound", ""}}));
}

TEST(PathRoutines, GetPathInfo) {
  struct Case {
    std::string path, dir, base, ext;
  } cases[] = {
      {"C:/a/b.phar", "C:/a", "b.phar", "phar"},
      {"/work/site/", "/work/site", "", ""},
      {"/work/site", "/work", "site", ""},
      {"app.vexa", "", "app.vexa", "vexa"},
      {"a\\b\\c.tar.gz", "a\\b", "c.tar.gz", "gz"},
      {"/a.b/c", "/a.b", "c", ""},  // a dot in a folder name is no extension
      {"/x/name.", "/x", "name.", ""},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    auto info = GetPathInfo(c.path);
    EXPECT_EQ(info->GetValue("dir").ToString(), c.dir) << c.path;
    EXPECT_EQ(info->GetValue("basename").ToString(), c.base) << c.path;
    EXPECT_EQ(info->GetValue("ext").ToString(), c.ext) << c.path;
  }
}

TEST(PathRoutines, RemoveTrailingSlashAndReplaceAll) {
  EXPECT_EQ(RemoveTrailingSlash("a/"), "a");
  EXPECT_EQ(RemoveTrailingSlash("a\\"), "a");
  EXPECT_EQ(RemoveTrailingSlash("a//"), "a/");  // only one
  EXPECT_EQ(RemoveTrailingSlash(""), "");
  EXPECT_EQ(ReplaceAll("$exepath/x/$exepath", "$exepath", "/b"), "/b/x//b");
  EXPECT_EQ(ReplaceAll("aa", "a", "aa"), "aaaa");  // replaced text is not searched again
  EXPECT_EQ(ReplaceAll("$URL", "$url", "x"), "$URL");  // case-sensitive
}

TEST(PathRoutines, ServerBaseDirIsTwoLevelsUp) {
  EXPECT_EQ(GetServerBaseDir("/opt/b/vexadesk/bin/vexaserver"), "/opt/b");
  EXPECT_EQ(GetServerBaseDir("/opt/b/vexadesk/bin/../bin/vexaserver"), "/opt/b");
  // This test program's own path when none is given.
  const auto self = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(GetServerBaseDir(), self.parent_path().parent_path().parent_path().string());
}

}  // namespace
}  // namespace vexa
