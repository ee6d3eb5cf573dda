#pragma once
// The dynamically typed value model that headers and option texts are made of.
// A GenericObject offers every capability; the held type decides which work,
// the others throw std::runtime_error naming the type.

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "containers/values/rcptr.h"

namespace norbe {

class GenericObject;
class PropertySet;
using Object = rc_ptr<GenericObject>;

// ---------------------------------------------------------------- type names

template <class T>
struct TypeNameOf {
  static std::string name() { return typeid(T).name(); }
};
template <>
struct TypeNameOf<float> {
  static std::string name() { return "FLOAT"; }
};
template <>
struct TypeNameOf<double> {
  static std::string name() { return "DOUBLE"; }
};
template <>
struct TypeNameOf<int> {
  static std::string name() { return "S32"; }
};
template <>
struct TypeNameOf<short> {
  static std::string name() { return "S16"; }
};
template <>
struct TypeNameOf<bool> {
  static std::string name() { return "boolean"; }
};
template <>
struct TypeNameOf<std::string> {
  static std::string name() { return "string"; }
};
template <>
struct TypeNameOf<PropertySet> {
  static std::string name() { return "PropertySet"; }
};
template <class E>
struct TypeNameOf<std::vector<E>> {
  static std::string name() { return "vector of " + TypeNameOf<E>::name(); }
};

//! The name under which a type appears in messages ("FLOAT", "S32", "vector of FLOAT", ...).
template <class T>
std::string typeName() {
  return TypeNameOf<T>::name();
}

//! A number written with the stream's default format (6 significant digits).
template <class T>
std::string toString(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

//! Parses text into value; throws std::invalid_argument naming the text and the type.
template <class T>
void stringTo(const std::string& text, T& value);
//! Converts a scalar object into value; throws std::invalid_argument otherwise.
template <class T>
void object_to(const Object& object, T& value);

// ---------------------------------------------------------------- interfaces

class Interface {
 public:
  virtual ~Interface();
};

class StringInterface : public virtual Interface {
 public:
  virtual bool isString() const;
  virtual std::string getString() const = 0;
  virtual void setString(const std::string& text) = 0;
};

class ScalarInterface : public virtual Interface {
 public:
  virtual bool isScalar() const;
  virtual double getScalar() const = 0;
  virtual void setScalar(double value) = 0;
};

class SizeInterface : public virtual Interface {
 public:
  virtual int size() const = 0;
};

class IterableInterface : public virtual Interface {
 public:
  virtual bool isIterable() const;
  virtual Object objectIterator() = 0;
};

class IteratorInterface : public virtual Interface {
 public:
  virtual bool isIterator() const;
  virtual bool isValid() = 0;
  virtual Object currentValue() = 0;
  virtual void next() = 0;
};

class SyntaxedInterface : public virtual Interface {
 public:
  virtual std::string getSyntax() const = 0;
  virtual bool hasSyntax() const = 0;
  virtual void setSyntax(const std::string& syntax) = 0;
};

class ArrayInterface : public virtual SizeInterface, public virtual IterableInterface {
 public:
  virtual bool isArray() const;
  virtual Object getArrayItem(int index) = 0;
  virtual void setArrayItem(int index, Object value) = 0;
};

class DynArrayInterface : public virtual ArrayInterface {
 public:
  virtual bool isDynArray() const;
  virtual void reserveArray(unsigned count) = 0;
  virtual void resizeArray(unsigned count) = 0;
  virtual void removeArrayItem(int index) = 0;
  virtual void insertArrayItem(int index, Object value) = 0;
};

class DictionaryInterface : public virtual SizeInterface, public virtual IterableInterface {
 public:
  virtual bool isDictionary() const;
  virtual bool getProperty(const std::string& key, Object& result) = 0;
  virtual void setProperty(const std::string& key, Object value) = 0;
  virtual bool removeProperty(const std::string& key) = 0;
  virtual bool hasProperty(const std::string& key) const = 0;
  virtual void clearProperties() = 0;
  //! Stores a copy of every entry of source (a dictionary object) in this dictionary.
  virtual void copyProperties(const Object& source);

  //! Looks key up; the result is null when the key is absent.
  Object getProperty(const char* key);
  //! Looks key up and converts its value; false when absent or of another type.
  template <class T>
  bool getProperty(const std::string& key, T& value);
};

class DictionaryIteratorInterface : public virtual IteratorInterface {
 public:
  virtual bool isDictionaryIterator() const;
  virtual std::string key() const = 0;
};

class GenObject : public virtual StringInterface,
                  public virtual ScalarInterface,
                  public virtual DictionaryInterface,
                  public virtual SyntaxedInterface {};

//! Any value, reached through Object. Every capability is offered; the held type decides.
class GenericObject : public GenObject,
                      public virtual RCObject,
                      public virtual StringInterface,
                      public virtual ScalarInterface,
                      public virtual DynArrayInterface,
                      public virtual DictionaryInterface,
                      public virtual IterableInterface,
                      public virtual IteratorInterface,
                      public virtual DictionaryIteratorInterface {
 public:
  //! Throws when the object does not match the type its syntax names.
  virtual void check() const;
  virtual Object clone() const = 0;
  //! A new ValueObject holding a copy of the held value (a reference is dereferenced).
  virtual Object copyValue() const = 0;
  virtual std::string type() const = 0;
  virtual void setValue(Object other) = 0;
  virtual Interface* getInterface() = 0;
  virtual void* valuePointer() = 0;

  std::string getSyntax() const override;
  bool hasSyntax() const override;
  void setSyntax(const std::string& syntax) override;

  //! The held T; std::invalid_argument when the object does not hold a T.
  template <class T>
  T& value();

 private:
  std::string _syntax;
};

namespace detail {
[[noreturn]] void unsupported(const std::string& before, const std::string& type, const std::string& after);
[[noreturn]] void cannotConvert(const std::string& from, const std::string& to);

template <class T>
struct IsVector : std::false_type {};
template <class E>
struct IsVector<std::vector<E>> : std::true_type {};

template <class T>
constexpr bool isNumber = std::is_arithmetic_v<T> && !std::is_same_v<T, bool>;
template <class T>
constexpr bool isNumberVector = false;
template <class E>
constexpr bool isNumberVector<std::vector<E>> = isNumber<E>;
}  // namespace detail

template <class T>
class ReferenceObject;
template <class T>
class ValueObject;

// The vector iterator, as the value model nests it.
template <class V, bool Const>
struct IterableImpl;

template <class E>
struct IterableImpl<std::vector<E>, false> {
  class VectorIterator : public virtual IteratorInterface {
   public:
    VectorIterator(E* current, E* end) : _current(current), _end(end) {}
    bool isIterator() const override { return true; }
    bool isValid() override { return _current != _end; }
    Object currentValue() override;
    void next() override { ++_current; }

   private:
    E* _current;
    E* _end;
  };
};

// ---------------------------------------------------------------- typed objects

template <class T>
class TypedObject : public GenericObject {
  static constexpr bool kNumber = detail::isNumber<T>;
  static constexpr bool kString = std::is_same_v<T, std::string>;
  static constexpr bool kVector = detail::isNumberVector<T>;
  static constexpr bool kDictionary = std::is_base_of_v<DictionaryInterface, T>;
  static constexpr bool kIterator = std::is_base_of_v<IteratorInterface, T>;
  static constexpr bool kDictIterator = std::is_base_of_v<DictionaryIteratorInterface, T>;

 public:
  virtual T& getValue() = 0;
  const T& getValue() const { return const_cast<TypedObject*>(this)->getValue(); }

  // string
  bool isString() const override { return kString; }
  std::string getString() const override {
    if constexpr (kString)
      return getValue();
    else if constexpr (kNumber)
      return toString(getValue());
    else
      detail::unsupported("Cannot convert object of type ", type(), " to string");
  }
  void setString(const std::string& text) override {
    if constexpr (kString)
      getValue() = text;
    else if constexpr (kNumber)
      stringTo<T>(text, getValue());
    else
      detail::unsupported("Cannot convert string to object of type ", type(), "");
  }

  std::string type() const override { return typeName<T>(); }
  Object copyValue() const override;

  void setValue(Object other) override {
    if constexpr (kNumber) {
      object_to<T>(other, getValue());
    } else {
      auto* typed = dynamic_cast<TypedObject<T>*>(other.get());
      if (!typed) detail::cannotConvert(other ? other->type() : std::string("null"), type());
      if (typed != this) getValue() = typed->getValue();
    }
  }

  int size() const override {
    if constexpr (kVector)
      return static_cast<int>(getValue().size());
    else if constexpr (kDictionary)
      return getValue().size();
    else
      detail::unsupported("cannot get size of object of type ", type(), "");
  }

  Interface* getInterface() override {
    if constexpr (std::is_base_of_v<Interface, T>) {
      T* held = heldPointer();
      return held ? static_cast<Interface*>(held) : nullptr;
    } else {
      return this;
    }
  }
  void* valuePointer() override { return heldPointer(); }

  // scalar
  bool isScalar() const override { return kNumber; }
  double getScalar() const override {
    if constexpr (kNumber)
      return static_cast<double>(getValue());
    else
      detail::unsupported("Cannot convert object of type ", type(), " to scalar");
  }
  void setScalar(double value) override {
    // Integers truncate toward zero, floats round: the plain C++ conversions.
    if constexpr (kNumber)
      getValue() = static_cast<T>(value);
    else
      detail::unsupported("Cannot convert scalar to object of type ", type(), "");
  }

  // array
  bool isArray() const override { return kVector; }
  Object getArrayItem(int index) override {
    if constexpr (kVector) {
      using E = typename T::value_type;
      return Object(new ReferenceObject<E>(&getValue()[index]));
    } else {
      detail::unsupported("object of type ", type(), " is not an Array");
    }
  }
  void setArrayItem(int index, Object item) override {
    if constexpr (kVector) {
      using E = typename T::value_type;
      getValue()[index] = item->template value<E>();
    } else {
      detail::unsupported("object of type ", type(), " is not an Array");
    }
  }

  // dynamic array
  bool isDynArray() const override { return kVector; }
  void reserveArray(unsigned count) override {
    if constexpr (kVector) {
      // The limit of a 32-bit build of the library, kept so files behave the same everywhere.
      if (count > 1073741823u) throw std::length_error("vector::reserve");
      getValue().reserve(count);
    } else {
      detail::unsupported("object of type ", type(), " is not a DynArray");
    }
  }
  void resizeArray(unsigned count) override {
    if constexpr (kVector)
      getValue().resize(count);
    else
      detail::unsupported("object of type ", type(), " is not a DynArray");
  }
  void removeArrayItem(int index) override {
    if constexpr (kVector)
      getValue().erase(getValue().begin() + index);
    else
      detail::unsupported("object of type ", type(), " is not a DynArray");
  }
  void insertArrayItem(int index, Object item) override {
    if constexpr (kVector) {
      using E = typename T::value_type;
      E x = item->template value<E>();
      T& v = getValue();
      const int position = index >= 0 ? index : static_cast<int>(v.size()) + index + 1;
      v.insert(v.begin() + position, x);
    } else {
      detail::unsupported("object of type ", type(), " is not a DynArray");
    }
  }

  // dictionary
  bool isDictionary() const override {
    if constexpr (kDictionary)
      return true;
    else
      return false;
  }
  bool getProperty(const std::string& key, Object& result) override {
    if constexpr (kDictionary)
      return getValue().getProperty(key, result);
    else
      detail::unsupported("object of type ", type(), " is not a Dictionary");
  }
  using DictionaryInterface::getProperty;
  void setProperty(const std::string& key, Object item) override {
    if constexpr (kDictionary)
      getValue().setProperty(key, item);
    else
      detail::unsupported("object of type ", type(), " is not a Dictionary");
  }
  bool removeProperty(const std::string& key) override {
    if constexpr (kDictionary)
      return getValue().removeProperty(key);
    else
      detail::unsupported("object of type ", type(), " is not a Dictionary");
  }
  bool hasProperty(const std::string& key) const override {
    if constexpr (kDictionary)
      return getValue().hasProperty(key);
    else
      detail::unsupported("object of type ", type(), " is not a Dictionary");
  }
  void clearProperties() override {
    if constexpr (kDictionary)
      getValue().clearProperties();
    else
      detail::unsupported("object of type ", type(), " is not a Dictionary");
  }
  void copyProperties(const Object& source) override {
    if constexpr (kDictionary)
      getValue().copyProperties(source);
    else
      detail::unsupported("object of type ", type(), " is not a Dictionary");
  }

  // iterable
  bool isIterable() const override { return kVector || kDictionary; }
  Object objectIterator() override {
    if constexpr (kVector) {
      using Iterator = typename IterableImpl<T, false>::VectorIterator;
      T& v = getValue();
      return Object(new ValueObject<Iterator>(Iterator(v.data(), v.data() + v.size())));
    } else if constexpr (kDictionary) {
      return getValue().objectIterator();
    } else {
      detail::unsupported("object of type ", type(), " is not iterable");
    }
  }

  // iterator
  bool isIterator() const override { return kIterator; }
  bool isValid() override {
    if constexpr (kIterator)
      return getValue().isValid();
    else
      detail::unsupported("object of type ", type(), " is not an iterator");
  }
  Object currentValue() override {
    if constexpr (kIterator)
      return getValue().currentValue();
    else
      detail::unsupported("object of type ", type(), " is not an iterator");
  }
  void next() override {
    if constexpr (kIterator)
      getValue().next();
    else
      detail::unsupported("object of type ", type(), " is not an iterator");
  }

  bool isDictionaryIterator() const override { return kDictIterator; }
  std::string key() const override {
    if constexpr (kDictIterator)
      return getValue().key();
    else
      detail::unsupported("object of type ", type(), " is not a dictionary iterator");
  }

 protected:
  virtual T* heldPointer() = 0;
};

//! Owns a copy of its value.
template <class T>
class ValueObject : public TypedObject<T> {
 public:
  ValueObject() : _value() {}
  explicit ValueObject(const T& value) : _value(value) {}
  Object clone() const override { return Object(new ValueObject<T>(_value)); }
  T& getValue() override { return _value; }
  using TypedObject<T>::getValue;

 protected:
  T* heldPointer() override { return &_value; }

 private:
  T _value;
};

//! Refers to a value owned elsewhere (a header field, a vector element).
template <class T>
class ReferenceObject : public TypedObject<T> {
 public:
  explicit ReferenceObject(T* referent) : _referent(referent) {}
  Object clone() const override { return Object(new ReferenceObject<T>(_referent)); }
  T& getValue() override { return *_referent; }
  using TypedObject<T>::getValue;

 protected:
  T* heldPointer() override { return _referent; }

 private:
  T* _referent;
};

template <class T>
T& GenericObject::value() {
  auto* typed = dynamic_cast<TypedObject<T>*>(this);
  if (!typed) detail::cannotConvert(type(), typeName<T>());
  return typed->getValue();
}

template <class T>
Object TypedObject<T>::copyValue() const {
  return Object(new ValueObject<T>(getValue()));
}

template <class E>
Object IterableImpl<std::vector<E>, false>::VectorIterator::currentValue() {
  return Object(new ReferenceObject<E>(_current));
}

template <class T>
bool DictionaryInterface::getProperty(const std::string& key, T& value) {
  Object found;
  if (!getProperty(key, found) || !found) return false;
  auto* typed = dynamic_cast<TypedObject<T>*>(found.get());
  if (!typed) return false;
  value = typed->getValue();
  return true;
}

//! A new object holding a copy of value.
template <class T>
Object makeObject(const T& value) {
  return Object(new ValueObject<T>(value));
}

}  // namespace norbe
