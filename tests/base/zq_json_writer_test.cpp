#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/zq_json_parser.h"
#include "base/zq_json_value.h"
#include "support/zq_json_values.h"

namespace {

using ZQJson::Value;
using ZQJson::VALUE_TYPE;
using zq_test::Object;
using zq_test::Scalar;

TEST(ZQJsonWriter, WritesExactText) {
  struct Case {
    std::string what;
    std::function<Value()> build;
    std::string text;
  };
  const Case cases[] = {
      {"nested object",
       [] {
         return Object({{"a", Scalar(ZQJson::VALUE_STRING, "x")},
                        {"b", Scalar(ZQJson::VALUE_NUMBER, "1")},
                        {"c", Object({{"d", Scalar(ZQJson::VALUE_NULL, "null")}})}});
       },
       "{\"a\": \"x\",\"b\": 1,\"c\": {\"d\": null}}"},
      {"empty object", [] { return Value(ZQJson::VALUE_OBJECT); }, "{}"},
      {"empty string", [] { return Value(ZQJson::VALUE_STRING); }, "\"\""},
      {"empty number", [] { return Value(ZQJson::VALUE_NUMBER); }, ""},
      {"null with other content", [] { return Scalar(ZQJson::VALUE_NULL, "7"); }, "null"},
      {"none", [] { return Scalar(ZQJson::VALUE_NONE, "ignored"); }, ""},
      {"none member", [] { return Object({{"a", Value()}}); }, "{\"a\": }"},
      {"number as tokenized", [] { return Scalar(ZQJson::VALUE_NUMBER, "1-2"); }, "1-2"},
      {"object typed none",
       [] {
         Value object = Object({{"a", Scalar(ZQJson::VALUE_NUMBER, "1")}});
         object.setType(ZQJson::VALUE_NONE);
         return object;
       },
       ""},
      {"type naming nothing", [] { return Scalar(static_cast<VALUE_TYPE>(3), "3"); }, ""},
      {"type past the table", [] { return Scalar(static_cast<VALUE_TYPE>(16), "16"); }, ""},
      {"object content not written",
       [] {
         Value object = Object({{"a", Scalar(ZQJson::VALUE_NUMBER, "1")}});
         object.setContent("content");
         return object;
       },
       "{\"a\": 1}"},
      {"scalar members not written",
       [] {
         Value text = Scalar(ZQJson::VALUE_STRING, "s");
         text.addProperty("m", Scalar(ZQJson::VALUE_NUMBER, "1"));
         return text;
       },
       "\"s\""},
      {"nothing escaped",
       [] { return Object({{"k\"ey\n", Scalar(ZQJson::VALUE_STRING, "a\"b\\")}}); },
       "{\"k\"ey\n\": \"a\"b\\\"}"},
      {"duplicate key written twice",
       [] {
         return Object({{"a", Scalar(ZQJson::VALUE_STRING, "x")}, {"a", Scalar(ZQJson::VALUE_STRING, "y")}});
       },
       "{\"a\": \"x\",\"a\": \"y\"}"},
      {"replaced member last",
       [] {
         Value object = Object({{"a", Scalar(ZQJson::VALUE_STRING, "q")},
                                {"b", Scalar(ZQJson::VALUE_NUMBER, "1")},
                                {"c", Scalar(ZQJson::VALUE_NUMBER, "2")}});
         object.setProperty("a", "5", ZQJson::VALUE_NUMBER);
         return object;
       },
       "{\"b\": 1,\"c\": 2,\"a\": \"5\"}"},
      {"deep nesting",
       [] {
         Value value = Scalar(ZQJson::VALUE_NUMBER, "0");
         for (int i = 0; i < 5; ++i) value = Object({{"k", value}});
         return value;
       },
       "{\"k\": {\"k\": {\"k\": {\"k\": {\"k\": 0}}}}}"},
  };
  for (const Case& c : cases) {
    const Value value = c.build();
    EXPECT_EQ(c.text, value.getContentStr()) << c.what;
    // Writing leaves the value as it was.
    EXPECT_EQ(c.text, value.getContentStr()) << c.what;
  }
}

TEST(ZQJsonWriter, ParsedTextComesBackUnchanged) {
  const std::string texts[] = {
      "\"a\\\"b\"",
      "{\"a\": \"x\",\"b\": 1,\"c\": {\"d\": null}}",
      "{\"e\": \"\\u00e9\\n\",\"n\": -1.5e+3,\"z\": {}}",
      "12",
      "null",
  };
  for (const std::string& text : texts) {
    EXPECT_EQ(text, ZQJson::Parser::parse(text).getContentStr()) << text;
  }
  // Single-quoted strings come back in double quotes, members compact.
  EXPECT_EQ("{\"a\": \"b c\",\"d\": 2}", ZQJson::Parser::parse("{ 'a' : 'b c' ,\n 'd':2 }").getContentStr());
}

}  // namespace
