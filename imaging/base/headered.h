#pragma once
// Objects with a header: a property set whose changes reach named filters.

#include <list>
#include <map>
#include <set>
#include <string>

#include <sigc++/sigc++.h>

#include "containers/values/propertyset.h"

namespace norbe {

//! Base of objects that watch others; carries nothing of its own.
class Observer {
 public:
  virtual ~Observer();
};

//! Watches a set of header keys; while its signal runs it reports the old values.
class PropertyFilter : public virtual RCObject {
 public:
  using Signal = sigc::signal<void, const PropertyFilter&>;
  using Slot = sigc::slot<void, const PropertyFilter&>;

  PropertyFilter(const std::string& name, const std::set<std::string>& names);

  const std::string& getName() const { return _name; }
  bool watches(const std::string& key) const { return _names.count(key) != 0; }
  //! True while the filter's signal runs for a change of key.
  bool hasOldValue(const std::string& key) const { return _oldValues.count(key) != 0; }
  //! The value key held before the change; null when hasOldValue(key) is false.
  Object getOldValue(const std::string& key) const;

  Signal& signal() { return _signal; }

 private:
  friend class Headered;
  std::string _name;
  std::set<std::string> _names;
  std::map<std::string, Object> _oldValues;
  Signal _signal;
};

class Headered : public virtual RCObject, public sigc::trackable, public Observer {
 public:
  Headered();
  //! Copies the ordinary header entries; filters and connections are not copied.
  Headered(const Headered& other);
  Headered& operator=(const Headered& other);
  ~Headered() override;

  //! Starts forwarding header changes to the filters. Safe to call again.
  virtual void initialize();

  //! Registers a filter; one of the same name is replaced, with its connections.
  void addPropertyFilter(const rc_ptr<PropertyFilter>& filter);
  //! Connects slot to the filter called name; false when there is none.
  bool connect(const std::string& name, const PropertyFilter::Slot& slot);

  PropertySet& getPropertySet() { return _header; }
  const PropertySet& getPropertySet() const { return _header; }

  void blockSignals(bool block) { _header.blockSignals(block); }
  bool signalsBlocked() const { return _header.signalsBlocked(); }

 private:
  void onPropertyChanged(const Object& sender, const std::string& key, const Object& old);

  PropertySet _header;
  std::list<rc_ptr<PropertyFilter>> _filters;
  sigc::connection _headerConnection;
};

}  // namespace norbe
