#pragma once
// Variant: the dynamically typed scalar that settings values, options, dictionary
// values and JSON conversions carry.

#include <cstdint>
#include <string>
#include <variant>

namespace vexa {

struct VEmpty {
  bool operator==(const VEmpty&) const = default;
};
struct VNull {
  bool operator==(const VNull&) const = default;
};

class Variant {
 public:
  enum class Kind { Empty, Null, Boolean, Int32, UInt32, Int64, UInt64, Double, Text };

  Variant() = default;  // empty
  Variant(VNull) : v_(VNull{}) {}
  Variant(bool b) : v_(b) {}
  Variant(int32_t i) : v_(i) {}
  Variant(uint32_t u) : v_(u) {}
  Variant(int64_t i) : v_(i) {}
  Variant(uint64_t u) : v_(u) {}
  Variant(double d) : v_(d) {}
  Variant(std::string s) : v_(std::move(s)) {}
  Variant(const char* s) : v_(std::string(s)) {}

  static Variant Null() { return Variant(VNull{}); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool IsEmpty() const { return kind() == Kind::Empty; }
  bool IsNull() const { return kind() == Kind::Null; }
  bool IsInteger() const;
  bool IsText() const { return kind() == Kind::Text; }
  bool IsBool() const { return kind() == Kind::Boolean; }
  bool IsDouble() const { return kind() == Kind::Double; }

  // Text form: integers in decimal, Booleans "True"/"False", doubles in their
  // shortest round-trip form, empty as "", text unchanged. Null has no text
  // and raises "Could not convert variant of type (Null) into type (String)".
  std::string ToString() const;
  // Numeric readings. Text that spells a number is converted; other kinds raise.
  int64_t ToInt64() const;
  int32_t ToInt32() const;  // keeps the low 32 bits of a wider integer
  double ToDouble() const;
  // Booleans as they are, the texts "True"/"False" (any case), numbers non-zero.
  bool ToBool() const;

  const std::string& AsText() const { return std::get<std::string>(v_); }

  bool operator==(const Variant&) const = default;

  using Storage = std::variant<VEmpty, VNull, bool, int32_t, uint32_t, int64_t, uint64_t, double, std::string>;
  const Storage& storage() const { return v_; }

 private:
  Storage v_;
};

}  // namespace vexa
