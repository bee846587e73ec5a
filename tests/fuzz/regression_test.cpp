// Hostile JSON as plain tests: nesting too deep for a thread's stack is
// refused, ordinary nesting still parses.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "core/json.hpp"

namespace {

std::string Nested(size_t depth, const std::string& inner = "") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

// A message of nothing but brackets, nested far deeper than a thread's stack
// could copy or write: the parse refuses it as invalid JSON with one console
// line and leaves the document empty, and reading it whole raises an error.
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
