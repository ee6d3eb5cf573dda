#include "imaging/base/headered.h"

namespace norbe {

Observer::~Observer() = default;

PropertyFilter::PropertyFilter(const std::string& name, const std::set<std::string>& names)
    : _name(name), _names(names) {}

Object PropertyFilter::getOldValue(const std::string& key) const {
  auto found = _oldValues.find(key);
  return found == _oldValues.end() ? Object() : found->second;
}

Headered::Headered() = default;

Headered::Headered(const Headered& other)
    : DefaultRefConstruction(other), RCObject(other), sigc::trackable(other), Observer(other), _header(other._header) {}

Headered& Headered::operator=(const Headered& other) {
  if (&other != this) _header = other._header;
  return *this;
}

Headered::~Headered() { _headerConnection.disconnect(); }

void Headered::initialize() {
  _headerConnection.disconnect();
  _headerConnection = _header.getSignalPropertyChanged().connect(sigc::mem_fun(*this, &Headered::onPropertyChanged));
}

void Headered::addPropertyFilter(const rc_ptr<PropertyFilter>& filter) {
  if (!filter) return;
  _filters.remove_if([&](const rc_ptr<PropertyFilter>& f) { return f->getName() == filter->getName(); });
  _filters.push_back(filter);
}

bool Headered::connect(const std::string& name, const PropertyFilter::Slot& slot) {
  for (auto& filter : _filters) {
    if (filter->getName() == name) {
      filter->signal().connect(slot);
      return true;
    }
  }
  return false;
}

void Headered::onPropertyChanged(const Object&, const std::string& key, const Object& old) {
  // Copy the list: a slot may add or replace filters.
  const std::list<rc_ptr<PropertyFilter>> filters = _filters;
  for (const auto& filter : filters) {
    if (!filter->watches(key)) continue;
    filter->_oldValues[key] = old;
    struct Clear {
      PropertyFilter& f;
      ~Clear() { f._oldValues.clear(); }
    } clear{*filter};
    filter->_signal.emit(*filter);
  }
}

}  // namespace norbe
