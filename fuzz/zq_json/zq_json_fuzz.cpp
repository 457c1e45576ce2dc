// ZQJson's tokenizer and parser over any text (the HTTP DNS cache file is its
// one outside input). Nothing may fail, however hostile the text; the
// parsed tree keeps a consistent key index; and a tree the writer can spell
// unambiguously (no value without a type, no quote or backslash inside a
// key or a string, no blank inside a number) reads back as the same text.
#include <cstdint>
#include <string>

#include "base/zq_json_parser.h"
#include "base/zq_json_value.h"
#include "support/fuzz_check.h"

using ZQJson::Parser;
using ZQJson::Value;

namespace {

bool PlainText(const std::string& text) { return text.find_first_of("\"'\\") == std::string::npos; }

// Whether the writer's text of `value` reads back as the same tree.
bool Spellable(const Value& value, int depth) {
  if (depth > Parser::kMaxObjectDepth) return false;
  switch (value.getType()) {
    case ZQJson::VALUE_STRING:
      return PlainText(value.asString());
    case ZQJson::VALUE_NULL:
      return true;
    case ZQJson::VALUE_NUMBER: {
      const std::string number = value.asString();
      return !number.empty() && number.find_first_of(" \n\r\t\"'{}:,") == std::string::npos;
    }
    case ZQJson::VALUE_OBJECT:
      for (const Value::Property& property : value.getProperties()) {
        if (!PlainText(property.first) || property.first.find_first_of(" \n\r\t") != std::string::npos) return false;
        if (!Spellable(property.second, depth + 1)) return false;
      }
      return true;
    default:
      return false;
  }
}

void CheckIndex(const Value& value, int depth) {
  if (value.getType() != ZQJson::VALUE_OBJECT || depth > Parser::kMaxObjectDepth + 1) return;
  const auto& properties = value.getProperties();
  FUZZ_CHECK(value.getPropertyIndex().size() <= properties.size());
  for (const auto& entry : value.getPropertyIndex()) {
    FUZZ_CHECK(entry.second >= 0 && static_cast<size_t>(entry.second) < properties.size());
    FUZZ_CHECK(properties[static_cast<size_t>(entry.second)].first == entry.first);
  }
  for (const Value::Property& property : properties) CheckIndex(property.second, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Value value = Parser::parse(text);
  CheckIndex(value, 0);
  const std::string written = value.getContentStr();
  // Every member counts at least one token of the text.
  if (value.getType() == ZQJson::VALUE_OBJECT) FUZZ_CHECK(value.getProperties().size() <= size);
  if (value.getType() == ZQJson::VALUE_OBJECT && Spellable(value, 0)) {
    const Value again = Parser::parse(written);
    FUZZ_CHECK(again.getContentStr() == written);
  }
  return 0;
}
