#include "core/vexa_base.hpp"

#include <stdexcept>

namespace vexa {

TVexaBase* TVexaBase::Clone() const { throw std::runtime_error("Object need to implement Clone"); }

void TVexaBase::Assign(const TVexaBase&) { throw std::runtime_error("Object need to implement Assign"); }

}  // namespace vexa
