#pragma once
// A command-line option bound to one program variable.

#include <string>

#include "containers/values/object.h"
#include "imaging/run/application.h"

namespace norbe {

/*!
 * Bound to a reader by default (the value is a file name handed to setFileName);
 * bool, int and std::string have their own parsing below.
 */
template <class T>
class SingleOption : public OptionBase {
 public:
  SingleOption(const std::string& name, const std::string& help, T& variable, bool optional)
      : OptionBase(name, help), _variable(&variable), _optional(optional), _valueSet(false) {}
  ~SingleOption() override = default;

  bool recognizeName(const std::string& name) override;
  bool feed(const std::string& value) override;
  void checkGiven() override {
    if (!_optional && !_valueSet) throw missing_option(_names.front());
  }
  std::string info() override {
    const std::string kind = _valueName.empty() ? valueKind() : "<" + _valueName + ">";
    if (_optional) return "[ " + names() + " " + kind + " ]\n" + _help;
    return names() + " " + kind + "\n" + _help;
  }
  bool valueIsOptional() const override;

  bool valueSet() const { return _valueSet; }
  //! How the help line names the value, instead of the type's own name.
  void setValueName(const std::string& name) { _valueName = name; }
  //! For int: the values accepted; others are refused with a message naming the range.
  void setRange(int lowest, int highest) {
    _lowest = lowest;
    _highest = highest;
  }

 private:
  //! How the help line names the value ("<boolean>", "<file name ...>").
  std::string valueKind() const;

  T* _variable;
  bool _optional;
  bool _valueSet;
  std::string _valueName;
  int _lowest = 0, _highest = 0;
};

template <class T>
bool SingleOption<T>::recognizeName(const std::string& name) {
  for (const auto& known : _names) {
    if (known != name) continue;
    if (_valueSet) throw unexpected_option(name);
    return true;
  }
  return false;
}

template <class T>
bool SingleOption<T>::feed(const std::string& value) {
  if (_valueSet) return false;
  _variable->setFileName(value);
  _valueSet = true;
  return true;
}

template <class T>
std::string SingleOption<T>::valueKind() const {
  return "<file name (read only): " + typeName<typename T::data_type>() + ">";
}

template <class T>
bool SingleOption<T>::valueIsOptional() const {
  return false;
}

// A boolean option given alone means true; a following true/false/1/0/yes/no/on/off sets it.
template <>
bool SingleOption<bool>::feed(const std::string& value);
template <>
std::string SingleOption<bool>::valueKind() const;
template <>
bool SingleOption<bool>::valueIsOptional() const;

// An int takes a whole number within its range; anything else is an error naming the range.
template <>
bool SingleOption<int>::feed(const std::string& value);
template <>
std::string SingleOption<int>::valueKind() const;

// A string takes the next word as it is.
template <>
bool SingleOption<std::string>::feed(const std::string& value);
template <>
std::string SingleOption<std::string>::valueKind() const;

}  // namespace norbe
