#include "imaging/formats/headerjson.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

namespace vexa {

using norbe::Object;
using Json = nlohmann::json;

namespace {

const char* const kFormatTag = "mirlune-header";

// Non-finite numbers have no JSON form: they travel as null and come back as NaN.
template <class E>
Json number(E value) {
  if constexpr (std::is_floating_point_v<E>) {
    if (!std::isfinite(value)) return nullptr;
  }
  return value;
}

template <class E>
bool scalarToJson(const Object& value, Json& out) {
  auto* typed = dynamic_cast<norbe::TypedObject<E>*>(value.get());
  if (!typed) return false;
  out = number(typed->getValue());
  return true;
}

template <class E>
bool vectorToJson(const Object& value, Json& out) {
  auto* typed = dynamic_cast<norbe::TypedObject<std::vector<E>>*>(value.get());
  if (!typed) return false;
  out = Json::array();
  for (E e : typed->getValue()) out.push_back(number(e));
  return true;
}

bool toJson(const Object& value, Json& out) {
  if (!value) return false;
  if (auto* text = dynamic_cast<norbe::TypedObject<std::string>*>(value.get())) {
    out = text->getValue();
    return true;
  }
  return scalarToJson<int>(value, out) || scalarToJson<short>(value, out) || scalarToJson<float>(value, out) ||
         scalarToJson<double>(value, out) || vectorToJson<int>(value, out) || vectorToJson<short>(value, out) ||
         vectorToJson<float>(value, out) || vectorToJson<double>(value, out);
}

[[noreturn]] void malformed(const std::string& why) { throw std::runtime_error("header extension: " + why); }

/*!
 * A JSON number as E. A value E cannot hold (an int of 1e10, a float of 1e300) makes the
 * extension malformed rather than wrapping or overflowing.
 */
template <class E>
E numberAs(const Json& j) {
  if (j.is_null()) {
    if constexpr (std::is_floating_point_v<E>) return std::numeric_limits<E>::quiet_NaN();
    malformed("a null where a whole number is expected");
  }
  if (!j.is_number()) malformed("a number is expected");
  const double value = j.get<double>();
  if constexpr (std::is_integral_v<E>) {
    if (!(value >= std::numeric_limits<E>::min() && value <= std::numeric_limits<E>::max()) ||
        value != std::floor(value)) {
      malformed("number out of range for its type");
    }
    if (j.is_number_integer()) return static_cast<E>(j.get<std::int64_t>());
  } else {
    if (std::isfinite(value) && std::abs(value) > std::numeric_limits<E>::max()) {
      malformed("number out of range for its type");
    }
  }
  return static_cast<E>(value);
}

template <class E>
Object vectorOf(const Json& j) {
  if (!j.is_array()) malformed("a list is expected");
  std::vector<E> values;
  values.reserve(j.size());
  for (const Json& item : j) values.push_back(numberAs<E>(item));
  return norbe::makeObject(values);
}

Object objectOf(const std::string& type, const Json& j) {
  using norbe::typeName;
  if (type == typeName<int>()) return norbe::makeObject(numberAs<int>(j));
  if (type == typeName<short>()) return norbe::makeObject(numberAs<short>(j));
  if (type == typeName<float>()) return norbe::makeObject(numberAs<float>(j));
  if (type == typeName<double>()) return norbe::makeObject(numberAs<double>(j));
  if (type == typeName<std::string>()) {
    if (!j.is_string()) malformed("text is expected");
    return norbe::makeObject(j.get<std::string>());
  }
  if (type == typeName<std::vector<int>>()) return vectorOf<int>(j);
  if (type == typeName<std::vector<short>>()) return vectorOf<short>(j);
  if (type == typeName<std::vector<float>>()) return vectorOf<float>(j);
  if (type == typeName<std::vector<double>>()) return vectorOf<double>(j);
  return Object();
}

}  // namespace

bool isJsonType(const Object& value) {
  Json ignored;
  return toJson(value, ignored);
}

std::string propertiesToJson(const std::vector<NamedProperty>& properties) {
  Json list = Json::array();
  for (const auto& property : properties) {
    Json value;
    if (!toJson(property.value, value)) continue;
    list.push_back({{"key", property.key}, {"type", property.value->type()}, {"value", value}});
  }
  const Json document = {{"format", kFormatTag}, {"properties", list}};
  return document.dump() + "\n";
}

std::vector<NamedProperty> propertiesFromJson(const std::string& text) {
  const Json document = Json::parse(text, nullptr, false);
  if (document.is_discarded()) malformed("not valid JSON");
  if (!document.is_object() || document.value("format", Json()) != kFormatTag || !document.contains("properties") ||
      !document["properties"].is_array()) {
    malformed("not a property list");
  }
  std::vector<NamedProperty> properties;
  for (const Json& entry : document["properties"]) {
    if (!entry.is_object() || !entry.contains("key") || !entry.contains("type") || !entry.contains("value") ||
        !entry["key"].is_string() || !entry["type"].is_string()) {
      malformed("a property without key, type or value");
    }
    // A value its type cannot hold, or of another type than it says, is set aside alone.
    Object object;
    try {
      object = objectOf(entry["type"].get<std::string>(), entry["value"]);
    } catch (const std::runtime_error&) {
      continue;
    }
    if (object) properties.push_back({entry["key"].get<std::string>(), object});
  }
  return properties;
}

}  // namespace vexa
