// Service 0: authenticates the device to the KwCloud back end once during
// start-up, rotates the key and settings the accepted reply hands out into
// BaseConfig.json, and afterwards composes the signed common header that
// starts every business request to a cloud back end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include <rapidjson/document.h>

#include "service/base_service.h"

namespace zq_camera_service {

class AuthService : public BaseService {
 public:
  // The device signs with this fixed MAC text, not its own hardware address.
  static constexpr const char* kMacText = "12:43:94:27:66:24";
  static constexpr const char* kAuthPath = "/config/DescribeCommonConfig";
  static constexpr int kRetrySeconds = 2;
  // Result codes of RequestCommonConfig besides 0, -1 and -2.
  static constexpr int kReplyNotJson = 0x5000001;
  static constexpr int kReplyRefused = 0x1000100;

  AuthService();

  // Loads the settings and authenticates, retrying every 2 s until the back
  // end accepts; 0, or the configuration manager's failure code when a
  // configuration document is missing (the service then stays
  // unauthenticated). Runs on the main thread and holds start-up up.
  int StartService() override;
  // Nothing in the system calls it. It ends a StartService that is still
  // retrying (that call then returns -1), so tests can stop a service they
  // started on a thread of their own.
  int StopService() override;

  // BaseConfig "NewKey"; "" when the document or the key is missing or not text.
  std::string ParseKey();
  // The authentication request body.
  std::string ComposeRequest(const std::string& signature, const std::string& timestamp, const std::string& mac,
                             std::string request_id);
  // One authentication round trip: 0 accepted, -2 no reply, -1 a reply length
  // without bytes, kReplyNotJson, kReplyRefused.
  int RequestCommonConfig();
  // Steps of RequestCommonConfig after the exchange: checks and parses the
  // reply (`data_len` bytes, no NUL needed), and when it is accepted rotates
  // the key, hands an announced update over and keeps what the common header
  // reads of it. Text that is not JSON is kReplyNotJson; its strings are
  // taken as bytes (only the texts writeMap stores must be UTF-8).
  // `used_key`, `mac`, `signature` and `timestamp` are those the request was
  // signed with.
  int HandleAuthReply(const char* data, int data_len, const std::string& used_key, const std::string& mac,
                      const std::string& signature, const std::string& timestamp);
  // The key rotation into BaseConfig.json, given the key the accepted request
  // was signed with. Writes only when the reply's key is new and not empty;
  // only members BaseConfig already has are changed, and a reply member that
  // is missing or of another type leaves the stored value as it is. Nothing
  // is written when a text it would store is not valid UTF-8 (the file must
  // stay strict JSON). A save that fails is tried again before later headers
  // (see GetMessageToCompose) until it lands.
  void writeMap(const std::string& used_key);

  // --- Common header ---------------------------------------------------------
  //
  // GetMessageToCompose contract (for every business request to a cloud back end):
  // - Call it once per request, from any thread, with a document of your own;
  //   it is safe to call concurrently.
  // - 0: `document` now holds a fresh JSON object with, in this order,
  //   "ProtocolVersion" (number 1), "Mac" (string), "Key" (string),
  //   "CompanyId" (string), "ShopId" (integer), "RequestId" (string, unique
  //   and increasing across the process), "Signature" (string, 32 lower-case
  //   hex digits) and "TimeStamp" (number, Unix seconds). Its previous
  //   content is replaced; add your own members after these with the
  //   document's allocator.
  // - -1: no accepted authentication stands behind it (the cloud never
  //   accepted the device, or a configuration document was missing): send
  //   nothing for this request. `document` is not touched.
  // - Read the members through type-checked access (base/json_member.h) all
  //   the same: a document whose composed text did not parse is left as it
  //   was, with the result 0.
  // - When the rotated key could not be saved, the first caller whose turn
  //   has come (a back-off after each failed try) saves it again first; the
  //   others go on without waiting.
  int GetMessageToCompose(rapidjson::Document& document);
  // Lower-case hexadecimal MD5 of "Key=" + key + "&Mac=" + mac + "&TimeStamp=" + timestamp.
  static std::string GetSignature(const std::string& key, const std::string& mac, const std::string& timestamp);
  // The header text from "Response" of `reply` ("Key", "CompanyId", "ShopId")
  // with the next RequestId; `key` is the same text as the reply's "Key",
  // which the header takes from the reply.
  std::string ComposeNewMessage(const rapidjson::Document& reply, const std::string& key, const std::string& mac,
                                const std::string& signature, const std::string& timestamp);

  // BaseConfig "ConfigUrl" and VersionConfig "major" into `config_url` and
  // `major` (first steps of StartService); 0 or the failure code.
  int LoadSettings();

  // Read-only views of the accepted state. AuthReply() holds what the common
  // header reads of the last reply that parsed: "Response" with its "Key",
  // "CompanyId" and "ShopId" (and "Error" as null when it was a refusal).
  const rapidjson::Document& AuthReply() const { return auth_reply; }
  const std::string& CloudKey() const { return cloud_key; }
  const std::string& Mac() const { return mac; }
  const std::string& Signature() const { return signature; }
  const std::string& TimeStamp() const { return timestamp; }
  const std::string& ConfigUrl() const { return config_url; }
  int32_t Major() const { return major; }
  int32_t NextRequestId() const { return request_counter.load(); }

  // Tests shorten the 2 s pause between attempts.
  void SetRetryDelay(std::chrono::milliseconds delay) { retry_delay = delay; }
  // Tests shorten the pause before the first new try of a failed key save
  // (each failed try doubles it, up to kLongestSaveRetry).
  void SetSaveRetryDelay(std::chrono::milliseconds delay) { first_save_retry = delay; }
  // Whether a rotated key still waits to be saved.
  bool RotatedKeySavePending() const { return save_pending.load(); }

  static constexpr std::chrono::milliseconds kFirstSaveRetry{2000};
  static constexpr std::chrono::milliseconds kLongestSaveRetry{60000};

 private:
  // Takes the current RequestId and advances the counter in one atomic step.
  std::string TakeRequestId();
  void HandOverAnnouncedUpdate(const rapidjson::Value& response);
  // Sleeps for the retry delay; false when StopService ended the wait.
  bool WaitBeforeRetry();
  // Remembers the text of a rotation whose save failed, or forgets an
  // earlier one when the save of a later rotation went through.
  void KeepUnsavedRotation(bool saved, const std::string& path, const std::string& text);
  // Saves a remembered rotation when its next try is due and no other thread
  // is at it; one line for each try.
  void SaveUnsavedRotation();

  std::string cloud_key;
  std::atomic<int32_t> request_counter{1};
  std::string mac;
  std::string signature;
  std::string timestamp;
  std::string config_url;
  int32_t major = 0;
  // Only what later steps read of the reply (see AuthReply), never the whole of it.
  rapidjson::Document auth_reply;

  std::chrono::milliseconds retry_delay{kRetrySeconds * 1000};

  // A rotated key whose save failed: the complete document text as the
  // rotation made it, and the path it goes to, taken on the main thread when
  // the save failed, so the threads that try again never read the shared
  // document (which a reload may replace by the old one from the flash).
  // Guarded by unsaved_mutex; only one thread at a time tries the save
  // (save_in_progress) and none holds the mutex while it does.
  struct UnsavedRotation {
    std::string path;
    std::string text;
    std::chrono::steady_clock::time_point next_try;
    std::chrono::milliseconds delay{0};
  };
  std::mutex unsaved_mutex;
  UnsavedRotation unsaved;
  bool save_in_progress = false;
  // Set while `unsaved` holds a rotation; read without the mutex on every header.
  std::atomic<bool> save_pending{false};
  std::chrono::milliseconds first_save_retry{kFirstSaveRetry};
  std::mutex stop_mutex;
  std::condition_variable stop_cond;
  bool stop_requested = false;
};

}  // namespace zq_camera_service
