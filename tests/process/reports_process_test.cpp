// Heartbeats and monitoring reports of the real binary against the cloud
// back-end fake: their periods from the configuration, a reply's "ReportGap"
// changing its own timer only, and a heartbeat reply asking for a picture.
#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "support/child_process.h"
#include "support/cloud_backend.h"
#include "support/service_process.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CloudBackendFake;
using zq_test::HttpReply;

std::string Describe(const std::vector<double>& gaps) {
  std::string text;
  for (double gap : gaps) text += std::to_string(gap) + " ";
  return text;
}

class ReportsProcessTest : public zq_test::CloudProcessTest {
 protected:
  // Starts the service with the given report periods, past authentication
  // and the encoder-information request.
  void StartWithGaps(int heartbeat_gap, int hello_time_gap) {
    root_.WriteBaseConfig(zq_test::CloudBaseConfig(cloud_, heartbeat_gap, hello_time_gap));
    StartCameraPeer();
    service_ = StartService();
    ASSERT_TRUE(cloud_.WaitForAccepted(1, 15s)) << service_->Stdout();
  }

  // Seconds between consecutive arrivals at `path`.
  std::vector<double> Intervals(const std::string& path) {
    std::vector<double> gaps;
    auto reports = cloud_.Reports(path);
    for (size_t i = 1; i < reports.size(); ++i) {
      gaps.push_back(std::chrono::duration<double>(reports[i].raw.arrival - reports[i - 1].raw.arrival).count());
    }
    return gaps;
  }

  std::unique_ptr<zq_test::ChildProcess> service_;
};

// The timers count whole seconds and each exchange takes a little time, so
// a period of P seconds shows as arrivals roughly P apart, never much less.
// A busy machine holds single reports up (one report here came 2.4 s late),
// each by at most one exchange's 5 s limit, but not all of them: the
// shortest gap of a series shows the period.
void ExpectPeriod(double seconds, const std::vector<double>& gaps, const std::string& what) {
  ASSERT_FALSE(gaps.empty()) << what;
  for (double gap : gaps) {
    EXPECT_GT(gap, seconds - 0.7) << what;
    EXPECT_LT(gap, seconds + 5.0) << what;
  }
  EXPECT_LT(*std::min_element(gaps.begin(), gaps.end()), seconds + 0.7) << what;
}

// A reply's "ReportGap" of `period` seconds after heartbeats every
// `armed` seconds: the heartbeat already armed keeps its period, shorter
// than the new by more than a busy machine's delay of a single report would
// make up; the ones after it come at the new period.
void ExpectArmedPeriodThenTheNewOne(double armed, double period, const std::vector<double>& gaps) {
  ASSERT_GE(gaps.size(), 3u);
  const std::string described = "heartbeats " + Describe(gaps);
  EXPECT_GT(gaps[0], armed - 0.7) << described;
  EXPECT_LT(gaps[0], period - 0.7) << described;
  ExpectPeriod(period, {gaps[1], gaps[2]}, described);
}

TEST_F(ReportsProcessTest, HeartbeatsAndMonitorReportsFollowTheirConfiguredPeriods) {
  StartWithGaps(2, 3);
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, 4, 30s)) << service_->Stdout();
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kMonitorPath, 4, 30s)) << service_->Stdout();

  std::vector<double> heartbeats = Intervals(CloudBackendFake::kHeartbeatPath);
  ExpectPeriod(2, heartbeats, "heartbeats " + Describe(heartbeats));
  std::vector<double> monitors = Intervals(CloudBackendFake::kMonitorPath);
  ExpectPeriod(3, monitors, "monitor reports " + Describe(monitors));

  for (const auto& report : cloud_.Reports(CloudBackendFake::kHeartbeatPath)) {
    EXPECT_TRUE(report.signature_valid);
    rapidjson::Document body;
    body.Parse(report.raw.body.c_str());
    ASSERT_TRUE(body.IsObject()) << report.raw.body;
    EXPECT_STREQ("device-1", body["DeviceId"].GetString());
    ASSERT_EQ(1u, body["InfoSet"].Size());
    EXPECT_EQ(10000, body["InfoSet"][0]["Type"].GetInt());
  }
  for (const auto& report : cloud_.Reports(CloudBackendFake::kMonitorPath)) {
    EXPECT_TRUE(report.signature_valid);
    rapidjson::Document body;
    body.Parse(report.raw.body.c_str());
    ASSERT_TRUE(body.IsObject()) << report.raw.body;
    ASSERT_EQ(3u, body["InfoSet"].Size());
    EXPECT_EQ(10001, body["InfoSet"][0]["Type"].GetInt());
  }
  std::string out = service_->Stdout();
  EXPECT_NE(std::string::npos, out.find("INFO: monitor gap 3\n"));
  // The bodies are logged, the key they carry is not.
  EXPECT_NE(std::string::npos, out.find("INFO: Request message {\n")) << out;
  EXPECT_EQ(std::string::npos, out.find(cloud_.CloudKey())) << out;
}

TEST_F(ReportsProcessTest, ReportGapOfAHeartbeatReplyChangesOnlyTheHeartbeatPeriod) {
  // The first heartbeat's reply asks for 4 s; the heartbeat already armed
  // still comes 2 s later, the ones after it 4 s apart.
  cloud_.server().QueueReply("POST", CloudBackendFake::kHeartbeatPath,
                             HttpReply::Json("{\"Response\":{\"ReportGap\":4}}"));
  StartWithGaps(2, 3);
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, 4, 35s)) << service_->Stdout();
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kMonitorPath, 4, 35s)) << service_->Stdout();
  ASSERT_NO_FATAL_FAILURE(ExpectArmedPeriodThenTheNewOne(2, 4, Intervals(CloudBackendFake::kHeartbeatPath)));

  std::vector<double> monitors = Intervals(CloudBackendFake::kMonitorPath);
  ExpectPeriod(3, monitors, "monitor reports " + Describe(monitors));
}

TEST_F(ReportsProcessTest, CatchCameraPicInAHeartbeatReplySetsTheActId) {
  // The command in a monitoring report's reply is not for this business.
  cloud_.server().QueueReply(
      "POST", CloudBackendFake::kMonitorPath,
      HttpReply::Json("{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":99}}}"));
  cloud_.server().QueueReply("POST", CloudBackendFake::kHeartbeatPath, HttpReply::Json("{\"Response\":{}}"));
  cloud_.server().QueueReply(
      "POST", CloudBackendFake::kHeartbeatPath,
      HttpReply::Json("{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":31}}}"));
  StartWithGaps(2, 3);
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kMonitorPath, 1, 15s)) << service_->Stdout();
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, 3, 15s)) << service_->Stdout();
  ASSERT_TRUE(service_->WaitForStdout("INFO: KwCloud data set cap camera flag\n", 5s)) << service_->Stdout();

  std::string out = service_->Stdout();
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "INFO: KwCloud data set act id\n")) << out;
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "INFO: KwCloud data set cap camera flag\n")) << out;
  // Set by the second heartbeat's reply, after the first one's.
  size_t set_at = out.find("KwCloud data set act id");
  EXPECT_EQ(2u, zq_test::CountOccurrences(out.substr(0, set_at), "Do heart beat\n")) << out;
}

// Back ends may write a note in a legacy two-byte encoding; the device only
// reads the members it acts on.
TEST_F(ReportsProcessTest, HeartbeatReplyWithLegacyTextStillSetsItsPeriodAndPictureCommand) {
  cloud_.server().QueueReply("POST", CloudBackendFake::kHeartbeatPath,
                             HttpReply::Json("{\"Response\":{\"ExtMsg\":{\"cmd\":\"CatchCameraPic\",\"actid\":5},"
                                             "\"ReportGap\":4,\"Note\":\"\xB2\xE2\"}}"));
  StartWithGaps(2, 3);
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, 4, 25s)) << service_->Stdout();
  std::string out = service_->Stdout();
  EXPECT_EQ(std::string::npos, out.find("Parse response failed")) << out;
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "INFO: KwCloud data set act id\n")) << out;
  EXPECT_EQ(1u, zq_test::CountOccurrences(out, "INFO: KwCloud data set cap camera flag\n")) << out;
  ExpectArmedPeriodThenTheNewOne(2, 4, Intervals(CloudBackendFake::kHeartbeatPath));
}

}  // namespace
