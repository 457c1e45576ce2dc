#include "fakes/cloud_backend_fake.h"

#include <thread>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/md5.h"

namespace zq_test {

namespace {

std::string StringOf(const rapidjson::Value& object, const char* name) {
  auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsString()) return "";
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

long long NumberOf(const rapidjson::Value& object, const char* name, bool* present = nullptr) {
  auto it = object.FindMember(name);
  bool ok = it != object.MemberEnd() && it->value.IsInt64();
  if (present != nullptr) *present = ok;
  return ok ? it->value.GetInt64() : 0;
}

bool ParseObject(rapidjson::Document& document, const std::string& body) {
  document.Parse<rapidjson::kParseIterativeFlag>(body.data(), body.size());
  return !document.HasParseError() && document.IsObject();
}

// Polls a condition on the fake's own records; the records change on the
// server's threads, so a short bounded poll keeps the fake simple.
template <typename Condition>
bool WaitUntil(std::chrono::milliseconds timeout, Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

CloudBackendFake::CloudBackendFake(std::string expected_key, CloudSettings settings, uint16_t port)
    : expected_key_(std::move(expected_key)), settings_(std::move(settings)), server_(HttpFakeServer::Scheme::kHttp, port) {
  server_.SetHandler("POST", kAuthPath, [this](const HttpRequestRecord& record) { return AnswerAuth(record); });
  for (const char* path : {kHeartbeatPath, kMonitorPath, kWarningPath, kPicturePath}) {
    server_.SetReply("POST", path, HttpReply::Json("{\"Response\":{}}"));
  }
}

std::string CloudBackendFake::ExpectedKey() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return expected_key_;
}

void CloudBackendFake::SetExpectedKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  expected_key_ = key;
}

std::string CloudBackendFake::CloudKey() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cloud_key_;
}

CloudSettings CloudBackendFake::Settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void CloudBackendFake::SetSettings(const CloudSettings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
}

std::string CloudBackendFake::AcceptReplyBody() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return AcceptReplyBodyLocked();
}

std::string CloudBackendFake::AcceptReplyBodyLocked() const { return AcceptReplyBodyFor(settings_); }

std::string CloudBackendFake::AcceptReplyBodyFor(const CloudSettings& s) const {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  auto text = [&](const char* name, const std::string& value) {
    writer.Key(name);
    writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  };
  auto number = [&](const char* name, int value) {
    writer.Key(name);
    writer.Int(value);
  };
  writer.StartObject();
  writer.Key("Response");
  writer.StartObject();
  text("Key", s.key);
  text("ProtocolVersion", s.protocol_version);
  text("CompanyId", s.company_id);
  number("ShopId", s.shop_id);
  text("HelloUrl", s.hello_url.empty() ? server_.url() : s.hello_url);
  text("DeviceId", s.device_id);
  text("CameraId", s.camera_id);
  text("ConfigUrl", s.config_url.empty() ? server_.url() : s.config_url);
  number("GetConfTimeGap", s.get_conf_time_gap);
  number("HeartbeatGap", s.heartbeat_gap);
  number("HelloTimeGap", s.hello_time_gap);
  if (s.soft_update_version != 0) {
    number("SoftUpdateVersion", s.soft_update_version);
    text("SoftUpdateUrl", s.soft_update_url);
    text("SoftUpdateMD5", s.soft_update_md5);
  }
  writer.EndObject();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string CloudBackendFake::ErrorBody(const std::string& code, const std::string& message) const {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("Response");
  writer.StartObject();
  writer.Key("Error");
  writer.StartObject();
  writer.Key("Code");
  writer.String(code.c_str());
  writer.Key("Message");
  writer.String(message.c_str());
  writer.EndObject();
  writer.EndObject();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void CloudBackendFake::QueueAuthAccept() {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({Scripted::Kind::kAccept, HttpReply()});
}

void CloudBackendFake::QueueAuthError(const std::string& code, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({Scripted::Kind::kError, HttpReply::Json(ErrorBody(code, message))});
}

void CloudBackendFake::QueueAuthReply(HttpReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({Scripted::Kind::kReply, std::move(reply)});
}

void CloudBackendFake::QueueAuthAcceptShaped(BodyShape shape, std::optional<CloudSettings> settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back({Scripted::Kind::kAccept, HttpReply(), std::move(shape), std::move(settings)});
}

std::string CloudBackendFake::ErrorReplyBody(const std::string& code, const std::string& message) const {
  return ErrorBody(code, message);
}

HttpReply CloudBackendFake::AnswerAuth(const HttpRequestRecord& record) {
  CloudAuthRequest request;
  request.body = record.body;
  request.content_type = record.Header("Content-Type");
  request.arrival = record.arrival;
  rapidjson::Document document;
  request.is_json = ParseObject(document, record.body);
  bool has_timestamp = false;
  if (request.is_json) {
    request.mac = StringOf(document, "Mac");
    request.request_id = StringOf(document, "RequestId");
    request.signature = StringOf(document, "Signature");
    request.timestamp = NumberOf(document, "TimeStamp", &has_timestamp);
    request.soft_version = NumberOf(document, "SoftVersion");
  }

  std::lock_guard<std::mutex> lock(mutex_);
  request.signed_with = expected_key_;
  request.signature_valid =
      has_timestamp && request.signature == Sign(expected_key_, request.mac, std::to_string(request.timestamp));

  HttpReply reply;
  const CloudSettings* handed_out = &settings_;
  Scripted next{Scripted::Kind::kReply, HttpReply()};
  if (!script_.empty()) {
    next = std::move(script_.front());
    script_.pop_front();
    request.accepted = next.kind == Scripted::Kind::kAccept;
    if (next.settings) handed_out = &*next.settings;
    if (request.accepted) {
      std::string body = AcceptReplyBodyFor(*handed_out);
      reply = HttpReply::Json(next.shape ? next.shape(body) : std::move(body));
    } else {
      reply = std::move(next.reply);
    }
  } else if (request.signature_valid) {
    request.accepted = true;
    reply = HttpReply::Json(AcceptReplyBodyLocked());
  } else {
    reply = HttpReply::Json(ErrorBody("InvalidSignature", "signature does not match the device key"));
  }
  if (request.accepted) {
    cloud_key_ = handed_out->key;
    if (!handed_out->key.empty()) expected_key_ = handed_out->key;
  }
  auth_requests_.push_back(std::move(request));
  return reply;
}

std::vector<CloudAuthRequest> CloudBackendFake::AuthRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return auth_requests_;
}

bool CloudBackendFake::WaitForAuthRequests(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil(timeout, [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return auth_requests_.size() >= count;
  });
}

bool CloudBackendFake::WaitForAccepted(size_t count, std::chrono::milliseconds timeout) const {
  return WaitUntil(timeout, [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t accepted = 0;
    for (const auto& request : auth_requests_) accepted += request.accepted ? 1 : 0;
    return accepted >= count;
  });
}

CloudReport CloudBackendFake::ToReport(const HttpRequestRecord& record) const {
  CloudReport report;
  report.raw = record;
  rapidjson::Document document;
  report.is_json = ParseObject(document, record.body);
  if (!report.is_json) return report;
  report.key = StringOf(document, "Key");
  report.request_id = StringOf(document, "RequestId");
  bool has_timestamp = false;
  long long timestamp = NumberOf(document, "TimeStamp", &has_timestamp);
  std::string key = CloudKey();
  report.signature_valid = has_timestamp && report.key == key &&
                           StringOf(document, "Signature") ==
                               Sign(key, StringOf(document, "Mac"), std::to_string(timestamp));
  return report;
}

std::vector<CloudReport> CloudBackendFake::Reports(const std::string& path) const {
  std::vector<CloudReport> reports;
  for (const auto& record : server_.RequestsTo(path)) reports.push_back(ToReport(record));
  return reports;
}

bool CloudBackendFake::WaitForReports(const std::string& path, size_t count, std::chrono::milliseconds timeout) const {
  return server_.WaitForRequestsTo(path, count, timeout);
}

std::string CloudBackendFake::AuthBody(const std::string& mac, int soft_version, const std::string& request_id,
                                       const std::string& signature, long long timestamp) {
  const std::string nine(9, ' ');
  return "{" + nine + "\"ProtocolVersion\":1," + nine + "\"Mac\":\"" + mac + "\"," + nine + "\"HardVersion\":2," +
         nine + "\"SoftVersion\":" + std::to_string(soft_version) + "," + nine + "\"RequestId\":\"" + request_id +
         "\"," + nine + "\"Signature\":\"" + signature + "\"," + nine + "\"TimeStamp\":" + std::to_string(timestamp) +
         std::string(5, ' ') + "}";
}

std::string CloudBackendFake::Sign(const std::string& key, const std::string& mac, const std::string& timestamp) {
  return md5("Key=" + key + "&Mac=" + mac + "&TimeStamp=" + timestamp);
}

}  // namespace zq_test
