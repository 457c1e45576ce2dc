#include "base/secret_mask.h"

#include <gtest/gtest.h>

#include "base/json_escape.h"

namespace {

using zq_camera_service::MaskSecret;
using zq_camera_service::json::Escape;

TEST(MaskSecret, ReplacesEveryOccurrenceRawAndEscaped) {
  struct Case {
    std::string text;
    std::string secret;
    std::string masked;
  };
  const Case cases[] = {
      {"Key=abc&Mac=m&TimeStamp=1", "abc", "Key=***&Mac=m&TimeStamp=1"},
      {"abcabc", "abc", "******"},
      {"\"Key\": \"q\\\"uote\"", "q\"uote", "\"Key\": \"***\""},
      {"raw q\"uote and \"q\\\"uote\"", "q\"uote", "raw *** and \"***\""},
      {"nothing here", "abc", "nothing here"},
      {"empty secret masks nothing", "", "empty secret masks nothing"},
      // A mask that contains the secret must not be masked again.
      {"**", "*", "******"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.masked, MaskSecret(c.text, c.secret)) << c.text;
}

TEST(JsonEscape, EscapesWhatJsonNeedsAndNothingElse) {
  EXPECT_EQ("plain-text 12:43/x", Escape("plain-text 12:43/x"));
  EXPECT_EQ("a\\\"b\\\\c\\n\\t\\u0001", Escape("a\"b\\c\n\t\x01"));
  EXPECT_EQ("nul\\u0000inside", Escape(std::string("nul\0inside", 10)));
  EXPECT_EQ("", Escape(""));
}

}  // namespace
