// The business registry and the timer loop, driven by a clock the test moves.
#include "business/business_manager.h"

#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::BaseBusiness;
using zq_camera_service::BusinessManager;
using zq_camera_service::BusinessType_eum;

class FakeClock {
 public:
  void Set(int64_t seconds, int64_t microseconds = 0) {
    seconds_ = seconds;
    microseconds_ = microseconds;
  }
  timeval Now() const {
    timeval now{};
    now.tv_sec = static_cast<time_t>(seconds_.load());
    now.tv_usec = static_cast<suseconds_t>(microseconds_.load());
    return now;
  }

 private:
  std::atomic<int64_t> seconds_{0};
  std::atomic<int64_t> microseconds_{0};
};

struct Firing {
  int timer;
  int64_t at;        // clock second when the handler ran
  int64_t due_then;  // the timer's due second as the handler saw it
  bool operator==(const Firing& other) const {
    return timer == other.timer && at == other.at && due_then == other.due_then;
  }
};

std::ostream& operator<<(std::ostream& out, const Firing& f) {
  return out << "{timer " << f.timer << " at " << f.at << " due " << f.due_then << "}";
}

struct TimerSetup {
  int id;
  bool has_due;
  timeval due;
  int period;
};

class TimedBusiness : public BaseBusiness {
 public:
  explicit TimedBusiness(std::vector<TimerSetup> timers = {}) : timers_(std::move(timers)) { ++constructed; }
  ~TimedBusiness() override {
    ++destroyed;
    if (stopped == 0) ++destroyed_unstopped;
  }

  int StartBusiness() override {
    ++started;
    for (const TimerSetup& t : timers_) {
      if (t.has_due) timer_next_due[t.id] = t.due;
      timer_periods[t.id] = t.period;
    }
    return 0;
  }
  int StopBusiness() override {
    ++stopped;
    return 0;
  }
  int DoTimeOutHandler(int timer) override {
    int64_t at = TimerNow().tv_sec;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      firings_.push_back({timer, at, static_cast<int64_t>(timer_next_due[timer].tv_sec)});
      if (on_fire_) on_fire_(*this, timer, static_cast<int>(firings_.size()));
    }
    cond_.notify_all();
    return 0;
  }

  void OnFire(std::function<void(TimedBusiness&, int, int)> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    on_fire_ = std::move(action);
  }
  std::vector<Firing> Firings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return firings_;
  }
  bool WaitForFirings(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, timeout, [&] { return firings_.size() >= count; });
  }

  static std::atomic<int> constructed;
  static std::atomic<int> destroyed;
  static std::atomic<int> destroyed_unstopped;
  std::atomic<int> started{0};
  std::atomic<int> stopped{0};

 private:
  std::vector<TimerSetup> timers_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<Firing> firings_;
  std::function<void(TimedBusiness&, int, int)> on_fire_;
};

std::atomic<int> TimedBusiness::constructed{0};
std::atomic<int> TimedBusiness::destroyed{0};
std::atomic<int> TimedBusiness::destroyed_unstopped{0};

// Waits until the loop has completed a check that began after this call.
// One wake may be answered by a check already under way, so it takes two.
bool SettleChecks(BusinessManager& manager) {
  for (int round = 0; round < 2; ++round) {
    uint64_t before = manager.CheckCount();
    manager.WakeTasks();
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (manager.CheckCount() <= before) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
  }
  return true;
}

timeval At(int64_t seconds, int64_t microseconds = 0) {
  timeval t{};
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_usec = static_cast<suseconds_t>(microseconds);
  return t;
}

struct Step {
  int64_t clock;
  std::vector<Firing> fired;  // what this step adds
};

struct LoopCase {
  const char* name;
  std::vector<TimerSetup> timers;
  std::function<void(TimedBusiness&, int, int)> on_fire;
  std::vector<Step> steps;
};

// 100 + INT_MAX where time_t holds it (64-bit), else the last second of a
// 32-bit time_t.
constexpr int64_t kLongestPeriodDue =
    std::min<int64_t>(int64_t{100} + INT_MAX, std::numeric_limits<time_t>::max());

TEST(BusinessManagerTest, TimerLoopTable) {
  const LoopCase cases[] = {
      {"due 0 fires on the first check, then every period",
       {{1, true, At(0), 10}},
       nullptr,
       {{100, {{1, 100, 110}}}, {109, {}}, {110, {{1, 110, 120}}}, {111, {}}}},
      {"only whole seconds count: S + 900 ms fires at S",
       {{1, true, At(200, 900000), 5}},
       nullptr,
       {{199, {}}, {200, {{1, 200, 205}}}}},
      {"a timer without a due entry is due at once",
       {{7, false, At(0), 4}},
       nullptr,
       {{50, {{7, 50, 54}}}, {53, {}}, {54, {{7, 54, 58}}}}},
      {"a period set by the handler counts from the next re-arm",
       {{1, true, At(0), 10}},
       [](TimedBusiness& b, int timer, int count) {
         if (count == 1) b.timer_periods[timer] = 30;
       },
       {{100, {{1, 100, 110}}}, {110, {{1, 110, 140}}}, {139, {}}, {140, {{1, 140, 170}}}}},
      {"a late check fires once and re-arms from the check",
       {{1, true, At(10), 5}},
       nullptr,
       {{100, {{1, 100, 105}}}, {104, {}}}},
      {"two timers keep their own times",
       {{1, true, At(0), 10}, {2, true, At(105), 3}},
       nullptr,
       {{100, {{1, 100, 110}}}, {105, {{2, 105, 108}}}, {108, {{2, 108, 111}}}, {110, {{1, 110, 120}}}}},
      {"the longest period re-arms within time_t's range, never into the past",
       {{1, true, At(0), INT_MAX}},
       nullptr,
       {{100, {{1, 100, kLongestPeriodDue}}}, {101, {}}, {1000000, {}}}},
  };
  for (const LoopCase& c : cases) {
    FakeClock clock;
    clock.Set(c.steps.front().clock);
    TimedBusiness* business = nullptr;
    BusinessManager manager(
        [&](BusinessType_eum) {
          auto made = std::make_unique<TimedBusiness>(c.timers);
          business = made.get();
          return made;
        },
        [&] { return clock.Now(); });
    ASSERT_NE(nullptr, manager.CreateBusinessBy(zq_camera_service::BUSINESS_MONITOR_CONFIG)) << c.name;
    business->OnFire(c.on_fire);
    manager.StartBusinessTasks();

    std::vector<Firing> expected;
    for (const Step& step : c.steps) {
      clock.Set(step.clock);
      expected.insert(expected.end(), step.fired.begin(), step.fired.end());
      ASSERT_TRUE(SettleChecks(manager)) << c.name;
      // Firings happen inside checks, so after two settled checks every one is in.
      EXPECT_EQ(expected, business->Firings()) << c.name << " at second " << step.clock;
    }
  }
}

TEST(BusinessManagerTest, PeriodZeroFiresOnEveryCheck) {
  FakeClock clock;
  clock.Set(500);
  TimedBusiness* business = nullptr;
  BusinessManager manager(
      [&](BusinessType_eum) {
        auto made = std::make_unique<TimedBusiness>(std::vector<TimerSetup>{{3, true, At(0), 0}});
        business = made.get();
        return made;
      },
      [&] { return clock.Now(); });
  manager.CreateBusinessBy(zq_camera_service::BUSINESS_MONITOR_CONFIG);
  manager.StartBusinessTasks();
  // The clock stands still, yet the timer keeps firing, each time due "now".
  ASSERT_TRUE(business->WaitForFirings(20, 5s));
  for (const Firing& firing : business->Firings()) EXPECT_EQ((Firing{3, 500, 500}), firing);
}

TEST(BusinessManagerTest, DueSecondAfterHoldsAtTheLastSecondTimeCanHold) {
  constexpr time_t kLast = std::numeric_limits<time_t>::max();
  struct Case {
    time_t now;
    int period;
    time_t due;
  };
  const Case cases[] = {
      {100, 10, 110},         {100, 0, 100},         {100, -5, 95},
      {kLast - 10, 10, kLast}, {kLast - 5, 10, kLast}, {kLast, 1, kLast},
      {kLast - INT_MAX, INT_MAX, kLast},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.due, zq_camera_service::DueSecondAfter(c.now, c.period)) << c.now << " + " << c.period;
  }
}

TEST(BusinessManagerTest, AFarDueTimeNeitherSpinsNorFires) {
  // Due seconds so far ahead that their distance in microseconds or
  // nanoseconds does not fit 64 bits (where time_t is 64-bit), and the far end
  // of a 32-bit time_t.
  constexpr int64_t kLastSecond = std::numeric_limits<time_t>::max();
  const int64_t far[] = {kLastSecond / 1000, kLastSecond - 1};
  for (int64_t due : far) {
    FakeClock clock;
    clock.Set(100);
    TimedBusiness* business = nullptr;
    BusinessManager manager(
        [&](BusinessType_eum) {
          auto made = std::make_unique<TimedBusiness>(std::vector<TimerSetup>{{1, true, At(due), 10}});
          business = made.get();
          return made;
        },
        [&] { return clock.Now(); });
    manager.CreateBusinessBy(zq_camera_service::BUSINESS_MONITOR_CONFIG);
    manager.StartBusinessTasks();
    ASSERT_TRUE(SettleChecks(manager)) << due;
    uint64_t settled = manager.CheckCount();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(manager.CheckCount(), settled + 1) << "the loop sleeps, due " << due;
    EXPECT_TRUE(business->Firings().empty()) << due;
  }
}

TEST(BusinessManagerTest, RealClockLoopSleepsUntilTheNextDueSecond) {
  TimedBusiness* business = nullptr;
  timeval now = zq_camera_service::MonotonicTimerNow();
  BusinessManager manager([&](BusinessType_eum) {
    auto made = std::make_unique<TimedBusiness>(std::vector<TimerSetup>{{1, true, At(now.tv_sec + 1), 1}});
    business = made.get();
    return made;
  }, zq_camera_service::MonotonicTimerNow);
  manager.CreateBusinessBy(zq_camera_service::BUSINESS_MONITOR_CONFIG);
  manager.StartBusinessTasks();
  ASSERT_TRUE(business->WaitForFirings(2, 5s));
  // Two firings about a second apart took a handful of checks, not thousands.
  EXPECT_LT(manager.CheckCount(), 20u);
  std::vector<Firing> firings = business->Firings();
  EXPECT_EQ(firings[0].at + 1, firings[1].at);
}

TEST(BusinessManagerTest, MonotonicTimerClockIsTheMonotonicClock) {
  timespec before{};
  timespec after{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  timeval now = zq_camera_service::MonotonicTimerNow();
  clock_gettime(CLOCK_MONOTONIC, &after);
  EXPECT_GE(now.tv_sec, before.tv_sec);
  EXPECT_LE(now.tv_sec, after.tv_sec);
  EXPECT_GE(now.tv_usec, 0);
  EXPECT_LT(now.tv_usec, 1000000);
}

TEST(BusinessManagerTest, CreateStoresStartsAndFindsByIdOnly) {
  std::map<int, int> built;
  std::vector<TimedBusiness*> made;
  FakeClock clock;
  clock.Set(10);
  auto manager = std::make_unique<BusinessManager>(
      [&](BusinessType_eum type) {
        ++built[type];
        // Business 0 has a timer (due in the far future), the others none.
        std::vector<TimerSetup> timers;
        if (type == 0) timers.push_back({1, true, At(1000), 60});
        auto business = std::make_unique<TimedBusiness>(timers);
        made.push_back(business.get());
        return business;
      },
      [&] { return clock.Now(); });
  int destroyed_before = TimedBusiness::destroyed;
  int unstopped_before = TimedBusiness::destroyed_unstopped;

  EXPECT_EQ(nullptr, manager->CreateBusinessBy(static_cast<BusinessType_eum>(5)));
  EXPECT_EQ(nullptr, manager->CreateBusinessBy(static_cast<BusinessType_eum>(-1)));
  EXPECT_TRUE(built.empty()) << "no business is built for an id outside 0..4";
  EXPECT_EQ(nullptr, manager->GetBusinessBy(static_cast<BusinessType_eum>(5)));

  BaseBusiness* first = manager->CreateBusinessBy(zq_camera_service::BUSINESS_KWCLOUD_UPGRADE);
  BaseBusiness* second = manager->CreateBusinessBy(zq_camera_service::BUSINESS_KWCLOUD_UPGRADE);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_NE(first, second);
  EXPECT_EQ(first, manager->GetBusinessBy(zq_camera_service::BUSINESS_KWCLOUD_UPGRADE));
  EXPECT_EQ(1, made[0]->started.load());
  EXPECT_EQ(1, made[1]->started.load()) << "the unstored second one is started too";
  EXPECT_EQ(nullptr, manager->GetBusinessBy(zq_camera_service::BUSINESS_MONITOR_CONFIG));

  BaseBusiness* timed = manager->CreateBusinessBy(zq_camera_service::BUSINESS_MONITOR_CONFIG);
  manager->StartBusinessTasks();
  std::string errors;
  {
    zq_test::ScopedLogSettings settings(4, 3, "");
    zq_test::StdoutCapture capture;
    manager->StartBusinessTasks();
    errors = capture.Text();
  }
  EXPECT_EQ("Service | ERROR: business tasks already started\n", errors);

  clock.Set(1000);
  ASSERT_TRUE(SettleChecks(*manager));
  EXPECT_EQ(1u, static_cast<TimedBusiness*>(timed)->Firings().size()) << "one task thread, one firing";
  EXPECT_TRUE(made[0]->Firings().empty()) << "a business without timers is never called";

  manager->CleanupAll();
  EXPECT_EQ(destroyed_before + 3, TimedBusiness::destroyed.load()) << "stored and unstored ones";
  EXPECT_EQ(unstopped_before, TimedBusiness::destroyed_unstopped.load()) << "each is stopped before it goes";
  EXPECT_EQ(nullptr, manager->GetBusinessBy(zq_camera_service::BUSINESS_KWCLOUD_UPGRADE));
  manager.reset();
  EXPECT_EQ(destroyed_before + 3, TimedBusiness::destroyed.load());
}

}  // namespace
