// The KwCloud back end's reply to the authentication request, handled as the
// authentication service handles it: checked, kept, the key and settings
// rotated into BaseConfig.json, an announced update handed over (no upgrade
// service runs here, so the hand-over ends there).
//
// What must hold: the result is one of the documented codes; a reply that is
// refused or not JSON changes neither the stored file nor the key in use;
// an accepted one leaves a file that still parses, with the same members of
// the same types, whose "NewKey" is the reply's key exactly when that key is
// new and not empty and every text the rotation stores is valid UTF-8; the
// file never takes a text that is not.
#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "base/config_manager.h"
#include "base/json_member.h"
#include "service/auth_service.h"
#include "support/config_documents.h"
#include "support/fuzz_check.h"

using zq_camera_service::AuthService;
using zq_camera_service::ConfigManager;

namespace {

std::string& BasePath() {
  static std::string path;
  return path;
}

// Member names and types of the stored file, in order; empty when it does not parse.
std::vector<std::pair<std::string, rapidjson::Type>> Shape(const std::string& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag>(text.c_str(), text.size());
  std::vector<std::pair<std::string, rapidjson::Type>> shape;
  if (document.HasParseError() || !document.IsObject()) return shape;
  for (const auto& member : document.GetObject()) {
    rapidjson::Type type = member.value.GetType();
    if (type == rapidjson::kTrueType) type = rapidjson::kFalseType;
    shape.emplace_back(std::string(member.name.GetString(), member.name.GetStringLength()), type);
  }
  return shape;
}

std::string StoredText(const std::string& text, const char* name) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag>(text.c_str(), text.size());
  if (document.HasParseError() || !document.IsObject() || !document.HasMember(name) || !document[name].IsString())
    return "<none>";
  return std::string(document[name].GetString(), document[name].GetStringLength());
}

// The reply's "Response"."Key" when it is text; "" otherwise.
std::string ReplyKey(const uint8_t* data, size_t size) {
  size_t at = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
  rapidjson::Document reply;
  reply.Parse<rapidjson::kParseIterativeFlag>(reinterpret_cast<const char*>(data + at), size - at);
  if (reply.HasParseError() || !reply.IsObject()) return "";
  auto response = reply.FindMember("Response");
  if (response == reply.MemberEnd() || !response->value.IsObject()) return "";
  auto key = response->value.FindMember("Key");
  if (key == response->value.MemberEnd() || !key->value.IsString()) return "";
  return std::string(key->value.GetString(), key->value.GetStringLength());
}

// Whether every text of the reply that the rotation stores ("Key" and the
// text settings, where the stored file has the member they go to) is UTF-8.
bool StoredTextsAreUtf8(const uint8_t* data, size_t size, const std::string& stored) {
  size_t at = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
  rapidjson::Document reply;
  reply.Parse<rapidjson::kParseIterativeFlag>(reinterpret_cast<const char*>(data + at), size - at);
  rapidjson::Document base;
  base.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag>(stored.c_str(), stored.size());
  if (reply.HasParseError() || !reply.IsObject() || base.HasParseError() || !base.IsObject()) return true;
  auto response = reply.FindMember("Response");
  if (response == reply.MemberEnd() || !response->value.IsObject()) return true;
  const std::pair<const char*, const char*> stored_texts[] = {
      {"Key", "NewKey"},         {"ProtocolVersion", "ProtocolVersion"}, {"CompanyId", "CompanyId"},
      {"ShopId", "ShopId"},      {"HelloUrl", "HelloUrl"},               {"DeviceId", "DeviceId"},
      {"CameraId", "CameraId"},  {"ConfigUrl", "ConfigUrl"}};
  for (const auto& names : stored_texts) {
    auto value = response->value.FindMember(names.first);
    if (value == response->value.MemberEnd() || !value->value.IsString() || !base.HasMember(names.second)) continue;
    if (!zq_camera_service::json::ValidUtf8(value->value.GetString(), value->value.GetStringLength())) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  const std::string directory = zq_fuzz::ScratchDirectory("auth_reply") + "/";
  BasePath() = directory + "BaseConfig.json";
  zq_fuzz::WriteWholeFile(BasePath(), zq_test::DefaultBaseConfig());
  zq_fuzz::WriteWholeFile(directory + "VersionConfig.json", zq_test::VersionConfig(3));
  ConfigManager::GetInstance()->LoadConfigs(directory);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static AuthService* service = new AuthService();
  const std::string before = zq_fuzz::ReadWholeFile(BasePath());
  const auto shape = Shape(before);
  FUZZ_CHECK(!shape.empty());
  const std::string used_key = service->ParseKey();
  FUZZ_CHECK(used_key == StoredText(before, "NewKey"));
  const std::string key_before = service->CloudKey();

  const int result = service->HandleAuthReply(reinterpret_cast<const char*>(data), static_cast<int>(size), used_key,
                                              AuthService::kMacText, "signature", "1700000000");
  const std::string after = zq_fuzz::ReadWholeFile(BasePath());
  if (size == 0) FUZZ_CHECK(result == -2);
  FUZZ_CHECK(result == 0 || result == -2 || result == AuthService::kReplyNotJson ||
             result == AuthService::kReplyRefused);
  if (result != 0) {
    FUZZ_CHECK(after == before);
    FUZZ_CHECK(service->CloudKey() == key_before);
    return 0;
  }

  FUZZ_CHECK(Shape(after) == shape);
  const std::string reply_key = ReplyKey(data, size);
  FUZZ_CHECK(service->CloudKey() == reply_key);
  if (!reply_key.empty() && reply_key != used_key && StoredTextsAreUtf8(data, size, before)) {
    FUZZ_CHECK(StoredText(after, "NewKey") == reply_key);
    FUZZ_CHECK(StoredText(after, "OldKey") == used_key);
  } else {
    FUZZ_CHECK(after == before);
  }
  return 0;
}
