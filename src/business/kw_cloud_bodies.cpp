#include "business/kw_cloud_bodies.h"

#include "base/json_member.h"
#include "base/log.h"
#include "base/utils.h"

namespace zq_camera_service {
namespace kw_cloud {

namespace {

// A new document whose root is a deep copy of the header object, so the
// caller's header stays as it was.
void CopyHeader(const rapidjson::Value& header, rapidjson::Document& body) {
  if (header.IsObject()) {
    body.CopyFrom(header, body.GetAllocator());
  } else {
    body.SetObject();
  }
}

void AddString(rapidjson::Document& body, const char* name, const std::string& text) {
  rapidjson::Document::AllocatorType& allocator = body.GetAllocator();
  body.AddMember(rapidjson::Value(name, allocator),
                 rapidjson::Value(text.data(), static_cast<rapidjson::SizeType>(text.size()), allocator), allocator);
}

}  // namespace

rapidjson::Value ReportItem(int level, int type, const std::string& msg, int64_t time,
                            rapidjson::Document::AllocatorType& allocator) {
  rapidjson::Value item(rapidjson::kObjectType);
  item.AddMember("Level", level, allocator);
  item.AddMember("Type", type, allocator);
  item.AddMember("Msg", rapidjson::Value(msg.data(), static_cast<rapidjson::SizeType>(msg.size()), allocator),
                 allocator);
  item.AddMember("Time", rapidjson::Value(static_cast<int64_t>(time)), allocator);
  return item;
}

int64_t HeaderTimeStamp(const rapidjson::Value& header) {
  int64_t time = 0;
  return json::GetInt64(header, "TimeStamp", &time) ? time : 0;
}

int UsagePercent(float figure) {
  if (!(figure >= 0.0f)) return 0;  // negative or NaN
  if (figure >= 100.0f) return 100;
  return static_cast<int>(figure);
}

std::string HeartbeatBody(const rapidjson::Value& header, const std::string& device_id,
                          const ReportItemMaker& item) {
  zq_print("1\n");
  rapidjson::Document body;
  CopyHeader(header, body);
  zq_print("2\n");
  AddString(body, "DeviceId", device_id);
  zq_print("3\n");
  rapidjson::Document::AllocatorType& allocator = body.GetAllocator();
  rapidjson::Value items(rapidjson::kArrayType);
  items.PushBack(item(kHeartbeatLevel, kHeartbeatType, "{\"v\":10000}", HeaderTimeStamp(header), allocator),
                 allocator);
  zq_print("4\n");
  body.AddMember("InfoSet", items, allocator);
  zq_print("5\n");
  return Utils::DocumentToString(body);
}

std::string MonitorBody(const rapidjson::Value& header, const std::string& device_id, float cpu_usage,
                        float disk_usage, const ReportItemMaker& item) {
  rapidjson::Document body;
  CopyHeader(header, body);
  AddString(body, "DeviceId", device_id);
  const int64_t time = HeaderTimeStamp(header);
  rapidjson::Document::AllocatorType& allocator = body.GetAllocator();
  rapidjson::Value items(rapidjson::kArrayType);
  items.PushBack(item(kMonitorLevel, kCpuType,
                            Utils::StringFormat("[{\"v\":%d,\"n\":\"cpu0\"}]", UsagePercent(cpu_usage)), time,
                            allocator),
                 allocator);
  items.PushBack(
      item(kMonitorLevel, kDiskType, Utils::StringFormat("{\"v\":%d}", UsagePercent(disk_usage)), time, allocator),
      allocator);
  items.PushBack(item(kMonitorLevel, kConstantType, "{\"v\":1}", time, allocator), allocator);
  body.AddMember("InfoSet", items, allocator);
  return Utils::DocumentToString(body);
}

std::string WarningBody(const rapidjson::Value& header) {
  rapidjson::Document body;
  CopyHeader(header, body);
  return Utils::DocumentToString(body);
}

std::string PictureBody(const rapidjson::Value& header, int camera_id, int act_id, const std::string& picture_base64) {
  rapidjson::Document body;
  CopyHeader(header, body);
  rapidjson::Document::AllocatorType& allocator = body.GetAllocator();
  body.AddMember("CameraId", camera_id, allocator);
  body.AddMember("ActId", act_id, allocator);
  AddString(body, "Picture", picture_base64);
  return Utils::DocumentToString(body);
}

}  // namespace kw_cloud
}  // namespace zq_camera_service
