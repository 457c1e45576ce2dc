#include "base/thread_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_camera_service::IThreadService;
using zq_camera_service::ThreadManager;

// A body that runs until asked to stop.
class StoppableWorker : public IThreadService {
 public:
  StoppableWorker() { threadFuncs.push_back(static_cast<void (IThreadService::*)()>(&StoppableWorker::StartThread)); }
  void StartThread() override {
    std::unique_lock<std::mutex> lock(mutex_);
    started_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return stop_; });
  }
  void RequestStopThread() override {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    changed_.notify_all();
  }
  void WaitStarted() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return started_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false;
  bool stop_ = false;
};

TEST(ThreadManager, NamesAreMadeUniqueFromTheNamePassedIn) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  StoppableWorker a, b, c;
  ThreadManager* manager = ThreadManager::GetInstance();
  std::string first = manager->CreateThread("UniqueNameThread", &a, 0);
  std::string second = manager->CreateThread("UniqueNameThread", &b, 0);
  std::string third = manager->CreateThread("UniqueNameThread", &c, 0);
  EXPECT_EQ("UniqueNameThread", first);
  EXPECT_EQ("UniqueNameThread1", second);
  EXPECT_EQ("UniqueNameThread2", third);
  EXPECT_EQ(0, manager->StopThread(first));
  EXPECT_EQ(0, manager->StopThread(second));
  EXPECT_EQ(0, manager->StopThread(third));
  // Freed names can be handed out again.
  StoppableWorker d;
  std::string again = manager->CreateThread("UniqueNameThread", &d, 0);
  EXPECT_EQ("UniqueNameThread", again);
  EXPECT_EQ(0, manager->StopThread(again));
}

TEST(ThreadManager, FailedCreationReturnsEmptyAndRegistersNothing) {
  zq_test::ScopedLogSettings settings(1, 3, "");
  ThreadManager* manager = ThreadManager::GetInstance();
  StoppableWorker worker;
  std::string log;
  {
    zq_test::StdoutCapture capture;
    manager->SetFailThreadCreationForTest(true);
    EXPECT_EQ("", manager->CreateThread("FailingThread", &worker, 0));
    manager->SetFailThreadCreationForTest(false);
    EXPECT_EQ("", manager->CreateThread("FailingThread", &worker, 5));  // no such body
    log = capture.Text();
  }
  EXPECT_EQ("Service | ERROR: Failed to start thread\nService | ERROR: Failed to start thread\n", log);
  std::string name = "FailingThread";
  zq_test::ScopedLogSettings quiet(0, 3, "");
  EXPECT_EQ(-1, manager->StopThread(name));
}

TEST(ThreadManager, StopOfUnknownNameIsRefused) {
  zq_test::ScopedLogSettings settings(1, 3, "");
  zq_test::StdoutCapture capture;
  std::string name = "NeverStarted";
  EXPECT_EQ(-1, ThreadManager::GetInstance()->StopThread(name));
  EXPECT_EQ("Service | ERROR: Failed to stop thread NeverStarted not found\n", capture.Text());
}

class RecordingBody : public IThreadService {
 public:
  RecordingBody() { threadFuncs.push_back(static_cast<void (IThreadService::*)()>(&RecordingBody::StartThread)); }
  void StartThread() override { printf("body ran\n"); }
};

TEST(ThreadManager, StartLinesSurroundTheBody) {
  zq_test::ScopedLogSettings settings(3, 3, "");
  zq_test::StdoutCapture capture;
  RecordingBody body;
  std::string name = ThreadManager::GetInstance()->CreateThread("RecordingThread", &body, 0);
  ASSERT_EQ("RecordingThread", name);
  ASSERT_EQ(0, ThreadManager::GetInstance()->StopThread(name));  // joins
  EXPECT_EQ("Service | INFO: Thread manager start thread...\n"
            "Service | INFO: Thread manager start thread...2\n"
            "body ran\n"
            "Service | INFO: Thread manager start thread...3\n",
            capture.Text());
}

}  // namespace
