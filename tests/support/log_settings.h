// Sets the process-wide log settings for one test and restores them after.
#pragma once

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

}  // namespace zq_test
