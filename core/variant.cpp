#include "core/variant.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace vexa {

namespace {
const char* KindName(Variant::Kind k) {
  switch (k) {
    case Variant::Kind::Empty: return "Empty";
    case Variant::Kind::Null: return "Null";
    case Variant::Kind::Boolean: return "Boolean";
    case Variant::Kind::Int32: return "Integer";
    case Variant::Kind::UInt32: return "LongWord";
    case Variant::Kind::Int64: return "Int64";
    case Variant::Kind::UInt64: return "UInt64";
    case Variant::Kind::Double: return "Double";
    case Variant::Kind::Text: return "String";
  }
  return "Unknown";
}

[[noreturn]] void CannotConvert(Variant::Kind from, const char* to) {
  throw std::runtime_error(std::string("Could not convert variant of type (") + KindName(from) +
                           ") into type (" + to + ")");
}

std::string TrimSpaces(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == 0;
}
}  // namespace

bool Variant::IsInteger() const {
  switch (kind()) {
    case Kind::Int32: case Kind::UInt32: case Kind::Int64: case Kind::UInt64: return true;
    default: return false;
  }
}

std::string Variant::ToString() const {
  return std::visit(
      [this](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, VEmpty>) return "";
        else if constexpr (std::is_same_v<T, VNull>) CannotConvert(kind(), "String");
        else if constexpr (std::is_same_v<T, bool>) return x ? "True" : "False";
        else if constexpr (std::is_same_v<T, double>) {
          char buf[64];
          auto r = std::to_chars(buf, buf + sizeof buf, x);
          return std::string(buf, r.ptr);
        } else if constexpr (std::is_same_v<T, std::string>) return x;
        else return std::to_string(x);
      },
      v_);
}

int64_t Variant::ToInt64() const {
  switch (kind()) {
    case Kind::Empty: return 0;
    case Kind::Boolean: return std::get<bool>(v_) ? -1 : 0;
    case Kind::Int32: return std::get<int32_t>(v_);
    case Kind::UInt32: return std::get<uint32_t>(v_);
    case Kind::Int64: return std::get<int64_t>(v_);
    case Kind::UInt64: return static_cast<int64_t>(std::get<uint64_t>(v_));
    case Kind::Double: {
      const double d = std::get<double>(v_);
      if (!std::isfinite(d) || d > 9.2e18 || d < -9.2e18) CannotConvert(kind(), "Int64");
      return static_cast<int64_t>(std::llround(d));
    }
    case Kind::Text: {
      const std::string t = TrimSpaces(std::get<std::string>(v_));
      int64_t out = 0;
      auto r = std::from_chars(t.data(), t.data() + t.size(), out);
      if (r.ec == std::errc() && r.ptr == t.data() + t.size() && !t.empty()) return out;
      double d = 0;
      auto rd = std::from_chars(t.data(), t.data() + t.size(), d);
      if (rd.ec == std::errc() && rd.ptr == t.data() + t.size() && !t.empty() && std::isfinite(d) &&
          d < 9.2e18 && d > -9.2e18)
        return static_cast<int64_t>(std::llround(d));
      throw std::runtime_error("Could not convert variant of type (String) into type (Int64)");
    }
    case Kind::Null: break;
  }
  CannotConvert(kind(), "Int64");
}

int32_t Variant::ToInt32() const {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ToInt64())));
}

double Variant::ToDouble() const {
  switch (kind()) {
    case Kind::Double: return std::get<double>(v_);
    case Kind::Text: {
      const std::string t = TrimSpaces(std::get<std::string>(v_));
      double d = 0;
      auto r = std::from_chars(t.data(), t.data() + t.size(), d);
      if (r.ec == std::errc() && r.ptr == t.data() + t.size() && !t.empty()) return d;
      throw std::runtime_error("Could not convert variant of type (String) into type (Double)");
    }
    case Kind::UInt64: return static_cast<double>(std::get<uint64_t>(v_));
    case Kind::Null: CannotConvert(kind(), "Double");
    default: return static_cast<double>(ToInt64());
  }
}

bool Variant::ToBool() const {
  switch (kind()) {
    case Kind::Boolean: return std::get<bool>(v_);
    case Kind::Empty: return false;
    case Kind::Null: CannotConvert(kind(), "Boolean");
    case Kind::Text: {
      const std::string t = TrimSpaces(std::get<std::string>(v_));
      if (EqualsNoCase(t, "true")) return true;
      if (EqualsNoCase(t, "false")) return false;
      try {
        return ToDouble() != 0.0;
      } catch (const std::exception&) {
        throw std::runtime_error("Could not convert variant of type (String) into type (Boolean)");
      }
    }
    case Kind::Double: return std::get<double>(v_) != 0.0;
    default: return ToInt64() != 0;
  }
}

}  // namespace vexa
