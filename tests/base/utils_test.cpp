#include "base/utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_camera_service::Utils;

TEST(StringFormat, FormatsTextsOfAnyLength) {
  std::string big(5000, 'q');
  EXPECT_EQ(big, Utils::StringFormat("%s", big.c_str()));
  const char* empty_format = "";
  EXPECT_EQ("", Utils::StringFormat(empty_format));
  EXPECT_EQ("a-12-b", Utils::StringFormat("a-%d-%s", 12, "b"));
  EXPECT_EQ("ab", Utils::StringFormat("ab%ccd", 0));  // ends at the NUL
  std::string exact(7, 'z');  // exactly twice the format's length minus one
  EXPECT_EQ("<" + exact + ">", Utils::StringFormat("<%s>", exact.c_str()));
}

TEST(Str2Int, ReadsLikeAtoi) {
  struct Case {
    std::string text;
    int value;
  };
  const Case cases[] = {{"42abc", 42}, {"abc", 0}, {" -7", -7}, {"+5", 5}, {"", 0},
                        {"0", 0},      {"\t12", 12}, {"99999999999", 2147483647}, {"-99999999999", -2147483647 - 1}};
  for (const Case& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(c.value, Utils::Str2Int(text)) << "'" << c.text << "'";
  }
}

TEST(Int2Str, DecimalWithoutPadding) {
  EXPECT_EQ("-15", Utils::Int2Str(-15));
  EXPECT_EQ("0", Utils::Int2Str(0));
  EXPECT_EQ("2147483647", Utils::Int2Str(2147483647));
  EXPECT_EQ("-2147483648", Utils::Int2Str(-2147483647 - 1));
}

TEST(GetTimeStamp, CurrentUnixSeconds) {
  long long before = time(nullptr);
  long long stamp = atoll(Utils::GetTimeStamp().c_str());
  long long after = time(nullptr);
  EXPECT_LE(before, stamp);
  EXPECT_GE(after, stamp);
}

std::string StatusWithFigure(int figure) {
  std::string text;
  for (int i = 1; i <= 12; ++i) text += "Line" + std::to_string(i) + ":\t" + std::to_string(i) + "\n";
  return text + "VmRSS:\t" + std::to_string(figure) + " kB\n";
}

TEST(CheckMemory, LogsOnlyChangesAndTracksTheLargestFigure) {
  zq_test::ScopedLogSettings settings(3, 3, "");
  Utils::ResetMemoryCountersForTest();
  zq_test::StdoutCapture capture;
  EXPECT_TRUE(Utils::CheckMemoryFromStatusText("tag", StatusWithFigure(500)));
  EXPECT_FALSE(Utils::CheckMemoryFromStatusText("tag", StatusWithFigure(500)));
  EXPECT_TRUE(Utils::CheckMemoryFromStatusText("down", StatusWithFigure(300)));
  EXPECT_FALSE(Utils::CheckMemoryFromStatusText("short", "only\nthree\nlines\n"));
  EXPECT_EQ("Service | INFO: [memcheck] tag 500 kB 500 kB max: 500 kB\n"
            "Service | INFO: [memcheck] down 300 kB -200 kB max: 500 kB\n",
            capture.Text());
}

TEST(CheckMemory, ReadsThisProcessStatusFile) {
  zq_test::ScopedLogSettings settings(3, 3, "");
  Utils::ResetMemoryCountersForTest();
  zq_test::StdoutCapture capture;
  Utils::CheckMemory("self");
  EXPECT_NE(std::string::npos, capture.Text().find("[memcheck] self "));
}

TEST(GetMac, MissingInterfaceLeavesOutputUnchanged) {
  std::string mac = "unchanged";
  int rc = Utils::GetMac(mac);
  if (rc == 0) {
    EXPECT_EQ(17u, mac.size());
  } else {
    EXPECT_EQ(-1, rc);
    EXPECT_EQ("unchanged", mac);
  }
}

TEST(DocumentToString, FourSpacePrettyText) {
  rapidjson::Document document;
  document.Parse("{\"a\":1,\"b\":[true,\"x\"],\"c\":{}}");
  EXPECT_EQ("{\n    \"a\": 1,\n    \"b\": [\n        true,\n        \"x\"\n    ],\n    \"c\": {}\n}",
            Utils::DocumentToString(document));
}

}  // namespace
