// How the application's standard output is cut into replies and unpacked.
#include <gtest/gtest.h>

#include <algorithm>

#include "app_support.hpp"

using namespace vexa;
using namespace vexa::testing;

namespace {

std::string Envelope(const std::string& content, const std::string& extra = "") {
  return "{\"headers\":{\"X-A\":[\"1\"]},\"cookies\":{}" + extra + ",\"content\":\"" + StrToHex(content) + "\"}";
}

class ReplyEnvelope : public ::testing::Test {
 protected:
  void SetUp() override { UseFixtureProject(); }
};

}  // namespace

TEST_F(ReplyEnvelope, BodyNoiseAndRepliesPerClosingBrace) {
  auto d = RunRaw(Envelope("<p>hi</p>") + "\n");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, "<p>hi</p>");
  EXPECT_TRUE(d[0].isJson);
  EXPECT_FALSE(d[0].isItem);
  // The content is decoded into the text, not kept in the envelope too.
  EXPECT_EQ(d[0].envelope, "{ \"headers\" : { \"X-A\" : [\"1\"] }, \"cookies\" : {}, \"content\" : \"\" }");

  // A line before the envelope, one character before the marker and text
  // after it: all are noise and follow the content, in their order.
  d = RunRaw("notice: x\r\n" + std::string("Z") + Envelope("body") + "Y");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, "bodynotice: xZY");

  // Text after the envelope on its line: the reply completes at the end.
  d = RunRaw(Envelope("body") + " trailing");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, "body trailing");
  EXPECT_TRUE(d[0].isJson);

  // Two envelopes on two lines are two replies.
  d = RunRaw(Envelope("one") + "\n" + Envelope("two") + "\n");
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].text, "one");
  EXPECT_EQ(d[1].text, "two");
}

TEST_F(ReplyEnvelope, PlainOutputIsDeliveredOnceUnchanged) {
  // Never ends with "}": collected to the end, lines joined without line ends.
  auto d = RunRaw("<html>\n<body>\r\n</body>\n</html>\n");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, "<html><body></body></html>");
  EXPECT_FALSE(d[0].isJson);
  EXPECT_EQ(d[0].envelope, "{}");

  // Ends with "}" but holds no header marker: one plain reply right away.
  d = RunRaw("{\"a\":1}\n");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, "{\"a\":1}");
  EXPECT_FALSE(d[0].isJson);
}

TEST_F(ReplyEnvelope, ItemsArriveOneByOneWithoutTheirCommas) {
  std::string items =
      "{\"response\":{\"type\":\"jsonweb\"},\"n\":1},{\"response\":{\"type\":\"custom\"},\"s\":\"a,b\"},";
  auto d = RunRaw(Envelope(items) + "\n");
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].text, "{ \"response\" : { \"type\" : \"jsonweb\" }, \"n\" : 1 }");
  EXPECT_EQ(d[1].text, "{ \"response\" : { \"type\" : \"custom\" }, \"s\" : \"a,b\" }");
  EXPECT_TRUE(d[0].isJson && d[0].isItem && d[1].isItem);

  // With noise the payload no longer ends with ",": one body.
  d = RunRaw("noise" + Envelope(items) + "\n");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, items + "noise");
  EXPECT_FALSE(d[0].isItem);
}

TEST_F(ReplyEnvelope, BrokenEnvelopesGiveTheirErrorTexts) {
  ConsoleCapture console;
  // Not valid JSON.
  std::string bad = "{\"headers\":{},\"content\":\"41\",}";
  auto d = RunRaw("pre" + bad + "\n");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, "Error Invalid JSON:- " + bad + " :Error Noise data:-pre");
  EXPECT_FALSE(d[0].isJson);

  // No "content": the envelope text alone, without the noise around it.
  std::string noContent = "{\"headers\":{},\"cookies\":{}}";
  d = RunRaw(noContent + "\n");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, noContent);
  EXPECT_FALSE(d[0].isJson);
  d = RunRaw("before\nlead" + noContent + "after\n");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, noContent);
  EXPECT_FALSE(d[0].isJson);

  // An item list that is not valid JSON: nothing at all.
  d = RunRaw(Envelope("{\"response\":{\"type\":\"x\"}}},") + "\n");
  EXPECT_TRUE(d.empty());

  // The second of three items lacks "response.type".
  std::string items = "{\"response\":{\"type\":\"jsonweb\"},\"n\":1},{\"n\":2},{\"response\":{\"type\":\"jsonweb\"},\"n\":3},";
  std::string env = Envelope(items);
  d = RunRaw(env + "\n");
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].text, "{ \"response\" : { \"type\" : \"jsonweb\" }, \"n\" : 1 }");
  EXPECT_TRUE(d[0].isItem);
  EXPECT_EQ(d[1].text, env);
  EXPECT_FALSE(d[1].isJson);
  console.Stop();
  EXPECT_NE(console.Text().find("Error:- Invalid JSON "), std::string::npos);
  EXPECT_TRUE(console.Has("Error: AppMid:- Error OrvantPHP App \"raw\" Invalid Data JSON Key not found.")) << console.Text();
  EXPECT_NE(console.Text().find("Error: AppMid:- Error OrvantPHP App \"raw\" Invalid Data "), std::string::npos);
}

TEST_F(ReplyEnvelope, ItemListsNestDeeperThan512LevelsAreRefusedWithOneLine) {
  // The list's own bracket counts: list, item object and 510 arrays is the deepest.
  auto nested = [](size_t n) {
    return "{\"response\":{\"type\":\"jsonweb\"},\"d\":" + std::string(n, '[') + std::string(n, ']') + "},";
  };
  auto d = RunRaw(Envelope(nested(510)) + "\n");
  ASSERT_EQ(d.size(), 1u);
  EXPECT_TRUE(d[0].isItem);
  ConsoleCapture console;
  d = RunRaw(Envelope(nested(511)) + "\n");
  EXPECT_TRUE(d.empty());

  // 60000 levels: refused before the parse (no stack overflow), and the
  // application's next reply still arrives.
  AppRun run("deep", false);
  run.Start();
  console.Stop();
  d = run.Data();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, "after");
  const std::string text = console.Text();
  const std::string line = "Error:- Invalid JSON nesting deeper than 512 levels\n";
  size_t lines = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++lines;
  EXPECT_EQ(lines, 2u) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
}

TEST_F(ReplyEnvelope, PageRoadRefusesChildAndServerItemsAndGoesOn) {
  ConsoleCapture console;
  std::string items =
      "{\"response\":{\"type\":\"childp\"},\"l\":1},{\"response\":{\"type\":\"server\"}},{\"response\":{\"type\":\"jsonweb\"}},";
  auto d = RunRaw(Envelope(items) + "\n");
  console.Stop();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, "{ \"response\" : { \"type\" : \"jsonweb\" } }");
  EXPECT_TRUE(console.Has("Error: AppMid:- Wrong Request Protocol:- { \"response\" : { \"type\" : \"childp\" }, \"l\" : 1 }"));
  EXPECT_TRUE(console.Has("Error: AppMid:- Wrong Request Protocol:- { \"response\" : { \"type\" : \"server\" } }"));

  // The line quotes a long item only in part.
  ConsoleCapture console2;
  const std::string big = "{\"response\":{\"type\":\"childp\"},\"l\":\"" + std::string(20000, 'x') + "\"},";
  d = RunRaw(Envelope(big) + "\n");
  console2.Stop();
  EXPECT_TRUE(d.empty());
  const std::string prefix = "Error: AppMid:- Wrong Request Protocol:- ";
  const std::string expected = prefix + "{ \"response\" : { \"type\" : \"childp\" }, \"l\" : \"" +
                               std::string(kConsoleQuoteMax - 45, 'x') + "...";
  EXPECT_TRUE(console2.Has(expected)) << console2.Text().substr(0, 1000);
}

TEST_F(ReplyEnvelope, ServerItemsReachTheCommandHandlerOnTheWebSocketRoad) {
  std::vector<std::string> commands;
  std::string items = "{\"response\":{\"type\":\"server\"},\"cmd\":\"setglobal\"},{\"response\":{\"type\":\"jsonweb\"}},";
  auto d = RunRaw(Envelope(items) + "\n", true, [&](const JsonValue& item) { commands.push_back(WriteJSON(item)); });
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], "{ \"response\" : { \"type\" : \"server\" }, \"cmd\" : \"setglobal\" }");
  ASSERT_EQ(d.size(), 1u);
  // Without a handler a server item is simply dropped.
  d = RunRaw(Envelope(items) + "\n", true);
  EXPECT_EQ(d.size(), 1u);
}
