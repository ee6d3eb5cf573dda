#include "containers/values/propertyset.h"

namespace norbe {

PropertySet::PropertySet(const PropertySet& other)
    : Interface(), SizeInterface(), IterableInterface(), DictionaryInterface() {
  *this = other;
}

PropertySet& PropertySet::operator=(const PropertySet& other) {
  if (&other == this) return *this;
  clearProperties();
  for (const auto& position : other._order) {
    const std::string& key = position->first;
    const Property& property = position->second;
    // Built-in entries are bound to their owner's variables: the owner copies those itself.
    if (property.builtin || _map.count(key)) continue;
    insert(key, property.value ? property.value->clone() : Object(), false);
  }
  return *this;
}

PropertySet::~PropertySet() = default;

PropertySet::Map::iterator PropertySet::insert(const std::string& key, Object value, bool builtin) {
  auto inserted = _map.emplace(key, Property{std::move(value), builtin}).first;
  _order.push_back(inserted);
  return inserted;
}

void PropertySet::emitChanged(const std::string& key, const Object& old) {
  Object sender(new ReferenceObject<PropertySet>(this));
  _signalPropertyChanged.emit(sender, key, old);
}

bool PropertySet::getProperty(const std::string& key, Object& result) {
  auto found = _map.find(key);
  if (found == _map.end()) return false;
  result = found->second.value;
  return true;
}

void PropertySet::setProperty(const std::string& key, Object value) {
  auto found = _map.find(key);
  if (found == _map.end()) {
    insert(key, std::move(value), false);
    return;
  }
  Property& property = found->second;
  const bool emit = wantsEmission();
  Object old;
  if (property.builtin) {
    // The entry stays bound to its variable; the variable takes the value.
    if (emit) old = property.value->copyValue();
    property.value->setValue(value);
  } else {
    if (emit) old = property.value;
    property.value = std::move(value);
  }
  if (emit) emitChanged(key, old);
}

bool PropertySet::removeProperty(const std::string& key) {
  auto found = _map.find(key);
  if (found == _map.end() || found->second.builtin) return false;
  _order.remove(found);
  _map.erase(found);
  return true;
}

bool PropertySet::hasProperty(const std::string& key) const { return _map.count(key) != 0; }

bool PropertySet::isBuiltin(const std::string& key) const {
  auto found = _map.find(key);
  return found != _map.end() && found->second.builtin;
}

void PropertySet::clearProperties() {
  for (auto it = _order.begin(); it != _order.end();) {
    if ((*it)->second.builtin) {
      ++it;
    } else {
      _map.erase(*it);
      it = _order.erase(it);
    }
  }
}

Object PropertySet::objectIterator() { return Object(new ValueObject<Iterator>(Iterator(&_order, _order.begin()))); }

}  // namespace norbe
