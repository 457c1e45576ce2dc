#include "base/json_depth.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zq_camera_service::json::kMaxOutsideDepth;
using zq_camera_service::json::WithinDepth;

std::string Nested(int levels, const std::string& open, const std::string& close) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open;
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

TEST(JsonDepthTest, LevelsAreCountedFromTheRoot) {
  struct Case {
    const char* name;
    std::string text;
    int limit;
    bool within;
  };
  const Case cases[] = {
      {"scalar root", "5", 0, true},
      {"empty object at the limit", "{}", 1, true},
      {"empty object past the limit", "{}", 0, false},
      {"arrays at the limit", Nested(kMaxOutsideDepth, "[", "]"), kMaxOutsideDepth, true},
      {"arrays one past the limit", Nested(kMaxOutsideDepth + 1, "[", "]"), kMaxOutsideDepth, false},
      {"objects one past the limit", "{\"a\":{\"a\":{\"a\":{}}}}", 3, false},
      {"objects at the limit", "{\"a\":{\"a\":{\"a\":1}}}", 3, true},
      {"deep branch after a shallow one", "[1,{\"a\":[2]},[[[]]]]", 3, false},
      {"shallow branches only", "[1,{\"a\":[2]},[[]]]", 3, true},
      {"scalars do not count as a level", "{\"a\":{\"b\":1}}", 2, true},
      {"far too deep", Nested(300000, "[", "]"), kMaxOutsideDepth, false},
  };
  for (const Case& c : cases) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(c.text.data(), c.text.size());
    ASSERT_FALSE(document.HasParseError()) << c.name;
    EXPECT_EQ(c.within, WithinDepth(document, c.limit)) << c.name;
  }
  EXPECT_TRUE(WithinDepth(rapidjson::Document(), kMaxOutsideDepth));
}

}  // namespace
