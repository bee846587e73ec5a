#pragma once
// Any: a tagged value holding either a Variant scalar or a TVexaBase object.
// A plain copy borrows the object; only the TAssoArray that stores it owns it,
// and only Release frees it.

#include <cstdint>

#include "core/variant.hpp"
#include "core/vexa_base.hpp"

namespace vexa {

struct Any {
  Variant Value;              // the scalar; null for an object value
  TVexaBase* Obj = nullptr;   // meaningful only when IsObject
  bool IsObject = false;

  static Any FromVariant(const Variant& v);
  static Any FromInteger(int32_t i);
  static Any FromObject(TVexaBase* obj);

  // Raise "Value contains an object, not a Variant." for an object value.
  Variant ToVariant() const;
  int32_t ToInteger() const;      // the low 32 bits of an integer value
  uintptr_t ToAddress() const;    // the whole width of an integer value (non-owning references)
  // Raises "Value contains a Variant, not an object." for a scalar.
  TVexaBase* ToObject() const;

  // Deep copy into `dest`: scalars by value, objects through their Clone.
  static void Copy(const Any& source, Any& dest);
  // Frees the object of an object value; the Any is discarded afterwards.
  void Release();
};

}  // namespace vexa
