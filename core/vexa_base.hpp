#pragma once
// TVexaBase: the base of every object that a TAssoArray can hold and own.

namespace vexa {

class TVexaBase {
 public:
  virtual ~TVexaBase() = default;
  // Deep copy; the base raises "Object need to implement Clone".
  virtual TVexaBase* Clone() const;
  // Copies `source` into this object; the base raises "Object need to implement Assign".
  virtual void Assign(const TVexaBase& source);
};

}  // namespace vexa
