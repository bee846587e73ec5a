#include "core/any.hpp"

#include <stdexcept>

namespace vexa {

Any Any::FromVariant(const Variant& v) { return Any{v, nullptr, false}; }

Any Any::FromInteger(int32_t i) { return Any{Variant(i), nullptr, false}; }

Any Any::FromObject(TVexaBase* obj) { return Any{Variant::Null(), obj, true}; }

Variant Any::ToVariant() const {
  if (IsObject) throw std::runtime_error("Value contains an object, not a Variant.");
  return Value;
}

int32_t Any::ToInteger() const {
  if (IsObject) throw std::runtime_error("Value contains an object, not a Variant.");
  return Value.ToInt32();
}

uintptr_t Any::ToAddress() const {
  if (IsObject) throw std::runtime_error("Value contains an object, not a Variant.");
  return static_cast<uintptr_t>(Value.ToInt64());
}

TVexaBase* Any::ToObject() const {
  if (!IsObject) throw std::runtime_error("Value contains a Variant, not an object.");
  return Obj;
}

void Any::Copy(const Any& source, Any& dest) {
  dest.IsObject = source.IsObject;
  if (source.IsObject) {
    dest.Value = Variant::Null();
    dest.Obj = source.Obj ? source.Obj->Clone() : nullptr;
  } else {
    dest.Value = source.Value;
    dest.Obj = nullptr;
  }
}

void Any::Release() {
  if (IsObject) delete Obj;
}

}  // namespace vexa
