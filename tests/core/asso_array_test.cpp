#include "core/asso_array.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace vexa {
namespace {

// Counts live instances so ownership mistakes show as leaks or double frees.
struct Tracked : TVexaBase {
  static inline int live = 0;
  Tracked() { ++live; }
  ~Tracked() override { --live; }
};

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

class AssoArrayTest : public ::testing::Test {
 protected:
  void SetUp() override { Tracked::live = 0; }
};

TEST_F(AssoArrayTest, OwnershipFollowsSetRemoveExtractAndDestruction) {
  auto* kept = new Tracked;
  {
    TAssoArray a;
    a.SetObject("x", new Tracked);
    a.SetObject("y", kept);
    EXPECT_EQ(Tracked::live, 2);
    a.Remove("x");  // frees
    EXPECT_EQ(Tracked::live, 1);
    Any taken = a.Extract("y");  // hands over
    EXPECT_EQ(taken.Obj, kept);
    EXPECT_FALSE(a.ContainsKey("y"));
    a.SetObject("z", new Tracked);
  }  // destroying frees "z" only
  EXPECT_EQ(Tracked::live, 1);
  delete kept;
}

TEST_F(AssoArrayTest, ReplacingAnObjectFreesNothing) {
  auto* first = new Tracked;
  {
    TAssoArray a;
    a.SetObject("k", first);
    a.SetObject("k", new Tracked);  // the first object is left alive and unowned
    EXPECT_EQ(a.Count(), 1u);
    a.Remove("k");  // frees only the second
    EXPECT_EQ(Tracked::live, 1);
    auto* second = new Tracked;
    a.SetObject("k", second);
    a.SetValue("k", Variant("text"));  // replacing by a scalar frees nothing either
    EXPECT_EQ(Tracked::live, 2);
    delete second;
  }
  EXPECT_EQ(Tracked::live, 1);
  delete first;
}

TEST_F(AssoArrayTest, ErrorTextsDifferBetweenRemoveAndLookups) {
  TAssoArray a;
  EXPECT_EQ(ErrorOf([&] { a.Remove("x"); }), "Key x not found");
  EXPECT_EQ(ErrorOf([&] { a.GetValue("x"); }), "Key \"x\" not found");
  EXPECT_EQ(ErrorOf([&] { a.GetObject("x"); }), "Key \"x\" not found");
  EXPECT_EQ(ErrorOf([&] { a.Extract("x"); }), "Key \"x\" not found");
  a.SetObject("o", new Tracked);
  a.SetValue("v", Variant(int32_t{1}));
  EXPECT_EQ(ErrorOf([&] { a.GetValue("o"); }), "Value contains an object, not a Variant.");
  EXPECT_EQ(ErrorOf([&] { a.GetObject("v"); }), "Value contains a Variant, not an object.");
  EXPECT_EQ(ErrorOf([&] { (void)a.ToJSON(); }), "Value contains an object, not a Variant.");
  EXPECT_EQ(ErrorOf([&] { delete a.Clone(); }), "Object need to implement Clone");
  EXPECT_EQ(ErrorOf([&] { (void)a.TVexaBase::Clone(); }), "Object need to implement Clone");
  TAssoArray other;
  EXPECT_EQ(ErrorOf([&] { other.Assign(a); }), "Object need to implement Assign");
}

TEST_F(AssoArrayTest, KeysAreExactAndValuesAreCopies) {
  TAssoArray a;
  a.SetValue("A", Variant("upper"));
  a.SetValue("a", Variant("lower"));
  a.SetValue("", Variant("empty key"));
  a.SetValue("a", Variant("again"));
  EXPECT_EQ(a.Count(), 3u);
  EXPECT_EQ(a.GetValue("A").ToString(), "upper");
  EXPECT_EQ(a.GetValue("a").ToString(), "again");
  Variant v = a.GetValue("a");
  a.Remove("a");
  EXPECT_EQ(v.ToString(), "again");  // the read value outlives its entry
}

TEST_F(AssoArrayTest, CloneOfScalarsIsIndependent) {
  TAssoArray a;
  a.SetValue("dir", Variant("/a/b"));
  a.SetValue("n", Variant(int32_t{7}));
  std::unique_ptr<TAssoArray> c(a.Clone());
  a.SetValue("dir", Variant("changed"));
  EXPECT_EQ(c->GetValue("dir").ToString(), "/a/b");
  EXPECT_EQ(c->GetValue("n").ToInt32(), 7);
  TAssoArray d;
  d.SetObject("old", new Tracked);
  d.AssignFrom(a);  // frees its own objects, takes copies of the source
  EXPECT_EQ(Tracked::live, 0);
  EXPECT_EQ(d.GetValue("dir").ToString(), "changed");
  d.AssignFrom(d);
  EXPECT_EQ(d.Count(), 2u);
}

TEST_F(AssoArrayTest, ToJsonWritesEveryValueAsString) {
  TAssoArray a;
  EXPECT_EQ(a.ToJSON(), "{}");
  a.SetValue("a", Variant(int32_t{5}));
  EXPECT_EQ(a.ToJSON(), "{ \"a\" : \"5\" }");
}

TEST_F(AssoArrayTest, CardinalReferencesAreAddressWideAndNonOwning) {
  auto obj = std::make_unique<Tracked>();
  TAssoArray refs;
  refs.SetCardinal("1", reinterpret_cast<uintptr_t>(obj.get()));
  refs.SetCardinal("big", 2147483648u);
  for (const auto& [key, value] : refs) {
    if (key == "1") {
      EXPECT_EQ(reinterpret_cast<Tracked*>(value.ToAddress()), obj.get());
    } else {
      EXPECT_EQ(value.ToInteger(), static_cast<int32_t>(0x80000000u));
    }
  }
  refs.Remove("1");
  EXPECT_EQ(Tracked::live, 1);  // removing a reference leaves the object alone
}

}  // namespace
}  // namespace vexa
