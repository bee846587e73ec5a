#include "core/asso_array.hpp"

#include <exception>
#include <memory>
#include <stdexcept>

#include "core/globals.hpp"
#include "core/json.hpp"

namespace vexa {

namespace {
[[noreturn]] void KeyNotFound(const std::string& key) {
  throw std::runtime_error("Key \"" + key + "\" not found");
}
}  // namespace

void TAssoArrayRecord::Init() { Dict = new DictType(); }

void TAssoArrayRecord::Done() {
  if (!Dict) return;
  try {
    for (auto& [key, value] : *Dict) value.Release();
    delete Dict;
    Dict = nullptr;
  } catch (const std::exception& e) {
    WriteLine(std::string("TAssoArrayRecord:- ") + e.what());
  }
}

TAssoArrayRecord TAssoArrayRecord::CloneDict() const {
  TAssoArrayRecord target;
  target.Init();
  try {
    for (const auto& [key, value] : *Dict) {
      Any copy;
      Any::Copy(value, copy);
      (*target.Dict)[key] = copy;
    }
  } catch (...) {
    // The partly built copy is abandoned; its scalars go with it, and the
    // objects cloned so far are released so nothing leaks.
    target.Done();
    throw;
  }
  return target;
}

void TAssoArrayRecord::SetItem(const std::string& key, const Any& value) { (*Dict)[key] = value; }

Any TAssoArrayRecord::GetItem(const std::string& key) const {
  auto it = Dict->find(key);
  if (it == Dict->end()) KeyNotFound(key);
  return it->second;
}

bool TAssoArrayRecord::ContainsKey(const std::string& key) const { return Dict->count(key) != 0; }

void TAssoArrayRecord::Remove(const std::string& key) {
  auto it = Dict->find(key);
  if (it == Dict->end()) throw std::runtime_error("Key " + key + " not found");
  Any value = it->second;
  Dict->erase(it);
  value.Release();
}

Any TAssoArrayRecord::Extract(const std::string& key) {
  auto it = Dict->find(key);
  if (it == Dict->end()) KeyNotFound(key);
  Any value = it->second;
  Dict->erase(it);
  return value;
}

std::string TAssoArrayRecord::ToJSONString() const {
  JsonValue obj = JsonValue::object();
  for (const auto& [key, value] : *Dict) obj[key] = value.ToVariant().ToString();
  return WriteJSON(obj);
}

TAssoArray::TAssoArray() { Data.Init(); }

TAssoArray::~TAssoArray() {
  try {
    Data.Done();
  } catch (const std::exception& e) {
    WriteLine(std::string("TAssoArray Error:- ") + e.what());
  }
}

void TAssoArray::SetObject(const std::string& key, TVexaBase* obj) { Data.SetItem(key, Any::FromObject(obj)); }

void TAssoArray::SetValue(const std::string& key, const Variant& value) {
  Data.SetItem(key, Any::FromVariant(value));
}

void TAssoArray::SetCardinal(const std::string& key, uintptr_t value) {
  Data.SetItem(key, Any::FromVariant(Variant(static_cast<uint64_t>(value))));
}

TVexaBase* TAssoArray::GetObject(const std::string& key) const { return Data.GetItem(key).ToObject(); }

Variant TAssoArray::GetValue(const std::string& key) const { return Data.GetItem(key).ToVariant(); }

bool TAssoArray::ContainsKey(const std::string& key) const { return Data.ContainsKey(key); }

void TAssoArray::Remove(const std::string& key) { Data.Remove(key); }

Any TAssoArray::Extract(const std::string& key) { return Data.Extract(key); }

TAssoArray* TAssoArray::Clone() const {
  auto target = std::make_unique<TAssoArray>();
  TAssoArrayRecord copy = Data.CloneDict();
  target->Data.Done();
  target->Data = copy;
  return target.release();
}

void TAssoArray::AssignFrom(const TAssoArray& source) {
  if (&source == this) return;  // assigning an array to itself changes nothing
  // Copy first, so a failing copy leaves this array as it was.
  TAssoArrayRecord copy = source.Data.CloneDict();
  Data.Done();
  Data = copy;
}

std::string TAssoArray::ToJSON() const { return Data.ToJSONString(); }

}  // namespace vexa
