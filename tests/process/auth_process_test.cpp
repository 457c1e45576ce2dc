// Authentication of the real binary against the cloud back-end fake: the
// retry sequence, the key rotation across a restart, and keys kept out of
// every log line (standard output and collector batches).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "base/base64.h"
#include "support/cloud_backend.h"
#include "support/files.h"
#include "support/service_process.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CloudBackendFake;
using zq_test::CloudSettings;
using zq_test::HttpReply;

const char* const kMac = "12:43:94:27:66:24";

class AuthProcessTest : public zq_test::ServiceProcessTest {
 protected:
  // Whether python3's json module, a strict reader, reads the stored
  // BaseConfig.json.
  bool StoredConfigReadsStrictly() const {
    return zq_test::StrictJsonReaderReads(root_.ConfigDir() + "BaseConfig.json");
  }
};

// Settings of a back end that hands out `key` in place of the key it accepts.
CloudSettings RotatingTo(const std::string& key) {
  CloudSettings settings;
  settings.key = key;
  return settings;
}

// Waits for two heartbeats: every heartbeat so far is signed with `key`,
// and the signature holds.
void ExpectHeartbeatsSignedWith(CloudBackendFake& cloud, const std::string& key, zq_test::ChildProcess& service) {
  ASSERT_TRUE(cloud.WaitForReports(CloudBackendFake::kHeartbeatPath, 2, 15s)) << service.Stdout();
  for (const auto& report : cloud.Reports(CloudBackendFake::kHeartbeatPath)) {
    EXPECT_EQ(key, report.key);
    EXPECT_TRUE(report.signature_valid) << report.raw.body;
  }
}

// `text` with the line holding `"name": ` given the new value.
std::string WithMember(std::string text, const std::string& name, const std::string& value) {
  std::string prefix = "    \"" + name + "\": ";
  size_t at = text.find(prefix);
  if (at == std::string::npos) return text + " <no member " + name + ">";
  size_t end = text.find('\n', at);
  if (end == std::string::npos) end = text.size();
  bool has_comma = text[end - 1] == ',';
  text.replace(at, end - at, prefix + value + (has_comma ? "," : ""));
  return text;
}

TEST_F(AuthProcessTest, RetriesEveryTwoSecondsUntilAccepted) {
  uint16_t port = zq_test::FreeTcpPort();
  std::string url = "http://127.0.0.1:" + std::to_string(port);
  root_.WriteBaseConfig(zq_test::DefaultBaseConfig(url));
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  auto service = StartService();

  // Nothing listens yet: the first attempt finds the connection refused.
  ASSERT_TRUE(service->WaitForStdout("Failed to request auth message -2\n", 10s)) << service->Stdout();
  CloudBackendFake cloud("initial-key", CloudSettings(), port);
  cloud.QueueAuthReply(HttpReply::Status(404));
  cloud.QueueAuthReply(HttpReply::Text("<html>garbage</html>"));
  cloud.QueueAuthError("AuthFailure", "unknown device");
  cloud.QueueAuthReply(HttpReply::Json("[\"not an object\"]"));
  // Then the standing answer: accepted, as the signature matches.
  ASSERT_TRUE(cloud.WaitForAccepted(1, 20s));
  ASSERT_TRUE(service->WaitForStdout("Request common config succeed!\n", 5s)) << service->Stdout();

  auto requests = cloud.AuthRequests();
  ASSERT_EQ(5u, requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    const auto& request = requests[i];
    std::string id = std::to_string(i + 2);  // "1" went to the refused connection
    ASSERT_TRUE(request.is_json) << request.body;
    EXPECT_EQ(id, request.request_id);
    EXPECT_TRUE(request.signature_valid) << request.body;
    EXPECT_EQ("application/json", request.content_type);
    std::string signature = CloudBackendFake::Sign("initial-key", kMac, std::to_string(request.timestamp));
    EXPECT_EQ(CloudBackendFake::AuthBody(kMac, 3, id, signature, request.timestamp), request.body);
    if (i > 0) {
      auto gap = request.arrival - requests[i - 1].arrival;
      EXPECT_GE(gap, 1800ms) << i;
      EXPECT_LE(gap, 4000ms) << i;
    }
  }
  EXPECT_TRUE(requests.back().accepted);

  std::string out = service->Stdout();
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "Service | ERROR: Failed to request auth message -2\n"));
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "Service | ERROR: Failed to request auth message 83886081\n"));
  EXPECT_EQ(3u, zq_test::CountOccurrences(out, "Service | ERROR: Failed to request auth message 16777472\n"));
  EXPECT_EQ(5u, zq_test::CountOccurrences(out, "Service | ERROR: Retry connect auth in 2 second\n"));
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "Service | INFO: Request common config succeed!\n"));
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "No need update : softversion-0\n"));
  // Nothing of start-up after authentication ran before the acceptance.
  size_t accepted_at = out.find("Request common config succeed!");
  EXPECT_GT(accepted_at, out.rfind("Retry connect auth"));
  for (const char* later : {"Start service 2\n", "Start service 1\n", "Start service 3\n"}) {
    EXPECT_GT(out.find(later), accepted_at) << later;
  }
  EXPECT_EQ(std::string::npos, out.find("initial-key")) << out;
  EXPECT_TRUE(service->Running());
}

TEST_F(AuthProcessTest, RotatedKeyAndSettingsAreStoredAndSignTheNextStart) {
  CloudSettings settings = RotatingTo("rotated-key");
  settings.company_id = "company-2";
  settings.device_id = "device-2";
  settings.camera_id = "9";
  settings.heartbeat_gap = 25;
  settings.hello_time_gap = 90;
  CloudBackendFake cloud("initial-key", settings);
  zq_test::WriteCloudConfigs(root_, cloud, 3);
  const std::string stored = root_.ReadBaseConfig();

  auto first = StartService();
  ASSERT_TRUE(first->WaitForStdout("Request common config succeed!\n", 10s)) << first->Stdout();
  std::string expected = stored;
  for (const auto& change : std::vector<std::pair<std::string, std::string>>{
           {"NewKey", "\"rotated-key\""},
           {"OldKey", "\"initial-key\""},
           {"update_key_time", "90"},
           {"old_key_expire_time", "10"},
           {"CompanyId", "\"company-2\""},
           {"DeviceId", "\"device-2\""},
           {"CameraId", "\"9\""},
           {"HeartbeatGap", "25"},
           {"HelloTimeGap", "90"},
       }) {
    expected = WithMember(expected, change.first, change.second);
  }
  // "ShopId" comes as a number and stays the stored text; URLs and the other
  // settings equal what was stored.
  EXPECT_EQ(expected, root_.ReadBaseConfig());
  first->Kill();

  ASSERT_EQ("rotated-key", cloud.ExpectedKey());
  auto second = StartService();
  ASSERT_TRUE(second->WaitForStdout("Request common config succeed!\n", 10s)) << second->Stdout();
  auto requests = cloud.AuthRequests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("initial-key", requests[0].signed_with);
  EXPECT_EQ("rotated-key", requests[1].signed_with);
  EXPECT_TRUE(requests[1].signature_valid);
  EXPECT_EQ("1", requests[1].request_id);
  // Handed the key it signed with, the second start rewrites nothing.
  EXPECT_EQ(expected, root_.ReadBaseConfig());
  for (const std::string& out : {first->Stdout(), second->Stdout()}) {
    EXPECT_EQ(std::string::npos, out.find("initial-key")) << out;
    EXPECT_EQ(std::string::npos, out.find("rotated-key")) << out;
  }
}

TEST_F(AuthProcessTest, MissingBaseConfigEndsAuthenticationAtOnce) {
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStdout("Service | ERROR: Failed to get base config -1\n", 10s)) << service->Stdout();
  EXPECT_EQ(std::string::npos, service->Stdout().find("Request message")) << service->Stdout();
  EXPECT_TRUE(service->Running());
}

TEST_F(AuthProcessTest, NoLogBatchCarriesTheKey) {
  CloudBackendFake cloud("initial-key", RotatingTo("rotated-key"));
  zq_test::WriteCloudConfigs(root_, cloud, 3);
  zq_test::HttpFakeServer collector;
  collector.SetDefaultReply(HttpReply::Json("{}"));
  auto service = StartService({{"LOG_TYPE", "2"}, {"LOG_URL", collector.url("/logs")}});
  ASSERT_TRUE(cloud.WaitForAccepted(1, 10s));

  // Batches go out at least every 5 s at this level; collect until the
  // acceptance line has arrived.
  std::vector<std::string> lines;
  auto deadline = std::chrono::steady_clock::now() + 20s;
  bool seen_acceptance = false;
  while (!seen_acceptance && std::chrono::steady_clock::now() < deadline) {
    collector.WaitForRequests(collector.RequestCount() + 1, 1s);
    lines.clear();
    for (const auto& batch : collector.RequestsTo("/logs")) {
      rapidjson::Document document;
      document.Parse(batch.body.data(), batch.body.size());
      ASSERT_FALSE(document.HasParseError()) << batch.body;
      ASSERT_TRUE(document.IsObject() && document.HasMember("Logs") && document["Logs"].IsArray()) << batch.body;
      for (const auto& item : document["Logs"].GetArray()) {
        ASSERT_TRUE(item.IsString());
        lines.push_back(base64_decode(item.GetString()));
        if (lines.back().find("Request common config succeed!") != std::string::npos) seen_acceptance = true;
      }
    }
  }
  ASSERT_TRUE(seen_acceptance) << lines.size() << " lines collected";
  bool seen_preimage = false;
  bool seen_reply = false;
  for (const std::string& line : lines) {
    EXPECT_EQ(std::string::npos, line.find("initial-key")) << line;
    EXPECT_EQ(std::string::npos, line.find("rotated-key")) << line;
    seen_preimage = seen_preimage || line.find("INFO: Key=***&Mac=") != std::string::npos;
    seen_reply = seen_reply || line.find("auth response: ") != std::string::npos;
  }
  EXPECT_TRUE(seen_preimage);
  EXPECT_TRUE(seen_reply);
  std::string out = service->Stdout();
  EXPECT_EQ(std::string::npos, out.find("initial-key")) << out;
  EXPECT_EQ(std::string::npos, out.find("rotated-key")) << out;
}

// The accepting reply with `member` (a name, a colon and a value) put first in "Response".
CloudBackendFake::BodyShape WithResponseMember(const std::string& member) {
  return [member](const std::string& body) {
    const std::string open = "{\"Response\":{";
    if (body.compare(0, open.size(), open) != 0) return body + " <no Response>";
    return open + member + "," + body.substr(open.size());
  };
}

// Back ends that write their message texts in a legacy two-byte encoding
// put such bytes in members the device only logs.
TEST_F(AuthProcessTest, LegacyTextInAMemberThatIsNotStoredDoesNotStopTheRotation) {
  CloudBackendFake cloud("initial-key", RotatingTo("rotated-key"));
  root_.WriteBaseConfig(zq_test::CloudBaseConfig(cloud, 1, 2));
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  cloud.QueueAuthAcceptShaped(WithResponseMember("\"Message\":\"\xB2\xE2\xCA\xD4\""));
  StartCameraPeer();
  auto service = StartService();

  ASSERT_TRUE(service->WaitForStdout("Request common config succeed!\n", 15s)) << service->Stdout();
  EXPECT_EQ(1u, cloud.AuthRequests().size()) << service->Stdout();
  EXPECT_EQ(std::string::npos, service->Stdout().find("Parse json failed")) << service->Stdout();
  EXPECT_NE(std::string::npos, root_.ReadBaseConfig().find("\"NewKey\": \"rotated-key\"")) << root_.ReadBaseConfig();
  EXPECT_NE(std::string::npos, root_.ReadBaseConfig().find("\"OldKey\": \"initial-key\"")) << root_.ReadBaseConfig();
  EXPECT_TRUE(StoredConfigReadsStrictly()) << root_.ReadBaseConfig();

  ASSERT_NO_FATAL_FAILURE(ExpectHeartbeatsSignedWith(cloud, "rotated-key", *service));
  EXPECT_TRUE(service->Running());
}

TEST_F(AuthProcessTest, RotatedKeyThatIsNotUtf8IsUsedButNotStoredAndAValidOneIsStored) {
  CloudSettings settings = RotatingTo("rotated-\xFF\xFE-key");
  CloudBackendFake cloud("initial-key", settings);
  root_.WriteBaseConfig(zq_test::CloudBaseConfig(cloud, 1, 2));
  root_.WriteVersionConfig(zq_test::VersionConfig(3));
  const std::string stored = root_.ReadBaseConfig();
  StartCameraPeer();
  auto service = StartService();

  // Accepted at once: the device signs with the key it was handed, but the
  // key cannot be stored as strict JSON, so nothing of the reply is stored.
  ASSERT_TRUE(service->WaitForStdout("Request common config succeed!\n", 15s)) << service->Stdout();
  EXPECT_EQ(1u, cloud.AuthRequests().size());
  EXPECT_EQ(1u, zq_test::CountOccurrences(
                    service->Stdout(),
                    "Service | ERROR: Rotated key not saved to base config: \"Key\" of the reply is not UTF-8 text\n"))
      << service->Stdout();
  EXPECT_EQ(std::string::npos, service->Stdout().find("Parse json failed")) << service->Stdout();
  ASSERT_NO_FATAL_FAILURE(ExpectHeartbeatsSignedWith(cloud, settings.key, *service));
  EXPECT_EQ(stored, root_.ReadBaseConfig());
  EXPECT_TRUE(StoredConfigReadsStrictly()) << root_.ReadBaseConfig();
  service.reset();

  // A restart signs with the key still stored; a valid multi-byte key is stored.
  cloud.SetExpectedKey("initial-key");
  settings.key = "k\xC3\xA9y-\xF0\x9F\x98\x80";
  settings.heartbeat_gap = 1;
  settings.hello_time_gap = 2;
  cloud.SetSettings(settings);
  StartCameraPeer();
  service = StartService();
  ASSERT_TRUE(service->WaitForStdout("Request common config succeed!\n", 15s)) << service->Stdout();
  EXPECT_NE(std::string::npos, root_.ReadBaseConfig().find("\"NewKey\": \"k\xC3\xA9y-\xF0\x9F\x98\x80\""));
  EXPECT_TRUE(StoredConfigReadsStrictly()) << root_.ReadBaseConfig();
  EXPECT_TRUE(service->Running());
}

// An integrator keeps the settings on another partition and links the
// document into the configuration directory; something planted links at the
// names the new text is first written to. The rotation writes through the
// link into the file it leads to, keeps its mode, and writes nothing else.
TEST_F(AuthProcessTest, RotationThroughALinkedDocumentKeepsTheLinkAndWritesNothingElse) {
  CloudBackendFake cloud("initial-key", RotatingTo("rotated-key"));
  zq_test::WriteCloudConfigs(root_, cloud, 3);
  const std::string link_path = root_.ConfigDir() + "BaseConfig.json";
  const std::string target = root_ / "partition/settings.json";
  zq_test::WriteFile(target, root_.ReadBaseConfig());
  ASSERT_EQ(0, chmod(target.c_str(), 0664));
  ASSERT_EQ(0, unlink(link_path.c_str()));
  ASSERT_EQ(0, symlink(target.c_str(), link_path.c_str()));
  const std::string victim = root_ / "victim.txt";
  zq_test::WriteFile(victim, "not the configuration");
  for (const std::string& planted : {link_path + ".tmp", target + ".tmp"}) {
    ASSERT_EQ(0, symlink(victim.c_str(), planted.c_str()));
  }
  auto service = StartService();
  ASSERT_TRUE(service->WaitForStdout("Request common config succeed!\n", 15s)) << service->Stdout();
  EXPECT_EQ(std::string::npos, service->Stdout().find("Failed to save rotated key")) << service->Stdout();

  struct stat info {};
  ASSERT_EQ(0, lstat(link_path.c_str(), &info));
  EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link was replaced by a file";
  EXPECT_NE(std::string::npos, zq_test::ReadFile(target).find("\"NewKey\": \"rotated-key\"")) << zq_test::ReadFile(target);
  ASSERT_EQ(0, stat(target.c_str(), &info));
  EXPECT_EQ(0664u, info.st_mode & 07777u);
  EXPECT_EQ("not the configuration", zq_test::ReadFile(victim));
  EXPECT_TRUE(service->Running());
}

}  // namespace
