#pragma once
// TJSON: the one JSON document type of the server, on an insertion-ordered tree.
//
// Two rules shape every message the PHP side reads:
//  - Add under a NEW name always stores a JSON string ("True"/"False" for
//    Booleans, decimal for integers); only an existing member is replaced in
//    place by a typed value;
//  - a lookup name is a dotted path into nested objects ("response.type").
// The written form is one line: { "a" : "1", "b" : [1, 2.5e+00] }, {} and [].

#include <string>

#include <nlohmann/json.hpp>

#include "core/variant.hpp"

namespace vexa {

class TAssoArray;
using JsonValue = nlohmann::ordered_json;

class TJSON {
 public:
  TJSON();                                        // one empty current object
  static TJSON CreateFromData(const JsonValue* data);  // deep copy of an object or array
  static TJSON CreateFromData(JsonValue&& data);       // the same, moving `data` in
  static TJSON CreateFromText(const std::string& text); // raises the parse error
  virtual ~TJSON() = default;
  TJSON(const TJSON&) = default;
  TJSON& operator=(const TJSON&) = default;
  TJSON(TJSON&&) = default;
  TJSON& operator=(TJSON&&) = default;

  // Writing
  void Add(const std::string& name, const Variant& value);
  void AddJSON(const std::string& name, const TJSON& other);
  void AddJSON(const std::string& name, TJSON&& other);  // moves other's content
  void AddAssoArray(const std::string& name, const TAssoArray& pairs);  // always appends

  // Reading (on the current object unless said otherwise)
  const JsonValue* Find(const std::string& path) const;   // nullptr when absent
  JsonValue* Find(const std::string& path);
  Variant GetValue(const std::string& path) const;        // "JSON Key not found."
  bool HasKey(const std::string& name) const;             // direct member lookup
  int Count() const;
  const JsonValue& GetItem(int index) const;              // member value by index
  std::string GetName(int index) const;
  int ArrayCount() const;                                 // documents in Docs
  const JsonValue* GetItemPath(int index, const std::string& path) const;
  virtual std::string GetJSON() const;

  // Reads the file (raises when it cannot) and merges it with Parse.
  void LoadFromFile(const std::string& fileName);
  // Strict parse and merge; prints "Error:- Invalid JSON ..." and returns false on bad text.
  bool Parse(const std::string& text);

  const JsonValue& Docs() const { return docs_; }
  const JsonValue& Current() const { return docs_[0]; }
  JsonValue& Current() { return docs_[0]; }

 private:
  JsonValue docs_;  // array; element 0 is always the current object
};

// A Variant as a typed JSON value; raises "Unsupported variant type for JSON conversion".
JsonValue VariantToJSON(const Variant& value);
// A JSON value as a Variant: numbers as double, arrays/objects as their written text.
// nullptr raises "JSON Key not found.".
Variant JSONToVariant(const JsonValue* value);
// Strict parse of a JSON text (no comments, nothing after the value) that
// refuses nesting deeper than 512 levels before parsing; raises. Every JSON
// text from a client or a PHP process is parsed through this guard.
JsonValue ParseJsonText(const std::string& text);
// The one-line written form of any JSON value.
std::string WriteJSON(const JsonValue& value);

}  // namespace vexa
