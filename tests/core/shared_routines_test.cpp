#include "server/http/shared_routines.hpp"

#include <gtest/gtest.h>

namespace vexa {
namespace {

TEST(Hex, CodesEveryByteUpperCaseAndRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string hex = StrToHex(all);
  EXPECT_EQ(hex.size(), 512u);
  EXPECT_EQ(hex.substr(0, 6), "000102");
  EXPECT_EQ(hex.substr(506), "FDFEFF");
  EXPECT_EQ(HexToStr(hex), all);
  EXPECT_EQ(StrToHex("abc"), "616263");
  EXPECT_EQ(StrToHex("\n"), "0A");
  EXPECT_EQ(StrToHex(""), "");
}

TEST(Hex, DecodingIgnoresAnOddDigitAcceptsLowerCaseAndRejectsNonHex) {
  EXPECT_EQ(HexToStr("6162634"), "abc");
  EXPECT_EQ(HexToStr("6a"), "j");
  EXPECT_THROW(HexToStr("6G"), std::exception);
  EXPECT_THROW(HexToStr("61 2"), std::exception);
}

TEST(MimeTypes, LowerCasedTableLookup) {
  for (const auto& [ext, type] : std::initializer_list<std::pair<const char*, const char*>>{
           {"PNG", "image/png"}, {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"gif", "image/gif"}, {"bmp", "image/bmp"},
           {"svg", "image/svg+xml"}, {"mp4", "video/mp4"}, {"avi", "video/x-msvideo"}, {"mov", "video/quicktime"},
           {"mp3", "audio/mpeg"}, {"Wav", "audio/wav"}, {"pdf", "application/pdf"}, {"txt", "text/plain"},
           {"css", "text/css"}, {"js", "application/javascript"}, {"html", "text/html"}, {"Htm", "text/html"}})
    EXPECT_EQ(GetMimeType(ext), type) << ext;
  for (const char* other : {"xhtml", "json", "", "tar.gz"}) EXPECT_EQ(GetMimeType(other), "application/octet-stream");
}

TEST(PrintErrorLine, IsOneWholeLine) {
  testing::internal::CaptureStdout();
  PrintError("");
  PrintError("WSR: Con Error:- x");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: \nError: WSR: Con Error:- x\n");
}

}  // namespace
}  // namespace vexa
