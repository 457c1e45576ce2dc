// The whole start-up of the real binary against every peer at once: the
// cloud back end, the camera software on 127.0.0.1:9658, the share-buffer
// directory fed with faces all along, the private cloud and the SNMP agent.
// What start-up waits for holds up everything after it, and a back end that
// misbehaves during the run stops nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakes/face_share_buf_writer.h"
#include "fakes/private_cloud_fake.h"
#include "support/cloud_backend.h"
#include "support/snmp_tools.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using zq_test::CloudBackendFake;
using zq_test::FaceGroup;
using zq_test::FaceShareBufWriter;
using zq_test::HttpReply;

// The camera software's side of the face share buffer: one list of one face
// every 250 ms from construction on, the list's number in the face's "left".
class FaceFeeder {
 public:
  explicit FaceFeeder(const std::string& directory) : writer_(directory), thread_([this] { Run(); }) {}
  ~FaceFeeder() {
    stop_ = true;
    thread_.join();
  }
  FaceFeeder(const FaceFeeder&) = delete;
  FaceFeeder& operator=(const FaceFeeder&) = delete;

  // The number the next list will carry.
  int NextList() const { return next_.load(); }
  // The last list put in place before `moment` (0: none).
  int LastListBefore(Clock::time_point moment) {
    std::lock_guard<std::mutex> lock(mutex_);
    int last = 0;
    for (size_t i = 0; i < landed_.size() && landed_[i] < moment; ++i) last = static_cast<int>(i) + 1;
    return last;
  }

 private:
  void Run() {
    // Bounded: at most 10 minutes of lists.
    for (int list = 1; list < 2400 && !stop_; ++list) {
      FaceGroup group;
      group.timestamp = 8000000000ull + static_cast<uint64_t>(list);
      group.datatype = 1;
      group.objectID = list % 7;
      group.left = list;
      group.top = 10;
      group.right = list + 50;
      group.bottom = 70;
      group.quality = 80;
      writer_.PutImage(group.timestamp, group.datatype, group.objectID, std::string(3000, static_cast<char>(list)));
      writer_.PutList(static_cast<uint64_t>(list), FaceShareBufWriter::ListText({group}));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        landed_.push_back(Clock::now());
      }
      next_ = list + 1;
      std::this_thread::sleep_for(250ms);
    }
  }

  FaceShareBufWriter writer_;
  std::atomic<bool> stop_{false};
  std::atomic<int> next_{1};
  std::mutex mutex_;
  std::vector<Clock::time_point> landed_;  // of list i + 1
  std::thread thread_;
};

class StartupProcessTest : public zq_test::CloudProcessTest {
 protected:
  StartupProcessTest() : private_cloud_(std::make_unique<zq_test::PrivateCloudFake>()) {}

  // The configuration and the cloud's answer agree on the report periods,
  // the faces go to the private cloud.
  void WriteConfig(int heartbeat_gap, int monitor_gap) {
    root_.WriteBaseConfig(zq_test::WithPicUploadUrl(
        cloud_, zq_test::CloudBaseConfig(cloud_, heartbeat_gap, monitor_gap), private_cloud_->url()));
  }

  std::unique_ptr<zq_test::ChildProcess> Start() {
    feeder_ = std::make_unique<FaceFeeder>(share_.path());
    return StartService({{"ZQ_SHAREBUF_DIR", share_.path()}});
  }

  // Waits until the private cloud received a face of list `list` or later.
  bool WaitForFaceFromList(int list, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      for (const zq_test::FaceUpload& upload : private_cloud_->Uploads()) {
        if (upload.decoded && upload.message.faces_size() > 0 && upload.message.faces(0).face_rect().x() >= list) {
          return true;
        }
      }
      private_cloud_->WaitForUploads(private_cloud_->UploadCount() + 1, 200ms);
    }
    return false;
  }

  static Clock::time_point Earliest(const std::vector<zq_test::CloudReport>& reports) {
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& report : reports) earliest = std::min(earliest, report.raw.arrival);
    return earliest;
  }

  Clock::time_point EarliestUpload() const {
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& upload : private_cloud_->Uploads()) earliest = std::min(earliest, upload.request.arrival);
    return earliest;
  }

  zq_test::TempDir share_{"zqshare"};
  std::unique_ptr<zq_test::PrivateCloudFake> private_cloud_;
  // Declared last: stops writing before the directory goes.
  std::unique_ptr<FaceFeeder> feeder_;
};

TEST_F(StartupProcessTest, EverythingComesUpInItsOrder) {
  WriteConfig(2, 3);
  auto& peer = StartCameraPeer(300ms);
  auto service = Start();

  ASSERT_TRUE(cloud_.WaitForAccepted(1, 20s)) << service->Stdout();
  ASSERT_TRUE(peer.WaitForReplies(1, 20s)) << service->Stdout();
  ASSERT_TRUE(private_cloud_->WaitForUploads(3, 20s)) << service->Stdout();
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, 2, 20s)) << service->Stdout();
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kMonitorPath, 1, 20s)) << service->Stdout();
  std::vector<zq_test::SnmpVarbind> answer = zq_test::SnmpGet(environment_.snmp_port, {".1.3.6.1.2.1.1.3.0"});
  ASSERT_EQ(1u, answer.size()) << service->Stderr().substr(0, 4000);
  EXPECT_EQ("Timeticks", answer[0].type);

  // Authentication first, once: the cloud accepted at once.
  auto auth = cloud_.AuthRequests();
  ASSERT_EQ(1u, auth.size());
  EXPECT_TRUE(auth[0].accepted);
  // Then the one encoder request, a whole 1 MiB block with RequestId "1".
  auto requests = peer.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_TRUE(requests[0].well_formed) << requests[0].problem;
  EXPECT_EQ("1", requests[0].request_id);
  EXPECT_GT(requests[0].arrival, auth[0].arrival);
  ASSERT_TRUE(requests[0].replied);
  // Faces were there all along, but nothing is uploaded or reported before
  // the camera software answered.
  const Clock::time_point answered = requests[0].replied_at;
  EXPECT_GT(EarliestUpload(), answered);
  EXPECT_GT(Earliest(cloud_.Reports(CloudBackendFake::kHeartbeatPath)), answered);
  EXPECT_GT(Earliest(cloud_.Reports(CloudBackendFake::kMonitorPath)), answered);
  for (const auto& upload : private_cloud_->Uploads()) {
    ASSERT_TRUE(upload.decoded);
    EXPECT_EQ(1, upload.message.faces_size());
  }

  // The services in the order 4, 0, 2, 1, 3, each once, before the businesses.
  std::string out = service->Stdout();
  size_t previous = out.find("zq_camera_service major version: 1 \n");
  ASSERT_NE(std::string::npos, previous) << out;
  for (int id : {4, 0, 2, 1, 3}) {
    std::string line = "Service | DEBUG: Start service " + std::to_string(id) + "\n";
    EXPECT_EQ(1u, zq_test::CountOccurrences(out, line)) << line;
    size_t at = out.find(line);
    EXPECT_GT(at, previous) << line << out;
    previous = at;
  }
  EXPECT_LT(out.find("Request common config succeed!"), out.find("Start service 2\n"));
  EXPECT_LT(out.find("config service response"), out.find("Start service 3\n"));
  // Then the businesses: the reports business reads its periods as it starts.
  size_t reports_business = out.find("INFO: monitor gap 3\n");
  ASSERT_NE(std::string::npos, reports_business) << out;
  EXPECT_GT(reports_business, previous);
  EXPECT_TRUE(service->Running());
}

TEST_F(StartupProcessTest, RefusedAuthenticationHoldsBackTheCameraRequest) {
  WriteConfig(2, 3);
  cloud_.QueueAuthError("AuthFailure", "unknown device");
  cloud_.QueueAuthError("AuthFailure", "unknown device");
  auto& peer = StartCameraPeer();
  auto service = Start();

  ASSERT_TRUE(cloud_.WaitForAccepted(1, 20s)) << service->Stdout();
  ASSERT_TRUE(peer.WaitForReplies(1, 10s)) << service->Stdout();
  auto auth = cloud_.AuthRequests();
  ASSERT_EQ(3u, auth.size());
  EXPECT_FALSE(auth[0].accepted);
  EXPECT_FALSE(auth[1].accepted);
  EXPECT_TRUE(auth[2].accepted);
  auto requests = peer.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("1", requests[0].request_id);
  EXPECT_GT(requests[0].arrival, auth[2].arrival) << "the camera was asked before the cloud accepted the device";
  // The link itself was up from the start: only the request waited.
  EXPECT_EQ(1u, peer.Connections());

  ASSERT_TRUE(private_cloud_->WaitForUploads(1, 20s)) << service->Stdout();
  EXPECT_GT(EarliestUpload(), requests[0].replied_at);
  EXPECT_EQ(2u, zq_test::CountOccurrences(service->Stdout(), "Service | ERROR: Retry connect auth in 2 second\n"));
  EXPECT_TRUE(service->Running());
}

TEST_F(StartupProcessTest, LateCameraReplyHoldsBackReportsAndUploads) {
  // Reports every second would show at once if anything were armed early.
  WriteConfig(1, 2);
  auto& peer = StartCameraPeer(5s);
  auto service = Start();

  ASSERT_TRUE(peer.WaitForRequests(1, 20s)) << service->Stdout();
  ASSERT_TRUE(cloud_.WaitForAccepted(1, 1s));
  // The peer answers 5 s after the request came in, not before.
  const Clock::time_point reply_due = peer.Requests()[0].arrival + 5s;
  std::this_thread::sleep_until(reply_due - 2s);
  // Silent so far: start-up waits, nothing is reported or uploaded. Only a
  // look taken before the reply was due tells; a machine too busy to take it
  // in time leaves it to the order of arrivals checked below.
  const size_t replies = peer.Replies();
  const size_t heartbeats = cloud_.Reports(CloudBackendFake::kHeartbeatPath).size();
  const size_t monitors = cloud_.Reports(CloudBackendFake::kMonitorPath).size();
  const size_t uploads = private_cloud_->UploadCount();
  const std::string out = service->Stdout();
  if (Clock::now() < reply_due) {
    EXPECT_EQ(0u, replies);
    EXPECT_EQ(0u, heartbeats);
    EXPECT_EQ(0u, monitors);
    EXPECT_EQ(0u, uploads);
    EXPECT_EQ(std::string::npos, out.find("Start service 3\n"));
  } else {
    printf("the look before the reply came too late on this machine\n");
  }

  ASSERT_TRUE(peer.WaitForReplies(1, 10s));
  const Clock::time_point answered = peer.Requests()[0].replied_at;
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, 2, 15s)) << service->Stdout();
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kMonitorPath, 1, 15s)) << service->Stdout();
  ASSERT_TRUE(private_cloud_->WaitForUploads(1, 15s)) << service->Stdout();
  EXPECT_GT(Earliest(cloud_.Reports(CloudBackendFake::kHeartbeatPath)), answered);
  EXPECT_GT(Earliest(cloud_.Reports(CloudBackendFake::kMonitorPath)), answered);
  EXPECT_GT(EarliestUpload(), answered);
  // Faces captured while start-up waited reached no handler: none of the
  // lists put in place a second before the reply is ever uploaded.
  const int waited_for = feeder_->LastListBefore(answered - 1s);
  ASSERT_GT(waited_for, 5);
  ASSERT_TRUE(private_cloud_->WaitForUploads(3, 10s));
  for (const auto& upload : private_cloud_->Uploads()) {
    ASSERT_TRUE(upload.decoded && upload.message.faces_size() == 1);
    EXPECT_GT(upload.message.faces(0).face_rect().x(), waited_for);
  }
  EXPECT_EQ(1u, peer.Requests().size());
  EXPECT_TRUE(service->Running());
}

TEST_F(StartupProcessTest, UnusableBaseConfigSkipsAuthenticationAndStartUpGoesOn) {
  struct Case {
    const char* name;
    const char* text;  // nullptr: no file at all
  };
  const Case cases[] = {
      {"missing", nullptr},
      {"malformed", "{\n    \"ConfigUrl\": "},
      {"an array", "[\"ConfigUrl\"]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove((root_.ConfigDir() + "BaseConfig.json").c_str());
    if (c.text != nullptr) root_.WriteBaseConfig(c.text);
    auto& peer = StartCameraPeer();
    auto service = StartService();
    ASSERT_TRUE(service->WaitForStdout("Service | ERROR: Failed to get base config ", 10s)) << service->Stdout();
    // On to service 2 at once, then the camera request and the monitor.
    ASSERT_TRUE(peer.WaitForReplies(1, 10s)) << service->Stdout();
    ASSERT_TRUE(service->WaitForStdout("Service | DEBUG: Start service 3\n", 10s)) << service->Stdout();
    std::string out = service->Stdout();
    EXPECT_LT(out.find("Failed to get base config"), out.find("Start service 2\n"));
    EXPECT_EQ(std::string::npos, out.find("Request message")) << out;
    EXPECT_EQ(std::string::npos, out.find("Retry connect auth")) << out;
    EXPECT_TRUE(cloud_.AuthRequests().empty());
    EXPECT_EQ("1", peer.Requests()[0].request_id);
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(service->Running());
    service->Kill();
  }
}

TEST_F(StartupProcessTest, BackEndTroubleDuringTheRunStopsNothing) {
  WriteConfig(2, 3);
  StartCameraPeer();
  auto service = Start();
  ASSERT_TRUE(private_cloud_->WaitForUploads(2, 30s)) << service->Stdout();
  const uint16_t port = private_cloud_->server().port();

  struct Phase {
    const char* name;
    std::function<void()> break_it;
    bool reaches_the_fake;  // the uploads still arrive, only the answers are bad
  };
  const Phase phases[] = {
      {"garbage answers",
       [&] {
         private_cloud_->AnswerBytes(std::string("\xff\x01<html>not protobuf", 20));
         cloud_.server().SetReply("POST", CloudBackendFake::kHeartbeatPath, HttpReply::Text("<html>garbage"));
         cloud_.server().SetReply("POST", CloudBackendFake::kMonitorPath, HttpReply::Json("[1,"));
       },
       true},
      {"server errors",
       [&] {
         private_cloud_->AnswerStatus(500);
         cloud_.server().SetReply("POST", CloudBackendFake::kHeartbeatPath, HttpReply::Status(503));
         cloud_.server().SetReply("POST", CloudBackendFake::kMonitorPath, HttpReply::Drop());
       },
       true},
      {"slower than the transfer timeout",
       [&] {
         private_cloud_->SetDelay(7s);
         cloud_.server().SetReply("POST", CloudBackendFake::kHeartbeatPath,
                                  HttpReply::Stall(7s, HttpReply::Json("{\"Response\":{}}")));
       },
       true},
      {"down", [&] { private_cloud_.reset(); }, false},
  };
  for (const Phase& phase : phases) {
    SCOPED_TRACE(phase.name);
    size_t before = private_cloud_->UploadCount();
    size_t heartbeats = cloud_.Reports(CloudBackendFake::kHeartbeatPath).size();
    phase.break_it();
    if (phase.reaches_the_fake) {
      ASSERT_TRUE(private_cloud_->WaitForUploads(before + 1, 20s)) << service->Stdout();
      ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, heartbeats + 1, 20s));
    } else {
      std::this_thread::sleep_for(3s);
    }
    EXPECT_TRUE(service->Running());

    // Mended: faces captured from now on are delivered again.
    if (!private_cloud_) private_cloud_ = std::make_unique<zq_test::PrivateCloudFake>(port);
    private_cloud_->AnswerResult(0, "ok");
    private_cloud_->SetDelay(0ms);
    cloud_.server().SetReply("POST", CloudBackendFake::kHeartbeatPath, HttpReply::Json("{\"Response\":{}}"));
    cloud_.server().SetReply("POST", CloudBackendFake::kMonitorPath, HttpReply::Json("{\"Response\":{}}"));
    int mended_at = feeder_->NextList();
    EXPECT_TRUE(WaitForFaceFromList(mended_at, 30s)) << "list " << mended_at << "\n" << service->Stdout();
    heartbeats = cloud_.Reports(CloudBackendFake::kHeartbeatPath).size();
    EXPECT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, heartbeats + 1, 15s));
  }
  EXPECT_TRUE(service->Running());
  EXPECT_EQ(std::string::npos, service->Stderr().find("AddressSanitizer")) << service->Stderr().substr(0, 4000);
}

}  // namespace

namespace {

TEST_F(StartupProcessTest, ReportsKeepTheirTurnWhileEveryUploadRunsIntoItsTimeout) {
  // Heartbeats every 2 s and monitoring reports every 3 s share the one HTTP
  // transport with face uploads that the private cloud holds past their 5 s
  // time-out. Served in arrival order, a report waits behind at most the one
  // upload already under way: no gap between two reports of either kind
  // beyond one time-out and a period.
  WriteConfig(2, 3);
  StartCameraPeer();
  auto service = Start();
  ASSERT_TRUE(private_cloud_->WaitForUploads(2, 30s)) << service->Stdout();
  ASSERT_TRUE(cloud_.WaitForReports(CloudBackendFake::kHeartbeatPath, 1, 20s)) << service->Stdout();
  private_cloud_->SetDelay(8s);
  const Clock::time_point held_from = Clock::now();
  std::this_thread::sleep_for(45s);
  const Clock::time_point held_until = Clock::now();

  std::vector<Clock::time_point> arrivals;
  for (const char* path : {CloudBackendFake::kHeartbeatPath, CloudBackendFake::kMonitorPath}) {
    for (const auto& report : cloud_.Reports(path)) {
      if (report.raw.arrival >= held_from) arrivals.push_back(report.raw.arrival);
    }
  }
  std::sort(arrivals.begin(), arrivals.end());
  ASSERT_FALSE(arrivals.empty()) << service->Stdout();
  double largest = std::chrono::duration<double>(arrivals.front() - held_from).count();
  std::string gaps;
  for (size_t i = 1; i < arrivals.size(); ++i) {
    double gap = std::chrono::duration<double>(arrivals[i] - arrivals[i - 1]).count();
    largest = std::max(largest, gap);
    gaps += std::to_string(gap) + " ";
  }
  largest = std::max(largest, std::chrono::duration<double>(held_until - arrivals.back()).count());
  printf("reports while uploads time out: %zu, largest gap %.1f s\n", arrivals.size(), largest);
  EXPECT_LE(largest, 8.0) << gaps;
  // The uploads kept their share, too: one after each time-out at most.
  EXPECT_GE(private_cloud_->UploadCount(), 4u);
  EXPECT_TRUE(service->Running());
}

}  // namespace
