#include "snmp/sink_backoff.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<unsigned int> Delays(SinkBackoff* backoff, int count) {
  std::vector<unsigned int> delays;
  for (int i = 0; i < count; ++i) delays.push_back(backoff->NextDelay());
  return delays;
}

TEST(SinkBackoffTest, DoublesFromFiveSecondsUpToFiveMinutes) {
  SinkBackoff backoff;
  EXPECT_EQ((std::vector<unsigned int>{5, 10, 20, 40, 80, 160, 300, 300, 300}), Delays(&backoff, 9));
}

TEST(SinkBackoffTest, StartsAgainFromFiveSecondsAfterAReset) {
  SinkBackoff backoff;
  Delays(&backoff, 12);
  backoff.Reset();
  EXPECT_EQ((std::vector<unsigned int>{5, 10, 20}), Delays(&backoff, 3));
}

}  // namespace
