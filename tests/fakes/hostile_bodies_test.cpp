// The hostile reply texts are what the figures of the hostile-reply table
// are stated for: each must be exactly as long as asked, and a padded reply
// must still mean what the reply it pads means.
#include <gtest/gtest.h>

#include <string>

#include <rapidjson/document.h>

#include "fakes/hostile_bodies.h"

namespace {

using zq_test::JsonStringText;
using zq_test::PaddedResponse;
using zq_test::PaddedResponseString;
using zq_test::ZeroArrayText;

rapidjson::Document Parsed(const std::string& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  EXPECT_FALSE(document.HasParseError()) << text.substr(0, 80);
  return document;
}

TEST(HostileBodies, ZeroArrayIsExactlyAsLongAsAskedAndAllZeros) {
  for (size_t bytes : {3u, 4u, 5u, 6u, 1001u, 1024u * 1024u}) {
    SCOPED_TRACE(bytes);
    std::string text = ZeroArrayText(bytes);
    ASSERT_EQ(bytes, text.size());
    rapidjson::Document document = Parsed(text);
    ASSERT_TRUE(document.IsArray());
    // Half a value per byte: that is what makes it costly to hold parsed.
    EXPECT_EQ((bytes - 1) / 2, document.Size());
    for (const auto& item : document.GetArray()) ASSERT_TRUE(item.IsInt() && item.GetInt() == 0);
  }
}

TEST(HostileBodies, JsonStringIsOneStringOfTheFill) {
  std::string text = JsonStringText(4096, 'q');
  ASSERT_EQ(4096u, text.size());
  rapidjson::Document document = Parsed(text);
  ASSERT_TRUE(document.IsString());
  EXPECT_EQ(std::string(4094, 'q'), std::string(document.GetString(), document.GetStringLength()));
}

TEST(HostileBodies, PaddedRepliesKeepTheMembersOfTheReplyTheyPad) {
  const std::string refusal = "{\"Response\":{\"Error\":{\"Code\":\"AuthFailure\",\"Message\":\"refused\"}}}";
  const std::string empty = "{\"Response\":{}}";
  for (const std::string& body : {refusal, empty}) {
    for (size_t bytes : {size_t{200}, size_t{201}, size_t{64 * 1024}}) {
      SCOPED_TRACE(body + " to " + std::to_string(bytes));
      for (const std::string& text : {PaddedResponse(body, bytes), PaddedResponseString(body, bytes, ' ')}) {
        ASSERT_EQ(bytes, text.size());
        rapidjson::Document document = Parsed(text);
        ASSERT_TRUE(document.IsObject() && document.HasMember("Response") && document["Response"].IsObject());
        const auto& response = document["Response"];
        ASSERT_TRUE(response.HasMember("Padding"));
        EXPECT_EQ(body == refusal, response.HasMember("Error"));
        EXPECT_EQ(body == refusal ? 2u : 1u, response.MemberCount());
      }
    }
  }
  // Asked for less than the reply itself, the padding is as small as it can be.
  std::string smallest = PaddedResponse(empty, 1);
  EXPECT_EQ(empty.size() + std::string("\"Padding\":[0]").size(), smallest.size());
}

}  // namespace
