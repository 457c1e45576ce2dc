// The real binary with the network log sink selected (LOG_TYPE=2): its lines
// from the very first one reach the loopback collector, and a collector that
// is not there does not stop the process.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "fakes/http_fake_server.h"
#include "support/service_process.h"

namespace {

using namespace std::chrono_literals;
using zq_test::HttpFakeServer;
using zq_test::HttpReply;

// The collector's batch form: { "Logs":["<base64>","<base64>",...] }
bool IsLogBatchBody(const std::string& body) {
  const std::string head = "{ \"Logs\":[";
  const std::string tail = "] }";
  if (body.size() < head.size() + tail.size() || body.compare(0, head.size(), head) != 0 ||
      body.compare(body.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  const std::string items = body.substr(head.size(), body.size() - head.size() - tail.size());
  size_t at = 0;
  while (true) {
    if (at >= items.size() || items[at] != '"') return false;
    size_t end = items.find('"', at + 1);
    if (end == std::string::npos || end == at + 1) return false;
    for (size_t i = at + 1; i < end; ++i) {
      char c = items[i];
      if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') return false;
    }
    at = end + 1;
    if (at == items.size()) return true;
    if (items[at] != ',') return false;
    ++at;
  }
}

std::vector<std::string> DecodedLines(const std::vector<zq_test::HttpRequestRecord>& batches) {
  std::vector<std::string> lines;
  for (const auto& batch : batches) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(batch.body.data(), batch.body.size());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember("Logs") ||
        !document["Logs"].IsArray()) {
      ADD_FAILURE() << "not a batch: " << batch.body;
      continue;
    }
    for (const auto& entry : document["Logs"].GetArray()) {
      if (entry.IsString()) lines.push_back(base64_decode(std::string(entry.GetString(), entry.GetStringLength())));
    }
  }
  return lines;
}

class NetLogProcessTest : public zq_test::ServiceProcessTest {
 protected:
  void SetUp() override {
    // The sink's own diagnostics go to the device's fixed log file; where
    // that directory exists this machine is not a place to run the service.
    struct stat info {};
    if (stat("/mnt/flash/smartinfo", &info) == 0) GTEST_SKIP() << "the device log directory exists on this machine";
    // No BaseConfig.json: authentication returns at once, so no cloud
    // exchange mixes with the collector's and nothing else reaches stdout.
    root_.WriteVersionConfig(zq_test::VersionConfig(3));
    // An answering camera peer keeps the camera link's own connection errors
    // off standard error, where the sink's failures are looked for.
    StartCameraPeer();
  }
};

TEST_F(NetLogProcessTest, LinesReachTheCollectorFromTheFirstOne) {
  HttpFakeServer collector;
  collector.SetReply("POST", "/", HttpReply::Text("ok"));
  auto start = std::chrono::steady_clock::now();
  auto service = StartService({{"LOG_TYPE", "2"}, {"LOG_URL", collector.url()}});
  ASSERT_TRUE(collector.WaitForRequests(1, 15s)) << service->Stdout();
  auto first = collector.Requests()[0];
  EXPECT_LT(first.arrival - start, 8s);
  EXPECT_EQ("POST", first.method);
  EXPECT_EQ("/", first.path);
  EXPECT_EQ("application/json", first.Header("Content-Type"));
  EXPECT_EQ(std::to_string(first.body.size()), first.Header("Content-Length"));
  EXPECT_TRUE(IsLogBatchBody(first.body)) << first.body;

  std::vector<std::string> lines = DecodedLines({first});
  ASSERT_FALSE(lines.empty());
  const std::string tag = "Service[" + std::to_string(service->pid()) + "|" + std::to_string(getpid()) + "] | ";
  const std::string begin = "] " + tag + "DEBUG: Begin...\n";
  EXPECT_EQ('[', lines[0][0]) << lines[0];
  EXPECT_TRUE(lines[0].size() > begin.size() && lines[0].compare(lines[0].size() - begin.size(), begin.size(), begin) == 0)
      << lines[0];
  bool saw_version = false;
  for (const auto& line : lines) saw_version |= line.find(tag + "DEBUG: zq_camera_service major version: 3 \n") != std::string::npos;
  EXPECT_TRUE(saw_version);

  // Nothing but the settings line (and the SNMP agent's own lines) goes to
  // standard output. The agent thread writes its line when it gets to it.
  EXPECT_TRUE(service->WaitForStdout(zq_test::kSnmpAgentStdoutLines, 30s)) << service->Stdout();
  EXPECT_EQ("level 4 type 2 url " + collector.url() + "\n" + zq_test::kSnmpAgentStdoutLines, service->Stdout());
  EXPECT_TRUE(service->Running());
}

TEST_F(NetLogProcessTest, CollectorDownLeavesTheProcessRunning) {
  std::string url = "http://127.0.0.1:" + std::to_string(zq_test::FreeTcpPort());
  auto service = StartService({{"LOG_TYPE", "2"}, {"LOG_URL", url}});
  // libcurl's trace on standard error shows the first post failing.
  ASSERT_TRUE(service->WaitForStderr("Connection refused", 15s)) << service->Stderr();
  // The agent thread writes its line when it gets to it.
  EXPECT_TRUE(service->WaitForStdout(zq_test::kSnmpAgentStdoutLines, 30s)) << service->Stdout();
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(service->Running());
  EXPECT_EQ("level 4 type 2 url " + url + "\n" + zq_test::kSnmpAgentStdoutLines, service->Stdout());
}

}  // namespace
