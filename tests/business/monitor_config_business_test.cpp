#include "business/monitor_config_business.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "base/config_manager.h"
#include "base/log.h"
#include "business/kw_cloud_bodies.h"
#include "service/auth_service.h"
#include "service/service_manager.h"
#include "support/child_process.h"
#include "support/cloud_backend.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using namespace zq_camera_service;

constexpr time_t kNow = 5000;

timeval FixedNow() {
  timeval now{};
  now.tv_sec = kNow;
  now.tv_usec = 250000;
  return now;
}

// A business on a fixed clock, started from a base configuration text.
class MonitorConfigBusinessTest : public ::testing::Test {
 protected:
  int StartWith(const std::string& base_config) {
    zq_test::WriteFile(config_dir_ / "BaseConfig.json", base_config);
    ConfigManager::GetInstance()->LoadConfigs(config_dir_.path() + "/");
    business_.timer_clock = FixedNow;
    return business_.StartBusiness();
  }

  zq_test::ScopedLogSettings logs_{4, 3, ""};
  zq_test::TempDir config_dir_;
  MonitorConfigBusiness business_;
};

TEST_F(MonitorConfigBusinessTest, StartArmsBothTimersFromTheConfiguration) {
  struct Case {
    const char* name;
    std::string gaps;
    int heartbeat_period;
    int monitor_period;
  };
  const Case cases[] = {
      {"both given", "\"HeartbeatGap\": 2, \"HelloTimeGap\": 3", 2, 3},
      {"both missing", "\"Other\": 1", 1, 1},
      {"zero and negative", "\"HeartbeatGap\": 0, \"HelloTimeGap\": -5", 1, 1},
      {"not integers", "\"HeartbeatGap\": \"20\", \"HelloTimeGap\": 2.5", 1, 1},
      {"longer than a day", "\"HeartbeatGap\": 86400, \"HelloTimeGap\": 2000000000", 86400, 86400},
  };
  for (const Case& c : cases) {
    MonitorConfigBusiness business;
    zq_test::WriteFile(config_dir_ / "BaseConfig.json",
                       "{" + c.gaps + ", \"HelloUrl\": \"http://127.0.0.1:9\", \"DeviceId\": \"dev-9\"}");
    ConfigManager::GetInstance()->LoadConfigs(config_dir_.path() + "/");
    business.timer_clock = FixedNow;
    ASSERT_EQ(0, business.StartBusiness()) << c.name;
    EXPECT_EQ((std::unordered_map<int, int>{{TIMER_HEARTBEAT, c.heartbeat_period}, {TIMER_MONITOR_REPORT, c.monitor_period}}),
              business.timer_periods)
        << c.name;
    ASSERT_EQ(2u, business.timer_next_due.size()) << c.name;
    EXPECT_EQ(kNow + c.heartbeat_period, business.timer_next_due[TIMER_HEARTBEAT].tv_sec) << c.name;
    EXPECT_EQ(250000, business.timer_next_due[TIMER_HEARTBEAT].tv_usec) << c.name;
    EXPECT_EQ(kNow + c.monitor_period, business.timer_next_due[TIMER_MONITOR_REPORT].tv_sec) << c.name;
    EXPECT_EQ("http://127.0.0.1:9", business.HelloUrl()) << c.name;
    EXPECT_EQ("dev-9", business.DeviceId()) << c.name;
  }
}

TEST_F(MonitorConfigBusinessTest, StartLogsTheGapAndKeepsTheValuesRead) {
  zq_test::StdoutCapture out;
  ASSERT_EQ(0, StartWith("{\"HeartbeatGap\": -3, \"HelloTimeGap\": 3, \"HelloUrl\": 7}"));
  EXPECT_EQ(-3, business_.HeartbeatGap());
  EXPECT_EQ(3, business_.MonitorGap());
  EXPECT_EQ("", business_.HelloUrl());
  EXPECT_EQ("", business_.DeviceId());
  std::string text = out.Text();
  EXPECT_NE(std::string::npos, text.find("INFO: monitor gap 3\n")) << text;
  EXPECT_NE(std::string::npos, text.find("HeartbeatGap -3 is not a positive period, using 1 second")) << text;
}

TEST_F(MonitorConfigBusinessTest, StartWithoutConfigurationArmsNothing) {
  zq_test::StdoutCapture out;
  ConfigManager::GetInstance()->LoadConfigs(config_dir_.path() + "/");  // empty directory
  EXPECT_EQ(-1, business_.StartBusiness());
  EXPECT_TRUE(business_.timer_periods.empty());
  EXPECT_TRUE(business_.timer_next_due.empty());
  EXPECT_NE(std::string::npos, out.Text().find("ERROR: Failed to load config -1\n")) << out.Text();
}

TEST_F(MonitorConfigBusinessTest, HandleResponseByTable) {
  ASSERT_EQ(0, StartWith("{\"HeartbeatGap\": 10, \"HelloTimeGap\": 20}"));
  struct Case {
    const char* name;
    int timer;
    std::string reply;
    int result;
    int heartbeat_period;
    int monitor_period;
    std::string log_line;  // "" when no line is expected
  };
  const Case cases[] = {
      {"empty", 1, "", -1, 10, 20, "ERROR: Response failed\n"},
      {"trailing text", 1, "{\"Response\":{\"ReportGap\":4}} trailing", -2, 10, 20,
       "ERROR: MonitorConfigBusiness Parse response failed\n"},
      {"not JSON", 2, "<html>", -2, 10, 20, "ERROR: MonitorConfigBusiness Parse response failed\n"},
      {"bare status code", 1, "404", 0, 10, 20, "WARN: MonitorConfigBusiness response without Response object\n"},
      {"array root", 1, "[1,2]", 0, 10, 20, "WARN: MonitorConfigBusiness response without Response object\n"},
      {"Response not an object", 2, "{\"Response\":[{\"ReportGap\":4}]}", 0, 10, 20,
       "WARN: MonitorConfigBusiness response without Response object\n"},
      {"Error", 1, "{\"Response\":{\"Error\":{\"Code\":\"E7\",\"Message\":\"no\"},\"ReportGap\":4}}", -3, 10, 20,
       "ERROR: MonitorConfigBusiness response error with E7 no\n"},
      {"Error null", 2, "{\"Response\":{\"Error\":null,\"ReportGap\":4}}", -3, 10, 20,
       "ERROR: MonitorConfigBusiness response error with  \n"},
      {"Error of wrong member types", 1, "{\"Response\":{\"Error\":{\"Code\":5,\"Message\":{}}}}", -3, 10, 20,
       "ERROR: MonitorConfigBusiness response error with  \n"},
      {"gap on heartbeat", 1, "{\"Response\":{\"ReportGap\":4}}", 0, 4, 20, ""},
      {"gap on monitor report", 2, "{\"Response\":{\"ReportGap\":30}}", 0, 10, 30, ""},
      {"gap on warning report", kWarningReportId, "{\"Response\":{\"ReportGap\":4}}", 0, 10, 20, ""},
      {"gap above a day", 2, "{\"Response\":{\"ReportGap\":999999}}", 0, 10, 86400, ""},
      {"gap zero", 1, "{\"Response\":{\"ReportGap\":0}}", 0, 10, 20,
       "WARN: ReportGap of report 1 is not a positive integer, period kept\n"},
      {"gap negative", 2, "{\"Response\":{\"ReportGap\":-1}}", 0, 10, 20,
       "WARN: ReportGap of report 2 is not a positive integer, period kept\n"},
      {"gap text", 1, "{\"Response\":{\"ReportGap\":\"4\"}}", 0, 10, 20,
       "WARN: ReportGap of report 1 is not a positive integer, period kept\n"},
      {"gap fraction", 1, "{\"Response\":{\"ReportGap\":4.5}}", 0, 10, 20,
       "WARN: ReportGap of report 1 is not a positive integer, period kept\n"},
      {"catch on monitor report is ignored", 2,
       "{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":3}}}", 0, 10, 20, ""},
      {"catch without business 1, gap still applied", 1,
       "{\"Response\":{\"ReportGap\":6,\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":3}}}", 0, 6, 20,
       "ERROR: Kw cloud data upload business not found\n"},
      {"wrong member types everywhere", 1,
       "{\"Response\":{\"ReportGap\":[],\"ExtMsg\":{\"cmd\":[\"CatchCameraPic\"],\"actid\":{}}}}", 0, 10, 20,
       "WARN: ReportGap of report 1 is not a positive integer, period kept\n"},
  };
  for (const Case& c : cases) {
    business_.timer_periods[TIMER_HEARTBEAT] = 10;
    business_.timer_periods[TIMER_MONITOR_REPORT] = 20;
    std::string reply = c.reply;
    std::string text;
    {
      zq_test::StdoutCapture out;
      EXPECT_EQ(c.result, business_.HandleResponseBy(c.timer, reply)) << c.name;
      text = out.Text();
    }
    EXPECT_EQ(c.heartbeat_period, business_.timer_periods[TIMER_HEARTBEAT]) << c.name;
    EXPECT_EQ(c.monitor_period, business_.timer_periods[TIMER_MONITOR_REPORT]) << c.name;
    if (c.log_line.empty()) {
      EXPECT_EQ(std::string::npos, text.find("ERROR")) << c.name << ": " << text;
      EXPECT_EQ(std::string::npos, text.find("WARN")) << c.name << ": " << text;
    } else {
      EXPECT_EQ(1u, zq_test::CountOccurrences(text, c.log_line)) << c.name << ": " << text;
    }
    // The due times are the task loop's; a reply never moves them.
    EXPECT_EQ(kNow + 10, business_.timer_next_due[TIMER_HEARTBEAT].tv_sec) << c.name;
  }
  // A reply for a timer the business never armed adds no period.
  business_.timer_periods.erase(TIMER_MONITOR_REPORT);
  std::string reply = "{\"Response\":{\"ReportGap\":4}}";
  EXPECT_EQ(0, business_.HandleResponseBy(TIMER_MONITOR_REPORT, reply));
  EXPECT_EQ(0u, business_.timer_periods.count(TIMER_MONITOR_REPORT));
}

// Past January 2038 Unix time no longer fits 32 bits; a board whose time_t
// has 64 bits keeps counting, and so must the reports.
TEST_F(MonitorConfigBusinessTest, ReportItemsCarryTimesPast2038) {
  ASSERT_EQ(0, StartWith("{\"HeartbeatGap\":10,\"HelloTimeGap\":20,\"DeviceId\":\"d\"}"));
  const int64_t times[] = {2147483647LL, 2147483648LL, 4102444800LL /* 2100 */, 253402300799LL /* 9999 */};
  for (int64_t time : times) {
    SCOPED_TRACE(time);
    rapidjson::Document document;
    document.SetObject();
    rapidjson::Value item = business_.AddObject(4, 10000, "{\"v\":10000}", time, document.GetAllocator());
    ASSERT_TRUE(item.IsObject());
    ASSERT_TRUE(item["Time"].IsInt64());
    EXPECT_EQ(time, item["Time"].GetInt64());

    // From the header's "TimeStamp" into every item of both bodies.
    rapidjson::Document header;
    header.Parse(("{\"Key\":\"k\",\"TimeStamp\":" + std::to_string(time) + "}").c_str());
    ASSERT_FALSE(header.HasParseError());
    size_t items = 0;
    for (const std::string& text :
         {business_.ComposePostHeartbeatHeader(header), business_.ComposePostMonitorHeader(header)}) {
      rapidjson::Document body;
      body.Parse(text.c_str());
      ASSERT_TRUE(body.IsObject() && body.HasMember("InfoSet") && body["InfoSet"].IsArray()) << text;
      for (const auto& each : body["InfoSet"].GetArray()) {
        ASSERT_TRUE(each["Time"].IsInt64()) << text;
        EXPECT_EQ(time, each["Time"].GetInt64()) << text;
        ++items;
      }
    }
    EXPECT_EQ(4u, items);
  }
}

// The reports against the cloud fake, after an authentication in this process.
class MonitorConfigReportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zq_test::WriteFile(config_dir_ / "BaseConfig.json", zq_test::CloudBaseConfig(cloud_));
    zq_test::WriteFile(config_dir_ / "VersionConfig.json", zq_test::VersionConfig(1));
    {
      zq_test::ScopedLogSettings quiet(0, 3, "");
      auth_ = zq_test::AuthenticateInProcess(config_dir_.path() + "/");
      ASSERT_NE(nullptr, auth_);
      ASSERT_EQ(0, business_.StartBusiness());
    }
  }

  zq_test::CloudBackendFake cloud_;
  zq_test::TempDir config_dir_;
  AuthService* auth_ = nullptr;
  MonitorConfigBusiness business_;
};

std::vector<std::string> MemberNames(const rapidjson::Value& object) {
  std::vector<std::string> names;
  for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) names.emplace_back(it->name.GetString());
  return names;
}

TEST_F(MonitorConfigReportsTest, HeartbeatIsPostedWithASignedHeaderAndItsReplyApplied) {
  cloud_.server().QueueReply("POST", zq_test::CloudBackendFake::kHeartbeatPath,
                             zq_test::HttpReply::Json("{\"Response\":{\"ReportGap\":4}}"));
  std::string logged;
  {
    zq_test::ScopedLogSettings logs(4, 3, "");
    zq_test::StdoutCapture out;
    EXPECT_EQ(0, business_.DoTimeOutHandler(TIMER_HEARTBEAT));
    logged = out.Text();
  }
  EXPECT_NE(std::string::npos, logged.find("INFO: Do Monitor timeout 1\n")) << logged;
  EXPECT_NE(std::string::npos, logged.find("INFO: Do heart beat\n")) << logged;
  EXPECT_NE(std::string::npos, logged.find("INFO: Request message {\n")) << logged;
  EXPECT_NE(std::string::npos, logged.find("\"Key\": \"***\"")) << logged;
  EXPECT_EQ(std::string::npos, logged.find(cloud_.CloudKey())) << logged;
  auto reports = cloud_.Reports(zq_test::CloudBackendFake::kHeartbeatPath);
  ASSERT_EQ(1u, reports.size());
  const zq_test::CloudReport& report = reports[0];
  EXPECT_TRUE(report.signature_valid);
  EXPECT_EQ("application/json", report.raw.Header("Content-Type"));

  rapidjson::Document body;
  body.Parse(report.raw.body.c_str());
  ASSERT_TRUE(body.IsObject()) << report.raw.body;
  EXPECT_EQ((std::vector<std::string>{"ProtocolVersion", "Mac", "Key", "CompanyId", "ShopId", "RequestId",
                                      "Signature", "TimeStamp", "DeviceId", "InfoSet"}),
            MemberNames(body));
  EXPECT_EQ("device-1", std::string(body["DeviceId"].GetString()));
  // The whole text, rebuilt from the header the fake received.
  rapidjson::Document header;
  header.SetObject();
  for (auto it = body.MemberBegin(); it != body.MemberEnd(); ++it) {
    if (std::string(it->name.GetString()) == "DeviceId") break;
    header.AddMember(rapidjson::Value(it->name, header.GetAllocator()), rapidjson::Value(it->value, header.GetAllocator()),
                     header.GetAllocator());
  }
  EXPECT_EQ(kw_cloud::HeartbeatBody(header, "device-1"), report.raw.body);
  const rapidjson::Value& item = body["InfoSet"][0];
  EXPECT_EQ(body["TimeStamp"].GetInt64(), item["Time"].GetInt64());
  EXPECT_EQ(4, business_.timer_periods[TIMER_HEARTBEAT]);
  EXPECT_EQ(60, business_.timer_periods[TIMER_MONITOR_REPORT]);
}

TEST_F(MonitorConfigReportsTest, MonitorReportCarriesThreeItemsAndConsecutiveRequestIds) {
  cloud_.server().QueueReply("POST", zq_test::CloudBackendFake::kMonitorPath,
                             zq_test::HttpReply::Json("{\"Response\":{\"ReportGap\":7}}"));
  zq_test::ScopedLogSettings quiet(0, 3, "");
  EXPECT_EQ(0, business_.DoTimeOutHandler(TIMER_MONITOR_REPORT));
  EXPECT_EQ(0, business_.DoTimeOutHandler(TIMER_HEARTBEAT));
  auto monitor = cloud_.Reports(zq_test::CloudBackendFake::kMonitorPath);
  auto heartbeat = cloud_.Reports(zq_test::CloudBackendFake::kHeartbeatPath);
  ASSERT_EQ(1u, monitor.size());
  ASSERT_EQ(1u, heartbeat.size());
  EXPECT_TRUE(monitor[0].signature_valid);
  EXPECT_EQ(std::to_string(std::stoi(monitor[0].request_id) + 1), heartbeat[0].request_id);

  rapidjson::Document body;
  body.Parse(monitor[0].raw.body.c_str());
  ASSERT_TRUE(body.IsObject());
  const rapidjson::Value& items = body["InfoSet"];
  ASSERT_EQ(3u, items.Size());
  const int types[] = {10001, 10002, 10003};
  for (rapidjson::SizeType i = 0; i < 3; ++i) {
    EXPECT_EQ(3, items[i]["Level"].GetInt());
    EXPECT_EQ(types[i], items[i]["Type"].GetInt());
    EXPECT_EQ(body["TimeStamp"].GetInt64(), items[i]["Time"].GetInt64());
  }
  // The figures are whole percents within [0, 100].
  rapidjson::Document cpu;
  cpu.Parse(items[0]["Msg"].GetString());
  ASSERT_TRUE(cpu.IsArray()) << items[0]["Msg"].GetString();
  EXPECT_STREQ("cpu0", cpu[0]["n"].GetString());
  ASSERT_TRUE(cpu[0]["v"].IsInt());
  EXPECT_GE(cpu[0]["v"].GetInt(), 0);
  EXPECT_LE(cpu[0]["v"].GetInt(), 100);
  rapidjson::Document disk;
  disk.Parse(items[1]["Msg"].GetString());
  ASSERT_TRUE(disk.IsObject()) << items[1]["Msg"].GetString();
  ASSERT_TRUE(disk["v"].IsInt());
  EXPECT_GE(disk["v"].GetInt(), 0);
  EXPECT_LE(disk["v"].GetInt(), 100);
  EXPECT_STREQ("{\"v\":1}", items[2]["Msg"].GetString());

  EXPECT_EQ(7, business_.timer_periods[TIMER_MONITOR_REPORT]);
  EXPECT_EQ(20, business_.timer_periods[TIMER_HEARTBEAT]);
}

TEST_F(MonitorConfigReportsTest, NoReplyAndRefusedRequests) {
  struct Case {
    const char* name;
    zq_test::HttpReply reply;
    const char* log_line;
  };
  const Case cases[] = {
      {"connection dropped", zq_test::HttpReply::Drop(), "ERROR: Response failed\n"},
      {"empty body", zq_test::HttpReply::Json(""), "ERROR: Response failed\n"},
      {"status 500", zq_test::HttpReply::Status(500), "WARN: MonitorConfigBusiness response without Response object\n"},
  };
  for (const Case& c : cases) {
    cloud_.server().QueueReply("POST", zq_test::CloudBackendFake::kHeartbeatPath, c.reply);
    zq_test::ScopedLogSettings logs(4, 3, "");
    zq_test::StdoutCapture out;
    EXPECT_EQ(0, business_.DoTimeOutHandler(TIMER_HEARTBEAT)) << c.name;
    EXPECT_EQ(1u, zq_test::CountOccurrences(out.Text(), c.log_line)) << c.name << ": " << out.Text();
    EXPECT_EQ(20, business_.timer_periods[TIMER_HEARTBEAT]) << c.name;
  }
  EXPECT_EQ(3u, cloud_.Reports(zq_test::CloudBackendFake::kHeartbeatPath).size());

  // DoPost itself: no reply leaves the reply text empty.
  cloud_.server().QueueReply("POST", zq_test::CloudBackendFake::kHeartbeatPath, zq_test::HttpReply::Drop());
  zq_test::ScopedLogSettings quiet(0, 3, "");
  std::string body = "{}";
  std::string path = MonitorConfigBusiness::kHeartbeatPath;
  std::string reply = "stale";
  EXPECT_EQ(-1, business_.DoPost(body, path, reply));
  EXPECT_EQ("", reply);
  EXPECT_EQ(0, business_.DoPost(body, path, reply));
  EXPECT_EQ("{\"Response\":{}}", reply);
}

TEST_F(MonitorConfigReportsTest, RepliesEchoingTheKeyAreLoggedMaskedAndCutToALine) {
  std::string echo;
  while (echo.size() < 200 * 1024) echo += cloud_.CloudKey() + ",";
  cloud_.server().QueueReply("POST", zq_test::CloudBackendFake::kHeartbeatPath, zq_test::HttpReply::Json(echo));
  std::string logged;
  {
    zq_test::ScopedLogSettings logs(3, 3, "");
    zq_test::StdoutCapture out;
    EXPECT_EQ(0, business_.DoTimeOutHandler(TIMER_HEARTBEAT));
    logged = out.Text();
  }
  // The text of the line, cut where the log cuts it (and so without its line
  // end: the next line follows on).
  const std::string start = "Service | INFO: Get response mesasge ";
  const size_t at = logged.find(start);
  ASSERT_NE(std::string::npos, at) << logged.substr(0, 2000);
  const size_t next = logged.find("Service | ", at + start.size());
  ASSERT_NE(std::string::npos, next);
  EXPECT_EQ(kZqLogTextLimit, next - at - std::string("Service | INFO: ").size());
  EXPECT_EQ("***,***,***,", logged.substr(at + start.size(), 12));
  EXPECT_EQ(std::string::npos, logged.find(cloud_.CloudKey()));
  EXPECT_EQ(1u, zq_test::CountOccurrences(logged, "ERROR: MonitorConfigBusiness Parse response failed\n"));
  EXPECT_EQ(20, business_.timer_periods[TIMER_HEARTBEAT]);
}

}  // namespace
