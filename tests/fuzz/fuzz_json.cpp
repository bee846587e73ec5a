// Parse-and-merge of the JSON document with arbitrary text: into a fresh
// document and into one that already holds members (the settings layering),
// then every reading operation on the result. What the document writes must
// parse again to the same written form.
#include <string>

#include "core/json.hpp"
#include "core/variant.hpp"
#include "fuzz_support.hpp"

using vexa::TJSON;

namespace {

void ReadEverything(const TJSON& doc) {
  for (int i = 0; i < doc.Count(); ++i) {
    const std::string name = doc.GetName(i);
    (void)vexa::JSONToVariant(&doc.GetItem(i));
    (void)doc.HasKey(name);
    (void)doc.Find(name);
  }
  for (int i = 0; i < doc.ArrayCount(); ++i) (void)doc.GetItemPath(i, "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::fuzz::QuietStdout();
  // An optional lookup path travels on the first line; the rest is the text.
  auto [first, rest] = vexa::fuzz::SplitOnce(vexa::fuzz::AsText(data, size), "\n");
  const std::string path(first.size() <= 64 ? first : first.substr(0, 64));
  const std::string text(rest.empty() ? first : rest);

  TJSON fresh;
  const bool ok = fresh.Parse(text);
  ReadEverything(fresh);
  (void)fresh.Find(path);
  (void)fresh.GetItemPath(0, path);
  try {
    (void)fresh.GetValue(path);
  } catch (const std::exception&) {
  }
  const std::string written = fresh.GetJSON();
  if (ok) {
    // The written form leaves out an empty current object in front of other
    // documents, so the first round may change the shape; from then on the
    // text must stay the same.
    TJSON again;
    FUZZ_CHECK(again.Parse(written), "written form does not parse: " + written);
    const std::string second = again.GetJSON();
    TJSON third;
    FUZZ_CHECK(third.Parse(second), "second written form does not parse: " + second);
    FUZZ_CHECK(third.GetJSON() == second, "written form changes on a third round");
  }

  TJSON layered;
  layered.Add("port", vexa::Variant(std::string("0")));
  layered.Add("host", vexa::Variant(std::string("127.0.0.1")));
  layered.Parse(text);
  ReadEverything(layered);
  (void)layered.GetJSON();

  try {
    TJSON fromText = TJSON::CreateFromText(text);
    ReadEverything(fromText);
    (void)fromText.GetJSON();
  } catch (const std::exception&) {
  }
  return 0;
}
