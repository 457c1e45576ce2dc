// Sets the process-wide log settings for one test and restores them after.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "base/log.h"

namespace zq_test {

class ScopedLogSettings {
 public:
  ScopedLogSettings(int threshold, int type, const std::string& url)
      : threshold_(g_zq_log_config), type_(g_zq_log_record_type), url_(g_zq_log_record_url),
        name_(g_zq_log_app_name) {
    g_zq_log_config = threshold;
    g_zq_log_record_type = type;
    g_zq_log_record_url = url;
    g_zq_log_app_name = "Service";
  }
  ~ScopedLogSettings() {
    g_zq_log_config = threshold_;
    g_zq_log_record_type = type_;
    g_zq_log_record_url = url_;
    g_zq_log_app_name = name_;
  }

 private:
  int threshold_;
  int type_;
  std::string url_;
  std::string name_;
};

// For test programs whose services log on threads of their own all along
// (a capture service's fetch thread, an upload thread): the settings are set
// once, before the first test starts a thread, and never restored, since
// changing them while those threads log would race with them.
//   const auto* const kLogs = ::testing::AddGlobalTestEnvironment(new zq_test::ProgramLogSettings(4, 3, ""));
class ProgramLogSettings : public ::testing::Environment {
 public:
  ProgramLogSettings(int threshold, int type, std::string url)
      : threshold_(threshold), type_(type), url_(std::move(url)) {}
  void SetUp() override {
    g_zq_log_config = threshold_;
    g_zq_log_record_type = type_;
    g_zq_log_record_url = url_;
    g_zq_log_app_name = "Service";
  }

 private:
  int threshold_;
  int type_;
  std::string url_;
};

}  // namespace zq_test
