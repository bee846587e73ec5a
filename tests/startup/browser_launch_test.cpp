// Which program the desk mode starts, with which arguments and environment.

#include <gtest/gtest.h>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "platform/process.hpp"
#include "server/startup/browser_launch.hpp"

namespace vexa {
namespace {

class BrowserLaunch_ : public ::testing::Test {
 protected:
  void SetUp() override {
    ExePath = "/opt/b";
    ProjPath = "/p/site.phar";
    ProjDir = "/p";
    PhpAppType = "start.php";
    Args = new TAssoArray;
    Args->SetValue("--proj", Variant("/p/site.phar"));
  }
  void TearDown() override {
    delete Args;
    Args = nullptr;
  }
  TJSON settings;
  const std::string url = "http://127.0.0.1:8001";
};

TEST_F(BrowserLaunch_, TheFourKinds) {
  settings.Add("browser", "");
  auto shell = PlanBrowserLaunch(settings, url);
  EXPECT_EQ(shell.program, "/opt/b/vexadesk/bin/linux-x64/vvl/vexaview");
  EXPECT_EQ(shell.args, (std::vector<std::string>{"--url=" + url, "--projpath=/p/site.phar", "--projtype=start.php"}));
  EXPECT_TRUE(shell.wait);

  settings.Add("browser", "default");
  auto dflt = PlanBrowserLaunch(settings, url);
  EXPECT_EQ(dflt.program, "xdg-open");
  EXPECT_EQ(dflt.args, std::vector<std::string>{url});
  EXPECT_FALSE(dflt.wait);

  settings.Add("browser", "$exepath/b/$projpath");
  settings.Parse(R"({ "browserparam": ["$url", "x$url$url", "$projpath", "$exepath", "$URL", 3] })");
  auto custom = PlanBrowserLaunch(settings, url);
  EXPECT_EQ(custom.program, "/opt/b/b//p/site.phar");
  EXPECT_EQ(custom.args, (std::vector<std::string>{url, "x" + url + url, "/p/site.phar", "/opt/b", "$URL", "3"}));
  EXPECT_TRUE(custom.wait);
  EXPECT_EQ(settings.GetValue("browser").ToString(), "/opt/b/b//p/site.phar");  // written back
}

TEST_F(BrowserLaunch_, BadSettingsRaise) {
  try {
    PlanBrowserLaunch(settings, url);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "JSON Key not found.");
  }
  settings.Add("browser", "/usr/bin/browser");
  EXPECT_THROW(PlanBrowserLaunch(settings, url), std::exception);  // no "browserparam"
  settings.Parse(R"({ "browserparam": "$url" })");
  EXPECT_THROW(PlanBrowserLaunch(settings, url), std::exception);  // not an array
}

TEST_F(BrowserLaunch_, EnvironmentEndsWithTheSixEntries) {
  const auto own = platform::CurrentEnvironment();
  const auto env = BrowserEnvironment(url);
  ASSERT_EQ(env.size(), own.size() + 6);
  EXPECT_TRUE(std::equal(own.begin(), own.end(), env.begin()));
  EXPECT_EQ(std::vector<std::string>(env.end() - 6, env.end()),
            (std::vector<std::string>{"VEXA_EXECPATH=/opt/b", "VEXA_DESKPATH=/opt/b", "VEXA_PROJPATH=/p/site.phar",
                                      "VEXA_PROJDIR=/p", "VEXA_ARG={ \"--proj\" : \"/p/site.phar\" }",
                                      "VEXAURL=" + url}));
}

}  // namespace
}  // namespace vexa
