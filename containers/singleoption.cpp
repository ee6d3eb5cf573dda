#include "containers/singleoption.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace norbe {

template <>
bool SingleOption<bool>::feed(const std::string& value) {
  if (_valueSet) return false;
  std::string word = value;
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  bool parsed;
  if (word == "true" || word == "1" || word == "yes" || word == "on") {
    parsed = true;
  } else if (word == "false" || word == "0" || word == "no" || word == "off") {
    parsed = false;
  } else {
    return false;
  }
  *_variable = parsed;
  _valueSet = true;
  return true;
}

template <>
std::string SingleOption<bool>::valueKind() const {
  return "<" + typeName<bool>() + ">";
}

template <>
bool SingleOption<bool>::valueIsOptional() const {
  return true;
}

template <>
bool SingleOption<int>::feed(const std::string& value) {
  if (_valueSet) return false;
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0 || number < _lowest || number > _highest) {
    throw std::runtime_error("option " + _names.front() + " needs a whole number from " + std::to_string(_lowest) +
                             " to " + std::to_string(_highest) + ", not \"" + value + "\"");
  }
  *_variable = static_cast<int>(number);
  _valueSet = true;
  return true;
}

template <>
std::string SingleOption<int>::valueKind() const {
  return "<number>";
}

template <>
bool SingleOption<std::string>::feed(const std::string& value) {
  if (_valueSet) return false;
  *_variable = value;
  _valueSet = true;
  return true;
}

template <>
std::string SingleOption<std::string>::valueKind() const {
  return "<text>";
}

}  // namespace norbe
