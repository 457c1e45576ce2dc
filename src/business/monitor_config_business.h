// Business 0: the heartbeat (timer 1) and the monitoring report with the CPU
// and disk usage (timer 2) to the KwCloud back end. A reply may change the
// period of its own timer and, on the heartbeat, ask for a camera picture.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <rapidjson/document.h>

#include "business/base_business.h"

namespace zq_camera_service {

class NetMessage;

enum MonitorTimer_ENUM {
  TIMER_HEARTBEAT = 1,
  TIMER_MONITOR_REPORT = 2,
};

// The warning report's "timer" id in HandleResponseBy; it has no timer.
constexpr int kWarningReportId = -1;

class MonitorConfigBusiness : public BaseBusiness {
 public:
  static constexpr const char* kHeartbeatPath = "/Report/ReportHeartbeat";
  static constexpr const char* kMonitorPath = "/Report/ReportMonitorInfo";
  static constexpr const char* kWarningPath = "/Report/ReportWarning";

  // Reads "HeartbeatGap", "HelloTimeGap", "HelloUrl" and "DeviceId" and arms
  // the two timers; 0, or the configuration manager's failure code.
  int StartBusiness() override;
  // Nothing to undo: the timers die with the business.
  int StopBusiness() override;
  // Sends the report of the timer and evaluates the reply; 0, or the failure
  // code of the header composition (nothing is sent then).
  int DoTimeOutHandler(int timer_id) override;

  // One JSON POST to hello_url + path; 0 with the reply bytes in `reply`, -1
  // (and `reply` "") without a reply.
  int DoPost(std::string& body, std::string& path, std::string& reply);
  std::string ComposePostHeartbeatHeader(rapidjson::Document& header);
  std::string ComposePostMonitorHeader(rapidjson::Document& header);
  std::string ComposePostWarningHeader(rapidjson::Document& header);
  // One report item: "Level", "Type", "Msg" (a copy of `message`, from
  // `allocator`) and "Time", in this order. `time` is Unix seconds, which
  // outgrow 32 bits in 2038.
  rapidjson::Value AddObject(int level, int type, std::string message, int64_t time,
                             rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>& allocator);
  // Whether a warning report is due; no condition defines one, so never.
  int CheckWarning();
  // Evaluates the reply to the report of `timer_id` (kWarningReportId for the
  // warning report): 0, -1 no reply, -2 not JSON, -3 refused.
  int HandleResponseBy(int timer_id, std::string& reply);
  int HandleResponseBy(int timer_id, std::string_view reply);

  int32_t HeartbeatGap() const { return heartbeat_gap; }
  int32_t MonitorGap() const { return monitor_gap; }
  const std::string& HelloUrl() const { return hello_url; }
  const std::string& DeviceId() const { return device_id; }

 private:
  // DoPost with the reply left in the record it arrived in (`response`),
  // so a reply is held once: 0 with a reply, -1 without.
  int Exchange(const std::string& body, const std::string& path, NetMessage& response);
  // Arms `timer_id` due `period` seconds from now, unless it is armed already.
  void ArmTimer(int timer_id, int period);

  int32_t heartbeat_gap = 0;  // as read at start; the live period is timer_periods[1]
  int32_t monitor_gap = 0;    // as read at start; the live period is timer_periods[2]
  std::string hello_url;
  std::string device_id;
};

}  // namespace zq_camera_service
