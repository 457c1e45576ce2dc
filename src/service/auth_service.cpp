#include "service/auth_service.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/config_manager.h"
#include "base/json_log_text.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/secret_mask.h"
#include "base/utils.h"
#include "business/kw_cloud_upgrade_business.h"
#include "service/net_helper.h"
#include "service/net_message.h"

namespace zq_camera_service {

namespace {

// Settings the key rotation copies from the reply into BaseConfig.json.
const char* const kRotatedTextKeys[] = {"ProtocolVersion", "CompanyId", "ShopId", "HelloUrl",
                                        "DeviceId",        "CameraId",  "ConfigUrl"};
const char* const kRotatedIntegerKeys[] = {"GetConfTimeGap", "HeartbeatGap", "HelloTimeGap"};
constexpr int kUpdateKeyTime = 90;
constexpr int kOldKeyExpireTime = 10;

// The reply's texts the rotation would write, by the name they have in the
// reply: "Key" (stored as "NewKey") and the text settings, each only when
// it is text and BaseConfig.json has the member it goes to. The first that
// is not valid UTF-8, or null when every one is.
const char* FirstStoredTextNotUtf8(const rapidjson::Value& response, const rapidjson::Value& base) {
  auto not_utf8 = [&](const char* reply_name, const char* stored_name) {
    const rapidjson::Value* value = json::Find(response, reply_name);
    return value != nullptr && value->IsString() && json::Find(base, stored_name) != nullptr &&
           !json::ValidUtf8(value->GetString(), value->GetStringLength());
  };
  if (not_utf8("Key", "NewKey")) return "Key";
  for (const char* name : kRotatedTextKeys) {
    if (not_utf8(name, name)) return name;
  }
  return nullptr;
}

// Parses exactly `length` reply bytes. Some back ends put a UTF-8 byte order
// mark in front of the object. A NUL byte cannot stand in valid JSON text,
// and the parser would take one for the end of the text and accept whatever
// trails it, so a reply holding one does not parse. Neither does one nested
// too deeply to be shown in the log. Strings are taken as bytes: back ends
// write message texts in legacy encodings, and only the texts the rotation
// stores must be UTF-8 (checked there).
bool ParseReply(rapidjson::Document& document, const char* data, size_t length) {
  static const char kByteOrderMark[] = "\xEF\xBB\xBF";
  if (length >= 3 && memcmp(data, kByteOrderMark, 3) == 0) {
    data += 3;
    length -= 3;
  }
  if (memchr(data, '\0', length) != nullptr) return false;
  return json::ParseWritable<json::kOutsideBytesFlags>(document, data, length);
}

std::string StringOr(const rapidjson::Value* object, const char* name, const std::string& fallback) {
  std::string value;
  if (object != nullptr && json::GetString(*object, name, &value)) return value;
  return fallback;
}

// Sets a member the document already has; a member it lacks is not added.
void SetExisting(rapidjson::Document& document, const char* name, rapidjson::Value value) {
  rapidjson::Value* existing = json::Find(document, name);
  if (existing != nullptr) *existing = value;
}

void SetExistingString(rapidjson::Document& document, const char* name, const std::string& text) {
  SetExisting(document, name,
              rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), document.GetAllocator()));
}

// The reply as text for the log, as much of it as a line keeps. The key it
// hands out and the key the request was signed with read "***" wherever
// they stand in its strings ("Key", an error message naming the key);
// names' places, numbers and the layout stay as the reply has them,
// whatever the keys' texts.
std::string ReplyTextForLog(const rapidjson::Value& reply, const std::string& used_key) {
  const std::string new_key = StringOr(json::GetObject(reply, "Response"), "Key", "");
  return json::LogText(reply, SecretMask({new_key, used_key}));
}

// What later steps read of a reply: the common header takes "Key",
// "CompanyId" and "ShopId" from "Response", and a refusal ("Error", whatever
// its value) must keep refusing headers. Members of another type than those
// readers take read as absent there, so they are left out here as well.
// Nothing else of a reply is kept for the life of the process.
void KeepWhatHeadersRead(rapidjson::Document& reply) {
  rapidjson::Document kept;
  kept.SetObject();
  if (const rapidjson::Value* response = json::GetObject(reply, "Response")) {
    rapidjson::Value members(rapidjson::kObjectType);
    auto& allocator = kept.GetAllocator();
    for (const char* name : {"Key", "CompanyId"}) {
      const rapidjson::Value* text = json::Find(*response, name);
      if (text != nullptr && text->IsString()) {
        members.AddMember(rapidjson::StringRef(name), rapidjson::Value(*text, allocator), allocator);
      }
    }
    const rapidjson::Value* shop = json::Find(*response, "ShopId");
    if (shop != nullptr && shop->IsInt()) members.AddMember("ShopId", shop->GetInt(), allocator);
    if (json::Find(*response, "Error") != nullptr) members.AddMember("Error", rapidjson::Value(), allocator);
    kept.AddMember("Response", members, allocator);
  }
  reply.Swap(kept);  // the whole reply goes with `kept`
}

}  // namespace

AuthService::AuthService() = default;

int AuthService::StartService() {
  request_counter.store(1);
  {
    std::lock_guard<std::mutex> lock(stop_mutex);
    stop_requested = false;
  }
  int rc = LoadSettings();
  if (rc != 0) return rc;

  for (;;) {
    rc = RequestCommonConfig();
    if (rc == 0) break;
    zq_error("Failed to request auth message %d\n", rc);
    zq_error("Retry connect auth in %d second\n", kRetrySeconds);
    if (!WaitBeforeRetry()) return -1;
  }
  zq_info("Request common config succeed!\n");
  return 0;
}

int AuthService::StopService() {
  {
    std::lock_guard<std::mutex> lock(stop_mutex);
    stop_requested = true;
  }
  stop_cond.notify_all();
  return 0;
}

bool AuthService::WaitBeforeRetry() {
  std::unique_lock<std::mutex> lock(stop_mutex);
  return !stop_cond.wait_for(lock, retry_delay, [this] { return stop_requested; });
}

int AuthService::LoadSettings() {
  rapidjson::Document* base = nullptr;
  int rc = ConfigManager::GetInstance()->GetConfigBy(CONFIG_BASE, &base);
  if (rc != 0) {
    zq_error("Failed to get base config %d\n", rc);
    return rc;
  }
  config_url = StringOr(base, "ConfigUrl", "");

  rapidjson::Document* version = nullptr;
  rc = ConfigManager::GetInstance()->GetConfigBy(CONFIG_VERSION, &version);
  if (rc != 0) {
    zq_error("Failed to get base config %d\n", rc);
    return rc;
  }
  int value = 0;
  major = json::GetInt(*version, "major", &value) ? value : 0;
  return 0;
}

std::string AuthService::ParseKey() {
  rapidjson::Document* base = nullptr;
  if (ConfigManager::GetInstance()->GetConfigBy(CONFIG_BASE, &base) != 0) return "";
  return StringOr(base, "NewKey", "");
}

std::string AuthService::TakeRequestId() { return Utils::Int2Str(request_counter.fetch_add(1)); }

std::string AuthService::ComposeRequest(const std::string& signature, const std::string& timestamp,
                                        const std::string& mac, std::string request_id) {
  // The back end expects this text byte for byte, blanks included.
  return Utils::StringFormat(
      "{         \"ProtocolVersion\":%s,         \"Mac\":\"%s\",         \"HardVersion\":%s,"
      "         \"SoftVersion\":%d,         \"RequestId\":\"%s\",         \"Signature\":\"%s\","
      "         \"TimeStamp\":%s     }",
      "1", mac.c_str(), "2", static_cast<int>(major), request_id.c_str(), signature.c_str(), timestamp.c_str());
}

int AuthService::RequestCommonConfig() {
  std::string key = ParseKey();
  std::string mac_text = kMacText;
  std::string stamp = Utils::GetTimeStamp();
  std::string request_signature = GetSignature(key, mac_text, stamp);
  std::string body = ComposeRequest(request_signature, stamp, mac_text, TakeRequestId());
  // The body carries the key's signature, never the key itself.
  zq_info("Request message %s\n", body.c_str());

  NetMessage request;
  request.SetBody(body);
  request.url = config_url + kAuthPath;
  request.header = "Content-Type: application/json";
  request.method = "post";
  request.timeout = 5;
  NetMessage reply;
  NetHelper::GetInstance()->SendSyncMessage(request, reply);

  // Never read past the bytes the record owns, whatever data_len says.
  int length = reply.data_len;
  if (length > 0 && reply.data) length = static_cast<int>(reply.ReplyLength());
  return HandleAuthReply(reply.data.get(), length, key, mac_text, request_signature, stamp);
}

int AuthService::HandleAuthReply(const char* data, int data_len, const std::string& used_key,
                                 const std::string& mac_text, const std::string& request_signature,
                                 const std::string& request_timestamp) {
  if (data_len <= 0) {
    puts("Auth Request failed");
    return -2;
  }
  if (data == nullptr) {
    zq_error("Request failed : response data is null\n");
    return -1;
  }
  // A reply that does not parse leaves the last one that did in place.
  rapidjson::Document parsed;
  if (!ParseReply(parsed, data, static_cast<size_t>(data_len))) {
    zq_error("Parse json failed\n");
    return kReplyNotJson;
  }
  auth_reply.Swap(parsed);

  const rapidjson::Value* response = json::GetObject(auth_reply, "Response");
  if (response == nullptr || json::Find(*response, "Error") != nullptr) {
    if (zq_log_enabled(1)) zq_error("Net response error: \n%s\n", ReplyTextForLog(auth_reply, used_key).c_str());
    KeepWhatHeadersRead(auth_reply);
    return kReplyRefused;
  }

  if (zq_log_enabled(3)) zq_info("auth response: %s\n", ReplyTextForLog(auth_reply, used_key).c_str());
  writeMap(used_key);
  cloud_key = StringOr(response, "Key", "");
  mac = mac_text;
  signature = request_signature;
  timestamp = request_timestamp;
  HandOverAnnouncedUpdate(*response);
  KeepWhatHeadersRead(auth_reply);
  return 0;
}

void AuthService::HandOverAnnouncedUpdate(const rapidjson::Value& response) {
  int version = 0;
  if (!json::GetInt(response, "SoftUpdateVersion", &version)) version = 0;
  // Inequality, not newer-than: the upgrade path itself refuses a package
  // whose major version is not greater.
  if (version == 0 || version == major) {
    zq_info("No need update : softversion-%d\n", version);
    return;
  }
  std::string url = StringOr(&response, "SoftUpdateUrl", "");
  zq_info("777\n");
  std::string md5 = StringOr(&response, "SoftUpdateMD5", "");
  zq_info("888\n");
  zq_info("Need update: %s \n%s\n", url.c_str(), md5.c_str());
  // Without a package URL and its digest the download could only fail (or
  // fetch something unverifiable); a NUL inside either would silently cut it.
  if (url.empty() || md5.empty() || url.find('\0') != std::string::npos || md5.find('\0') != std::string::npos) {
    zq_error("Update to %d not handed over: package url or md5 missing\n", version);
    return;
  }
  KwCloudUpgradeBusiness::StartUpdate(url.c_str(), md5.c_str());
}

void AuthService::writeMap(const std::string& used_key) {
  const rapidjson::Value* response = json::GetObject(auth_reply, "Response");
  std::string new_key = StringOr(response, "Key", "");
  if (new_key.empty() || new_key == used_key) return;

  rapidjson::Document* base = nullptr;
  if (ConfigManager::GetInstance()->GetConfigBy(CONFIG_BASE, &base) != 0) return;

  // BaseConfig.json stays strict JSON: a text that is not UTF-8 would make
  // it unreadable to strict readers, and a half-rotated document (new key,
  // old settings) would be worse than the old one, so nothing is written.
  if (const char* name = FirstStoredTextNotUtf8(*response, *base)) {
    zq_error("Rotated key not saved to base config: \"%s\" of the reply is not UTF-8 text\n", name);
    return;
  }

  for (const char* name : kRotatedTextKeys) {
    std::string text;
    if (json::GetString(*response, name, &text)) SetExistingString(*base, name, text);
  }
  for (const char* name : kRotatedIntegerKeys) {
    int number = 0;
    // A missing "HeartbeatGap" written as 0 would make every loop pass send a
    // heartbeat, across restarts: a member the reply lacks keeps its value.
    if (json::GetInt(*response, name, &number)) SetExisting(*base, name, rapidjson::Value(number));
  }
  SetExistingString(*base, "OldKey", used_key);
  SetExistingString(*base, "NewKey", new_key);
  SetExisting(*base, "update_key_time", rapidjson::Value(kUpdateKeyTime));
  SetExisting(*base, "old_key_expire_time", rapidjson::Value(kOldKeyExpireTime));

  int rc = ConfigManager::GetInstance()->UpdateConfigBy(CONFIG_BASE, base);
  if (rc != 0) zq_error("Failed to save rotated key to base config %d\n", rc);
  // Without a later save the next start would sign with the key the cloud
  // has just replaced.
  KeepUnsavedRotation(rc == 0, ConfigManager::GetInstance()->GetConfigPathBy(CONFIG_BASE),
                      rc == 0 ? std::string() : Utils::DocumentToString(*base));
}

void AuthService::KeepUnsavedRotation(bool saved, const std::string& path, const std::string& text) {
  std::lock_guard<std::mutex> lock(unsaved_mutex);
  if (saved) {
    unsaved = UnsavedRotation();
  } else {
    unsaved.path = path;
    unsaved.text = text;
    unsaved.delay = first_save_retry;
    unsaved.next_try = std::chrono::steady_clock::now() + unsaved.delay;
  }
  save_pending.store(!saved);
}

void AuthService::SaveUnsavedRotation() {
  if (!save_pending.load()) return;
  std::string path;
  std::string text;
  {
    std::lock_guard<std::mutex> lock(unsaved_mutex);
    if (!save_pending.load() || save_in_progress || std::chrono::steady_clock::now() < unsaved.next_try) return;
    save_in_progress = true;
    path = unsaved.path;
    text = unsaved.text;
  }
  // The file's own lock and write-aside guard the file; no lock of this
  // service is held meanwhile.
  const ConfigWrite written = ConfigManager::WriteConfigFile(path, text);
  const int error = errno;
  std::chrono::milliseconds delay{0};
  {
    std::lock_guard<std::mutex> lock(unsaved_mutex);
    save_in_progress = false;
    if (written == ConfigWrite::kWritten) {
      // A rotation that came meanwhile replaced (or cleared) what was tried.
      if (unsaved.text == text) {
        unsaved = UnsavedRotation();
        save_pending.store(false);
      }
    } else {
      unsaved.delay = std::min(std::max(unsaved.delay * 2, first_save_retry), kLongestSaveRetry);
      unsaved.next_try = std::chrono::steady_clock::now() + unsaved.delay;
      delay = unsaved.delay;
    }
  }
  if (written == ConfigWrite::kWritten) {
    zq_info("Rotated key saved to base config\n");
  } else {
    zq_error("Rotated key still not saved to base config: write file %s failed with %s, next try in %lld s\n",
             path.c_str(), strerror(error), static_cast<long long>((delay.count() + 999) / 1000));
  }
}

}  // namespace zq_camera_service

