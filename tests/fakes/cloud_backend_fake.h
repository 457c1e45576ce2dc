// A stand-in for the KwCloud back end on the HTTP/1.1 fake server: the
// authentication endpoint, which checks the request's signature against the
// key it expects and answers with a key and settings (or with scripted
// replies), and the report and picture endpoints, which record what they
// receive and can check the common header's signature.
//
//   zq_test::CloudBackendFake cloud;           // accepts "initial-key", hands it back
//   root.WriteBaseConfig(zq_test::CloudBaseConfig(cloud));
//   ... start the service ...
//   ASSERT_TRUE(cloud.WaitForAccepted(1, 10s));
//   auto heartbeats = cloud.Reports(zq_test::CloudBackendFake::kHeartbeatPath);
//   EXPECT_TRUE(heartbeats[0].signature_valid);
//
// By default every authentication request signed with the expected key is
// accepted and every other one gets an "Error" reply; scripted replies
// (QueueAuth*) are answered first, in order.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fakes/http_fake_server.h"

namespace zq_test {

// What an accepting authentication reply hands out in "Response".
struct CloudSettings {
  std::string key = "initial-key";  // "Key"; the device signs its headers with it
  std::string protocol_version = "1.0";
  std::string company_id = "company-1";
  int shop_id = 7;  // sent as a JSON number: the common header reads an integer
  std::string device_id = "device-1";
  std::string camera_id = "3";
  std::string hello_url;   // "HelloUrl"; "" gives the fake's own URL
  std::string config_url;  // "ConfigUrl"; "" gives the fake's own URL
  int get_conf_time_gap = 60;
  int heartbeat_gap = 20;
  int hello_time_gap = 60;
  int soft_update_version = 0;  // "SoftUpdateVersion" and the two below are sent when not 0
  std::string soft_update_url;
  std::string soft_update_md5;
};

// One authentication request as the fake received it.
struct CloudAuthRequest {
  std::string body;  // raw bytes
  std::string content_type;
  std::chrono::steady_clock::time_point arrival;
  bool is_json = false;  // the body parsed as a JSON object
  std::string mac;
  std::string request_id;
  std::string signature;
  long long timestamp = 0;
  long long soft_version = 0;
  std::string signed_with;   // the key the fake expected when it arrived
  bool signature_valid = false;  // Signature = md5("Key=" + signed_with + "&Mac=" + Mac + "&TimeStamp=" + TimeStamp)
  bool accepted = false;     // the fake's answer accepted the device
};

// One request to a report or picture endpoint: its body with the common
// header at the top.
struct CloudReport {
  HttpRequestRecord raw;
  bool is_json = false;
  std::string key;         // "Key" of the body
  std::string request_id;  // "RequestId" of the body
  // "Key" is the key the fake handed out last and Signature = md5("Key=" + key +
  // "&Mac=" + Mac + "&TimeStamp=" + TimeStamp).
  bool signature_valid = false;
};

class CloudBackendFake {
 public:
  static constexpr const char* kAuthPath = "/config/DescribeCommonConfig";
  static constexpr const char* kHeartbeatPath = "/Report/ReportHeartbeat";
  static constexpr const char* kMonitorPath = "/Report/ReportMonitorInfo";
  static constexpr const char* kWarningPath = "/Report/ReportWarning";
  static constexpr const char* kPicturePath = "/upload/CatchCameraPic";

  // Expects requests signed with `expected_key` and, accepting, hands out
  // `settings` (whose key may differ: the device then rotates to it).
  explicit CloudBackendFake(std::string expected_key = "initial-key", CloudSettings settings = {},
                            uint16_t port = 0);
  CloudBackendFake(const CloudBackendFake&) = delete;
  CloudBackendFake& operator=(const CloudBackendFake&) = delete;

  std::string url() const { return server_.url(); }
  uint16_t port() const { return server_.port(); }
  // The server underneath: raw request records, and replies of the report
  // endpoints (each answers {"Response":{}} until scripted otherwise).
  HttpFakeServer& server() { return server_; }

  // The key authentication requests must be signed with. After an accepted
  // reply it becomes the key that reply handed out, as a restarted device
  // signs with its rotated key.
  std::string ExpectedKey() const;
  void SetExpectedKey(const std::string& key);
  // The key the last accepted reply handed out ("" before any); report
  // headers must carry and be signed with it.
  std::string CloudKey() const;
  CloudSettings Settings() const;
  void SetSettings(const CloudSettings& settings);

  // The text of an accepting reply with the current settings.
  std::string AcceptReplyBody() const;
  // Scripted answers to the next authentication requests, in order.
  void QueueAuthAccept();  // accepts whatever the signature
  void QueueAuthError(const std::string& code = "AuthFailure", const std::string& message = "refused");
  void QueueAuthReply(HttpReply reply);  // status, garbage, byte order mark, stall, drop...
  // An accepting reply whose text is `shape` of the accepting text (padded,
  // wrapped...), handing out `settings` instead of the current ones when
  // given (a key with odd bytes, say). Accepts whatever the signature and
  // counts as accepted, like QueueAuthAccept.
  using BodyShape = std::function<std::string(const std::string& accept_body)>;
  void QueueAuthAcceptShaped(BodyShape shape, std::optional<CloudSettings> settings = std::nullopt);
  // The text of a refusing reply ({"Response":{"Error":{...}}}), for
  // scripting shaped refusals with QueueAuthReply.
  std::string ErrorReplyBody(const std::string& code = "AuthFailure", const std::string& message = "refused") const;

  std::vector<CloudAuthRequest> AuthRequests() const;
  bool WaitForAuthRequests(size_t count, std::chrono::milliseconds timeout) const;
  // Waits until `count` authentication requests have been accepted.
  bool WaitForAccepted(size_t count, std::chrono::milliseconds timeout) const;

  std::vector<CloudReport> Reports(const std::string& path) const;
  bool WaitForReports(const std::string& path, size_t count, std::chrono::milliseconds timeout) const;

  // Expected authentication body for the given fields, byte for byte.
  static std::string AuthBody(const std::string& mac, int soft_version, const std::string& request_id,
                              const std::string& signature, long long timestamp);
  static std::string Sign(const std::string& key, const std::string& mac, const std::string& timestamp);

  void Stop() { server_.Stop(); }

 private:
  struct Scripted {
    enum class Kind { kAccept, kError, kReply } kind;
    HttpReply reply;
    BodyShape shape{};                        // kAccept: applied to the accepting text
    std::optional<CloudSettings> settings{};  // kAccept: handed out instead of settings_
  };

  HttpReply AnswerAuth(const HttpRequestRecord& record);
  std::string AcceptReplyBodyLocked() const;
  std::string AcceptReplyBodyFor(const CloudSettings& settings) const;
  std::string ErrorBody(const std::string& code, const std::string& message) const;
  CloudReport ToReport(const HttpRequestRecord& record) const;

  mutable std::mutex mutex_;
  std::string expected_key_;
  std::string cloud_key_;
  CloudSettings settings_;
  std::deque<Scripted> script_;
  std::vector<CloudAuthRequest> auth_requests_;
  // Declared last: its threads call back into the members above, so it is
  // stopped (destroyed) first.
  HttpFakeServer server_;
};

}  // namespace zq_test
