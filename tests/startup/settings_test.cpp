// The settings merge of the application object: defaults, the bundle's
// settings.json, the project's app.vexa and the options, the project
// resolution and the placeholders.

#include <gtest/gtest.h>

#include <filesystem>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "server/startup/start_app.hpp"
#include "test_bundle.hpp"

namespace vexa {
namespace {

using test::TestBundle;

class Settings_ : public ::testing::Test {
 protected:
  std::unique_ptr<TStartApp> Make(std::vector<std::string> args) {
    TStartApp::Options options;
    options.args = std::move(args);
    options.exeFile = bundle.Exe();
    return std::make_unique<TStartApp>(std::move(options));
  }
  static const JsonValue& Get(const char* name) {
    const JsonValue* v = Settings->Find(name);
    if (v == nullptr) throw std::runtime_error(std::string("no member ") + name);
    return *v;
  }
  TestBundle bundle;
};

TEST_F(Settings_, DefaultsThenBundleFile) {
  bundle.Write("vexadesk/conf/settings.json", R"({ "host": "127.0.0.1", "port": 0, "key": "/k.pem", "extra": [1] })");
  auto app = Make({});
  EXPECT_EQ(ExePath, bundle.root);
  // Defaults are added as JSON strings; a file member replaces in place with its own type.
  EXPECT_EQ(Get("key"), "/k.pem");
  EXPECT_EQ(Get("ca"), bundle.root + "/vexadesk/conf/RootCA.pem");
  EXPECT_EQ(Get("cert"), bundle.root + "/vexadesk/conf/localhost.crt");
  EXPECT_EQ(Get("secure"), "0");
  EXPECT_EQ(Get("desk"), "True");
  EXPECT_EQ(Get("php"), bundle.root + "/vexadesk/bin/linux-x64/php/php");
  EXPECT_EQ(Get("orvantphppath"), bundle.root + "/vexadesk/vendor/orvantphp/orvantphp");
  EXPECT_EQ(Get("port"), 0);
  EXPECT_EQ(Get("extra"), JsonValue::parse("[1]"));
  EXPECT_EQ(Settings->GetName(0), "key");  // order of the defaults kept
  // No arguments, no app.vexa here: the sample project.
  EXPECT_EQ(ProjPath, bundle.Sample());
  EXPECT_EQ(ProjDir, bundle.Sample());
  EXPECT_FALSE(IsPhar);
  EXPECT_EQ(Args->GetValue("--proj").ToString(), bundle.Sample() + "/app.vexa");
  EXPECT_FALSE(Args->ContainsKey("--pfound"));
}

TEST_F(Settings_, ProjectOverridesBundleAndOptionsOverrideProject) {
  const std::string proj = bundle.root + "/site";
  bundle.Write("site/app.vexa",
               R"({ "port": 7000, "host": "0.0.0.0", "php": "", "orvantphppath": "$exepath/fw:$serverpath:$projpath" })");
  auto app = Make({"--proj", proj + "/", "--host", "127.0.0.2", "--php", "/usr/bin/php8", "--type", "t1"});
  EXPECT_EQ(ProjPath, proj);
  EXPECT_EQ(Get("port"), 7000);
  EXPECT_EQ(Get("host"), "127.0.0.2");
  EXPECT_EQ(Get("php"), "/usr/bin/php8");
  EXPECT_EQ(Get("desk"), false);  // options without "--desk"
  EXPECT_EQ(Get("orvantphppath"), bundle.root + "/fw:" + proj + ":" + proj);
  EXPECT_EQ(AppType, "t1");
  EXPECT_TRUE(PhpAppTypeIsDefault);
}

TEST_F(Settings_, OptionValuesAndTypes) {
  bundle.Write("site/app.vexa", R"({ "php": "", "desk": true })");
  auto app = Make({"--proj", bundle.root + "/site", "--port", "9000", "--secure", "no", "--phpapptype", "app.php"});
  EXPECT_EQ(Get("port"), "9000");  // the text of the option
  EXPECT_EQ(Get("secure"), 1);     // the number, whatever the word
  EXPECT_EQ(Get("desk"), true);    // the project's app.vexa has the last word over the options' switch
  EXPECT_EQ(Get("php"), bundle.root + "/vexadesk/bin/linux-x64/php/php");  // empty means the default
  EXPECT_EQ(PhpAppType, "app.php");
  EXPECT_FALSE(PhpAppTypeIsDefault);
}

TEST_F(Settings_, BareProjectPathWithBackslashes) {
  bundle.Write("my/site/app.vexa", "{}");
  std::string given = bundle.root + "\\my\\site\\";
  auto app = Make({given, "second"});
  EXPECT_EQ(ProjPath, bundle.root + "/my/site");
  EXPECT_EQ(Args->GetValue("--proj").ToString(), bundle.root + "/my/site/");
  EXPECT_TRUE(Args->ContainsKey(given));
  EXPECT_EQ(Get("desk"), true);  // no pair: desk mode as configured
}

TEST_F(Settings_, VexaFile) {
  bundle.Write("p/app.vexa", R"({ "port": 1234 })");
  auto app = Make({bundle.root + "/p/app.vexa"});
  EXPECT_EQ(ProjPath, bundle.root + "/p");
  EXPECT_EQ(Get("port"), 1234);
}

TEST_F(Settings_, AppVexaOfTheCurrentFolder) {
  bundle.Write("cwd/app.vexa", R"({ "port": 4321 })");
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(bundle.root + "/cwd");
  {
    auto app = Make({});
    EXPECT_EQ(ProjPath, bundle.root + "/cwd");
    EXPECT_EQ(Get("port"), 4321);
  }
  {
    // A bare file name lies in the current folder, not at the root of the file system.
    auto app = Make({"app.vexa"});
    EXPECT_EQ(ProjPath, bundle.root + "/cwd");
  }
  // A folder named app.vexa is no project file, here or named on the command line.
  std::filesystem::create_directories(bundle.root + "/dir/app.vexa");
  bundle.Write("dir/app.vexa/app.vexa", R"({ "port": 1111 })");
  std::filesystem::current_path(bundle.root + "/dir");
  {
    auto app = Make({});
    EXPECT_EQ(ProjPath, bundle.Sample());
    EXPECT_EQ(Args->GetValue("--proj").ToString(), bundle.Sample() + "/app.vexa");
  }
  {
    auto app = Make({bundle.root + "/dir/app.vexa"});
    EXPECT_EQ(ProjPath, bundle.Sample());
  }
  std::filesystem::current_path(old);
}

TEST_F(Settings_, RegistryMapsExtensions) {
  std::filesystem::create_directories(bundle.root + "/abs/view");
  bundle.Write("vexadesk/conf/regproj.json", R"({ "tpl": { "openwith": "apps/tplview" }, "abs": { "openwith": ")" +
                                                 bundle.root + R"(/abs/view/" }, "bad": { "other": 1 } })");
  bundle.Write("apps/tplview/app.vexa", "{}");
  {
    auto app = Make({"/somewhere/page.tpl"});
    EXPECT_EQ(ProjPath, bundle.root + "/apps/tplview");  // not a folder by itself: below the bundle
  }
  {
    testing::internal::CaptureStdout();
    auto app = Make({"/somewhere/page.abs"});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ProjPath, bundle.root + "/abs/view");  // an existing folder as it is, separator removed
  }
  {
    // No member for the extension: the path as given.
    testing::internal::CaptureStdout();
    auto app = Make({"/somewhere/page.zzz"});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ProjPath, "/somewhere/page.zzz");
  }
  // An entry without "openwith" fails the start-up.
  EXPECT_THROW(Make({"/somewhere/page.bad"}), std::exception);
  EXPECT_EQ(Settings, nullptr);
  EXPECT_EQ(Args, nullptr);
}

TEST_F(Settings_, FolderProjectNeedsTheRegistry) {
  bundle.Remove("vexadesk/conf/regproj.json");
  EXPECT_THROW(Make({bundle.Sample()}), std::exception);
  auto app = Make({bundle.Sample() + "/app.vexa"});  // a .vexa file does not
  EXPECT_EQ(ProjPath, bundle.Sample());
}

TEST_F(Settings_, ProjectWithoutAppVexaSkipsTheOptions) {
  std::filesystem::create_directories(bundle.root + "/empty");
  testing::internal::CaptureStdout();
  auto app = Make({"--proj", bundle.root + "/empty", "--port", "9000", "--orvantphppath", "$exepath/x"});
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Project Path:- " + bundle.root + "/empty\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Error: Error in " + bundle.root + "/empty Project Settings:- "), std::string::npos) << out;
  EXPECT_EQ(Get("port"), 0);
  EXPECT_EQ(Get("orvantphppath"), bundle.root + "/vexadesk/vendor/orvantphp/orvantphp");
}

TEST_F(Settings_, PharProjectPathsAndAFailingReader) {
  // The bundle has no PHP here: the reader's failure is reported and start-up goes on.
  bundle.Write("vexadesk/conf/settings.json", R"({ "host": "127.0.0.1", "port": 5, "php": "" })");
  testing::internal::CaptureStdout();
  auto app =
      Make({"--proj", bundle.root + "/a/b.phar", "--port", "9", "--orvantphppath", "$serverpath|$projpath|$exepath"});
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(IsPhar);
  EXPECT_EQ(ProjPath, bundle.root + "/a/b.phar");
  EXPECT_EQ(ProjDir, bundle.root + "/a");
  EXPECT_NE(out.find("Project Path:- " + bundle.root + "/a\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Error: Error in " + bundle.root + "/a/b.phar Project Read In Phar Settings "), std::string::npos)
      << out;
  EXPECT_EQ(Get("port"), "9");  // the options still apply: the reader's failure is not the project's
  // In the framework path "$serverpath" is the archive itself, "$projpath" the folder that holds it.
  EXPECT_EQ(Get("orvantphppath"), bundle.root + "/a/b.phar|" + bundle.root + "/a|" + bundle.root);
}

TEST_F(Settings_, PharReaderThatFailsReportsItsErrorLines) {
  const std::string php = bundle.Write("tools/php", "#!/bin/sh\nprintf 'first\\nsecond' >&2\nexit 3\n");
  std::filesystem::permissions(php, std::filesystem::perms::owner_all);
  bundle.Write("vexadesk/conf/settings.json", R"({ "host": "127.0.0.1", "port": 5, "php": ")" + php + R"(" })");
  testing::internal::CaptureStdout();
  auto app = Make({"--proj", bundle.root + "/a/b.phar"});
  const std::string out = testing::internal::GetCapturedStdout();
  // Each error line ends in CR LF, the last one too; the console line ends after them.
  EXPECT_NE(out.find("\nError Sapp Settings:- first\r\nsecond\r\n\n"), std::string::npos) << out;
  EXPECT_EQ(Get("port"), 5);  // "{ }": nothing merged
}

}  // namespace
}  // namespace vexa
