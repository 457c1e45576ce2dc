// The signed common header of AuthService: composed afresh for every
// business request from the accepted authentication reply.
#include "base/json_escape.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/md5.h"
#include "base/secret_mask.h"
#include "base/utils.h"
#include "service/auth_service.h"

namespace zq_camera_service {

namespace {

// The header text; `escaped_key` is already in its JSON-escaped form.
// The back ends expect this text byte for byte, blanks included. Values are
// escaped, so a quote in a reply value can neither break the header nor add
// members to it; ordinary values come out unchanged.
std::string FormatHeader(const std::string& mac_text, const std::string& escaped_key, const std::string& company_id,
                         int shop_id, const std::string& request_id, const std::string& signature_text,
                         const std::string& timestamp_text) {
  return Utils::StringFormat(
      "{                                 \"ProtocolVersion\":%s,"
      "                                 \"Mac\":\"%s\","
      "                                 \"Key\":\"%s\","
      "                                 \"CompanyId\":\"%s\","
      "                                 \"ShopId\":%d,"
      "                                 \"RequestId\":\"%s\","
      "                                 \"Signature\":\"%s\","
      "                                 \"TimeStamp\":%s"
      "                                 }",
      "1", json::Escape(mac_text).c_str(), escaped_key.c_str(), json::Escape(company_id).c_str(), shop_id,
      json::Escape(request_id).c_str(), json::Escape(signature_text).c_str(), timestamp_text.c_str());
}

}  // namespace

std::string AuthService::GetSignature(const std::string& key, const std::string& mac, const std::string& timestamp) {
  // The log shows the pre-image with the key's place masked, and nothing
  // else changed: masking the key's text wherever it occurs would also hit
  // the MAC text or the time stamp when a short key happens to match them.
  if (zq_log_enabled(3)) {
    zq_info("%s", ("Key=" + std::string(kSecretMaskText) + "&Mac=" + mac + "&TimeStamp=" + timestamp).c_str());
  }
  return md5("Key=" + key + "&Mac=" + mac + "&TimeStamp=" + timestamp);
}

std::string AuthService::ComposeNewMessage(const rapidjson::Document& reply, const std::string& /*key*/,
                                           const std::string& mac_text, const std::string& signature_text,
                                           const std::string& timestamp_text) {
  std::string request_id = TakeRequestId();

  std::string reply_key;
  std::string company_id;
  int shop_id = 0;
  if (const rapidjson::Value* response = json::GetObject(reply, "Response")) {
    json::GetString(*response, "Key", &reply_key);
    json::GetString(*response, "CompanyId", &company_id);
    if (!json::GetInt(*response, "ShopId", &shop_id)) shop_id = 0;
  }

  std::string text = FormatHeader(mac_text, json::Escape(reply_key), company_id, shop_id, request_id, signature_text,
                                  timestamp_text);
  // The log shows the same header with the key's place masked.
  if (zq_log_enabled(4)) {
    zq_print("Auth Response %s\n",
             FormatHeader(mac_text, kSecretMaskText, company_id, shop_id, request_id, signature_text, timestamp_text)
                 .c_str());
  }
  return text;
}

int AuthService::GetMessageToCompose(rapidjson::Document& document) {
  // Only reads of the accepted reply here: several threads compose at once.
  const rapidjson::Document& reply = auth_reply;
  const rapidjson::Value* response = json::GetObject(reply, "Response");
  if (response == nullptr || json::Find(*response, "Error") != nullptr) return -1;
  // Before this exchange with the cloud, a rotated key that could not be
  // saved gets another chance.
  SaveUnsavedRotation();

  std::string now = Utils::GetTimeStamp();
  std::string header_signature = GetSignature(cloud_key, mac, now);
  std::string text = ComposeNewMessage(reply, cloud_key, mac, header_signature, now);
  // On a parse error RapidJSON leaves the document as it was. The reply's
  // texts are bytes as the cloud sent them (a company name in a legacy
  // encoding goes back as it came).
  if (!json::Parse<json::kOutsideBytesFlags>(document, text.data(), text.size())) {
    zq_error("Parse response failed\n");
  }
  return 0;
}

}  // namespace zq_camera_service
