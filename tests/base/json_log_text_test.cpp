#include "base/json_log_text.h"

#include <gtest/gtest.h>

#include <string>

#include <rapidjson/document.h>

#include "base/utils.h"

namespace {

using zq_camera_service::SecretMask;
using zq_camera_service::Utils;
using zq_camera_service::json::LogText;

rapidjson::Document Parsed(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.data(), text.size());
  EXPECT_FALSE(document.HasParseError()) << text;
  return document;
}

const char* const kDocuments[] = {
    "{\"Response\":{\"Key\":\"k\",\"ShopId\":7,\"List\":[1,2.5,true,null,\"q\\\"uote\"],\"Empty\":{}}}",
    "[]",
    "404",
    "\"text with \\u0001 and \\\\\"",
    "{\"a\":[[],[{}],-12345678901234]}",
};

TEST(JsonLogText, WithoutSecretsItIsTheDocumentsUsualText) {
  for (const char* text : kDocuments) {
    rapidjson::Document document = Parsed(text);
    EXPECT_EQ(Utils::DocumentToString(document), LogText(document, SecretMask({}), std::string::npos)) << text;
  }
}

TEST(JsonLogText, SecretsAreHiddenInStringsAndNamesOnly) {
  rapidjson::Document document = Parsed("{\"Response\":{\"Key\":\"1\",\"ShopId\":1,\"Note\":\"was 1 or 2\",\"2\":12}}");
  EXPECT_EQ(
      "{\n    \"Response\": {\n        \"Key\": \"***\",\n        \"ShopId\": 1,\n"
      "        \"Note\": \"was *** or ***\",\n        \"***\": 12\n    }\n}",
      LogText(document, SecretMask({"1", "2"}), std::string::npos));
}

TEST(JsonLogText, TextIsCutAtTheLimit) {
  rapidjson::Document document = Parsed(kDocuments[0]);
  const SecretMask mask({"uote"});
  const std::string whole = LogText(document, mask, std::string::npos);
  ASSERT_NE(std::string::npos, whole.find("q\\\"***"));
  for (size_t limit = 0; limit <= whole.size() + 2; ++limit) {
    EXPECT_EQ(whole.substr(0, limit), LogText(document, mask, limit)) << limit;
  }
}

TEST(JsonLogText, LargeDocumentsGiveAsMuchAsALineKeeps) {
  // One huge string holding the key everywhere, then many members after it.
  std::string text = "{\"Padding\":\"" + std::string(4 * 1024 * 1024, 'x') + "\"";
  for (int i = 0; i < 50000; ++i) text += ",\"m" + std::to_string(i) + "\":\"x\"";
  text += "}";
  rapidjson::Document document = Parsed(text);
  const std::string shown = LogText(document, SecretMask({"x"}));
  ASSERT_EQ(kZqLogTextLimit, shown.size());
  const std::string start = "{\n    \"Padding\": \"";
  EXPECT_EQ(start + std::string(kZqLogTextLimit - start.size(), '*'), shown);
}

}  // namespace
