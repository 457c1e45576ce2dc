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

std::string AuthService::GetSignature(const std::string& key, const std::string& mac, const std::string& timestamp) {
  std::string preimage = "Key=" + key + "&Mac=" + mac + "&TimeStamp=" + timestamp;
  zq_info("%s", MaskSecret(preimage, key).c_str());
  return md5(preimage);
}

std::string AuthService::ComposeNewMessage(const rapidjson::Document& reply, const std::string& key,
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

  // The back ends expect this text byte for byte, blanks included. Values are
  // escaped, so a quote in a reply value can neither break the header nor
  // add members to it; ordinary values come out unchanged.
  std::string text = Utils::StringFormat(
      "{                                 \"ProtocolVersion\":%s,"
      "                                 \"Mac\":\"%s\","
      "                                 \"Key\":\"%s\","
      "                                 \"CompanyId\":\"%s\","
      "                                 \"ShopId\":%d,"
      "                                 \"RequestId\":\"%s\","
      "                                 \"Signature\":\"%s\","
      "                                 \"TimeStamp\":%s"
      "                                 }",
      "1", json::Escape(mac_text).c_str(), json::Escape(reply_key).c_str(), json::Escape(company_id).c_str(),
      shop_id, json::Escape(request_id).c_str(), json::Escape(signature_text).c_str(), timestamp_text.c_str());

  zq_print("Auth Response %s\n", MaskSecret(MaskSecret(text, reply_key), key).c_str());
  return text;
}

int AuthService::GetMessageToCompose(rapidjson::Document& document) {
  // Only reads of the accepted reply here: several threads compose at once.
  const rapidjson::Document& reply = auth_reply;
  const rapidjson::Value* response = json::GetObject(reply, "Response");
  if (response == nullptr || json::Find(*response, "Error") != nullptr) return -1;

  std::string now = Utils::GetTimeStamp();
  std::string header_signature = GetSignature(cloud_key, mac, now);
  std::string text = ComposeNewMessage(reply, cloud_key, mac, header_signature, now);
  // On a parse error RapidJSON leaves the document as it was.
  if (!json::Parse<json::kOutsideTextFlags>(document, text.data(), text.size())) {
    zq_error("Parse response failed\n");
  }
  return 0;
}

}  // namespace zq_camera_service
