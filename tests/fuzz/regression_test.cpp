// Faults that fuzzing and hostile-input tests found, kept as plain tests.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "core/json.hpp"

namespace {

std::string Nested(size_t depth, const std::string& inner = "") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

// A message of nothing but brackets used to overflow the stack of the thread
// that copied or wrote it, ending the whole server.
TEST(HostileJson, DeepNestingIsRefusedNotACrash) {
  testing::internal::CaptureStdout();
  vexa::TJSON doc;
  EXPECT_FALSE(doc.Parse("{\"ctrl\" : " + Nested(200000) + "}"));
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(console.rfind("Error:- Invalid JSON ", 0), 0u) << console;
  EXPECT_EQ(doc.GetJSON(), "{}");
  EXPECT_THROW(vexa::TJSON::CreateFromText(Nested(200000)), std::runtime_error);
}

TEST(HostileJson, ReasonableNestingAndBracketsInStringsStillParse) {
  vexa::TJSON doc;
  EXPECT_TRUE(doc.Parse("{\"a\" : " + Nested(500, "1") + "}"));
  EXPECT_TRUE(doc.Parse("{\"s\" : \"" + std::string(5000, '[') + "\\\"" + std::string(5000, '{') + "\"}"));
  EXPECT_EQ(doc.Count(), 2);
  EXPECT_NO_THROW(vexa::TJSON::CreateFromText(Nested(500)));
}

}  // namespace
