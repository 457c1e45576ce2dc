#include "service/config_service.h"

#include "base/json_member.h"
#include "base/log.h"
#include "base/utils.h"
#include "service/ipc_helper.h"

namespace zq_camera_service {

namespace {

// The camera software's request layout, runs of blanks included.
const char* const kRequestTemplate =
    "{         \"CommandType\":\"%s\",         \"MajorVersion\":%s,         \"MinorVersion\":%s,         "
    "\"RequestId\":\"%s\",         \"PatchVersion\":%s,         \"TimeStamp\":%s     }";

}  // namespace

ConfigService::ConfigService(IpcHelper* helper) : helper(helper) {}

int ConfigService::StartService() {
  std::string body = ComposeRequestMessage("GetEncodeInfos");
  zq_info("config service sendmessage: %s\n", body.c_str());

  IpcMessage request;
  request.SetJsonRequest(Utils::Int2Str(request_counter), body.data(), body.size());
  IpcMessage reply;
  IpcHelper* link = helper != nullptr ? helper : IpcHelper::GetInstance();
  link->SendSyncMessage(request, reply);

  // The reply is only shown: it is parsed and printed only when the line is written.
  if (zq_log_enabled(3)) zq_info("config service response: %s\n", DescribeReply(reply).c_str());
  return 0;
}

int ConfigService::StopService() { return 0; }

std::string ConfigService::ComposeRequestMessage(std::string command) {
  request_counter += 1;
  std::string stamp = Utils::GetTimeStamp();
  std::string id = Utils::Int2Str(request_counter);
  std::string body = Utils::StringFormat(kRequestTemplate, command.c_str(), "1", "0", id.c_str(), "1", stamp.c_str());
  zq_print("Composed request:%s\n", body.c_str());
  return body;
}

std::string ConfigService::DescribeReply(const IpcMessage& reply) {
  rapidjson::Document document;
  const char* body = nullptr;
  size_t length = 0;
  // Sliced only from a frame that passes the transport's own checks.
  if (reply.GetBody(&body, &length)) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(body);
    size_t at = 0;
    // A UTF-8 byte-order mark some writers put in front of the text.
    if (at < length && bytes[at] == 0xEF) ++at;
    if (at < length && bytes[at] == 0xBB) ++at;
    if (at < length && bytes[at] == 0xBF) ++at;
    rapidjson::Document parsed;
    // A body nested too deeply to be written out shows as "null" too.
    if (json::ParseWritable<json::kOutsideBytesFlags>(parsed, body + at, length - at)) {
      document.Swap(parsed);
    }
  }
  return Utils::DocumentToString(document);
}

}  // namespace zq_camera_service
