#include "base/json_member.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace json = zq_camera_service::json;

// Byte sequences as strict readers judge them inside a JSON string.
struct Bytes {
  const char* name;
  std::string bytes;
  bool utf8;
};

const Bytes kByteTable[] = {
    {"FF FE", "\xFF\xFE", false},
    {"lone continuation byte", "\x80", false},
    {"continuation byte after ASCII", "key\xBF", false},
    {"overlong slash in two bytes", "\xC0\xAF", false},
    {"overlong NUL in two bytes", "\xC0\x80", false},
    {"overlong in three bytes", "\xE0\x80\xAF", false},
    {"overlong in four bytes", "\xF0\x80\x80\xAF", false},
    {"UTF-16 surrogate encoded", "\xED\xA0\x80", false},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80", false},
    {"lead byte F5", "\xF5\x80\x80\x80", false},
    {"sequence cut short", "\xE2\x82", false},
    {"sequence cut short at the very end", "ok\xF0\x9F\x98", false},
    {"two-byte form", "cl\xC3\xA9", true},
    {"three-byte form", "\xE2\x82\xAC", true},
    {"four-byte form", "\xF0\x9F\x98\x80", true},
    {"highest code point", "\xF4\x8F\xBF\xBF", true},
    {"plain ASCII", "initial-key", true},
    {"empty", "", true},
};

TEST(JsonUtf8, ValidUtf8JudgesLikeStrictReaders) {
  for (const Bytes& c : kByteTable) {
    EXPECT_EQ(c.utf8, json::ValidUtf8(c.bytes.data(), c.bytes.size())) << c.name;
  }
  // The length bounds the check, not a terminating NUL.
  const std::string nul_inside("a\0b", 3);
  EXPECT_TRUE(json::ValidUtf8(nul_inside.data(), nul_inside.size()));
  const std::string cut = "\xC3\xA9";
  EXPECT_FALSE(json::ValidUtf8(cut.data(), 1));
}

TEST(JsonUtf8, OutsideTextWhoseStringsAreNotUtf8DoesNotParse) {
  for (const Bytes& c : kByteTable) {
    for (const std::string& text : {"{\"Response\":{\"Key\":\"" + c.bytes + "\"}}",  // a value
                                    "{\"" + c.bytes + "\":1}"}) {                      // a name
      rapidjson::Document document;
      EXPECT_EQ(c.utf8, json::Parse<json::kOutsideTextFlags>(document, text.data(), text.size())) << c.name;
      rapidjson::Document writable;
      EXPECT_EQ(c.utf8, json::ParseWritable<json::kOutsideTextFlags>(writable, text.data(), text.size())) << c.name;
    }
  }
}

TEST(JsonUtf8, EscapesMustDecodeToUtf8Too) {
  struct Case {
    const char* name;
    std::string text;
    bool parses;
  };
  const Case cases[] = {
      // The parser decodes a lone low surrogate to three bytes no strict reader takes.
      {"lone low surrogate", "[\"\\uDC00\"]", false},
      {"lone low surrogate in a name", "{\"a\\uDFFFb\":1}", false},
      {"lone high surrogate", "[\"\\uD800\"]", false},
      {"surrogate pair", "[\"\\uD83D\\uDE00\"]", true},
      {"escaped e acute", "[\"\\u00E9\"]", true},
      {"escaped NUL", "[\"a\\u0000b\"]", true},
  };
  for (const Case& c : cases) {
    rapidjson::Document document;
    EXPECT_EQ(c.parses, json::Parse<json::kOutsideTextFlags>(document, c.text.data(), c.text.size())) << c.name;
  }
}

TEST(JsonUtf8, LocalPeersTextIsReadAsBytes) {
  for (const Bytes& c : kByteTable) {
    const std::string text = "{\"Response\":{\"RequestId\":\"7\",\"Name\":\"" + c.bytes + "\"}}";
    rapidjson::Document document;
    ASSERT_TRUE(json::Parse<json::kOutsideBytesFlags>(document, text.data(), text.size())) << c.name;
    std::string name;
    EXPECT_TRUE(json::GetString(*json::GetObject(document, "Response"), "Name", &name)) << c.name;
    EXPECT_EQ(c.bytes, name) << c.name;
  }
}

TEST(JsonUtf8, ConfigurationFilesLoadWhateverBytesTheyHold) {
  // A file written before texts were checked still loads: the device must
  // go on authenticating with the key it holds.
  const std::string file = "{\"NewKey\":\"\xFF\xFE\",\"OldKey\":\"\\uDC00\"}";
  rapidjson::Document document;
  ASSERT_TRUE(json::ParseWritable<json::kConfigFileFlags>(document, file.data(), file.size()));
  std::string key;
  ASSERT_TRUE(json::GetString(document, "NewKey", &key));
  EXPECT_EQ("\xFF\xFE", key);
}

TEST(JsonUtf8, OneWalkChecksNumbersStringsAndDepth) {
  struct Case {
    const char* name;
    std::string text;
    bool utf8;
    int depth_limit;
    bool passes;
  };
  const std::string bad = "\"\xFF\"";
  const Case cases[] = {
      {"all well", "{\"a\":[1,2.5,\"t\"]}", true, 3, true},
      {"infinite number", "[1,24E308]", false, 0, false},
      {"bad string checked", "[" + bad + "]", true, 0, false},
      {"bad string not checked", "[" + bad + "]", false, 0, true},
      {"too deep", "[[[1]]]", false, 2, false},
      {"deep without a limit", "[[[1]]]", false, 0, true},
      {"bad string past a deep branch", "[[[1]]," + bad + "]", true, 5, false},
  };
  for (const Case& c : cases) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(c.text.data(), c.text.size());
    ASSERT_FALSE(document.HasParseError()) << c.name;
    EXPECT_EQ(c.passes, json::PassesOutsideChecks(document, c.utf8, c.depth_limit)) << c.name;
  }
}

}  // namespace
