#include "service/download_backoff.h"

#include <algorithm>

namespace zq_camera_service {

std::chrono::milliseconds DownloadBackoff::Delay(int failures, std::chrono::milliseconds held) const {
  std::chrono::milliseconds longest = std::max(kLongestStep, first_step_);
  std::chrono::milliseconds step = first_step_;
  for (int i = 1; i < failures && step < longest; ++i) step *= 2;
  step = std::min(step, longest);
  return std::max(step, held * kHoldFactor);
}

std::chrono::milliseconds DownloadBackoff::Failed(const std::string& url, Clock::time_point now,
                                                 std::chrono::milliseconds held) {
  if (records_.find(url) == records_.end() && records_.size() >= kRememberedUrls) {
    auto soonest = std::min_element(records_.begin(), records_.end(),
                                    [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
    records_.erase(soonest);
  }
  Record& record = records_[url];
  if (record.failures < 1000) ++record.failures;
  std::chrono::milliseconds delay = Delay(record.failures, std::max(held, std::chrono::milliseconds(0)));
  record.due = now + delay;
  return delay;
}

DownloadBackoff::Clock::time_point DownloadBackoff::DueAt(const std::string& url) const {
  auto found = records_.find(url);
  return found == records_.end() ? Clock::time_point::min() : found->second.due;
}

int DownloadBackoff::Failures(const std::string& url) const {
  auto found = records_.find(url);
  return found == records_.end() ? 0 : found->second.failures;
}

}  // namespace zq_camera_service
