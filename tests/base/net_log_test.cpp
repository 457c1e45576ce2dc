// The network log sink in this process: lines logged with sink 2 reach the
// loopback collector in { "Logs":[...] } batches of Base64 lines.
//
// The poster starts once per process and reads the collector URL at every
// post, so the settings are made once for the whole program and never
// restored. The tests run in declaration order when the program runs whole,
// and each alone under CTest; either way a test starts a few milliseconds
// after the previous batch (or the poster's start), which the timing checks rely on.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/net_log.h"
#include "fakes/http_fake_server.h"
#include "service/net_service.h"
#include "support/files.h"

namespace {

using namespace std::chrono_literals;
using zq_test::HttpFakeServer;
using zq_test::HttpReply;
using zq_test::HttpRequestRecord;

// The lines of one batch body, decoded; empty with `ok` false when the body
// is not a batch.
std::vector<std::string> DecodeBatch(const std::string& body, bool* ok) {
  *ok = false;
  std::vector<std::string> lines;
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(body.data(), body.size());
  if (document.HasParseError() || !document.IsObject()) return lines;
  auto logs = document.FindMember("Logs");
  if (logs == document.MemberEnd() || !logs->value.IsArray()) return lines;
  for (const auto& entry : logs->value.GetArray()) {
    if (!entry.IsString()) return lines;
    lines.push_back(base64_decode(std::string(entry.GetString(), entry.GetStringLength())));
  }
  *ok = true;
  return lines;
}

std::string Suffix(const std::string& level, const std::string& text) {
  return "] Service[" + std::to_string(getpid()) + "|" + std::to_string(getppid()) + "] | " + level + ": " + text;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class NetLogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The log poster thread outlives the suite, so the directory its file
    // lives in goes only when the process ends.
    static zq_test::TempDir* scratch = new zq_test::TempDir("zqnetlog");
    scratch_ = scratch;
    std::atexit([] { delete scratch_; });
    static HttpFakeServer* collector = new HttpFakeServer();
    collector_ = collector;
    collector_->SetReply("POST", "/", HttpReply::Text("ok"));
    zq_set_log_file_path(*scratch / "log_daemon.txt");
    log_file_ = *scratch / "log_daemon.txt";
    g_zq_log_app_name = "Service";
    // Errors only: the transport's own lines on success would join the batches.
    g_zq_log_config = 1;
    g_zq_log_record_type = 2;
    g_zq_log_record_url = collector_->url();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    zq_camera_service::NetService::GetInstance()->StartService();
  }

  // Waits for request number `index` (0-based) at the collector.
  HttpRequestRecord Batch(size_t index, std::chrono::milliseconds timeout = 15s) {
    EXPECT_TRUE(collector_->WaitForRequests(index + 1, timeout)) << "batch " << index << " never came";
    auto requests = collector_->Requests();
    return requests.size() > index ? requests[index] : HttpRequestRecord{};
  }

  static HttpFakeServer* collector_;
  static std::string log_file_;
  static zq_test::TempDir* scratch_;
};

HttpFakeServer* NetLogTest::collector_ = nullptr;
std::string NetLogTest::log_file_;
zq_test::TempDir* NetLogTest::scratch_ = nullptr;

TEST(NetLogRulesTest, BatchIsDueAfterTenLinesOrFiveSeconds) {
  struct Case {
    size_t queued;
    int64_t now;
    int64_t last;
    bool due;
  };
  const Case cases[] = {
      {0, 1000, 0, false},     // nothing to post, however long ago
      {11, 1000, 1000, true},  // more than ten lines: at once
      {10, 1000, 1000, false}, // exactly ten wait for the clock
      {10, 1005, 1000, false},
      {10, 1006, 1000, true},
      {1, 1005, 1000, false},
      {1, 1006, 1000, true},
      {1, 1000 - 3600, 1000, true},  // clock set back an hour: at once
      {1, 1000 - 1, 1000, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.due, zq_netlog_batch_due(c.queued, c.now, c.last)) << c.queued << " " << c.now << " " << c.last;
  }
}

TEST(NetLogRulesTest, BatchBodyHoldsQuotedBase64Lines) {
  EXPECT_EQ("{ \"Logs\":[] }", zq_netlog_batch_body({}));
  EXPECT_EQ("{ \"Logs\":[\"YQo=\"] }", zq_netlog_batch_body({"a\n"}));
  EXPECT_EQ("{ \"Logs\":[\"YQo=\",\"ImIiCg==\"] }", zq_netlog_batch_body({"a\n", "\"b\"\n"}));
}

TEST_F(NetLogTest, ElevenLinesGoAtOnceInOneBatch) {
  auto start = std::chrono::steady_clock::now();
  const std::vector<std::string> texts = {
      "plain line\n", "with \"double quotes\"\n", "two\nline feeds\n", "non-ASCII \xc3\xa9\xe2\x82\xac\xff\n",
      "back\\slash and tab\t\n", "no final line feed", "{\"json\":[1,2]}\n", "7\n", "8\n", "9\n", "eleventh\n"};
  for (const std::string& text : texts) zq_error("%s", text.c_str());

  HttpRequestRecord batch = Batch(0, 4s);
  EXPECT_LT(batch.arrival - start, 3s) << "eleven lines must not wait for the clock";
  EXPECT_EQ(1u, collector_->RequestCount());
  EXPECT_EQ("application/json", batch.Header("Content-Type"));
  bool ok = false;
  std::vector<std::string> lines = DecodeBatch(batch.body, &ok);
  ASSERT_TRUE(ok) << batch.body;
  ASSERT_EQ(texts.size(), lines.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ('[', lines[i][0]);
    EXPECT_TRUE(EndsWith(lines[i], Suffix("ERROR", texts[i]))) << lines[i];
  }
  EXPECT_NE(std::string::npos, zq_test::ReadFile(log_file_).find("Service[" + std::to_string(getpid()) +
                                                                  "|" + std::to_string(getppid()) +
                                                                  "] | ERROR: start net log\n"));
}

TEST_F(NetLogTest, ASingleLineWaitsForTheFiveSeconds) {
  size_t before = collector_->RequestCount();
  auto logged = std::chrono::steady_clock::now();
  zq_error("alone\n");
  EXPECT_FALSE(collector_->WaitForRequests(before + 1, 3500ms)) << "a single line went before its time";
  HttpRequestRecord batch = Batch(before, 6s);
  auto waited = batch.arrival - logged;
  EXPECT_GE(waited, 4s);
  EXPECT_LE(waited, 7s);
  bool ok = false;
  std::vector<std::string> lines = DecodeBatch(batch.body, &ok);
  ASSERT_EQ(1u, lines.size());
  EXPECT_TRUE(EndsWith(lines[0], Suffix("ERROR", "alone\n"))) << lines[0];
}

TEST_F(NetLogTest, LongLinesAreCutToTheLineBuffer) {
  size_t before = collector_->RequestCount();
  std::string long_text(1500, 'x');
  for (int i = 0; i < 11; ++i) zq_error("%s%s", long_text.c_str(), long_text.c_str());
  HttpRequestRecord batch = Batch(before, 4s);
  bool ok = false;
  std::vector<std::string> lines = DecodeBatch(batch.body, &ok);
  ASSERT_EQ(11u, lines.size());
  // The log core keeps 999 characters of the text; the line around them fits.
  EXPECT_TRUE(EndsWith(lines[0], Suffix("ERROR", std::string(999, 'x')))) << lines[0].size();
  EXPECT_LE(lines[0].size(), kNetLogLineBufferSize - 1);
}

TEST_F(NetLogTest, FullQueueDropsTheOldestAndSaysSo) {
  size_t before = collector_->RequestCount();
  // The next batch stalls at the collector, so the poster is held in its post
  // while the queue overflows behind it.
  collector_->QueueReply("POST", "/", HttpReply::Stall(2s, HttpReply::Text("ok")));
  for (int i = 0; i < 11; ++i) zq_error("held %d\n", i);
  ASSERT_TRUE(collector_->WaitForRequests(before + 1, 4s));
  const int extra = 250;
  for (int i = 0; i < static_cast<int>(kNetLogQueueLimit) + extra; ++i) zq_error("queued %d\n", i);
  EXPECT_EQ(static_cast<size_t>(extra), zq_netlog_dropped_count());

  HttpRequestRecord batch = Batch(before + 1, 10s);
  bool ok = false;
  std::vector<std::string> lines = DecodeBatch(batch.body, &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(kNetLogQueueLimit + 1, lines.size());
  EXPECT_TRUE(EndsWith(lines[0], Suffix("WARN", "Network log queue full, 250 lines dropped\n"))) << lines[0];
  EXPECT_TRUE(EndsWith(lines[1], Suffix("ERROR", "queued 250\n"))) << lines[1];
  EXPECT_TRUE(EndsWith(lines.back(), Suffix("ERROR", "queued " + std::to_string(kNetLogQueueLimit + extra - 1) + "\n")));
  EXPECT_EQ(0u, zq_netlog_dropped_count());
}

TEST_F(NetLogTest, FailedPostsLoseTheirBatchAndLoggingGoesOn) {
  size_t before = collector_->RequestCount();
  collector_->QueueReply("POST", "/", HttpReply::Drop());
  for (int i = 0; i < 11; ++i) zq_error("lost %d\n", i);
  ASSERT_TRUE(collector_->WaitForRequests(before + 1, 4s));
  // The transport's two error lines about the failed post are the next batch.
  HttpRequestRecord next = Batch(before + 1, 10s);
  bool ok = false;
  std::vector<std::string> lines = DecodeBatch(next.body, &ok);
  ASSERT_TRUE(ok);
  ASSERT_EQ(2u, lines.size()) << next.body;
  EXPECT_TRUE(EndsWith(lines[0], Suffix("ERROR", "Net Error 52 Left retry count 0 |  " + collector_->url() + "\n")))
      << lines[0];
  EXPECT_TRUE(EndsWith(lines[1], Suffix("ERROR", "Retry failed " + collector_->url() + "\n"))) << lines[1];
}

}  // namespace
