#include "base/zq_json_value.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "support/zq_json_values.h"

namespace {

using ZQJson::Value;
using ZQJson::VALUE_TYPE;
using zq_test::Scalar;

TEST(ZQJsonValue, DefaultConstructedIsNone) {
  Value value;
  EXPECT_EQ(ZQJson::VALUE_NONE, value.getType());
  EXPECT_EQ(0, value.size());
  EXPECT_EQ("", value.asString());
  EXPECT_EQ(-2048, value.asInt64());
  EXPECT_EQ(-2048.0f, value.asFloat());
  EXPECT_EQ(0, value.asNull());
  EXPECT_TRUE(value.getProperties().empty());
  EXPECT_TRUE(value.getPropertyIndex().empty());
}

TEST(ZQJsonValue, TypeNumbersThatNameNothingAreStoredUnchanged) {
  for (int32_t number : {3, 5, 6, 7, 16, -1, INT32_MAX}) {
    Value value(static_cast<VALUE_TYPE>(number));
    EXPECT_EQ(number, static_cast<int32_t>(value.getType()));
    EXPECT_EQ(0, value.size());
    value.setType(static_cast<VALUE_TYPE>(number + 0));
    EXPECT_EQ(number, static_cast<int32_t>(value.getType()));
  }
}

TEST(ZQJsonValue, AsInt64ReadsLikeStrtollInBaseZero) {
  struct Case {
    std::string content;
    int64_t expected;
  };
  const Case cases[] = {
      {"", -2048},
      {"010", 8},
      {"0x1A", 26},
      {"0X1f", 31},
      {"12abc", 12},
      {"abc", 0},
      {"null", 0},
      {"08", 0},  // octal stops at the 8
      {" \t-7", -7},
      {"+5", 5},
      {"1.9", 1},
      {" ", 0},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"99999999999999999999", INT64_MAX},
      {"-99999999999999999999", INT64_MIN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Scalar(ZQJson::VALUE_NUMBER, c.content).asInt64()) << "'" << c.content << "'";
  }
  // The type plays no part, only the content.
  EXPECT_EQ(26, Scalar(ZQJson::VALUE_STRING, "0x1A").asInt64());
  EXPECT_EQ(0, Scalar(ZQJson::VALUE_NULL, "null").asInt64());
}

TEST(ZQJsonValue, AsFloatReadsTheLeadingDecimalNumber) {
  struct Case {
    std::string content;
    float expected;
  };
  const Case cases[] = {
      {"", -2048.0f},
      {"2.5e2", 250.0f},
      {"abc", 0.0f},
      {"12abc", 12.0f},
      {" -1.5", -1.5f},
      {"+3", 3.0f},
      {".5", 0.5f},
      {"1-2", 1.0f},
      {"null", 0.0f},
      // White space alone holds no number.
      {" ", 0.0f},
      {" \t\r\n", 0.0f},
      // Beyond the float range: the largest finite float of the sign.
      {"1e40", FLT_MAX},
      {"-1e40", -FLT_MAX},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, Scalar(ZQJson::VALUE_NUMBER, c.content).asFloat()) << "'" << c.content << "'";
  }
}

TEST(ZQJsonValue, LookupOfAMissingKeyOrOnAScalarGivesNone) {
  Value object(ZQJson::VALUE_OBJECT);
  object.addProperty("a", Scalar(ZQJson::VALUE_STRING, "x"));
  Value missing = object["b"];
  EXPECT_EQ(ZQJson::VALUE_NONE, missing.getType());
  EXPECT_EQ("", missing.asString());

  Value text = Scalar(ZQJson::VALUE_STRING, "abc");
  EXPECT_EQ(ZQJson::VALUE_NONE, text["abc"].getType());
  EXPECT_EQ(ZQJson::VALUE_NONE, text[""].getType());
}

TEST(ZQJsonValue, SizeGoesByTheTypeAndLookupByTheIndex) {
  Value value(ZQJson::VALUE_OBJECT);
  value.addProperty("a", Scalar(ZQJson::VALUE_NUMBER, "1"));
  value.addProperty("b", Scalar(ZQJson::VALUE_NUMBER, "2"));
  EXPECT_EQ(2, value.size());
  value.setType(ZQJson::VALUE_NONE);
  EXPECT_EQ(0, value.size());
  EXPECT_EQ("2", value["b"].asString());
  EXPECT_EQ(ZQJson::VALUE_NUMBER, value["a"].getType());

  // A scalar may hold members too; lookups still find them.
  Value scalar = Scalar(ZQJson::VALUE_STRING, "s");
  scalar.addProperty("m", Scalar(ZQJson::VALUE_NUMBER, "7"));
  EXPECT_EQ(0, scalar.size());
  EXPECT_EQ("7", scalar["m"].asString());
}

TEST(ZQJsonValue, AddingAKeyTwiceKeepsBothPairsAndLooksUpTheLater) {
  Value value(ZQJson::VALUE_OBJECT);
  value.addProperty("a", Scalar(ZQJson::VALUE_STRING, "x"));
  value.addProperty("a", Scalar(ZQJson::VALUE_STRING, "y"));
  EXPECT_EQ(2, value.size());
  EXPECT_EQ("y", value["a"].asString());
  ASSERT_EQ(2u, value.getProperties().size());
  EXPECT_EQ("x", value.getProperties()[0].second.asString());
  EXPECT_EQ(1, value.getPropertyIndex().at("a"));
}

// One step of the member script and the object expected after it: the pairs
// in order as (key, type, content), and the whole index.
struct ScriptStep {
  std::string what;
  std::function<void(Value&)> apply;
  std::vector<std::tuple<std::string, VALUE_TYPE, std::string>> pairs;
  std::map<std::string, int32_t> index;
};

void ExpectInvariants(const Value& value, const std::string& step) {
  const auto& properties = value.getProperties();
  for (const auto& entry : value.getPropertyIndex()) {
    ASSERT_GE(entry.second, 0) << step;
    ASSERT_LT(static_cast<size_t>(entry.second), properties.size()) << step;
    EXPECT_EQ(entry.first, properties[static_cast<size_t>(entry.second)].first) << step;
  }
  for (const auto& property : properties) {
    EXPECT_EQ(1u, value.getPropertyIndex().count(property.first)) << step << ": key " << property.first;
  }
}

TEST(ZQJsonValue, MemberScriptKeepsOrderIndexAndDuplicates) {
  using ZQJson::VALUE_NULL;
  using ZQJson::VALUE_NUMBER;
  using ZQJson::VALUE_OBJECT;
  using ZQJson::VALUE_STRING;
  Value nested(VALUE_OBJECT);
  nested.addProperty("inner", Scalar(VALUE_NULL, "null"));

  const std::vector<ScriptStep> script = {
      {"add a", [](Value& v) { v.addProperty("a", Scalar(VALUE_STRING, "q")); },
       {{"a", VALUE_STRING, "q"}},
       {{"a", 0}}},
      {"add b", [](Value& v) { v.addProperty("b", Scalar(VALUE_NUMBER, "1")); },
       {{"a", VALUE_STRING, "q"}, {"b", VALUE_NUMBER, "1"}},
       {{"a", 0}, {"b", 1}}},
      {"add c", [](Value& v) { v.addProperty("c", Scalar(VALUE_NUMBER, "2")); },
       {{"a", VALUE_STRING, "q"}, {"b", VALUE_NUMBER, "1"}, {"c", VALUE_NUMBER, "2"}},
       {{"a", 0}, {"b", 1}, {"c", 2}}},
      // The replaced member keeps its own type, not the one passed, and goes last.
      {"set a to number 5", [](Value& v) { v.setProperty("a", "5", VALUE_NUMBER); },
       {{"b", VALUE_NUMBER, "1"}, {"c", VALUE_NUMBER, "2"}, {"a", VALUE_STRING, "5"}},
       {{"a", 2}, {"b", 0}, {"c", 1}}},
      {"set new d", [](Value& v) { v.setProperty("d", "x", VALUE_STRING); },
       {{"b", VALUE_NUMBER, "1"}, {"c", VALUE_NUMBER, "2"}, {"a", VALUE_STRING, "5"}, {"d", VALUE_STRING, "x"}},
       {{"a", 2}, {"b", 0}, {"c", 1}, {"d", 3}}},
      {"add b again", [](Value& v) { v.addProperty("b", Scalar(VALUE_STRING, "y")); },
       {{"b", VALUE_NUMBER, "1"},
        {"c", VALUE_NUMBER, "2"},
        {"a", VALUE_STRING, "5"},
        {"d", VALUE_STRING, "x"},
        {"b", VALUE_STRING, "y"}},
       {{"a", 2}, {"b", 4}, {"c", 1}, {"d", 3}}},
      // Replacing by a value takes that value's type; the pairs behind move up.
      {"set c to an object", [nested](Value& v) { v.setProperty("c", nested); },
       {{"b", VALUE_NUMBER, "1"},
        {"a", VALUE_STRING, "5"},
        {"d", VALUE_STRING, "x"},
        {"b", VALUE_STRING, "y"},
        {"c", VALUE_OBJECT, ""}},
       {{"a", 1}, {"b", 3}, {"c", 4}, {"d", 2}}},
      // Only the indexed (later) b is replaced; the earlier pair stays first.
      {"set b to z", [](Value& v) { v.setProperty("b", "z", VALUE_NULL); },
       {{"b", VALUE_NUMBER, "1"},
        {"a", VALUE_STRING, "5"},
        {"d", VALUE_STRING, "x"},
        {"c", VALUE_OBJECT, ""},
        {"b", VALUE_STRING, "z"}},
       {{"a", 1}, {"b", 4}, {"c", 3}, {"d", 2}}},
      {"set the first pair's own key", [](Value& v) { v.setProperty("a", Scalar(VALUE_NUMBER, "6")); },
       {{"b", VALUE_NUMBER, "1"},
        {"d", VALUE_STRING, "x"},
        {"c", VALUE_OBJECT, ""},
        {"b", VALUE_STRING, "z"},
        {"a", VALUE_NUMBER, "6"}},
       {{"a", 4}, {"b", 3}, {"c", 2}, {"d", 1}}},
  };

  Value object(VALUE_OBJECT);
  for (const ScriptStep& step : script) {
    step.apply(object);
    ExpectInvariants(object, step.what);
    const auto& properties = object.getProperties();
    ASSERT_EQ(step.pairs.size(), properties.size()) << step.what;
    for (size_t i = 0; i < properties.size(); ++i) {
      EXPECT_EQ(std::get<0>(step.pairs[i]), properties[i].first) << step.what << " pair " << i;
      EXPECT_EQ(std::get<1>(step.pairs[i]), properties[i].second.getType()) << step.what << " pair " << i;
      EXPECT_EQ(std::get<2>(step.pairs[i]), properties[i].second.asString()) << step.what << " pair " << i;
    }
    EXPECT_EQ(step.index, object.getPropertyIndex()) << step.what;
    EXPECT_EQ(static_cast<int>(step.pairs.size()), object.size()) << step.what;
    for (const auto& entry : step.index) {
      const Value& indexed = properties[static_cast<size_t>(entry.second)].second;
      EXPECT_EQ(indexed.asString(), object[entry.first].asString()) << step.what << " key " << entry.first;
      EXPECT_EQ(indexed.getType(), object[entry.first].getType()) << step.what << " key " << entry.first;
    }
  }
  EXPECT_EQ("null", object["c"]["inner"].asString());
}

TEST(ZQJsonValue, CopiesShareNothing) {
  Value source(ZQJson::VALUE_OBJECT);
  Value child(ZQJson::VALUE_OBJECT);
  child.addProperty("x", Scalar(ZQJson::VALUE_STRING, "1"));
  source.addProperty("child", child);
  source.setContent("src");

  Value copy(source);
  copy.setContent("copy");
  copy.setProperty("child", Scalar(ZQJson::VALUE_NUMBER, "9"));
  copy.addProperty("extra", Value());
  EXPECT_EQ("src", source.asString());
  EXPECT_EQ(1, source.size());
  EXPECT_EQ("1", source["child"]["x"].asString());

  Value assigned;
  assigned = source;
  source.setProperty("child", "gone", ZQJson::VALUE_STRING);
  source.setContent("changed");
  EXPECT_EQ("src", assigned.asString());
  EXPECT_EQ(ZQJson::VALUE_OBJECT, assigned["child"].getType());
  EXPECT_EQ("1", assigned["child"]["x"].asString());

  // What the lookup gives is a copy: changing it leaves the parent alone.
  Value looked_up = assigned["child"];
  looked_up.setProperty("x", "2", ZQJson::VALUE_STRING);
  EXPECT_EQ("1", assigned["child"]["x"].asString());
}

TEST(ZQJsonValue, AssigningOwnMemberOrOwnValueIsSafe) {
  Value value(ZQJson::VALUE_OBJECT);
  Value child(ZQJson::VALUE_OBJECT);
  child.addProperty("x", Scalar(ZQJson::VALUE_STRING, "1"));
  value.addProperty("child", child);
  value.addProperty("other", Scalar(ZQJson::VALUE_NUMBER, "3"));

  value = value.getProperties()[0].second;
  EXPECT_EQ(ZQJson::VALUE_OBJECT, value.getType());
  EXPECT_EQ(1, value.size());
  EXPECT_EQ("1", value["x"].asString());

  // Handing a value its own member or itself goes through a copy.
  value.setProperty("x", value.getProperties()[0].second);
  value.addProperty("self", value);
  EXPECT_EQ(2, value.size());
  EXPECT_EQ("1", value["self"]["x"].asString());
  EXPECT_EQ(ZQJson::VALUE_NONE, value["self"]["self"].getType());
  value.setProperty(value.getProperties()[0].first, "y", ZQJson::VALUE_STRING);
  EXPECT_EQ("y", value["x"].asString());
}

}  // namespace
