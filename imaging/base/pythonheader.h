#pragma once
// Header views over a headered object's property set.

#include "imaging/base/headered.h"

namespace norbe {

//! Any header a wrapper may own.
class Header {
 public:
  virtual ~Header();
  //! Brings other's properties into this header.
  virtual void copy(const Header& other) = 0;
};

/*!
 * A dictionary view of a Headered's property set.
 * \warning A header built over a Headered must not outlive it; a default-built
 * header owns a property set of its own.
 */
class PythonHeader : public Header, public virtual DictionaryInterface {
 public:
  PythonHeader();
  explicit PythonHeader(Headered& over);
  PythonHeader(const PythonHeader&) = delete;
  PythonHeader& operator=(const PythonHeader&) = delete;
  ~PythonHeader() override;

  void copy(const Header& other) override;

  PropertySet& propertySet() { return _over->getPropertySet(); }
  const PropertySet& propertySet() const { return _over->getPropertySet(); }

  int size() const override { return propertySet().size(); }
  bool isDictionary() const override { return true; }
  bool getProperty(const std::string& key, Object& result) override { return propertySet().getProperty(key, result); }
  using DictionaryInterface::getProperty;
  void setProperty(const std::string& key, Object value) override { propertySet().setProperty(key, std::move(value)); }
  bool removeProperty(const std::string& key) override { return propertySet().removeProperty(key); }
  bool hasProperty(const std::string& key) const override { return propertySet().hasProperty(key); }
  void clearProperties() override { propertySet().clearProperties(); }
  bool isIterable() const override { return true; }
  Object objectIterator() override { return propertySet().objectIterator(); }

 private:
  rc_ptr<Headered> _owned;
  Headered* _over;
};

}  // namespace norbe
