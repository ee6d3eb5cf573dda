#include "containers/singleoption.h"

#include <algorithm>
#include <cctype>

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

}  // namespace norbe
