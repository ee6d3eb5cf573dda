#pragma once
// Header properties as JSON text, with their types, so that a file brings back
// exactly the values that were written (a list of int stays a list of int).

#include <string>
#include <vector>

#include "containers/values/object.h"

namespace vexa {

struct NamedProperty {
  std::string key;
  norbe::Object value;
};

//! The JSON text of properties; values of a type it cannot carry are skipped.
std::string propertiesToJson(const std::vector<NamedProperty>& properties);
/*!
 * Parses text written by propertiesToJson; std::runtime_error when it is not such text. A
 * property whose value its type cannot hold (or of another kind than it says) is left out.
 */
std::vector<NamedProperty> propertiesFromJson(const std::string& text);
//! True when the object's type can be written by propertiesToJson.
bool isJsonType(const norbe::Object& value);

}  // namespace vexa
