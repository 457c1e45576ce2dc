// What a KwCloud back end reply to a heartbeat or monitoring report asks of
// the device, read with every member type-checked.
#pragma once

#include <string>
#include <string_view>

namespace zq_camera_service {

// Periods a reply may set, in seconds: a day at most, so a misconfigured back
// end cannot silence the reports for years.
constexpr int kMaxReportPeriod = 86400;

struct ReportReply {
  // 0 read; -1 no reply; -2 not one JSON value; -3 the report was refused.
  int result = 0;
  // False when the reply holds no "Response" object (e.g. a bare status code).
  bool has_response = false;
  // "Error"."Code" and "Error"."Message" of a refusal ("" when not strings).
  std::string error_code;
  std::string error_message;
  // "ExtMsg"."cmd" is "CatchCameraPic"; the act id beside it ("ExtMsg"."actid", 0 when missing).
  bool catch_camera_pic = false;
  int act_id = 0;
  // "ReportGap" present; usable only when it is a positive integer (then clamped).
  bool has_report_gap = false;
  bool report_gap_usable = false;
  int report_gap = 0;
};

// `text` is the exact reply bytes; nothing but blanks may follow the value.
ReportReply ReadReportReply(std::string_view text);

}  // namespace zq_camera_service
