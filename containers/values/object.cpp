#include "containers/values/object.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace norbe {

Interface::~Interface() = default;

bool StringInterface::isString() const { return false; }
bool ScalarInterface::isScalar() const { return false; }
bool IterableInterface::isIterable() const { return false; }
bool IteratorInterface::isIterator() const { return false; }
bool ArrayInterface::isArray() const { return false; }
bool DynArrayInterface::isDynArray() const { return false; }
bool DictionaryInterface::isDictionary() const { return false; }
bool DictionaryIteratorInterface::isDictionaryIterator() const { return false; }

void DictionaryInterface::copyProperties(const Object& source) {
  if (!source) return;
  // Collect first: source may be this very dictionary.
  std::vector<std::pair<std::string, Object>> entries;
  for (Object it = source->objectIterator(); it->isValid(); it->next()) {
    Object value = it->currentValue();
    entries.emplace_back(it->key(), value ? value->clone() : Object());
  }
  for (auto& entry : entries) setProperty(entry.first, entry.second);
}

Object DictionaryInterface::getProperty(const char* key) {
  Object result;
  getProperty(std::string(key), result);
  return result;
}

void GenericObject::check() const {
  if (!_syntax.empty() && _syntax != type()) {
    throw std::runtime_error("object of type " + type() + " does not match syntax " + _syntax);
  }
}
std::string GenericObject::getSyntax() const { return _syntax; }
bool GenericObject::hasSyntax() const { return !_syntax.empty(); }
void GenericObject::setSyntax(const std::string& syntax) { _syntax = syntax; }

namespace detail {
void unsupported(const std::string& before, const std::string& type, const std::string& after) {
  throw std::runtime_error(before + type + after);
}
void cannotConvert(const std::string& from, const std::string& to) {
  throw std::invalid_argument("cannot convert object from " + from + " to " + to);
}
}  // namespace detail

namespace {
[[noreturn]] void badText(const std::string& text, const std::string& type) {
  throw std::invalid_argument("cannot convert string \"" + text + "\" to " + type);
}

template <class T>
void parseInteger(const std::string& text, T& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(begin, &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || parsed < std::numeric_limits<T>::min() ||
      parsed > std::numeric_limits<T>::max()) {
    badText(text, typeName<T>());
  }
  value = static_cast<T>(parsed);
}

template <class T>
void parseReal(const std::string& text, T& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double parsed = std::strtod(begin, &end);
  if (text.empty() || *end != '\0') badText(text, typeName<T>());
  value = static_cast<T>(parsed);
}

template <class T>
void scalarTo(const Object& object, T& value) {
  if (!object || !object->isScalar()) {
    detail::cannotConvert(object ? object->type() : std::string("null"), typeName<T>());
  }
  value = static_cast<T>(object->getScalar());
}
}  // namespace

template <>
void stringTo<int>(const std::string& text, int& value) {
  parseInteger(text, value);
}
template <>
void stringTo<short>(const std::string& text, short& value) {
  parseInteger(text, value);
}
template <>
void stringTo<float>(const std::string& text, float& value) {
  parseReal(text, value);
}
template <>
void stringTo<double>(const std::string& text, double& value) {
  parseReal(text, value);
}

template <>
void object_to<int>(const Object& object, int& value) {
  scalarTo(object, value);
}
template <>
void object_to<short>(const Object& object, short& value) {
  scalarTo(object, value);
}
template <>
void object_to<float>(const Object& object, float& value) {
  scalarTo(object, value);
}
template <>
void object_to<double>(const Object& object, double& value) {
  scalarTo(object, value);
}

}  // namespace norbe
