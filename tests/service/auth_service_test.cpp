// Authentication reply handling, key rotation into BaseConfig.json and the
// update hand-off, driven without a transport through HandleAuthReply.
#include "service/auth_service.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "base/config_manager.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/md5.h"
#include "base/unique_fd.h"
#include "base/utils.h"
#include "support/child_process.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_camera_service::AuthService;
using zq_camera_service::ConfigManager;

const char* const kMac = "12:43:94:27:66:24";

// A BaseConfig.json lacking "CameraId" and "GetConfTimeGap", with a member
// the rotation never touches, in the order the expected texts list them.
const std::vector<std::pair<std::string, std::string>> kStoredBase = {
    {"ConfigUrl", "\"http://127.0.0.1:1\""}, {"NewKey", "\"initial-key\""},
    {"OldKey", "\"\""},                      {"update_key_time", "0"},
    {"old_key_expire_time", "0"},            {"ProtocolVersion", "\"1.0\""},
    {"CompanyId", "\"company-1\""},          {"ShopId", "\"7\""},
    {"HelloUrl", "\"http://127.0.0.1:1\""},  {"DeviceId", "\"device-1\""},
    {"HeartbeatGap", "20"},                  {"HelloTimeGap", "60"},
    {"PicUploadUrl", "\"http://127.0.0.1:1\""}};

// Four-space pretty text of the stored members with some values replaced.
std::string PrettyBase(const std::vector<std::pair<std::string, std::string>>& changes = {}) {
  std::string text = "{\n";
  for (size_t i = 0; i < kStoredBase.size(); ++i) {
    std::string value = kStoredBase[i].second;
    for (const auto& change : changes) {
      if (change.first == kStoredBase[i].first) value = change.second;
    }
    text += "    \"" + kStoredBase[i].first + "\": " + value + (i + 1 < kStoredBase.size() ? ",\n" : "\n");
  }
  return text + "}";
}

const char* const kFullReply =
    "{\"Response\":{\"Key\":\"key-2\",\"ProtocolVersion\":\"2.0\",\"CompanyId\":\"company-2\",\"ShopId\":\"8\","
    "\"HelloUrl\":\"http://127.0.0.1:2\",\"DeviceId\":\"device-2\",\"CameraId\":\"4\","
    "\"ConfigUrl\":\"http://127.0.0.1:3\",\"GetConfTimeGap\":30,\"HeartbeatGap\":25,\"HelloTimeGap\":90}}";

const std::vector<std::pair<std::string, std::string>> kFullRotation = {
    {"ConfigUrl", "\"http://127.0.0.1:3\""}, {"NewKey", "\"key-2\""},
    {"OldKey", "\"initial-key\""},           {"update_key_time", "90"},
    {"old_key_expire_time", "10"},           {"ProtocolVersion", "\"2.0\""},
    {"CompanyId", "\"company-2\""},          {"ShopId", "\"8\""},
    {"HelloUrl", "\"http://127.0.0.1:2\""},  {"DeviceId", "\"device-2\""},
    {"HeartbeatGap", "25"},                  {"HelloTimeGap", "90"}};

// Another holder of a file's lock, shared: the rotation's write, which
// wants it alone, is refused until Release() or the end of the holder.
class SharedLockHolder {
 public:
  explicit SharedLockHolder(const std::string& path) : fd_(open(path.c_str(), O_RDONLY)) {
    if (fd_.valid() && flock(fd_.get(), LOCK_SH) != 0) fd_.reset();
  }
  bool held() const { return fd_.valid(); }
  // Closing the only descriptor of the open file lets the lock go.
  void Release() { fd_.reset(); }

 private:
  zq_camera_service::UniqueFd fd_;
};

class AuthServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("ConfigPath"); }

  std::string BasePath() { return dir_ / "BaseConfig.json"; }
  void WriteConfigs(const std::string& base, int major) {
    zq_test::WriteFile(BasePath(), base);
    zq_test::WriteFile(dir_ / "VersionConfig.json", "{\"major\": " + std::to_string(major) + "}");
    Reload();
  }
  void Reload() {
    zq_test::ScopedLogSettings quiet(0, 3, "");
    ConfigManager::GetInstance()->LoadConfigs(dir_.path() + "/");
  }
  // Hands `reply` to the service as the answer to a request signed with `used_key`.
  int Reply(AuthService& service, const std::string& reply, const std::string& used_key = "initial-key") {
    return service.HandleAuthReply(reply.data(), static_cast<int>(reply.size()), used_key, kMac, "sig", "100");
  }

  // A start after this one, from the documents as stored, signs with `key`.
  void ExpectTheNextStartSignsWith(const std::string& key) {
    Reload();
    AuthService restarted;
    EXPECT_EQ(key, restarted.ParseKey());
  }

  // Hands `service` the full rotation while another holder keeps the
  // document locked: the rotation is taken, its save refused.
  void RotateWhileTheDocumentIsLocked(AuthService& service) {
    SharedLockHolder other_holder(BasePath());
    ASSERT_TRUE(other_holder.held());
    ASSERT_EQ(0, Reply(service, kFullReply));
  }

  zq_test::ScopedLogSettings log_{4, 3, ""};
  zq_test::TempDir dir_;
};

TEST_F(AuthServiceTest, RequestBodyIsTheTemplateByteForByte) {
  WriteConfigs(PrettyBase(), 7);
  AuthService service;
  ASSERT_EQ(0, service.LoadSettings());
  EXPECT_EQ("http://127.0.0.1:1", service.ConfigUrl());
  EXPECT_EQ(7, service.Major());
  const std::string nine(9, ' ');
  EXPECT_EQ("{" + nine + "\"ProtocolVersion\":1," + nine + "\"Mac\":\"12:43:94:27:66:24\"," + nine +
                "\"HardVersion\":2," + nine + "\"SoftVersion\":7," + nine + "\"RequestId\":\"12\"," + nine +
                "\"Signature\":\"0123456789abcdef0123456789abcdef\"," + nine + "\"TimeStamp\":1700000000" +
                std::string(5, ' ') + "}",
            service.ComposeRequest("0123456789abcdef0123456789abcdef", "1700000000", kMac, "12"));
}

TEST_F(AuthServiceTest, SettingsOfMissingOrMistypedMembersReadAsEmptyAndZero) {
  WriteConfigs("{\"ConfigUrl\": 5, \"NewKey\": 12}", 0);
  zq_test::WriteFile(dir_ / "VersionConfig.json", "{\"major\": \"3\"}");
  Reload();
  AuthService service;
  ASSERT_EQ(0, service.LoadSettings());
  EXPECT_EQ("", service.ConfigUrl());
  EXPECT_EQ(0, service.Major());
  EXPECT_EQ("", service.ParseKey());
}

TEST_F(AuthServiceTest, MissingDocumentEndsStartAtOnceUnauthenticated) {
  struct Case {
    const char* name;
    bool base;
    bool version;
  };
  for (const Case& c : {Case{"no documents", false, false}, Case{"no version document", true, false}}) {
    zq_test::TempDir dir;
    if (c.base) zq_test::WriteFile(dir / "BaseConfig.json", PrettyBase());
    if (c.version) zq_test::WriteFile(dir / "VersionConfig.json", "{\"major\": 1}");
    {
      zq_test::ScopedLogSettings quiet(0, 3, "");
      ConfigManager::GetInstance()->LoadConfigs(dir.path() + "/");
    }
    AuthService service;
    zq_test::StdoutCapture capture;
    EXPECT_EQ(-1, service.StartService()) << c.name;
    std::string out = capture.Text();
    EXPECT_NE(std::string::npos, out.find("Service | ERROR: Failed to get base config -1\n")) << c.name << out;
    EXPECT_EQ(std::string::npos, out.find("Request common config succeed!")) << c.name;
    rapidjson::Document header;
    EXPECT_EQ(-1, service.GetMessageToCompose(header)) << c.name;
  }
}

TEST_F(AuthServiceTest, ReplyTable) {
  WriteConfigs(PrettyBase(), 5);
  const std::string accepted = "{\"Response\":{\"Key\":\"initial-key\"}}";
  struct Case {
    const char* name;
    std::string reply;
    int result;
    std::string log;  // expected on standard output
  };
  const Case cases[] = {
      {"bare status code", "404", AuthService::kReplyRefused, "Service | ERROR: Net response error: \n404\n"},
      {"garbage", "<html>oops</html>", AuthService::kReplyNotJson, "Service | ERROR: Parse json failed\n"},
      {"trailing text", accepted + " and more", AuthService::kReplyNotJson, "Parse json failed\n"},
      {"NUL then text", accepted + std::string(1, '\0') + "xx", AuthService::kReplyNotJson, "Parse json failed\n"},
      {"truncated", "{\"Response\":{\"Key\":", AuthService::kReplyNotJson, "Parse json failed\n"},
      {"array", "[1,2]", AuthService::kReplyRefused, "Net response error: \n[\n    1,\n    2\n]\n"},
      {"no Response", "{\"Other\":{}}", AuthService::kReplyRefused, "Net response error: "},
      {"Response not an object", "{\"Response\":\"fine\"}", AuthService::kReplyRefused, "Net response error: "},
      {"Error inside Response", "{\"Response\":{\"Error\":{\"Code\":\"Auth\",\"Message\":\"bad key\"}}}",
       AuthService::kReplyRefused, "\"Message\": \"bad key\""},
      {"Error naming the used key", "{\"Response\":{\"Error\":{\"Message\":\"initial-key expired\"}}}",
       AuthService::kReplyRefused, "\"Message\": \"*** expired\""},
      {"Error of any kind", "{\"Response\":{\"Error\":null,\"Key\":\"k\"}}", AuthService::kReplyRefused,
       "Net response error: "},
      {"accepted", accepted, 0, "Service | INFO: auth response: {\n    \"Response\": {\n        \"Key\": \"***\"\n"},
      {"accepted after a byte order mark", "\xEF\xBB\xBF" + accepted, 0, "auth response: "},
      {"accepted with white space after it", accepted + " \r\n\t", 0, "auth response: "},
      // Writing a reply out for the log recurses once per level: one nested
      // this deeply would overflow the stack, so it counts as malformed.
      {"nested far too deeply", "{\"Response\":{\"Error\":" + std::string(200000, '[') + std::string(200000, ']') + "}}",
       AuthService::kReplyNotJson, "Service | ERROR: Parse json failed\n"},
      {"accepted with a member one level too deep",
       "{\"Response\":{\"Key\":\"initial-key\",\"X\":" + std::string(63, '[') + std::string(63, ']') + "}}",
       AuthService::kReplyNotJson, "Parse json failed\n"},
      {"accepted with a member at the deepest level", "{\"Response\":{\"Key\":\"initial-key\",\"X\":" +
       std::string(62, '[') + std::string(62, ']') + "}}", 0, "auth response: "},
  };
  for (const Case& c : cases) {
    AuthService service;
    zq_test::StdoutCapture capture;
    EXPECT_EQ(c.result, Reply(service, c.reply)) << c.name;
    std::string out = capture.Text();
    EXPECT_NE(std::string::npos, out.find(c.log)) << c.name << ":\n" << out;
    EXPECT_EQ(std::string::npos, out.find("initial-key")) << c.name << ":\n" << out;
    rapidjson::Document header;
    EXPECT_EQ(c.result == 0 ? 0 : -1, service.GetMessageToCompose(header)) << c.name;
  }
}

TEST_F(AuthServiceTest, ReplyLinesMaskTheKeysInStringsOnly) {
  // Short keys whose text also stands in numbers and other strings: the
  // numbers, the names and the layout stay as the reply has them.
  WriteConfigs(PrettyBase(), 5);
  struct Case {
    const char* name;
    std::string reply;
    std::string used_key;
    std::string line;
  };
  const Case cases[] = {
      {"accepted, key handed back", "{\"Response\":{\"Key\":\"1\",\"ShopId\":1,\"HeartbeatGap\":21,\"CompanyId\":\"c1\"}}",
       "1",
       "Service | INFO: auth response: {\n    \"Response\": {\n        \"Key\": \"***\",\n        \"ShopId\": 1,\n"
       "        \"HeartbeatGap\": 21,\n        \"CompanyId\": \"c***\"\n    }\n}\n"},
      {"accepted, new key", "{\"Response\":{\"Key\":\"7\",\"HelloTimeGap\":70,\"Note\":\"was 6\"}}", "6",
       "Service | INFO: auth response: {\n    \"Response\": {\n        \"Key\": \"***\",\n        \"HelloTimeGap\": 70,\n"
       "        \"Note\": \"was ***\"\n    }\n}\n"},
      {"refused, the error names the key", "{\"Response\":{\"Error\":{\"Code\":2,\"Message\":\"key 2 refused\"}}}", "2",
       "Service | ERROR: Net response error: \n{\n    \"Response\": {\n        \"Error\": {\n            \"Code\": 2,\n"
       "            \"Message\": \"key *** refused\"\n        }\n    }\n}\n"},
      {"a name holding the key", "{\"Response\":{\"Key\":\"k9\",\"k9\":9}}", "k9",
       "Service | INFO: auth response: {\n    \"Response\": {\n        \"Key\": \"***\",\n        \"***\": 9\n    }\n}\n"},
  };
  for (const Case& c : cases) {
    AuthService service;
    zq_test::StdoutCapture capture;
    Reply(service, c.reply, c.used_key);
    std::string out = capture.Text();
    EXPECT_NE(std::string::npos, out.find(c.line)) << c.name << ":\n" << out;
  }
}

TEST_F(AuthServiceTest, NoReplyAndReplyWithoutBytes) {
  WriteConfigs(PrettyBase(), 5);
  AuthService service;
  zq_test::StdoutCapture capture;
  EXPECT_EQ(-2, service.HandleAuthReply("{}", 0, "k", kMac, "s", "1"));
  EXPECT_EQ(-2, service.HandleAuthReply(nullptr, -1, "k", kMac, "s", "1"));
  EXPECT_EQ(-1, service.HandleAuthReply(nullptr, 12, "k", kMac, "s", "1"));
  // "Auth Request failed" goes to standard output directly, not through the log.
  EXPECT_EQ("Auth Request failed\nAuth Request failed\nService | ERROR: Request failed : response data is null\n",
            capture.Text());
}

TEST_F(AuthServiceTest, AcceptedReplyIsKeptAndAFailedParseDoesNotReplaceIt) {
  WriteConfigs(PrettyBase(), 5);
  AuthService service;
  const std::string reply = "{\"Response\":{\"Key\":\"k9\",\"CompanyId\":\"c\"}}";
  ASSERT_EQ(0, service.HandleAuthReply(reply.data(), static_cast<int>(reply.size()), "initial-key", kMac,
                                       "the-signature", "1700000001"));
  EXPECT_EQ("k9", service.CloudKey());
  EXPECT_EQ(kMac, service.Mac());
  EXPECT_EQ("the-signature", service.Signature());
  EXPECT_EQ("1700000001", service.TimeStamp());

  EXPECT_EQ(AuthService::kReplyNotJson, Reply(service, "{broken"));
  std::string company;
  ASSERT_NE(nullptr, zq_camera_service::json::GetObject(service.AuthReply(), "Response"));
  EXPECT_TRUE(zq_camera_service::json::GetString(*zq_camera_service::json::GetObject(service.AuthReply(), "Response"),
                                                 "CompanyId", &company));
  EXPECT_EQ("c", company);
}

TEST_F(AuthServiceTest, KeyOfTheAcceptedReplySignsLaterHeaders) {
  struct Case {
    const char* name;
    std::string reply;
    std::string cloud_key;
  };
  const Case cases[] = {
      {"new key", "{\"Response\":{\"Key\":\"fresh\"}}", "fresh"},
      {"same key", "{\"Response\":{\"Key\":\"initial-key\"}}", "initial-key"},
      {"empty key", "{\"Response\":{\"Key\":\"\"}}", ""},
      {"key not text", "{\"Response\":{\"Key\":42}}", ""},
      {"no key", "{\"Response\":{}}", ""},
  };
  for (const Case& c : cases) {
    WriteConfigs(PrettyBase(), 5);
    AuthService service;
    ASSERT_EQ(0, Reply(service, c.reply)) << c.name;
    EXPECT_EQ(c.cloud_key, service.CloudKey()) << c.name;
  }
}

TEST_F(AuthServiceTest, RotationTable) {
  struct Case {
    const char* name;
    std::string reply;
    std::string used_key;
    bool rewritten;
    std::vector<std::pair<std::string, std::string>> changes;  // when rewritten
  };
  std::vector<std::pair<std::string, std::string>> without_heartbeat = kFullRotation;
  without_heartbeat.erase(without_heartbeat.begin() + 10);  // "HeartbeatGap" keeps 20
  std::string reply_without_heartbeat = kFullReply;
  reply_without_heartbeat.replace(reply_without_heartbeat.find(",\"HeartbeatGap\":25"), 18, "");
  std::string reply_mistyped = kFullReply;
  reply_mistyped.replace(reply_mistyped.find("\"HeartbeatGap\":25"), 17, "\"HeartbeatGap\":\"25\"");
  reply_mistyped.replace(reply_mistyped.find("\"ShopId\":\"8\""), 12, "\"ShopId\":8");
  std::vector<std::pair<std::string, std::string>> mistyped = without_heartbeat;
  mistyped.erase(mistyped.begin() + 7);  // "ShopId" keeps "7"

  const Case cases[] = {
      {"new key with every setting", kFullReply, "initial-key", true, kFullRotation},
      {"reply without HeartbeatGap keeps the stored period", reply_without_heartbeat, "initial-key", true,
       without_heartbeat},
      {"mistyped members keep the stored values", reply_mistyped, "initial-key", true, mistyped},
      {"only the key", "{\"Response\":{\"Key\":\"key-3\"}}", "initial-key", true,
       {{"NewKey", "\"key-3\""}, {"OldKey", "\"initial-key\""}, {"update_key_time", "90"},
        {"old_key_expire_time", "10"}}},
      {"a value with a quote is stored escaped", "{\"Response\":{\"Key\":\"k\\\"4\",\"DeviceId\":\"d\\\\1\"}}",
       "initial-key", true,
       {{"NewKey", "\"k\\\"4\""}, {"OldKey", "\"initial-key\""}, {"update_key_time", "90"},
        {"old_key_expire_time", "10"}, {"DeviceId", "\"d\\\\1\""}}},
      {"same key", "{\"Response\":{\"Key\":\"initial-key\",\"HeartbeatGap\":1}}", "initial-key", false, {}},
      {"empty key", "{\"Response\":{\"Key\":\"\",\"HeartbeatGap\":1}}", "initial-key", false, {}},
      {"key not text", "{\"Response\":{\"Key\":7,\"HeartbeatGap\":1}}", "initial-key", false, {}},
      {"no key", "{\"Response\":{\"HeartbeatGap\":1}}", "initial-key", false, {}},
  };
  // Compact, unusual text: any write would turn it into pretty text.
  std::string stored = PrettyBase();
  std::string compact;
  for (char ch : stored) {
    if (ch != '\n') compact += ch;
  }
  for (const Case& c : cases) {
    WriteConfigs(compact, 5);
    AuthService service;
    zq_test::StdoutCapture capture;
    ASSERT_EQ(0, Reply(service, c.reply, c.used_key)) << c.name;
    if (c.rewritten) {
      EXPECT_EQ(PrettyBase(c.changes), zq_test::ReadFile(BasePath())) << c.name;
    } else {
      EXPECT_EQ(compact, zq_test::ReadFile(BasePath())) << c.name;
    }
    EXPECT_EQ(std::string::npos, capture.Text().find("ERROR")) << c.name << capture.Text();
  }
}

TEST_F(AuthServiceTest, RotatedKeySignsTheNextStart) {
  WriteConfigs(PrettyBase(), 5);
  {
    AuthService service;
    ASSERT_EQ(0, Reply(service, kFullReply));
    // The shared document carries the new key at once.
    EXPECT_EQ("key-2", service.ParseKey());
  }
  ExpectTheNextStartSignsWith("key-2");
}

TEST_F(AuthServiceTest, RotationThatCannotBeSavedIsLogged) {
  WriteConfigs(PrettyBase(), 5);
  AuthService service;
  zq_test::StdoutCapture capture;
  ASSERT_NO_FATAL_FAILURE(RotateWhileTheDocumentIsLocked(service));
  EXPECT_EQ(PrettyBase(), zq_test::ReadFile(BasePath()));
  EXPECT_NE(std::string::npos, capture.Text().find("Service | ERROR: Failed to save rotated key to base config -1\n"))
      << capture.Text();
  EXPECT_EQ("key-2", service.CloudKey());
}

TEST_F(AuthServiceTest, RotationWithoutBaseDocumentWritesNothing) {
  zq_test::WriteFile(dir_ / "VersionConfig.json", "{\"major\": 5}");
  Reload();
  AuthService service;
  zq_test::StdoutCapture capture;
  EXPECT_EQ(0, Reply(service, kFullReply));
  EXPECT_FALSE(zq_test::FileExists(BasePath()));
  EXPECT_EQ("key-2", service.CloudKey());
}

TEST_F(AuthServiceTest, UpdateHandOverTable) {
  WriteConfigs(PrettyBase(), 5);
  const std::string url = "http://127.0.0.1:9/package.zip";
  const std::string digest = "0cc175b9c0f1b6a831c399e269772661";
  auto reply = [&](const std::string& members) { return "{\"Response\":{\"Key\":\"initial-key\"" + members + "}}"; };
  const std::string with_package = ",\"SoftUpdateUrl\":\"" + url + "\",\"SoftUpdateMD5\":\"" + digest + "\"";
  struct Case {
    const char* name;
    std::string reply;
    std::string log;    // must appear
    bool handed_over;   // "KwCloudUpgradeBusiness::StartUpdate" logged
  };
  const Case cases[] = {
      {"no version", reply(with_package), "Service | INFO: No need update : softversion-0\n", false},
      {"version 0", reply(",\"SoftUpdateVersion\":0" + with_package), "No need update : softversion-0\n", false},
      {"installed version", reply(",\"SoftUpdateVersion\":5" + with_package), "No need update : softversion-5\n",
       false},
      {"version as text", reply(",\"SoftUpdateVersion\":\"6\"" + with_package), "No need update : softversion-0\n",
       false},
      {"newer version", reply(",\"SoftUpdateVersion\":6" + with_package),
       "Service | INFO: 777\nService | INFO: 888\nService | INFO: Need update: " + url + " \n" + digest + "\n", true},
      {"older version is handed over too", reply(",\"SoftUpdateVersion\":4" + with_package), "Need update: ", true},
      {"no url", reply(",\"SoftUpdateVersion\":6,\"SoftUpdateMD5\":\"" + digest + "\""),
       "Service | ERROR: Update to 6 not handed over: package url or md5 missing\n", false},
      {"empty md5", reply(",\"SoftUpdateVersion\":6,\"SoftUpdateUrl\":\"" + url + "\",\"SoftUpdateMD5\":\"\""),
       "Update to 6 not handed over", false},
      {"md5 not text", reply(",\"SoftUpdateVersion\":6,\"SoftUpdateUrl\":\"" + url + "\",\"SoftUpdateMD5\":5"),
       "Update to 6 not handed over", false},
      {"NUL inside the url", reply(",\"SoftUpdateVersion\":6,\"SoftUpdateUrl\":\"http://a\\u0000b\","
                                   "\"SoftUpdateMD5\":\"" + digest + "\""),
       "Update to 6 not handed over", false},
  };
  for (const Case& c : cases) {
    AuthService service;
    ASSERT_EQ(0, service.LoadSettings());
    zq_test::StdoutCapture capture;
    ASSERT_EQ(0, Reply(service, c.reply)) << c.name;
    std::string out = capture.Text();
    EXPECT_NE(std::string::npos, out.find(c.log)) << c.name << ":\n" << out;
    EXPECT_EQ(c.handed_over ? 1u : 0u, zq_test::CountOccurrences(out, "KwCloudUpgradeBusiness::StartUpdate\n"))
        << c.name << ":\n" << out;
  }
}

// The reply's strings are bytes as the cloud sent them; only the texts the
// rotation stores must be UTF-8, so that BaseConfig.json stays strict JSON.
TEST_F(AuthServiceTest, TextsThatAreNotUtf8AreNeverStoredAndTheReplyIsStillUsed) {
  struct Case {
    const char* name;
    std::string key;     // as it stands between the quotes of the reply
    std::string member;  // another member of "Response" (a name, a colon and a value), or ""
    std::string key_used;  // the key's bytes the headers carry
    const char* refused;   // the member named in the refusal, or null when the rotation is stored
    std::vector<std::pair<std::string, std::string>> stored;  // BaseConfig.json's changes when stored
  };
  const std::vector<std::pair<std::string, std::string>> rotated = {
      {"OldKey", "\"initial-key\""}, {"update_key_time", "90"}, {"old_key_expire_time", "10"}};
  auto with = [&](std::vector<std::pair<std::string, std::string>> changes) {
    changes.insert(changes.end(), rotated.begin(), rotated.end());
    return changes;
  };
  const Case cases[] = {
      {"key FF FE", "\xFF\xFE", "", "\xFF\xFE", "Key", {}},
      {"key with a lone continuation byte", "\x80", "", "\x80", "Key", {}},
      {"key with a continuation byte after a valid start", "key-\xBF", "", "key-\xBF", "Key", {}},
      {"key with an overlong slash", "\xC0\xAF", "", "\xC0\xAF", "Key", {}},
      {"key with an overlong three-byte form", "\xE0\x80\xAF", "", "\xE0\x80\xAF", "Key", {}},
      {"key with an overlong four-byte form", "\xF0\x80\x80\xAF", "", "\xF0\x80\x80\xAF", "Key", {}},
      {"key with an encoded surrogate", "\xED\xA0\x80", "", "\xED\xA0\x80", "Key", {}},
      {"key with an escaped lone surrogate", "k\\uDC00", "", "k\xED\xB0\x80", "Key", {}},
      {"setting in a legacy encoding", "key-3", "\"HelloUrl\":\"http://\xB2\xE2\"", "key-3", "HelloUrl", {}},
      {"company in a legacy encoding", "key-3", "\"CompanyId\":\"\xB2\xE2\xCA\xD4\"", "key-3", "CompanyId", {}},
      {"message in a legacy encoding, never stored", "key-3", "\"Message\":\"\xB2\xE2\xCA\xD4\"", "key-3", nullptr,
       with({{"NewKey", "\"key-3\""}})},
      {"setting BaseConfig.json lacks, never stored", "key-3", "\"CameraId\":\"\xFF\"", "key-3", nullptr,
       with({{"NewKey", "\"key-3\""}})},
      {"setting of another type", "key-3", "\"DeviceId\":7", "key-3", nullptr, with({{"NewKey", "\"key-3\""}})},
      {"valid multi-byte key", "k\xC3\xA9y-\xE2\x82\xAC-\xF0\x9F\x98\x80", "",
       "k\xC3\xA9y-\xE2\x82\xAC-\xF0\x9F\x98\x80", nullptr,
       with({{"NewKey", "\"k\xC3\xA9y-\xE2\x82\xAC-\xF0\x9F\x98\x80\""}})},
      {"escaped multi-byte key", "k\\u00E9y-\\uD83D\\uDE00", "", "k\xC3\xA9y-\xF0\x9F\x98\x80", nullptr,
       with({{"NewKey", "\"k\xC3\xA9y-\xF0\x9F\x98\x80\""}})},
      {"valid multi-byte setting", "key-3", "\"DeviceId\":\"caf\xC3\xA9\"", "key-3", nullptr,
       with({{"NewKey", "\"key-3\""}, {"DeviceId", "\"caf\xC3\xA9\""}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteConfigs(PrettyBase(), 5);
    AuthService service;
    zq_test::StdoutCapture capture;
    const std::string reply =
        "{\"Response\":{" + (c.member.empty() ? "" : c.member + ",") + "\"Key\":\"" + c.key + "\"}}";
    ASSERT_EQ(0, Reply(service, reply)) << capture.Text();
    const std::string out = capture.Text();
    EXPECT_EQ(std::string::npos, out.find("Parse json failed")) << out;
    EXPECT_EQ(c.key_used, service.CloudKey());
    if (c.refused != nullptr) {
      EXPECT_EQ(1u, zq_test::CountOccurrences(out, std::string("Service | ERROR: Rotated key not saved to base config: \"") +
                                                       c.refused + "\" of the reply is not UTF-8 text\n"))
          << out;
      EXPECT_EQ(PrettyBase(), zq_test::ReadFile(BasePath()));
      EXPECT_FALSE(service.RotatedKeySavePending()) << "a refused text is not saved later either";
    } else {
      EXPECT_EQ(std::string::npos, out.find("not UTF-8")) << out;
      EXPECT_EQ(PrettyBase(c.stored), zq_test::ReadFile(BasePath()));
    }
    EXPECT_TRUE(zq_test::StrictJsonReaderReads(BasePath()));
    // The headers carry the key as it was handed out, and so sign with it.
    rapidjson::Document header;
    ASSERT_EQ(0, service.GetMessageToCompose(header));
    std::string key;
    EXPECT_TRUE(zq_camera_service::json::GetString(header, "Key", &key));
    EXPECT_EQ(c.key_used, key);
  }
}

// A rotation that could not be saved is saved again before a later header,
// after a back-off, from the text the rotation made: a reload that brought
// the old document back from the flash meanwhile changes nothing.
TEST_F(AuthServiceTest, RotationThatCouldNotBeSavedIsSavedBeforeALaterHeader) {
  WriteConfigs(PrettyBase(), 5);
  SharedLockHolder other_holder(BasePath());
  ASSERT_TRUE(other_holder.held());  // another holder of the file's lock refuses the write
  AuthService service;
  service.SetSaveRetryDelay(std::chrono::milliseconds(0));
  rapidjson::Document header;
  {
    zq_test::StdoutCapture capture;
    ASSERT_EQ(0, Reply(service, kFullReply));
    EXPECT_TRUE(service.RotatedKeySavePending());
    // Still locked: one line for the try, the file as it was.
    ASSERT_EQ(0, service.GetMessageToCompose(header));
    const std::string out = capture.Text();
    EXPECT_EQ(1u, zq_test::CountOccurrences(out, "Service | ERROR: Rotated key still not saved to base config: write file " +
                                                     BasePath() + " failed with Resource temporarily unavailable"))
        << out;
    EXPECT_EQ(PrettyBase(), zq_test::ReadFile(BasePath()));
  }
  other_holder.Release();
  Reload();  // as the upgrade thread reloads the documents from the flash

  {
    zq_test::StdoutCapture capture;
    ASSERT_EQ(0, service.GetMessageToCompose(header));
    ASSERT_EQ(0, service.GetMessageToCompose(header));
    const std::string out = capture.Text();
    EXPECT_EQ(1u, zq_test::CountOccurrences(out, "Service | INFO: Rotated key saved to base config\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("still not saved")) << out;
  }
  EXPECT_FALSE(service.RotatedKeySavePending());
  EXPECT_EQ(PrettyBase(kFullRotation), zq_test::ReadFile(BasePath()));
  ExpectTheNextStartSignsWith("key-2");
}

// Between tries the failed save waits, longer after every failure; headers
// composed meanwhile write nothing.
TEST_F(AuthServiceTest, FailedSaveIsTriedAgainOnlyWhenItsBackOffHasPassed) {
  WriteConfigs(PrettyBase(), 5);
  AuthService service;
  service.SetSaveRetryDelay(std::chrono::hours(1));
  zq_test::StdoutCapture capture;
  ASSERT_NO_FATAL_FAILURE(RotateWhileTheDocumentIsLocked(service));
  rapidjson::Document header;
  for (int i = 0; i < 5; ++i) ASSERT_EQ(0, service.GetMessageToCompose(header));
  EXPECT_TRUE(service.RotatedKeySavePending());
  EXPECT_EQ(PrettyBase(), zq_test::ReadFile(BasePath()));
  EXPECT_EQ(std::string::npos, capture.Text().find("Rotated key saved")) << capture.Text();
}

// Business threads compose headers at once while the save is due: it is
// written once, and no thread waits for another's try.
TEST_F(AuthServiceTest, ConcurrentHeadersSaveTheRotatedKeyOnce) {
  WriteConfigs(PrettyBase(), 5);
  AuthService service;
  service.SetSaveRetryDelay(std::chrono::milliseconds(0));
  zq_test::StdoutCapture capture;
  ASSERT_NO_FATAL_FAILURE(RotateWhileTheDocumentIsLocked(service));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&service] {
      for (int i = 0; i < 50; ++i) {
        rapidjson::Document header;
        service.GetMessageToCompose(header);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(service.RotatedKeySavePending());
  EXPECT_EQ(1u, zq_test::CountOccurrences(capture.Text(), "Rotated key saved to base config\n"));
  EXPECT_EQ(PrettyBase(kFullRotation), zq_test::ReadFile(BasePath()));
}

TEST_F(AuthServiceTest, OnlyWhatTheHeadersReadIsKeptOfTheAcceptedReply) {
  WriteConfigs(PrettyBase(), 5);
  AuthService service;
  zq_test::StdoutCapture capture;
  std::string padding(200 * 1024, 'p');
  const std::string reply = "{\"Response\":{\"Key\":\"key-9\",\"CompanyId\":\"company-9\",\"ShopId\":12,"
                            "\"HelloUrl\":\"http://127.0.0.1:2\",\"HeartbeatGap\":25,\"Padding\":\"" +
                            padding + "\",\"List\":[1,2,3]},\"Other\":{\"Big\":\"" + padding + "\"}}";
  ASSERT_EQ(0, Reply(service, reply));
  EXPECT_EQ("{\n    \"Response\": {\n        \"Key\": \"key-9\",\n        \"CompanyId\": \"company-9\",\n"
            "        \"ShopId\": 12\n    }\n}",
            zq_camera_service::Utils::DocumentToString(service.AuthReply()));
  // What the rotation read from the whole reply is stored all the same.
  EXPECT_NE(std::string::npos, zq_test::ReadFile(BasePath()).find("\"HeartbeatGap\": 25"));
  rapidjson::Document header;
  ASSERT_EQ(0, service.GetMessageToCompose(header));
  std::string company;
  int shop = 0;
  EXPECT_TRUE(zq_camera_service::json::GetString(header, "CompanyId", &company));
  EXPECT_TRUE(zq_camera_service::json::GetInt(header, "ShopId", &shop));
  EXPECT_EQ("company-9", company);
  EXPECT_EQ(12, shop);

  // A refusal afterwards keeps refusing headers, and keeps nothing large either.
  ASSERT_EQ(AuthService::kReplyRefused,
            Reply(service, "{\"Response\":{\"Error\":{\"Message\":\"" + padding + "\"},\"Key\":\"k\"}}"));
  EXPECT_EQ(-1, service.GetMessageToCompose(header));
  EXPECT_LT(zq_camera_service::Utils::DocumentToString(service.AuthReply()).size(), 100u);
}

TEST_F(AuthServiceTest, LongRefusalShowsWhatALineKeepsAndNoPartOfAKey) {
  WriteConfigs(PrettyBase(), 5);
  // A refusal naming the used key over and over, larger than any line.
  std::string message;
  while (message.size() < 300 * 1024) message += "initial-key ";
  const std::string refusal = "{\"Response\":{\"Error\":{\"Message\":\"" + message + "\"}}}";
  AuthService service;
  zq_test::StdoutCapture capture;
  ASSERT_EQ(AuthService::kReplyRefused, Reply(service, refusal));
  const std::string out = capture.Text();
  const std::string start = "Service | ERROR: Net response error: \n{\n    \"Response\": {\n        \"Error\": {\n"
                            "            \"Message\": \"*** *** ";
  ASSERT_EQ(0u, out.find(start)) << out.substr(0, 300);
  // The line holds the 999 characters the log keeps, and no key.
  EXPECT_EQ(std::string("Service | ERROR: ").size() + kZqLogTextLimit, out.size());
  EXPECT_EQ(std::string::npos, out.find("initial-key"));
  EXPECT_EQ(std::string::npos, out.find("initial-"));
}

}  // namespace
