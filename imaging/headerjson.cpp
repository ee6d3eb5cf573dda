#include "imaging/headerjson.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace vexa {

using norbe::Object;

namespace {

const char* const kFormatTag = "mirlune-header";

void appendString(std::string& out, const std::string& text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

// Enough digits to read the same value back; non-finite values have no JSON form.
void appendNumber(std::string& out, double value, int digits) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
  out += buffer;
}

template <class E>
bool appendVector(std::string& out, const Object& value, int digits) {
  auto* typed = dynamic_cast<norbe::TypedObject<std::vector<E>>*>(value.get());
  if (!typed) return false;
  out += '[';
  bool first = true;
  for (E e : typed->getValue()) {
    if (!first) out += ", ";
    first = false;
    appendNumber(out, static_cast<double>(e), digits);
  }
  out += ']';
  return true;
}

template <class E>
bool appendScalar(std::string& out, const Object& value, int digits) {
  auto* typed = dynamic_cast<norbe::TypedObject<E>*>(value.get());
  if (!typed) return false;
  appendNumber(out, static_cast<double>(typed->getValue()), digits);
  return true;
}

bool appendValue(std::string& out, const Object& value) {
  if (!value) return false;
  if (auto* text = dynamic_cast<norbe::TypedObject<std::string>*>(value.get())) {
    appendString(out, text->getValue());
    return true;
  }
  return appendScalar<int>(out, value, 10) || appendScalar<short>(out, value, 6) ||
         appendScalar<float>(out, value, 9) || appendScalar<double>(out, value, 17) ||
         appendVector<int>(out, value, 10) || appendVector<short>(out, value, 6) ||
         appendVector<float>(out, value, 9) || appendVector<double>(out, value, 17);
}

// ---------------------------------------------------------------- a small JSON reader

struct Json {
  enum Kind { Null, Bool, Number, String, Array, ObjectKind } kind = Null;
  double number = 0;
  bool boolean = false;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json* member(const std::string& name) const {
    for (const auto& m : members)
      if (m.first == name) return &m.second;
    return nullptr;
  }
};

class Parser {
 public:
  explicit Parser(const std::string& text) : _text(text) {}

  Json document() {
    Json value = parseValue(0);
    skipBlanks();
    if (_at != _text.size()) fail("trailing characters");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw std::runtime_error("header extension is not valid JSON (" + why + " at offset " + std::to_string(_at) + ")");
  }
  void skipBlanks() {
    while (_at < _text.size() && (_text[_at] == ' ' || _text[_at] == '\n' || _text[_at] == '\t' || _text[_at] == '\r'))
      ++_at;
  }
  bool take(char c) {
    skipBlanks();
    if (_at < _text.size() && _text[_at] == c) {
      ++_at;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!take(c)) fail(std::string("expected '") + c + "'");
  }
  bool takeWord(const char* word) {
    const std::string w(word);
    if (_text.compare(_at, w.size(), w) == 0) {
      _at += w.size();
      return true;
    }
    return false;
  }

  Json parseValue(int depth) {
    if (depth > 64) fail("nesting too deep");
    skipBlanks();
    if (_at >= _text.size()) fail("unexpected end");
    Json value;
    const char c = _text[_at];
    if (c == '{') {
      ++_at;
      value.kind = Json::ObjectKind;
      if (take('}')) return value;
      do {
        skipBlanks();
        std::string name = parseString();
        expect(':');
        value.members.emplace_back(std::move(name), parseValue(depth + 1));
      } while (take(','));
      expect('}');
    } else if (c == '[') {
      ++_at;
      value.kind = Json::Array;
      if (take(']')) return value;
      do {
        value.items.push_back(parseValue(depth + 1));
      } while (take(','));
      expect(']');
    } else if (c == '"') {
      value.kind = Json::String;
      value.text = parseString();
    } else if (takeWord("true")) {
      value.kind = Json::Bool;
      value.boolean = true;
    } else if (takeWord("false")) {
      value.kind = Json::Bool;
    } else if (takeWord("null")) {
      value.kind = Json::Null;
    } else {
      const char* begin = _text.c_str() + _at;
      char* end = nullptr;
      value.number = std::strtod(begin, &end);
      if (end == begin) fail("unexpected character");
      value.kind = Json::Number;
      _at += static_cast<std::size_t>(end - begin);
    }
    return value;
  }

  std::string parseString() {
    if (_at >= _text.size() || _text[_at] != '"') fail("expected a string");
    ++_at;
    std::string out;
    while (true) {
      if (_at >= _text.size()) fail("unterminated string");
      char c = _text[_at++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (_at >= _text.size()) fail("unterminated escape");
      c = _text[_at++];
      switch (c) {
        case '"':
        case '\\':
        case '/':
          out += c;
          break;
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u': {
          if (_at + 4 > _text.size()) fail("short \\u escape");
          const unsigned code = static_cast<unsigned>(std::strtoul(_text.substr(_at, 4).c_str(), nullptr, 16));
          _at += 4;
          // Only what the writer produces (control characters) needs to come back exactly.
          if (code < 0x80) {
            out += static_cast<char>(code);
          } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
          }
          break;
        }
        default:
          fail("unknown escape");
      }
    }
  }

  const std::string& _text;
  std::size_t _at = 0;
};

double numberOf(const Json& j) {
  if (j.kind == Json::Null) return std::nan("");
  if (j.kind != Json::Number) throw std::runtime_error("header extension: number expected");
  return j.number;
}

template <class E>
Object vectorOf(const Json& j) {
  if (j.kind != Json::Array) throw std::runtime_error("header extension: list expected");
  std::vector<E> values;
  values.reserve(j.items.size());
  for (const Json& item : j.items) values.push_back(static_cast<E>(numberOf(item)));
  return norbe::makeObject(values);
}

Object objectOf(const std::string& type, const Json& j) {
  using norbe::typeName;
  if (type == typeName<int>()) return norbe::makeObject(static_cast<int>(numberOf(j)));
  if (type == typeName<short>()) return norbe::makeObject(static_cast<short>(numberOf(j)));
  if (type == typeName<float>()) return norbe::makeObject(static_cast<float>(numberOf(j)));
  if (type == typeName<double>()) return norbe::makeObject(numberOf(j));
  if (type == typeName<std::string>()) {
    if (j.kind != Json::String) throw std::runtime_error("header extension: text expected");
    return norbe::makeObject(j.text);
  }
  if (type == typeName<std::vector<int>>()) return vectorOf<int>(j);
  if (type == typeName<std::vector<short>>()) return vectorOf<short>(j);
  if (type == typeName<std::vector<float>>()) return vectorOf<float>(j);
  if (type == typeName<std::vector<double>>()) return vectorOf<double>(j);
  return Object();
}

}  // namespace

bool isJsonType(const Object& value) {
  std::string ignored;
  return appendValue(ignored, value);
}

std::string propertiesToJson(const std::vector<NamedProperty>& properties) {
  std::string out = "{\"format\": \"";
  out += kFormatTag;
  out += "\", \"properties\": [";
  bool first = true;
  for (const auto& property : properties) {
    std::string value;
    if (!appendValue(value, property.value)) continue;
    out += first ? "\n  " : ",\n  ";
    first = false;
    out += "{\"key\": ";
    appendString(out, property.key);
    out += ", \"type\": ";
    appendString(out, property.value->type());
    out += ", \"value\": " + value + "}";
  }
  out += "\n]}\n";
  return out;
}

std::vector<NamedProperty> propertiesFromJson(const std::string& text) {
  const Json document = Parser(text).document();
  const Json* format = document.member("format");
  const Json* list = document.member("properties");
  if (document.kind != Json::ObjectKind || !format || format->text != kFormatTag || !list ||
      list->kind != Json::Array) {
    throw std::runtime_error("header extension is not a property list");
  }
  std::vector<NamedProperty> properties;
  for (const Json& entry : list->items) {
    const Json* key = entry.member("key");
    const Json* type = entry.member("type");
    const Json* value = entry.member("value");
    if (!key || !type || !value || key->kind != Json::String || type->kind != Json::String) {
      throw std::runtime_error("header extension: malformed property");
    }
    Object object = objectOf(type->text, *value);
    if (object) properties.push_back({key->text, object});
  }
  return properties;
}

}  // namespace vexa
