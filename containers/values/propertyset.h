#pragma once
// A dictionary of named objects that remembers insertion order and announces changes.

#include <list>
#include <map>
#include <string>

#include <sigc++/sigc++.h>

#include "containers/values/object.h"

namespace norbe {

class PropertySet : public virtual DictionaryInterface {
 public:
  struct Property {
    Object value;
    bool builtin = false;
  };
  using Map = std::map<std::string, Property>;
  //! Slots receive (sender, key, old value).
  using Signal = sigc::signal<void, const Object&, const std::string&, const Object&>;

  //! Walks the entries in insertion order.
  class Iterator : public virtual DictionaryIteratorInterface {
   public:
    Iterator(const std::list<Map::iterator>* order, std::list<Map::iterator>::const_iterator at)
        : _order(order), _at(at) {}
    bool isIterator() const override { return true; }
    bool isDictionaryIterator() const override { return true; }
    bool isValid() override { return _at != _order->end(); }
    Object currentValue() override { return (*_at)->second.value; }
    void next() override { ++_at; }
    std::string key() const override { return (*_at)->first; }

   private:
    const std::list<Map::iterator>* _order;
    std::list<Map::iterator>::const_iterator _at;
  };

  PropertySet() = default;
  //! Copies the ordinary entries (built-in ones stay bound to their owner's variables).
  PropertySet(const PropertySet& other);
  //! Keeps this set's built-in entries and replaces its ordinary ones by copies of other's.
  PropertySet& operator=(const PropertySet& other);
  ~PropertySet() override;

  // dictionary operations
  int size() const override { return static_cast<int>(_map.size()); }
  bool isDictionary() const override { return true; }
  bool getProperty(const std::string& key, Object& result) override;
  using DictionaryInterface::getProperty;
  //! Stores value; a built-in entry takes the value into its variable.
  void setProperty(const std::string& key, Object value) override;
  //! Removes an ordinary entry; built-in entries stay.
  bool removeProperty(const std::string& key) override;
  bool hasProperty(const std::string& key) const override;
  //! Removes every ordinary entry; built-in entries stay.
  void clearProperties() override;
  bool isIterable() const override { return true; }
  Object objectIterator() override;

  template <class T>
  void setProperty(const std::string& key, const T& value);
  template <class T>
  void addBuiltinProperty(const std::string& key, T& variable);

  bool isBuiltin(const std::string& key) const;
  //! Entries in insertion order.
  const std::list<Map::iterator>& order() const { return _order; }

  Signal& getSignalPropertyChanged() { return _signalPropertyChanged; }
  //! While blocked, no change is announced; the state outlives slots connected later.
  void blockSignals(bool block) { _blocked = block; }
  bool signalsBlocked() const { return _blocked; }

 private:
  Map::iterator insert(const std::string& key, Object value, bool builtin);
  void emitChanged(const std::string& key, const Object& old);
  bool wantsEmission() const { return !_blocked && !_signalPropertyChanged.empty(); }

  Map _map;
  std::list<Map::iterator> _order;
  Signal _signalPropertyChanged;
  bool _blocked = false;
};

template <class T>
void PropertySet::setProperty(const std::string& key, const T& value) {
  auto found = _map.find(key);
  if (found == _map.end()) {
    insert(key, makeObject(value), false);
    return;
  }
  Property& property = found->second;
  const bool emit = wantsEmission();
  Object old;
  if (property.builtin) {
    auto* typed = dynamic_cast<TypedObject<T>*>(property.value.get());
    if (!typed) {
      throw std::invalid_argument("cannot write value of type " + typeName<T>() + " to object of type " +
                                  property.value->type());
    }
    // A snapshot: the bound variable is about to change.
    if (emit) old = makeObject(typed->getValue());
    typed->getValue() = value;
  } else {
    if (emit && property.value) old = property.value->clone();
    property.value = makeObject(value);
  }
  if (emit) emitChanged(key, old);
}

template <class T>
void PropertySet::addBuiltinProperty(const std::string& key, T& variable) {
  if (_map.count(key)) throw std::runtime_error("Built-in property " + key + " already exists");
  insert(key, Object(new ReferenceObject<T>(&variable)), true);
}

}  // namespace norbe
