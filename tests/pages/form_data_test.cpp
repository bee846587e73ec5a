// The form object: url-encoded split rule, multipart parser and the upload cache.

#include "server/http/form_data.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/globals.hpp"
#include "core/json.hpp"
#include "test_support.hpp"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::ParseRequest;
using test::Request;
using Items = std::vector<std::string>;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(SplitFormText, SeparatorsBlanksQuotesAndEmptyItems) {
  EXPECT_EQ(SplitFormText("a=1&b=2"), (Items{"a=1", "b=2"}));
  EXPECT_EQ(SplitFormText("a=1 b=2"), (Items{"a=1", "b=2"}));
  EXPECT_EQ(SplitFormText("a=1\r\n&b=2\t"), (Items{"a=1", "b=2"}));
  EXPECT_EQ(SplitFormText("a=1&&b=2"), (Items{"a=1", "", "b=2"}));
  EXPECT_EQ(SplitFormText("a=1&"), (Items{"a=1", ""}));
  EXPECT_EQ(SplitFormText("&b=2"), (Items{"", "b=2"}));
  EXPECT_EQ(SplitFormText(""), Items{});
  EXPECT_EQ(SplitFormText("  \t"), Items{});
  EXPECT_EQ(SplitFormText("a=1   "), (Items{"a=1"}));
  EXPECT_EQ(SplitFormText("\"x y\"\"z\"&b=2"), (Items{"x y\"z", "b=2"}));
  EXPECT_EQ(SplitFormText("\"open end"), (Items{"open end"}));
}

Request UrlEncoded(const std::string& contentType, const std::string& body) {
  return ParseRequest("POST /f.html HTTP/1.1\r\nHost: x\r\nContent-Type: " + contentType +
                      "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

std::string Form(const Request& req) {
  TJSON form;
  ParseFormData(req, req.body(), form);
  return form.GetJSON();
}

TEST(ParseFormData, UrlEncodedFieldsAreKeptAsSent) {
  const char* ct = "application/x-www-form-urlencoded";
  EXPECT_EQ(Form(UrlEncoded(ct, "name=J%C3%B6rg+M&x=1")), R"({ "name" : "J%C3%B6rg+M", "x" : "1" })");
  EXPECT_EQ(Form(UrlEncoded(ct, "flag&x=1&a=b=c&x=2")), R"({ "" : "flag", "x" : "2", "a" : "b=c" })");
  EXPECT_EQ(Form(UrlEncoded(ct, "a=1&&")), R"({ "a" : "1", "" : "" })");
  EXPECT_EQ(Form(UrlEncoded("application/x-www-form-urlencoded; charset=UTF-8", "a=1")), R"({ "a" : "1" })");
  // Any other spelling or parameter is not this content type.
  EXPECT_EQ(Form(UrlEncoded("Application/x-www-form-urlencoded", "a=1")), "{}");
  EXPECT_EQ(Form(UrlEncoded("application/x-www-form-urlencoded; x=1", "a=1")), "{}");
  EXPECT_EQ(Form(UrlEncoded("text/plain", "a=1")), "{}");
}

TEST(GetBoundary, QuotedPlainAndWithParameters) {
  EXPECT_EQ(GetBoundary("multipart/form-data; boundary=\"XYZ\""), "XYZ");
  EXPECT_EQ(GetBoundary("multipart/form-data; boundary=XYZ; x=1"), "XYZ; x=1");
  EXPECT_EQ(GetBoundary("multipart/form-data"), "");
  EXPECT_EQ(GetBoundary("multipart/form-data; Boundary=XYZ"), "");
}

TEST(GetQuotedParam, FirstMatchAndClosingQuote) {
  std::string line = "Content-Disposition: form-data; name=\"doc\"; filename=\"a b.txt\"";
  EXPECT_EQ(GetQuotedParam(line, "name"), "doc");
  EXPECT_EQ(GetQuotedParam(line, "filename"), "a b.txt");
  EXPECT_EQ(GetQuotedParam("form-data; filename=\"f.txt\"; name=\"doc\"", "name"), "f.txt");
  EXPECT_EQ(GetQuotedParam("form-data; name=\"open", "name"), "");
  EXPECT_EQ(GetQuotedParam("form-data; name=doc", "name"), "");
}

TEST(MultipartParser, IndexOfBytesAndHeaderLines) {
  std::string body = std::string("ab\0cab", 6);
  TMultipartParser p(body);
  EXPECT_EQ(p.IndexOfBytes("ab", 0), 0);
  EXPECT_EQ(p.IndexOfBytes("ab", 1), 4);
  EXPECT_EQ(p.IndexOfBytes(std::string("\0c", 2), 0), 2);
  EXPECT_EQ(p.IndexOfBytes("ab", 5), -1);   // no longer fits
  EXPECT_EQ(p.IndexOfBytes("", 0), -1);
  EXPECT_EQ(p.IndexOfBytes("abc", 0), -1);

  std::string hdr = "A: 1\r\nB: 2\nC: 3\rD";
  TMultipartParser h(hdr);
  EXPECT_EQ(h.ReadPartHeaders(0, static_cast<long long>(hdr.size())), (Items{"A: 1", "B: 2", "C: 3", "D"}));
  EXPECT_EQ(h.ReadPartHeaders(6, 6), Items{});
}

TEST(SafeUploadName, LastComponentOrRefused) {
  EXPECT_EQ(SafeUploadName("a.txt"), "a.txt");
  EXPECT_EQ(SafeUploadName("../../x"), "x");
  EXPECT_EQ(SafeUploadName("C:\\Users\\me\\photo.png"), "photo.png");
  EXPECT_EQ(SafeUploadName("/etc/passwd"), "passwd");
  EXPECT_EQ(SafeUploadName("dir/"), "");
  EXPECT_EQ(SafeUploadName(".."), "");
  EXPECT_EQ(SafeUploadName("x/.."), "");
  EXPECT_EQ(SafeUploadName("."), "");
  EXPECT_EQ(SafeUploadName(std::string("a\0b", 3)), "");
}

class MultipartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("pages-mp-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "proj" / "cache");
    ProjDir = (root_ / "proj").string();
  }
  void TearDown() override {
    ProjDir.clear();
    fs::remove_all(root_);
  }
  static std::string Part(const std::string& disposition, const std::string& content,
                          const std::string& extra = "") {
    return "--B0undary\r\nContent-Disposition: form-data; " + disposition + "\r\n" + extra + "\r\n" + content +
           "\r\n";
  }
  std::string Parse(const std::string& body) {
    TJSON form;
    ParseMultipartFormData(body, "B0undary", form);
    return form.GetJSON();
  }
  fs::path Cache() const { return root_ / "proj" / "cache"; }
  fs::path root_;
};

TEST_F(MultipartTest, TextFieldsAndBinaryFileSavedExactly) {
  std::string binary;
  for (int i = 0; i < 256; ++i) binary.push_back(static_cast<char>(i));
  binary += "\r\n--B0undar\r\n\r\n";  // looks like markers but is not one
  std::string body = "preamble\r\n" + Part("name=\"title\"", "Grüße") +
                     Part("name=\"doc\"; filename=\"bin.dat\"", binary, "Content-Type: application/octet-stream\r\n") +
                     Part("name=\"empty\"; filename=\"none.txt\"", "") + "--B0undary--\r\n";
  std::string cache = Cache().string();
  EXPECT_EQ(Parse(body), "{ \"title\" : \"Grüße\", \"doc\" : \"" + cache + "/bin.dat\", \"empty\" : \"\" }");
  EXPECT_EQ(ReadFile(Cache() / "bin.dat"), binary);
  EXPECT_FALSE(fs::exists(Cache() / "none.txt"));  // empty content writes nothing
  // Only the saved file is left in the cache: no temporary file stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(Cache()), fs::directory_iterator()), 1);
}

TEST_F(MultipartTest, HostileFileNamesStayInsideTheCache) {
  std::string body = Part("name=\"a\"; filename=\"../../x\"", "one") +
                     Part("name=\"b\"; filename=\"..\\\\..\\\\y.txt\"", "two") +
                     Part("name=\"c\"; filename=\"sub/..\"", "three") + Part("name=\"d\"", "after") +
                     "--B0undary--\r\n";
  test::StdoutCapture out;
  std::string form = Parse(body);
  std::string lines = out.Text();
  std::string cache = Cache().string();
  EXPECT_EQ(form, "{ \"a\" : \"" + cache + "/x\", \"b\" : \"" + cache + "/y.txt\", \"d\" : \"after\" }");
  EXPECT_EQ(ReadFile(Cache() / "x"), "one");
  EXPECT_EQ(ReadFile(Cache() / "y.txt"), "two");
  EXPECT_FALSE(fs::exists(root_ / "x"));
  EXPECT_FALSE(fs::exists(root_ / "proj" / "x"));
  EXPECT_EQ(lines, "Parse Form Data Error:- Refused upload file name \"sub/..\"\n");
}

TEST_F(MultipartTest, PartsWithoutNameOrWithOtherFirstHeaderAddNothing) {
  std::string body = "--B0undary\r\nContent-Type: text/plain\r\nContent-Disposition: form-data; name=\"late\"\r\n"
                     "\r\nv\r\n" +
                     Part("filename=\"n.txt\"", "kept") + Part("name=\"\"", "x") + "--B0undary--\r\n";
  // "name" also matches inside "filename": the file name becomes the field name.
  EXPECT_EQ(Parse(body), "{ \"n.txt\" : \"" + Cache().string() + "/n.txt\" }");
  EXPECT_EQ(ReadFile(Cache() / "n.txt"), "kept");
  EXPECT_EQ(Parse(Part("id=\"5\"; filename*=utf-8''k.txt", "v") + "--B0undary--\r\n"), "{}");
}

TEST_F(MultipartTest, MalformedBodiesAddNothingAndEpilogueWithBlankLineIsAPart) {
  EXPECT_EQ(Parse("no delimiter at all"), "{}");
  EXPECT_EQ(Parse("--B0undary\r\nContent-Disposition: form-data; name=\"a\"\r\nno blank line"), "{}");
  EXPECT_EQ(Parse(Part("name=\"a\"", "1") + "--B0undary--\r\nname=\"e\"\r\n\r\ntail"), R"({ "a" : "1" })");
  // Text after the closing delimiter that holds a blank line is read as a
  // part whose header line starts right after the delimiter's "--".
  EXPECT_EQ(Parse(Part("name=\"a\"", "1") + "--B0undary--name=\"e\"\r\n\r\ntail"),
            R"({ "a" : "1", "e" : "tail" })");
  TJSON form;
  ParseMultipartFormData(Part("name=\"a\"", "1"), "", form);  // no boundary
  EXPECT_EQ(form.GetJSON(), "{}");
}

TEST_F(MultipartTest, MissingCacheFolderStopsTheScanKeepingEarlierFields) {
  fs::remove_all(Cache());
  std::string body = Part("name=\"a\"", "1") + Part("name=\"f\"; filename=\"a.txt\"", "12345") +
                     Part("name=\"b\"", "2") + "--B0undary--\r\n";
  test::StdoutCapture out;
  std::string form = Parse(body);
  std::string lines = out.Text();
  EXPECT_EQ(form, R"({ "a" : "1" })");
  EXPECT_EQ(lines.rfind("Parse Form Data Error:- Cannot create file " + Cache().string() + "/a.txt", 0), 0u)
      << lines;
  EXPECT_FALSE(fs::exists(Cache()));
}

TEST(NumberedUploadName, NumberBeforeTheExtension) {
  EXPECT_EQ(NumberedUploadName("report.txt", 0), "report.txt");
  EXPECT_EQ(NumberedUploadName("report.txt", 1), "report-1.txt");
  EXPECT_EQ(NumberedUploadName("report.txt", 12), "report-12.txt");
  EXPECT_EQ(NumberedUploadName("a.tar.gz", 2), "a.tar-2.gz");
  EXPECT_EQ(NumberedUploadName("notes", 3), "notes-3");
  EXPECT_EQ(NumberedUploadName(".env", 1), ".env-1");
  EXPECT_EQ(NumberedUploadName("x.", 1), "x-1.");
}

// An upload never replaces a file: two at the same time of one name are
// each kept whole under names of their own, which the form gives to PHP.
TEST_F(MultipartTest, UploadsOfOneNameAreEachKeptWhole) {
  const std::string a(300000, 'a'), b(200000, 'b');
  std::string cache = Cache().string();
  std::vector<std::string> paths[2];
  auto writer = [&](const std::string& data, std::vector<std::string>& out) {
    for (int i = 0; i < 20; ++i) out.push_back(SaveUploadFile(cache, "same.bin", data));
  };
  std::thread t1(writer, std::cref(a), std::ref(paths[0])), t2(writer, std::cref(b), std::ref(paths[1]));
  t1.join();
  t2.join();
  std::set<std::string> names;
  for (int w = 0; w < 2; ++w)
    for (const std::string& path : paths[w]) {
      names.insert(path);
      EXPECT_EQ(ReadFile(path), w == 0 ? a : b) << path;
    }
  EXPECT_EQ(names.size(), 40u);
  EXPECT_TRUE(names.count(cache + "/same.bin") && names.count(cache + "/same-39.bin"));
  EXPECT_EQ(std::distance(fs::directory_iterator(Cache()), fs::directory_iterator()), 40);

  // A name taken by a file or by a link (also one that points nowhere) is
  // passed over; neither is written through.
  std::ofstream(Cache() / "r.txt") << "first";
  fs::create_symlink(root_ / "outside.txt", Cache() / "r-1.txt");
  std::string body = Part("name=\"f\"; filename=\"r.txt\"", "second") + "--B0undary--\r\n";
  EXPECT_EQ(Parse(body), "{ \"f\" : \"" + cache + "/r-2.txt\" }");
  EXPECT_EQ(ReadFile(Cache() / "r.txt"), "first");
  EXPECT_EQ(ReadFile(Cache() / "r-2.txt"), "second");
  EXPECT_FALSE(fs::exists(root_ / "outside.txt"));
}

TEST_F(MultipartTest, ParseFormDataDispatchesMultipartByContentType) {
  std::string body = Part("name=\"t\"", "v") + "--B0undary--\r\n";
  auto req = ParseRequest("POST /f.html HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=B0undary\r\n"
                          "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(Form(req), R"({ "t" : "v" })");
}

}  // namespace
}  // namespace vexa
