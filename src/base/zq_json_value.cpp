#include "base/zq_json_value.h"

#include <cstdlib>
#include <locale>
#include <sstream>

namespace ZQJson {

namespace {
// What the numeric readers give for a value without content.
constexpr int64_t kEmptyContentNumber = -2048;
}  // namespace

Value::Value() : valueType(VALUE_NONE) {}

Value::Value(VALUE_TYPE type) : valueType(type) {}

Value& Value::operator=(Value other) noexcept {
  std::swap(valueType, other.valueType);
  content.swap(other.content);
  properties.swap(other.properties);
  propertyIndex.swap(other.propertyIndex);
  return *this;
}

VALUE_TYPE Value::getType() const { return valueType; }

void Value::setType(VALUE_TYPE type) { valueType = type; }

void Value::setContent(std::string text) { content = std::move(text); }

std::string Value::asString() const { return content; }

int64_t Value::asInt64() const {
  if (content.empty()) return kEmptyContentNumber;
  return std::strtoll(content.c_str(), nullptr, 0);
}

float Value::asFloat() const {
  if (content.empty()) return static_cast<float>(kEmptyContentNumber);
  std::istringstream stream(content);
  stream.imbue(std::locale::classic());
  // Extraction leaves the target alone when it finds nothing but white
  // space, so the "no number" result must be set beforehand.
  float number = 0.0f;
  stream >> number;
  return number;
}

int Value::asNull() const { return 0; }

int Value::size() const {
  if (valueType != VALUE_OBJECT) return 0;
  return static_cast<int>(properties.size());
}

Value Value::operator[](std::string key) const {
  auto found = propertyIndex.find(key);
  if (found == propertyIndex.end()) return Value();
  return properties[static_cast<size_t>(found->second)].second;
}

void Value::addProperty(std::string key, Value value) {
  propertyIndex[key] = static_cast<int32_t>(properties.size());
  properties.emplace_back(std::move(key), std::move(value));
}

// The key's own index entry is left for the addProperty that follows every
// removal to overwrite.
void Value::removeIndexedProperty(int32_t position) {
  if (position < 0 || static_cast<size_t>(position) >= properties.size()) return;
  properties.erase(properties.begin() + position);
  for (auto& entry : propertyIndex) {
    if (entry.second > position) --entry.second;
  }
}

void Value::setProperty(std::string key, std::string text, VALUE_TYPE type) {
  VALUE_TYPE memberType = type;
  auto found = propertyIndex.find(key);
  if (found != propertyIndex.end()) {
    // A replaced member keeps the type it had.
    memberType = properties[static_cast<size_t>(found->second)].second.valueType;
    removeIndexedProperty(found->second);
  }
  Value member(memberType);
  member.content = std::move(text);
  addProperty(std::move(key), std::move(member));
}

void Value::setProperty(std::string key, Value value) {
  auto found = propertyIndex.find(key);
  if (found != propertyIndex.end()) removeIndexedProperty(found->second);
  addProperty(std::move(key), std::move(value));
}

}  // namespace ZQJson
