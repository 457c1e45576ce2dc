// Bodies of the requests the businesses send to the KwCloud back end: the
// heartbeat, the monitoring report, the warning report and the picture
// upload. Each is the common header's members followed by the request's own,
// pretty-printed with four-space indentation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <rapidjson/document.h>

namespace zq_camera_service {
namespace kw_cloud {

// Report item "Level" values and "Type" codes the back end files reports under.
constexpr int kHeartbeatLevel = 4;
constexpr int kMonitorLevel = 3;
constexpr int kHeartbeatType = 10000;
constexpr int kCpuType = 10001;
constexpr int kDiskType = 10002;
constexpr int kConstantType = 10003;

// One report item: "Level", "Type", "Msg" (a JSON text carried as a string), "Time".
rapidjson::Value ReportItem(int level, int type, const std::string& msg, int64_t time,
                            rapidjson::Document::AllocatorType& allocator);

// Builds one report item from its level, type code, "Msg" text and time; the
// report business passes its own, ReportItem is the default.
using ReportItemMaker =
    std::function<rapidjson::Value(int, int, const std::string&, int64_t, rapidjson::Document::AllocatorType&)>;

// "TimeStamp" of a common header; 0 when it is missing or not an integer.
int64_t HeaderTimeStamp(const rapidjson::Value& header);

// A usage figure in whole percent: clamped to [0, 100] (a NaN reads 0), then
// truncated toward zero, so a misreading never reaches the back end as a
// figure no device can have.
int UsagePercent(float figure);

// The header object copied, or an empty object when the header holds none
// (its text did not parse); the caller decides whether such a body is sent.
std::string HeartbeatBody(const rapidjson::Value& header, const std::string& device_id,
                          const ReportItemMaker& item = ReportItem);
std::string MonitorBody(const rapidjson::Value& header, const std::string& device_id, float cpu_usage,
                        float disk_usage, const ReportItemMaker& item = ReportItem);
std::string WarningBody(const rapidjson::Value& header);
std::string PictureBody(const rapidjson::Value& header, int camera_id, int act_id, const std::string& picture_base64);

}  // namespace kw_cloud
}  // namespace zq_camera_service
