#pragma once
// TAssoArray: a string-keyed hash dictionary of Any values that owns its
// object values.
//
// Ownership, as callers rely on it:
//  - SetObject hands the object to the array;
//  - Remove frees an object value, Extract hands it back to the caller;
//  - storing any value under a key that holds an object replaces the entry
//    WITHOUT freeing the previous object (remove the key first to free it);
//  - SetCardinal stores a non-owning reference as an address-wide integer.
// The dictionary is walked in the hash table's own order; no caller depends on it.
// No operation takes a lock: an array shared by threads is guarded by its users.

#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/any.hpp"
#include "core/vexa_base.hpp"

namespace vexa {

struct TAssoArrayRecord {
  using DictType = std::unordered_map<std::string, Any>;
  DictType* Dict = nullptr;

  void Init();
  // Releases every value, then frees the dictionary. Failures are printed
  // as "TAssoArrayRecord:- " + message, never raised.
  void Done();
  TAssoArrayRecord CloneDict() const;
  void SetItem(const std::string& key, const Any& value);
  Any GetItem(const std::string& key) const;          // 'Key "k" not found'
  bool ContainsKey(const std::string& key) const;
  void Remove(const std::string& key);                 // "Key k not found"
  Any Extract(const std::string& key);                 // 'Key "k" not found'
  std::string ToJSONString() const;
};

class TAssoArray : public TVexaBase {
 public:
  using DictType = TAssoArrayRecord::DictType;

  TAssoArray();
  ~TAssoArray() override;
  TAssoArray(const TAssoArray&) = delete;
  TAssoArray& operator=(const TAssoArray&) = delete;

  void SetObject(const std::string& key, TVexaBase* obj);
  void SetValue(const std::string& key, const Variant& value);
  // Stores a non-owning reference (an object address, or any unsigned number).
  void SetCardinal(const std::string& key, uintptr_t value);
  TVexaBase* GetObject(const std::string& key) const;
  template <class T>
  T* GetObjectAs(const std::string& key) const { return dynamic_cast<T*>(GetObject(key)); }
  Variant GetValue(const std::string& key) const;
  bool ContainsKey(const std::string& key) const;
  void Remove(const std::string& key);
  Any Extract(const std::string& key);  // the caller now owns an object value
  TAssoArray* Clone() const;             // deep copy (non-virtual); the caller owns it
  virtual void AssignFrom(const TAssoArray& source);
  virtual std::string ToJSON() const;

  size_t Count() const { return Data.Dict->size(); }
  // Enumeration: pairs of (key, Any); values are borrowed.
  DictType::const_iterator begin() const { return Data.Dict->begin(); }
  DictType::const_iterator end() const { return Data.Dict->end(); }

  TAssoArrayRecord Data;
};

}  // namespace vexa
