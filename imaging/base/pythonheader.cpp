#include "imaging/base/pythonheader.h"

namespace norbe {

Header::~Header() = default;

PythonHeader::PythonHeader() : _owned(new Headered), _over(_owned.get()) {}

PythonHeader::PythonHeader(Headered& over) : _over(&over) {}

PythonHeader::~PythonHeader() = default;

void PythonHeader::copy(const Header& other) {
  auto* source = dynamic_cast<const PythonHeader*>(&other);
  if (!source || source == this) return;
  const PropertySet& from = source->propertySet();
  PropertySet& to = propertySet();
  for (const auto& position : from.order()) {
    const std::string& key = position->first;
    const PropertySet::Property& property = position->second;
    if (!property.value) continue;
    // Built-in entries describe their own object (its sizes): only plain values travel.
    if (property.builtin || to.isBuiltin(key)) continue;
    to.setProperty(key, property.value->copyValue());
  }
}

}  // namespace norbe
