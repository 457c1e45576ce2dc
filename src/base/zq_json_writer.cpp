// Text writer of ZQJson values: compact, one line, members in their order,
// keys and contents byte for byte. Nothing is escaped: the parser keeps
// escape sequences as written, so parsed text comes back unchanged.
#include "base/zq_json_value.h"

namespace ZQJson {

std::string Value::getContentStr() const {
  std::string out;
  appendContentStr(out);
  return out;
}

void Value::appendContentStr(std::string& out) const {
  switch (valueType) {
    case VALUE_STRING:
      out += '"';
      out += content;
      out += '"';
      return;
    case VALUE_NUMBER:
      out += content;
      return;
    case VALUE_NULL:
      out += "null";
      return;
    case VALUE_OBJECT: {
      out += '{';
      bool first = true;
      for (const Property& property : properties) {
        if (!first) out += ',';
        first = false;
        out += '"';
        out += property.first;
        out += "\": ";
        property.second.appendContentStr(out);
      }
      out += '}';
      return;
    }
    case VALUE_NONE:
    default:
      // VALUE_NONE and the numbers that name no type are written as nothing.
      return;
  }
}

}  // namespace ZQJson
