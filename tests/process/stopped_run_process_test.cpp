// A test run stopped half-way (Ctrl-C, a runner's time-out, kill -9) leaves
// nothing behind: no service, fake or snmptrapd running, no scratch
// directory. A "test-style parent" here is a forked copy of this program
// that starts a child tree through the same support code as the tests do,
// with its scratch directories in a TMPDIR of its own, and is then ended.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/files.h"
#include "support/install_root.h"
#include "support/ports.h"
#include "support/snmp_tools.h"

namespace {

using namespace std::chrono_literals;

// One process, told apart from a later one that got the same number.
struct ProcessId {
  pid_t pid = 0;
  unsigned long long start = 0;
};

struct ProcessStat {
  char state = '?';
  pid_t parent = 0;
  pid_t group = 0;
  unsigned long long start = 0;
};

bool ReadStat(pid_t pid, ProcessStat* stat) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return false;
  size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  // Fields from the state on: state, parent, group, session, tty, tpgid,
  // flags, 4 fault counts, 4 times, priority, nice, threads, itrealvalue, start.
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  fields >> stat->state >> stat->parent >> stat->group;
  for (int i = 0; i < 16; ++i) fields >> skip;
  fields >> stat->start;
  return static_cast<bool>(fields);
}

std::vector<pid_t> AllPids() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid > 0) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

// Running or sleeping: neither gone nor a zombie waiting to be reaped.
bool Live(const ProcessStat& stat) { return stat.state != 'Z' && stat.state != 'X'; }

bool Alive(const ProcessId& process) {
  ProcessStat stat;
  return ReadStat(process.pid, &stat) && stat.start == process.start && Live(stat);
}

std::vector<ProcessId> ChildrenOf(pid_t parent) {
  std::vector<ProcessId> children;
  for (pid_t pid : AllPids()) {
    ProcessStat stat;
    if (ReadStat(pid, &stat) && stat.parent == parent && Live(stat)) children.push_back({pid, stat.start});
  }
  return children;
}

// The live processes in any of `groups`.
std::vector<pid_t> LiveMembersOf(const std::set<pid_t>& groups) {
  std::vector<pid_t> members;
  for (pid_t pid : AllPids()) {
    ProcessStat stat;
    if (ReadStat(pid, &stat) && groups.count(stat.group) != 0 && Live(stat)) members.push_back(pid);
  }
  return members;
}

std::vector<std::string> EntriesOf(const std::string& path) {
  std::vector<std::string> entries;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return entries;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") entries.push_back(name);
  }
  closedir(dir);
  return entries;
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : " ") + text;
  return joined;
}

// Until `process` has written "ready" (its tree has started), has ended
// without it, or two minutes have passed.
void WaitUntilReady(zq_test::ChildProcess& process) {
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (process.Stdout().find("ready\n") == std::string::npos && process.Running() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
}

// Space for owners that are never destroyed: only the program's end may take
// what they hold (and nothing of theirs counts as leaked memory).
template <typename T>
struct Abandoned {
  alignas(T) unsigned char bytes[sizeof(T)];
};
Abandoned<zq_test::TempDir> g_abandoned_directory;
Abandoned<zq_test::ChildProcess> g_abandoned_child;

// Set, this program is a stand-in for a test program that a killed runner
// started (see the last test).
const char* const kStandInVariable = "ZQ_TEST_STAND_IN";

// Set, the test-style parent leaves through exit() once a file appears at
// this path; unset, it waits to be signalled or killed.
const char* const kGoVariable = "ZQ_TEST_PARENT_GO";

// The body of the test-style parent: the service with its scratch and install
// root, snmptrapd as its notification sink, a fake program, a shell with a
// child of its own, and two owners that are never destroyed.
void TestStyleParent() {
  zq_test::InstallRoot root;
  zq_test::ServiceEnvironment environment(root.path());
  zq_test::TrapReceiver receiver;
  environment.AddSnmpTrapSink(receiver.port());
  zq_test::ChildProcess service(environment.env);
  zq_test::ChildProcess peer(environment.env, std::string(ZQ_BINARY_DIR) + "/fake_camera_ipc_peer",
                             {"--port", std::to_string(zq_test::FreeTcpPort())});
  zq_test::ChildProcess shell(environment.env, "/bin/sh", {"-c", "sleep 300 & echo started; wait"});
  new (g_abandoned_directory.bytes) zq_test::TempDir("zqabandoned");
  auto* abandoned = new (g_abandoned_child.bytes) zq_test::ChildProcess(environment.env, "/bin/sleep", {"300"});
  // Each has started for real (the service has its SNMP agent up).
  if (!service.WaitForStdout("NET-SNMP test\n", 60s) || !shell.WaitForStdout("started\n", 30s) ||
      !peer.Running() || !abandoned->Running()) {
    printf("not started: %s\n", service.Stdout().substr(0, 2000).c_str());
    return;
  }
  printf("ready\n");
  fflush(stdout);
  // Bounded: the test ends this process long before.
  const char* go = getenv(kGoVariable);
  for (int i = 0; i < 3000 && go != nullptr && !zq_test::FileExists(go); ++i) usleep(100 * 1000);
  if (go != nullptr) exit(0);
  sleep(300);
}

class StoppedRunProcessTest : public ::testing::Test {
 protected:
  // Starts the test-style parent, its TMPDIR `tmp_`, and waits for its tree.
  void StartParent(const std::string& go = "") {
    zq_test::Env env{{"TMPDIR", tmp_}};
    if (!go.empty()) env[kGoVariable] = go;
    parent_ = std::make_unique<zq_test::ChildProcess>(env, [] { TestStyleParent(); });
    WaitUntilReady(*parent_);
    ASSERT_NE(std::string::npos, parent_->Stdout().find("ready\n")) << parent_->Stdout() << parent_->Stderr();
    children_ = ChildrenOf(parent_->pid());
    for (const ProcessId& child : children_) {
      ProcessStat stat;
      if (ReadStat(child.pid, &stat)) groups_.insert(stat.group);
    }
    // The service, snmptrapd, the fake, the shell and the abandoned child
    // (and the process that cleans up after a killed program).
    ASSERT_GE(children_.size(), 5u);
    ASSERT_FALSE(EntriesOf(tmp_).empty());
  }

  std::vector<ProcessId> LiveChildren() const {
    std::vector<ProcessId> live;
    for (const ProcessId& child : children_) {
      if (Alive(child)) live.push_back(child);
    }
    return live;
  }

  // Nothing of the parent's tree runs any more and its TMPDIR is empty,
  // within `limit` (the processes get SIGKILL, so they end at once on an
  // idle machine).
  ::testing::AssertionResult NothingLeftWithin(std::chrono::seconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      std::vector<ProcessId> children = LiveChildren();
      std::vector<pid_t> members = LiveMembersOf(groups_);
      std::vector<std::string> entries = EntriesOf(tmp_);
      if (children.empty() && members.empty() && entries.empty()) return ::testing::AssertionSuccess();
      if (std::chrono::steady_clock::now() >= deadline) {
        auto failure = ::testing::AssertionFailure();
        failure << "left after " << limit.count() << " s:";
        for (const ProcessId& child : children) failure << " child " << child.pid;
        for (pid_t member : members) failure << " group member " << member;
        return failure << " directories: " << Joined(entries);
      }
      std::this_thread::sleep_for(50ms);
    }
  }

  StoppedRunProcessTest() {
    // A stand-in shares the fixed ports with the test that started it.
    if (!StandIn()) ports_lock_.emplace();
  }

  static bool StandIn() { return getenv(kStandInVariable) != nullptr; }

  std::optional<zq_test::FixedPortsLock> ports_lock_;
  zq_test::TempDir scratch_{"zqstopped"};
  const std::string tmp_ = scratch_ / "tmp";
  std::unique_ptr<zq_test::ChildProcess> parent_;
  std::vector<ProcessId> children_;
  std::set<pid_t> groups_;

  void SetUp() override { ASSERT_EQ(0, mkdir(tmp_.c_str(), 0700)); }
};

TEST_F(StoppedRunProcessTest, KilledParentLeavesNoChildRunningAndNoScratch) {
  StartParent();
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  parent_->Signal(SIGKILL);
  ASSERT_EQ(128 + SIGKILL, parent_->WaitForExit(30s).value_or(-1));
  EXPECT_TRUE(NothingLeftWithin(20s));
}

// Ctrl-C reaches a test program as SIGINT, a runner's stop as SIGTERM: the
// program ends what it started and removes its scratch before it ends, and
// still ends by that signal.
TEST_F(StoppedRunProcessTest, StoppedParentEndsItsChildrenAndRemovesItsScratchFirst) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    StartParent();
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    parent_->Signal(signal);
    ASSERT_EQ(128 + signal, parent_->WaitForExit(30s).value_or(-1)) << parent_->Stderr();
    // Removed before the program ended, not after it by someone else.
    EXPECT_EQ("", Joined(EntriesOf(tmp_)));
    EXPECT_TRUE(NothingLeftWithin(20s));
    children_.clear();
    groups_.clear();
  }
}

TEST_F(StoppedRunProcessTest, ParentThatExitsWithOwnersNeverDestroyedLeavesNothing) {
  const std::string go = scratch_ / "go";
  StartParent(go);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  zq_test::WriteFile(go, "");
  ASSERT_EQ(0, parent_->WaitForExit(60s).value_or(-1)) << parent_->Stdout() << parent_->Stderr();
  EXPECT_EQ("", Joined(EntriesOf(tmp_)));
  EXPECT_TRUE(NothingLeftWithin(20s));
}

// A runner (ctest) killed on its own: its test program gets SIGTERM, so it
// ends what it started and removes its scratch, as for a stop.
TEST_F(StoppedRunProcessTest, TestProgramOfAKilledRunnerLeavesNothing) {
  if (StandIn()) {
    TestStyleParent();
    return;
  }
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  zq_test::Env env{{"TMPDIR", tmp_}, {kStandInVariable, "1"}};
  if (const char* own_network = getenv("ZQ_TEST_OWN_NETWORK")) env["ZQ_TEST_OWN_NETWORK"] = own_network;
  // The shell plays the runner: it starts this program as a test program,
  // tells its pid and waits for it.
  zq_test::ChildProcess runner(
      env, "/bin/sh",
      {"-c", "\"$0\" --gtest_filter=StoppedRunProcessTest.TestProgramOfAKilledRunnerLeavesNothing & echo \"pid $!\"; wait",
       self});
  WaitUntilReady(runner);
  const std::string out = runner.Stdout();
  ASSERT_NE(std::string::npos, out.find("ready\n")) << out << runner.Stderr();
  ASSERT_EQ(0u, out.find("pid ")) << out;
  const pid_t program = static_cast<pid_t>(atol(out.c_str() + 4));
  ProcessStat stat;
  ASSERT_TRUE(ReadStat(program, &stat));
  const ProcessId test_program{program, stat.start};
  // The test-style parent's tree, in the stand-in's own test.
  std::vector<ProcessId> standing;
  for (const ProcessId& child : ChildrenOf(program)) {
    standing.push_back(child);
    for (const ProcessId& grandchild : ChildrenOf(child.pid)) standing.push_back(grandchild);
  }
  for (const ProcessId& process : standing) {
    if (ReadStat(process.pid, &stat)) groups_.insert(stat.group);
  }
  children_ = standing;
  children_.push_back(test_program);
  ASSERT_GE(standing.size(), 6u);

  runner.Signal(SIGKILL);
  ASSERT_EQ(128 + SIGKILL, runner.WaitForExit(30s).value_or(-1));
  EXPECT_TRUE(NothingLeftWithin(20s));
}

// The kernel sends the parent-death signal when the forking thread ends:
// a child started from a thread that ended since must run on.
TEST(TiedChildTest, ChildStartedFromAThreadThatEndedRunsOn) {
  zq_test::TempDir dir("zqtied");
  const std::string go = dir / "go";
  std::unique_ptr<zq_test::ChildProcess> child;
  pid_t thread_id = 0;
  std::thread starter([&] {
    thread_id = static_cast<pid_t>(syscall(SYS_gettid));
    child = std::make_unique<zq_test::ChildProcess>(
        zq_test::Env{}, "/bin/sh",
        std::vector<std::string>{"-c", "while [ ! -e \"$0\" ]; do sleep 0.05; done; exit 7", go});
  });
  starter.join();
  // Once the thread's entry is gone, the kernel has sent whatever it sends
  // for the thread's end.
  const std::string task = "/proc/self/task/" + std::to_string(thread_id);
  for (int i = 0; i < 1000 && zq_test::FileExists(task); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(zq_test::FileExists(task));
  zq_test::WriteFile(go, "");
  EXPECT_EQ(7, child->WaitForExit(30s).value_or(-1)) << "the child ended with the thread that started it";
}

}  // namespace
