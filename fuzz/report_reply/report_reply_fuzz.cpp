// A KwCloud back end reply to a heartbeat or monitoring report, read by
// ReadReportReply and acted on by the report business's HandleResponseBy.
//
// Input byte 0 picks the report (heartbeat, monitoring report, warning); the
// rest is the reply. What must hold: the result is one of the four codes and
// agrees with the reading; a usable "ReportGap" lies in 1..86400 seconds; only
// an accepted reply with a usable gap changes a period, only its own timer's,
// and only to that gap; a warning reply changes nothing.
#include <cstdint>
#include <string>

#include "business/monitor_config_business.h"
#include "business/report_reply.h"
#include "support/fuzz_check.h"

using zq_camera_service::kMaxReportPeriod;
using zq_camera_service::kWarningReportId;
using zq_camera_service::MonitorConfigBusiness;
using zq_camera_service::ReadReportReply;
using zq_camera_service::ReportReply;
using zq_camera_service::TIMER_HEARTBEAT;
using zq_camera_service::TIMER_MONITOR_REPORT;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int timers[] = {TIMER_HEARTBEAT, TIMER_MONITOR_REPORT, kWarningReportId};
  const int timer_id = timers[data[0] % 3];
  std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string original = reply;

  const ReportReply read = ReadReportReply(reply);
  FUZZ_CHECK(read.result == 0 || read.result == -1 || read.result == -2 || read.result == -3);
  FUZZ_CHECK((read.result == -1) == reply.empty());
  if (read.result == -3) FUZZ_CHECK(read.has_response);
  if (read.report_gap_usable) {
    FUZZ_CHECK(read.has_report_gap && read.result == 0);
    FUZZ_CHECK(read.report_gap >= 1 && read.report_gap <= kMaxReportPeriod);
  }
  if (read.catch_camera_pic) FUZZ_CHECK(read.has_response);
  // Reading is repeatable.
  const ReportReply again = ReadReportReply(reply);
  FUZZ_CHECK(again.result == read.result && again.report_gap == read.report_gap &&
             again.catch_camera_pic == read.catch_camera_pic && again.act_id == read.act_id);

  MonitorConfigBusiness business;
  business.timer_periods[TIMER_HEARTBEAT] = 20;
  business.timer_periods[TIMER_MONITOR_REPORT] = 60;
  const int result = business.HandleResponseBy(timer_id, reply);
  FUZZ_CHECK(result == read.result);
  FUZZ_CHECK(reply == original);
  FUZZ_CHECK(business.timer_periods.size() == 2);
  for (int timer : {TIMER_HEARTBEAT, TIMER_MONITOR_REPORT}) {
    const int before = timer == TIMER_HEARTBEAT ? 20 : 60;
    const int after = business.timer_periods[timer];
    if (timer == timer_id && read.result == 0 && read.has_response && read.report_gap_usable) {
      FUZZ_CHECK(after == read.report_gap);
    } else {
      FUZZ_CHECK(after == before);
    }
  }
  return 0;
}
