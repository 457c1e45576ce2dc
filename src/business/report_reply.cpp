#include "business/report_reply.h"

#include <cstdint>

#include <rapidjson/document.h>

#include "base/json_member.h"

namespace zq_camera_service {

ReportReply ReadReportReply(std::string_view text) {
  ReportReply reply;
  if (text.empty()) {
    reply.result = -1;
    return reply;
  }
  // The parser takes a NUL byte for the end of the text, so anything after
  // one would go unseen; JSON text never holds a raw NUL. Nothing of a reply
  // is stored, so its strings are taken as bytes: a note in a legacy
  // encoding must not cost the period or the picture command beside it.
  rapidjson::Document document;
  if (text.find('\0') != std::string_view::npos ||
      !json::Parse<json::kOutsideBytesFlags>(document, text.data(), text.size())) {
    reply.result = -2;
    return reply;
  }
  const rapidjson::Value* response = json::GetObject(document, "Response");
  if (response == nullptr) return reply;
  reply.has_response = true;

  // Any "Error", null included, is a refusal.
  if (const rapidjson::Value* error = json::Find(*response, "Error")) {
    json::GetString(*error, "Code", &reply.error_code);
    json::GetString(*error, "Message", &reply.error_message);
    reply.result = -3;
    return reply;
  }

  if (const rapidjson::Value* ext = json::GetObject(*response, "ExtMsg")) {
    std::string cmd;
    if (json::GetString(*ext, "cmd", &cmd) && cmd == "CatchCameraPic") {
      reply.catch_camera_pic = true;
      json::GetInt(*ext, "actid", &reply.act_id);
    }
  }

  if (const rapidjson::Value* gap = json::Find(*response, "ReportGap")) {
    reply.has_report_gap = true;
    // A positive integer of any size is a period (a huge one is the longest
    // allowed); zero, negatives, fractions and other types leave the period be.
    if (gap->IsUint64() && gap->GetUint64() > 0) {
      reply.report_gap_usable = true;
      uint64_t seconds = gap->GetUint64();
      reply.report_gap = seconds > static_cast<uint64_t>(kMaxReportPeriod) ? kMaxReportPeriod : static_cast<int>(seconds);
    }
  }
  return reply;
}

}  // namespace zq_camera_service
