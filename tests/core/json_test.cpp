#include "core/json.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>

#include "core/asso_array.hpp"
#include "core/globals.hpp"

namespace vexa {
namespace {

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// Runs f and returns what it wrote to standard output.
std::string StdoutOf(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

TEST(JsonTyping, NewMembersAreStringsExistingOnesTakeTheType) {
  TJSON d;
  d.Add("id", Variant(int32_t{1}));
  d.Add("desk", Variant(true));
  d.Add("off", Variant(false));
  d.Add("none", Variant());
  d.Add("f", Variant(0.5));
  EXPECT_EQ(d.GetJSON(), R"({ "id" : "1", "desk" : "True", "off" : "False", "none" : "", "f" : "0.5" })");
  d.Add("id", Variant(int32_t{2}));  // replaced in place by a typed number
  d.Add("desk", Variant(true));
  d.Add("none", Variant::Null());
  EXPECT_EQ(d.GetJSON(), R"({ "id" : 2, "desk" : true, "off" : "False", "none" : null, "f" : "0.5" })");
  EXPECT_NE(ErrorOf([&] { d.Add("fresh", Variant::Null()); }), "(no error)");
  EXPECT_FALSE(d.HasKey("fresh"));
}

TEST(JsonWrittenForm, IsExactlyTheOneLineFormThePhpSideReads) {
  TJSON d;
  EXPECT_EQ(d.GetJSON(), "{}");
  ASSERT_TRUE(d.Parse(R"({"a":"1","b":{"c":[1,2]},"e":[],"o":{},"t":true,"n":null,"neg":-3})"));
  EXPECT_EQ(d.GetJSON(), R"({ "a" : "1", "b" : { "c" : [1, 2] }, "e" : [], "o" : {}, "t" : true, "n" : null, "neg" : -3 })");
}

TEST(JsonWrittenForm, EscapesControlBytesUpperCaseAndKeepsSlashAndHighBytes) {
  TJSON d;
  d.Add("s", Variant(std::string("q\"b\\ \b\t\n\f\r\x1b\x01/\xc3\xa9\xff")));
  EXPECT_EQ(d.GetJSON(), "{ \"s\" : \"q\\\"b\\\\ \\b\\t\\n\\f\\r\\u001B\\u0001/\xc3\xa9\xff\" }");
}

TEST(JsonWrittenForm, FloatsInScientificNotationRoundTrip) {
  EXPECT_EQ(TJSON::CreateFromText(R"({"a":[0.5,8080.0,-1.5e-300,100],"t":"0.5"})").GetJSON(), R"({ "a" : [5e-01, 8.08e+03, -1.5e-300, 100], "t" : "0.5" })");
  for (double v : {0.1, 8080.0, -1.5e-300, 1e21, 123456789.123456789, 2.0 / 3.0}) {
    TJSON d;
    d.Add("x", Variant(int32_t{0}));
    d.Add("x", Variant(v));
    TJSON back;
    ASSERT_TRUE(back.Parse(d.GetJSON())) << d.GetJSON();
    EXPECT_EQ(back.GetValue("x").ToDouble(), v) << d.GetJSON();
  }
}

TEST(JsonLookup, DottedPathsAndDirectKeys) {
  TJSON d;
  ASSERT_TRUE(d.Parse(R"({"response":{"type":"jsonweb"},"response.type":"literal","port":8080,"obj":{"k":[1]}})"));
  EXPECT_EQ(d.GetValue("response.type").ToString(), "jsonweb");
  EXPECT_EQ(d.GetValue("..response.type").ToString(), "jsonweb");  // leading dots skipped
  EXPECT_TRUE(d.HasKey("response.type"));
  EXPECT_FALSE(d.HasKey("type"));
  EXPECT_EQ(d.GetValue("port").kind(), Variant::Kind::Double);
  EXPECT_EQ(d.GetValue("port").ToDouble(), 8080.0);
  EXPECT_EQ(d.GetValue("obj").ToString(), R"({ "k" : [1] })");
  EXPECT_EQ(d.Find(""), &d.Current());
  EXPECT_EQ(d.Find("port.x"), nullptr);
  EXPECT_EQ(ErrorOf([&] { d.GetValue("missing"); }), "JSON Key not found.");
  EXPECT_EQ(d.Count(), 4);
  EXPECT_EQ(d.GetName(1), "response.type");
  EXPECT_NE(ErrorOf([&] { d.GetItem(4); }), "(no error)");

  TJSON lit;
  ASSERT_TRUE(lit.Parse(R"({"response.type":"x"})"));
  EXPECT_EQ(ErrorOf([&] { lit.GetValue("response.type"); }), "JSON Key not found.");
}

TEST(JsonLookup, HasKeyNamesOneMemberAndNeverAPath) {
  // Names with dots (file extensions in the project registry) are member
  // names as they stand: no leading dot skipped, no path followed.
  TJSON reg;
  ASSERT_TRUE(reg.Parse(R"({".vexa":"a","phar":"b","x":{"y":1},"":"empty"})"));
  EXPECT_TRUE(reg.HasKey(".vexa"));
  EXPECT_FALSE(reg.HasKey("vexa"));
  EXPECT_FALSE(reg.HasKey(".phar"));
  EXPECT_FALSE(reg.HasKey("..phar"));
  EXPECT_TRUE(reg.HasKey("x"));
  EXPECT_FALSE(reg.HasKey("x.y"));
  EXPECT_FALSE(reg.HasKey("y"));
  EXPECT_TRUE(reg.HasKey(""));
  EXPECT_FALSE(reg.HasKey("X"));  // case matters
  // A member added twice (AddAssoArray appends): every lookup finds the first.
  TAssoArray one, two;
  one.SetValue("v", Variant("first"));
  two.SetValue("v", Variant("second"));
  TJSON dup;
  dup.AddAssoArray("m", one);
  dup.AddAssoArray("m", two);
  EXPECT_TRUE(dup.HasKey("m"));
  EXPECT_EQ(dup.GetValue("m.v").ToString(), "first");
  EXPECT_EQ(dup.GetName(1), "m");
}

TEST(JsonParse, ObjectsMergeInPlaceAndKeepOtherMembers) {
  TJSON d;
  d.Add("host", Variant("127.0.0.1"));
  d.Add("port", Variant("0"));
  d.Add("desk", Variant(true));
  ASSERT_TRUE(d.Parse(R"({"port":8080,"extra":"x"})"));
  EXPECT_EQ(d.GetJSON(), R"({ "host" : "127.0.0.1", "port" : 8080, "desk" : "True", "extra" : "x" })");
}

TEST(JsonParse, ArraysBecomeDocuments) {
  TJSON two;
  ASSERT_TRUE(two.Parse(R"([{"a":1},{"b":2}])"));
  EXPECT_EQ(two.ArrayCount(), 2);
  EXPECT_EQ(two.GetValue("a").ToDouble(), 1.0);
  EXPECT_EQ(JSONToVariant(two.GetItemPath(1, "b")).ToDouble(), 2.0);
  EXPECT_EQ(two.GetJSON(), R"([{ "a" : 1 }, { "b" : 2 }])");

  TJSON nums;
  ASSERT_TRUE(nums.Parse("[1, 2]"));
  EXPECT_EQ(nums.ArrayCount(), 3);  // the empty current object stays first
  EXPECT_EQ(nums.GetJSON(), "[1, 2]");
  EXPECT_EQ(nums.GetJSON(), "[1, 2]");

  TJSON filled;
  filled.Add("x", Variant("1"));
  ASSERT_TRUE(filled.Parse(R"([{"a":1}])"));
  EXPECT_EQ(filled.ArrayCount(), 2);
  EXPECT_EQ(filled.GetJSON(), R"([{ "x" : "1" }, { "a" : 1 }])");

  TJSON same;
  EXPECT_TRUE(same.Parse("[]"));
  EXPECT_TRUE(same.Parse("\"just a string\""));
  EXPECT_EQ(same.GetJSON(), "{}");
  EXPECT_EQ(same.ArrayCount(), 1);
}

TEST(JsonParse, IsStrictAndReportsOneLine) {
  // The last two: an unterminated 5 MB string and a bracket flood; the line
  // quotes neither in full.
  const std::vector<std::string> bads = {"{'a':1}", R"({"a":01})", R"({"a":1} {"b":2})", R"({"a":1,})", "/*c*/{}", "",
                                         "{\"a\":\"" + std::string(5 << 20, 'a'), std::string(60000, '[')};
  for (const std::string& bad : bads) {
    TJSON d;
    d.Add("keep", Variant("1"));
    bool ok = true;
    const std::string out = StdoutOf([&] { ok = d.Parse(bad); });
    EXPECT_FALSE(ok) << bad;
    EXPECT_EQ(out.rfind("Error:- Invalid JSON ", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_LE(out.size(), 22 + kConsoleQuoteMax + 4) << out.substr(0, 400);
    EXPECT_EQ(d.GetJSON(), R"({ "keep" : "1" })");
  }
  EXPECT_THROW(ParseJsonText(std::string(513, '[') + std::string(513, ']')), std::exception);
  EXPECT_EQ(ParseJsonText(std::string(512, '[') + std::string(512, ']')).size(), 1u);
}

TEST(ConsoleQuote, CutsLongTextsOnACharacterBoundaryWithAMarker) {
  EXPECT_EQ(ConsoleQuote(std::string(kConsoleQuoteMax, 'a')), std::string(kConsoleQuoteMax, 'a'));
  EXPECT_EQ(ConsoleQuote(std::string(kConsoleQuoteMax + 1, 'a')), std::string(kConsoleQuoteMax, 'a') + "...");
  // A two-byte character that the limit would split stays out whole.
  const std::string text = std::string(kConsoleQuoteMax - 1, 'a') + "\xC3\xA9" + "tail";
  EXPECT_EQ(ConsoleQuote(text), std::string(kConsoleQuoteMax - 1, 'a') + "...");
  // So does an escape.
  EXPECT_EQ(ConsoleQuote(std::string(kConsoleQuoteMax - 3, 'a') + "\x1B"),
            std::string(kConsoleQuoteMax - 3, 'a') + "...");
  EXPECT_EQ(ConsoleQuote(std::string(kConsoleQuoteMax - 4, 'a') + "\x1B"),
            std::string(kConsoleQuoteMax - 4, 'a') + "\\x1B");
}

TEST(ConsoleQuote, EscapesControlBytesAndKeepsWellFormedText) {
  // Terminal escape sequences, line ends, NUL, tab, DEL: each as \xNN.
  EXPECT_EQ(ConsoleQuote("a\x1B[2J\x1B]0;title\x07" "b"), "a\\x1B[2J\\x1B]0;title\\x07b");
  EXPECT_EQ(ConsoleQuote(std::string("x\r\ny\0z\t\x7F", 8)), "x\\x0D\\x0Ay\\x00z\\x09\\x7F");
  // C1 controls (U+009B is a one-character CSI) and bytes that are no UTF-8.
  EXPECT_EQ(ConsoleQuote("\xC2\x9B" "31m"), "\\xC2\\x9B" "31m");
  EXPECT_EQ(ConsoleQuote("\x9B" "31m\xFF\xC3"), "\\x9B" "31m\\xFF\\xC3");
  EXPECT_EQ(ConsoleQuote("\xED\xA0\x80"), "\\xED\\xA0\\x80");  // a surrogate
  // Printable ASCII, quotes and backslashes, and well-formed characters stay.
  const std::string kept = "name \"q\" C:\\dir {\"a\":1} caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0";
  EXPECT_EQ(ConsoleQuote(kept), kept);

  // A file name of 200,000 escape sequences: one short line without a control byte.
  std::string flood;
  for (int i = 0; i < 50000; ++i) flood += "\x1B[2K";
  flood += "\r\n";
  const std::string quoted = ConsoleQuote(flood);
  EXPECT_LE(quoted.size(), kConsoleQuoteMax + 3);
  EXPECT_EQ(quoted.substr(quoted.size() - 3), "...");
  EXPECT_EQ(quoted.rfind("\\x1B[2K", 0), 0u);
  for (unsigned char c : quoted) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << int(c);
}

TEST(JsonDocuments, CreateFromDataAndTextAndAddJson) {
  const JsonValue arr = JsonValue::parse(R"([1,{"a":2}])");
  TJSON fromArr = TJSON::CreateFromData(&arr);
  EXPECT_EQ(fromArr.ArrayCount(), 3);
  EXPECT_EQ(fromArr.GetJSON(), R"([1, { "a" : 2 }])");
  TJSON none = TJSON::CreateFromData(nullptr);
  EXPECT_EQ(none.GetJSON(), "{}");
  EXPECT_THROW(TJSON::CreateFromText("{bad"), std::exception);

  TJSON inner = TJSON::CreateFromText(R"({"x":"1"})");
  TJSON outer;
  outer.AddJSON("postdata", inner);
  inner.Add("x", Variant("changed"));
  EXPECT_EQ(outer.GetJSON(), R"({ "postdata" : { "x" : "1" } })");
  outer.AddJSON("l", TJSON::CreateFromText(R"([{"a":1},2])"));  // several documents: added whole

  TAssoArray args;
  args.SetValue("--port", Variant("9000"));
  outer.AddAssoArray("sargv", args);
  EXPECT_EQ(outer.GetValue("sargv.--port").ToString(), "9000");
  outer.AddAssoArray("sargv", args);  // appended again: the first member of the name is the one found
  EXPECT_EQ(outer.GetJSON(), R"({ "postdata" : { "x" : "1" }, "l" : [{ "a" : 1 }, 2], )"
                             R"("sargv" : { "--port" : "9000" }, "sargv" : { "--port" : "9000" } })");
}

TEST(JsonDocuments, LoadFromFileRaisesOnlyForUnreadableFiles) {
  TJSON d;
  EXPECT_THROW(d.LoadFromFile("/nonexistent/settings.json"), std::exception);
  const std::string path = testing::TempDir() + "json_test_settings.json";
  std::ofstream(path) << R"({"port": 0, "host": "127.0.0.1"})";
  d.LoadFromFile(path);
  EXPECT_EQ(d.GetValue("host").ToString(), "127.0.0.1");
  std::ofstream(path) << "not json";
  const std::string out = StdoutOf([&] { d.LoadFromFile(path); });
  EXPECT_EQ(out.rfind("Error:- Invalid JSON ", 0), 0u);
  std::remove(path.c_str());
}

TEST(JsonConversion, VariantsAndJsonValues) {
  EXPECT_EQ(VariantToJSON(Variant(int64_t{-5})), JsonValue(-5));
  EXPECT_TRUE(VariantToJSON(Variant()).is_null());
  EXPECT_EQ(VariantToJSON(Variant("t")), JsonValue("t"));
  const JsonValue n = 3;
  EXPECT_EQ(JSONToVariant(&n).kind(), Variant::Kind::Double);
  const JsonValue b = true;
  EXPECT_TRUE(JSONToVariant(&b).ToBool());
  const JsonValue nul = nullptr;
  EXPECT_TRUE(JSONToVariant(&nul).IsNull());
  EXPECT_EQ(ErrorOf([] { JSONToVariant(nullptr); }), "JSON Key not found.");
}

}  // namespace
}  // namespace vexa
