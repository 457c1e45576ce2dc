#include "support/zq_json_values.h"

namespace zq_test {

ZQJson::Value Scalar(ZQJson::VALUE_TYPE type, const std::string& content) {
  ZQJson::Value value(type);
  value.setContent(content);
  return value;
}

ZQJson::Value Object(std::initializer_list<std::pair<std::string, ZQJson::Value>> members) {
  ZQJson::Value object(ZQJson::VALUE_OBJECT);
  for (const auto& member : members) object.addProperty(member.first, member.second);
  return object;
}

}  // namespace zq_test
