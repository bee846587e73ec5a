#include "core/json.hpp"

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "core/asso_array.hpp"
#include "core/globals.hpp"

namespace vexa {

namespace {

void WriteString(const std::string& s, std::string& out) {
  static constexpr char hex[] = "0123456789ABCDEF";
  out.push_back('"');
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 0x0F]);
        } else {
          out.push_back(ch);  // "/" and bytes from 0x80 up stay as they are
        }
    }
  }
  out.push_back('"');
}

// Documents nest at most this deep: copying and writing a value recurse once
// per level, and a line of brackets from a client must not exhaust a stack.
constexpr size_t kMaxJsonDepth = 512;

// Whether the text nests arrays and objects deeper than kMaxJsonDepth
// (brackets inside strings do not count).
bool NestsTooDeep(const std::string& text) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

const char* const kTooDeep = "nesting deeper than 512 levels";

void Write(const JsonValue& v, std::string& out) {
  switch (v.type()) {
    case JsonValue::value_t::object: {
      if (v.empty()) {
        out += "{}";
        return;
      }
      out += "{ ";
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        WriteString(it.key(), out);
        out += " : ";
        Write(it.value(), out);
      }
      out += " }";
      return;
    }
    case JsonValue::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& e : v) {
        if (!first) out += ", ";
        first = false;
        Write(e, out);
      }
      out.push_back(']');
      return;
    }
    case JsonValue::value_t::string: WriteString(v.get_ref<const std::string&>(), out); return;
    case JsonValue::value_t::number_float: {
      // Scientific notation, the shortest digits that read back exactly: 1.5e+00.
      const double d = v.get<double>();
      if (!std::isfinite(d)) break;  // no JSON form: written as null
      char buf[32];
      out.append(buf, std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr);
      return;
    }
    default: break;
  }
  out += v.dump();  // integers, Booleans, null
}

const JsonValue* Lookup(const JsonValue* start, const std::string& path) {
  if (path.empty()) return start;
  size_t pos = 0;
  while (pos < path.size() && path[pos] == '.') ++pos;
  const JsonValue* cur = start;
  while (true) {
    const size_t dot = path.find('.', pos);
    const std::string name = path.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    if (!cur->is_object()) return nullptr;
    auto it = cur->find(name);
    if (it == cur->end()) return nullptr;
    cur = &*it;
    if (dot == std::string::npos) return cur;
    pos = dot + 1;
  }
}

}  // namespace

std::string WriteJSON(const JsonValue& value) {
  std::string out;
  Write(value, out);
  return out;
}

JsonValue VariantToJSON(const Variant& value) {
  switch (value.kind()) {
    case Variant::Kind::Empty:
    case Variant::Kind::Null: return nullptr;
    case Variant::Kind::Boolean: return std::get<bool>(value.storage());
    case Variant::Kind::Int32: return std::get<int32_t>(value.storage());
    case Variant::Kind::UInt32: return std::get<uint32_t>(value.storage());
    case Variant::Kind::Int64: return std::get<int64_t>(value.storage());
    case Variant::Kind::UInt64: return std::get<uint64_t>(value.storage());
    case Variant::Kind::Double: return std::get<double>(value.storage());
    case Variant::Kind::Text: return value.AsText();
  }
  throw std::runtime_error("Unsupported variant type for JSON conversion");
}

Variant JSONToVariant(const JsonValue* value) {
  if (!value) throw std::runtime_error("JSON Key not found.");
  switch (value->type()) {
    case JsonValue::value_t::number_integer:
    case JsonValue::value_t::number_unsigned:
    case JsonValue::value_t::number_float: return Variant(value->get<double>());
    case JsonValue::value_t::string: return Variant(value->get<std::string>());
    case JsonValue::value_t::boolean: return Variant(value->get<bool>());
    case JsonValue::value_t::null: return Variant::Null();
    case JsonValue::value_t::array:
    case JsonValue::value_t::object: return Variant(WriteJSON(*value));
    default: throw std::runtime_error("Unsupported JSON data type.");
  }
}

TJSON::TJSON() : docs_(JsonValue::array({JsonValue::object()})) {}

TJSON TJSON::CreateFromData(const JsonValue* data) {
  TJSON doc;
  if (data && data->is_object()) {
    doc.docs_ = JsonValue::array({*data});
  } else if (data && data->is_array()) {
    doc.docs_ = *data;
    if (doc.docs_.empty() || !doc.docs_[0].is_object()) doc.docs_.insert(doc.docs_.begin(), JsonValue::object());
  }
  // Anything else (a scalar, or nothing) gives an empty document.
  return doc;
}

TJSON TJSON::CreateFromData(JsonValue&& data) {
  TJSON doc;
  if (data.is_object()) {
    doc.docs_ = JsonValue::array();
    doc.docs_.push_back(std::move(data));
  } else if (data.is_array()) {
    doc.docs_ = std::move(data);
    if (doc.docs_.empty() || !doc.docs_[0].is_object()) doc.docs_.insert(doc.docs_.begin(), JsonValue::object());
  }
  return doc;
}

namespace {

// Builds the document as the library's own parser does, but moves each string
// and key out of the lexer's buffer instead of copying it: a long string (a
// client's message of many MiB) is not held twice more while it is parsed.
class TMovingDomBuilder {
 public:
  explicit TMovingDomBuilder(JsonValue& root) : root_(root) {}

  bool null() { return Put(nullptr) != nullptr; }
  bool boolean(bool value) { return Put(value) != nullptr; }
  bool number_integer(JsonValue::number_integer_t value) { return Put(value) != nullptr; }
  bool number_unsigned(JsonValue::number_unsigned_t value) { return Put(value) != nullptr; }
  bool number_float(JsonValue::number_float_t value, const JsonValue::string_t&) { return Put(value) != nullptr; }
  bool string(JsonValue::string_t& value) { return Put(std::move(value)) != nullptr; }
  bool binary(JsonValue::binary_t& value) { return Put(JsonValue::binary(std::move(value))) != nullptr; }
  bool start_object(std::size_t) {
    open_.push_back(Put(JsonValue::object()));
    return true;
  }
  bool key(JsonValue::string_t& name) {
    key_ = std::move(name);
    return true;
  }
  bool end_object() {
    open_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    open_.push_back(Put(JsonValue::array()));
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    // The parse error as the library's own parser raises it.
    if (error.id >= 100 && error.id < 200) throw static_cast<const nlohmann::detail::parse_error&>(error);
    throw std::runtime_error(error.what());
  }

 private:
  // Only the innermost open container grows, so the pointers to the open
  // ones stay valid.
  JsonValue* Put(JsonValue value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    JsonValue& parent = *open_.back();
    if (parent.is_array()) {
      auto& items = parent.get_ref<JsonValue::array_t&>();
      items.push_back(std::move(value));
      return &items.back();
    }
    JsonValue& member = parent[std::move(key_)];  // a repeated name keeps the last value
    member = std::move(value);
    return &member;
  }

  JsonValue& root_;
  std::vector<JsonValue*> open_;
  JsonValue::string_t key_;
};

}  // namespace

JsonValue ParseJsonText(const std::string& text) {
  if (NestsTooDeep(text)) throw std::runtime_error(kTooDeep);
  JsonValue parsed;
  TMovingDomBuilder builder(parsed);
  JsonValue::sax_parse(text, &builder);
  return parsed;
}

TJSON TJSON::CreateFromText(const std::string& text) {
  const JsonValue parsed = ParseJsonText(text);
  return CreateFromData(&parsed);
}

void TJSON::Add(const std::string& name, const Variant& value) {
  JsonValue& cur = Current();
  auto it = cur.find(name);
  if (it == cur.end()) {
    cur[name] = value.ToString();  // a new member is always a JSON string; null raises
  } else {
    *it = VariantToJSON(value);
  }
}

void TJSON::AddJSON(const std::string& name, const TJSON& other) {
  JsonValue content = other.docs_.size() < 2 ? other.Current() : other.docs_;
  Current()[name] = std::move(content);
}

void TJSON::AddJSON(const std::string& name, TJSON&& other) {
  JsonValue content = other.docs_.size() < 2 ? std::move(other.Current()) : std::move(other.docs_);
  Current()[name] = std::move(content);
}

void TJSON::AddAssoArray(const std::string& name, const TAssoArray& pairs) {
  JsonValue obj = JsonValue::object();
  for (const auto& [key, value] : pairs) obj[key] = value.ToVariant().ToString();
  // Appended even when the name is taken: an earlier member of that name stays first.
  Current().get_ref<JsonValue::object_t&>().emplace_back(name, std::move(obj));
}

const JsonValue* TJSON::Find(const std::string& path) const { return Lookup(&Current(), path); }

JsonValue* TJSON::Find(const std::string& path) { return const_cast<JsonValue*>(Lookup(&Current(), path)); }

Variant TJSON::GetValue(const std::string& path) const { return JSONToVariant(Find(path)); }

bool TJSON::HasKey(const std::string& name) const { return Current().contains(name); }

int TJSON::Count() const { return static_cast<int>(Current().size()); }

namespace {
[[noreturn]] void IndexError(int index) {
  throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
}
}  // namespace

const JsonValue& TJSON::GetItem(int index) const {
  if (index < 0 || index >= Count()) IndexError(index);
  auto it = Current().begin();
  std::advance(it, index);
  return it.value();
}

std::string TJSON::GetName(int index) const {
  if (index < 0 || index >= Count()) IndexError(index);
  auto it = Current().begin();
  std::advance(it, index);
  return it.key();
}

int TJSON::ArrayCount() const { return static_cast<int>(docs_.size()); }

const JsonValue* TJSON::GetItemPath(int index, const std::string& path) const {
  if (index < 0 || index >= ArrayCount()) return nullptr;
  return Lookup(&docs_[static_cast<size_t>(index)], path);
}

std::string TJSON::GetJSON() const {
  if (docs_.size() <= 1) return WriteJSON(Current());
  if (!Current().empty()) return WriteJSON(docs_);
  std::string out = "[";
  for (size_t i = 1; i < docs_.size(); ++i) {
    if (i > 1) out += ", ";
    out += WriteJSON(docs_[i]);
  }
  return out + "]";
}

void TJSON::LoadFromFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open file \"" + fileName + "\". No such file or directory");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw std::runtime_error("Cannot read file \"" + fileName + "\"");
  Parse(text.str());
}

bool TJSON::Parse(const std::string& text) {
  JsonValue parsed;
  try {
    parsed = ParseJsonText(text);
  } catch (const std::exception& e) {
    // The parser's message quotes the text it stopped at (a whole token,
    // as long as the text): only the cut quote outlives this line.
    WriteLine("Error:- Invalid JSON " + ConsoleQuote(e.what()));
    return false;
  }
  try {
    if (parsed.is_array()) {
      if (parsed.empty()) return true;
      size_t from = 0;
      if (Current().empty() && parsed[0].is_object()) {
        docs_[0] = std::move(parsed[0]);
        from = 1;
      }
      for (size_t i = from; i < parsed.size(); ++i) docs_.push_back(std::move(parsed[i]));
    } else if (parsed.is_object()) {
      JsonValue& cur = Current();
      // Moved, not copied: a client's message is held once.
      for (auto it = parsed.begin(); it != parsed.end(); ++it) cur[it.key()] = std::move(it.value());
    }
    return true;
  } catch (const std::exception& e) {
    WriteLine("Error Invalid JSON:- " + ConsoleQuote(text) + " " + ConsoleQuote(e.what()));
    return false;
  }
}

}  // namespace vexa
