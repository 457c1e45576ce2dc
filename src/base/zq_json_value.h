// ZQJson: the system's own small JSON library, independent of the RapidJSON
// documents used elsewhere. A document is a tree of Values of four kinds:
// strings, numbers, null and objects (no arrays, no booleans). Scalars keep
// the raw text they were read from; objects keep their members in the order
// they were added, with a key-to-position index beside them.
//
// The library reports no errors and logs nothing.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace ZQJson {

// Fixed 32-bit underlying type: any number may be stored as a type (3, 5, 6
// and 7 name nothing), and such a value is written as nothing.
enum VALUE_TYPE : int32_t {
  VALUE_STRING = 0,
  VALUE_OBJECT = 1,
  VALUE_NUMBER = 2,
  VALUE_NULL = 4,
  VALUE_NONE = 8,
};

class Value {
 public:
  using Property = std::pair<std::string, Value>;

  Value();
  explicit Value(VALUE_TYPE type);
  Value(const Value& other) = default;
  Value(Value&& other) = default;
  // Copy-and-swap: the source is copied before anything here changes, so
  // assigning one of this value's own members to it is safe.
  Value& operator=(Value other) noexcept;
  ~Value() = default;

  VALUE_TYPE getType() const;
  // Changes only the type: content and members stay.
  void setType(VALUE_TYPE type);
  void setContent(std::string content);

  // The content, whatever the type.
  std::string asString() const;
  // strtoll in base 0 ("010" is 8, "0x1A" is 26); an empty content gives -2048.
  int64_t asInt64() const;
  // Formatted stream extraction in the classic locale; an empty content gives
  // -2048, a content that holds no number (white space included) gives 0.
  float asFloat() const;
  int asNull() const;
  // Number of pairs for an object, 0 for every other type.
  int size() const;

  // A copy of the member that the index names for the key, whatever this
  // value's type; a VALUE_NONE value when the key is unknown.
  Value operator[](std::string key) const;

  // Appends a pair; a key added twice leaves two pairs, the index names the later.
  void addProperty(std::string key, Value value);
  // Replaces the member the index names (the new one keeps the old member's
  // type) or appends a new one of the given type; either way it goes last.
  void setProperty(std::string key, std::string content, VALUE_TYPE type);
  // Replaces the member the index names, or appends; either way it goes last.
  void setProperty(std::string key, Value value);

  // Compact one-line text of the value (zq_json_writer.cpp).
  std::string getContentStr() const;

  // Read-only views of the members and of the index.
  const std::vector<Property>& getProperties() const { return properties; }
  const std::map<std::string, int32_t>& getPropertyIndex() const { return propertyIndex; }

 private:
  void removeIndexedProperty(int32_t position);
  void appendContentStr(std::string& out) const;

  VALUE_TYPE valueType;
  std::string content;
  std::vector<Property> properties;
  // Position in `properties` of the pair added last for each key.
  std::map<std::string, int32_t> propertyIndex;
};

}  // namespace ZQJson
