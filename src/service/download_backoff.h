// When a failed upgrade download is tried again. A download holds the one
// HTTP exchange of the process for as long as it runs (up to its 500 s
// time-out), so a package host that keeps failing the same way must not
// get it back at once, for ever: each failure in a row of the same URL
// doubles the wait, from 2 s up to 10 minutes, and the wait is never
// shorter than three times what the failed attempt held the exchange, so
// reports and uploads have it at least three quarters of the time whatever
// the host does.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace zq_camera_service {

class DownloadBackoff {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::milliseconds kFirstStep{2000};
  static constexpr std::chrono::milliseconds kLongestStep{10 * 60 * 1000};
  // The wait after an attempt is at least this many times what it held.
  static constexpr int kHoldFactor = 3;
  // URLs whose failures are remembered; the one due soonest is forgotten first.
  static constexpr size_t kRememberedUrls = 16;

  // `first_step`: the wait after the first failure (tests make it shorter).
  explicit DownloadBackoff(std::chrono::milliseconds first_step = kFirstStep) : first_step_(first_step) {}

  // The wait after the `failures`-th failure in a row (1, 2, ...) of one URL,
  // whose attempt held the exchange for `held`.
  std::chrono::milliseconds Delay(int failures, std::chrono::milliseconds held) const;
  // Records that an attempt of `url` failed at `now` after holding the
  // exchange for `held`; the wait chosen until its next attempt.
  std::chrono::milliseconds Failed(const std::string& url, Clock::time_point now, std::chrono::milliseconds held);
  // A download of `url` got its reply: its failures are forgotten.
  void Succeeded(const std::string& url) { records_.erase(url); }
  // When `url` may be tried; Clock::time_point::min() when it has no failure on record.
  Clock::time_point DueAt(const std::string& url) const;
  // Failures in a row on record for `url`.
  int Failures(const std::string& url) const;

 private:
  struct Record {
    int failures = 0;
    Clock::time_point due;
  };

  std::chrono::milliseconds first_step_;
  std::unordered_map<std::string, Record> records_;
};

}  // namespace zq_camera_service
