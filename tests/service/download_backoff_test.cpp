// When a failed upgrade download is tried again: the schedule of waits, the
// floor that an attempt which held the exchange long sets, and the record
// kept per URL.
#include "service/download_backoff.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;
using zq_camera_service::DownloadBackoff;
using Clock = DownloadBackoff::Clock;

TEST(DownloadBackoffTest, WaitsDoubleFromTwoSecondsUpToTenMinutes) {
  DownloadBackoff backoff;
  const std::chrono::seconds expected[] = {2s, 4s, 8s, 16s, 32s, 64s, 128s, 256s, 512s, 600s, 600s, 600s};
  int failures = 0;
  for (std::chrono::seconds wait : expected) {
    ++failures;
    EXPECT_EQ(std::chrono::milliseconds(wait), backoff.Delay(failures, 0ms)) << failures << " failures";
  }
  EXPECT_EQ(std::chrono::milliseconds(600s), backoff.Delay(1000, 0ms));
}

TEST(DownloadBackoffTest, AnAttemptThatHeldTheExchangeIsFollowedByThreeTimesAsLongWithout) {
  DownloadBackoff backoff;
  struct Case {
    int failures;
    std::chrono::milliseconds held;
    std::chrono::milliseconds wait;
  };
  const Case cases[] = {
      {1, 30s, 90s},      // a silent host, given up by the low-speed limit
      {1, 500s, 1500s},   // a host that trickles just fast enough for the whole time-out
      {12, 500s, 1500s},  // beyond the longest step too
      {4, 1s, 16s},       // a short hold leaves the step as it is
      {1, 100ms, 2s},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.wait, backoff.Delay(c.failures, c.held)) << c.failures << " failures, held " << c.held.count() << " ms";
  }
}

TEST(DownloadBackoffTest, EachUrlKeepsItsOwnFailuresUntilItsDownloadSucceeds) {
  DownloadBackoff backoff(300ms);
  const Clock::time_point now = Clock::now();
  const std::string a = "http://127.0.0.1/a.zip";
  const std::string b = "http://127.0.0.1/b.zip";
  EXPECT_EQ(Clock::time_point::min(), backoff.DueAt(a));

  EXPECT_EQ(300ms, backoff.Failed(a, now, 0ms));
  EXPECT_EQ(now + 300ms, backoff.DueAt(a));
  EXPECT_EQ(600ms, backoff.Failed(a, now + 1s, 0ms));
  EXPECT_EQ(now + 1s + 600ms, backoff.DueAt(a));
  EXPECT_EQ(2, backoff.Failures(a));
  // Another URL starts from the first step.
  EXPECT_EQ(300ms, backoff.Failed(b, now, 50ms));
  EXPECT_EQ(1, backoff.Failures(b));

  backoff.Succeeded(a);
  EXPECT_EQ(Clock::time_point::min(), backoff.DueAt(a));
  EXPECT_EQ(0, backoff.Failures(a));
  EXPECT_EQ(300ms, backoff.Failed(a, now, 0ms)) << "a success starts the schedule over";
  EXPECT_EQ(1, backoff.Failures(b));
}

TEST(DownloadBackoffTest, AFirstStepLongerThanTheLongestIsKept) {
  DownloadBackoff backoff(20min);
  EXPECT_EQ(std::chrono::milliseconds(20min), backoff.Delay(1, 0ms));
  EXPECT_EQ(std::chrono::milliseconds(20min), backoff.Delay(5, 0ms));
}

TEST(DownloadBackoffTest, RemembersABoundedNumberOfUrlsForgettingTheOneDueSoonest) {
  DownloadBackoff backoff;
  const Clock::time_point now = Clock::now();
  const size_t urls = DownloadBackoff::kRememberedUrls;
  for (size_t i = 0; i < urls; ++i) backoff.Failed("u" + std::to_string(i), now + std::chrono::seconds(i), 0ms);
  // "u0" is due soonest and goes; every other record stays.
  backoff.Failed("new", now + 1h, 0ms);
  EXPECT_EQ(0, backoff.Failures("u0"));
  for (size_t i = 1; i < urls; ++i) EXPECT_EQ(1, backoff.Failures("u" + std::to_string(i))) << i;
  EXPECT_EQ(1, backoff.Failures("new"));
  // A URL on record is counted again, without forgetting another.
  backoff.Failed("u1", now, 0ms);
  EXPECT_EQ(2, backoff.Failures("u1"));
  EXPECT_EQ(1, backoff.Failures("u2"));
}

}  // namespace
