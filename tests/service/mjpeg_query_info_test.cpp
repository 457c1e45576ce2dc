// The face image locator parsed from a face list's "faceDetect_url".
#include "service/mjpeg_query_info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

struct Case {
  const char* name;
  std::string text;
  MJPEG_QUERY_INFO_ST before;
  MJPEG_QUERY_INFO_ST after;
  std::string log;  // the lines logged, in order
};

TEST(MjpegQueryInfoTest, PiecesInAnyOrderFillTheLocator) {
  zq_test::ScopedLogSettings settings(4, 3, "");
  const MJPEG_QUERY_INFO_ST zero{0, 0, 0};
  const MJPEG_QUERY_INFO_ST old{5, 6, 7};
  const Case cases[] = {
      {"in order", "datatype=1&timestamp=1000&objectID=11", zero, {1000, 1, 11}, ""},
      {"shuffled, 64-bit time stamp", "objectID=33&datatype=3&timestamp=6000000000", zero, {6000000000ull, 3, 33}, ""},
      {"largest time stamp", "timestamp=18446744073709551615", zero, {18446744073709551615ull, 0, 0}, ""},
      {"negative numbers", "datatype=-4&objectID=-9", zero, {0, -4, -9}, ""},
      {"missing keys keep their values", "objectID=8", old, {5, 6, 8}, ""},
      {"other and empty pieces ignored", "&&x=1&datatype=2&&objectIDs&stamp=3&", old, {5, 2, 7}, ""},
      {"scanf-like reads: blanks, sign, trailing text", "datatype= +12abc&objectID=4 5", zero, {0, 12, 4}, ""},
      {"last occurrence wins", "datatype=1&datatype=2", zero, {0, 2, 0}, ""},
      {"beyond int32 saturates", "datatype=99999999999&objectID=-99999999999", zero, {0, 2147483647, -2147483648}, ""},
      {"unreadable pieces log and keep values", "datatype=x&timestamp=&objectID=-", old, {5, 6, 7},
       "Service | ERROR: parse datatype error\n"
       "Service | ERROR: parse timestamp error\n"
       "Service | ERROR: parse objectID error\n"},
      {"empty text", "", old, {5, 6, 7}, ""},
  };
  for (const Case& c : cases) {
    std::vector<char> text(c.text.begin(), c.text.end());
    text.push_back('\0');
    MJPEG_QUERY_INFO_ST info = c.before;
    std::string logged;
    {
      zq_test::StdoutCapture capture;
      EXPECT_EQ(0, MJPEG_parseQueryInfo(text.data(), &info)) << c.name;
      logged = capture.Text();
    }
    EXPECT_EQ(c.after.timestamp, info.timestamp) << c.name;
    EXPECT_EQ(c.after.datatype, info.datatype) << c.name;
    EXPECT_EQ(c.after.objectID, info.objectID) << c.name;
    EXPECT_EQ(c.log, logged) << c.name;
  }
}

TEST(MjpegQueryInfoTest, NullPointersAreRefused) {
  char text[] = "datatype=1";
  MJPEG_QUERY_INFO_ST info{1, 2, 3};
  EXPECT_EQ(-1, MJPEG_parseQueryInfo(nullptr, &info));
  EXPECT_EQ(-1, MJPEG_parseQueryInfo(text, nullptr));
  EXPECT_EQ(2, info.datatype);
}

}  // namespace
