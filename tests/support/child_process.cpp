#include "support/child_process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/leftovers.h"

namespace zq_test {

namespace {

pid_t ForkHere(const std::function<void()>& in_child) {
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  ForgetLeftoversOfParent();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The program may have ended before the line above: no signal comes then.
  if (getppid() != parent) _exit(127);
  in_child();
  _exit(127);
}

// A thread that forks for the others and lives as long as the program.
class LongLivedForker {
 public:
  static LongLivedForker& Instance() {
    // Never destroyed: its thread must outlast every child it forked. A
    // forked copy of the program has none of its parent's threads, so it
    // makes one of its own.
    static std::mutex made;
    static LongLivedForker* forker = nullptr;
    std::lock_guard<std::mutex> lock(made);
    if (forker == nullptr || forker->process_ != getpid()) forker = new LongLivedForker;
    return *forker;
  }

  pid_t Fork(const std::function<void()>& in_child) {
    std::lock_guard<std::mutex> one_caller(callers_);
    std::unique_lock<std::mutex> lock(mutex_);
    request_ = &in_child;
    changed_.notify_all();
    changed_.wait(lock, [this] { return request_ == nullptr; });
    return result_;
  }

 private:
  LongLivedForker() { std::thread([this] { Serve(); }).detach(); }

  [[noreturn]] void Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return request_ != nullptr; });
      result_ = ForkHere(*request_);
      request_ = nullptr;
      changed_.notify_all();
    }
  }

  const pid_t process_ = getpid();
  std::mutex callers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* request_ = nullptr;
  pid_t result_ = -1;
};

void AddDefaults(Env& env) {
  if (env.count("PATH") == 0) env["PATH"] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  // A thread-sanitizer run tells every process where its reports go; without
  // this, a race in the service binary would stay in the child's captured
  // error output, which a passing test never shows.
  const char* tsan_options = getenv("TSAN_OPTIONS");
  if (tsan_options != nullptr && env.count("TSAN_OPTIONS") == 0) env["TSAN_OPTIONS"] = tsan_options;
}

}  // namespace

ChildProcess::ChildProcess(Env env, std::string program, std::vector<std::string> args)
    : output_dir_("zqchild"), stdout_path_(output_dir_ / "stdout"), stderr_path_(output_dir_ / "stderr") {
  AddDefaults(env);
  std::vector<std::string> env_texts;
  for (const auto& entry : env) env_texts.push_back(entry.first + "=" + entry.second);
  std::vector<char*> envp;
  for (auto& text : env_texts) envp.push_back(&text[0]);
  envp.push_back(nullptr);
  std::vector<std::string> argv_texts{program};
  argv_texts.insert(argv_texts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& text : argv_texts) argv.push_back(&text[0]);
  argv.push_back(nullptr);
  Launch([&] { execve(argv[0], argv.data(), envp.data()); });
}

ChildProcess::ChildProcess(Env env, std::function<void()> body)
    : output_dir_("zqchild"), stdout_path_(output_dir_ / "stdout"), stderr_path_(output_dir_ / "stderr") {
  AddDefaults(env);
  Launch([&] {
    clearenv();
    for (const auto& entry : env) setenv(entry.first.c_str(), entry.second.c_str(), 1);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    body();
    fflush(nullptr);
    _exit(0);
  });
}

pid_t ForkTiedChild(const std::function<void()>& in_child) {
  // The main thread lives until the program ends.
  if (gettid() == getpid()) return ForkHere(in_child);
  return LongLivedForker::Instance().Fork(in_child);
}

void ChildProcess::Launch(const std::function<void()>& in_child) {
  int out = open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || err < 0) throw std::runtime_error("cannot create the child's output files");
  // Nothing buffered in this process may be written a second time by the child.
  fflush(nullptr);
  pid_ = ForkTiedChild([&] {
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, STDIN_FILENO);
    // The child gets its own process group so a test can signal what it
    // started, and end whatever that started in turn.
    setpgid(0, 0);
    in_child();
  });
  close(out);
  close(err);
  if (pid_ < 0) throw std::runtime_error("fork failed");
  // Also here: the group must exist before anything may signal it.
  setpgid(pid_, pid_);
  RecordChildGroup(pid_);
}

ChildProcess::~ChildProcess() { Kill(); }

std::string ChildProcess::Stdout() const { return ReadFile(stdout_path_); }
std::string ChildProcess::Stderr() const { return ReadFile(stderr_path_); }

bool ChildProcess::WaitForText(const std::string& path, const std::string& needle,
                               std::chrono::milliseconds timeout, size_t count) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (CountOccurrences(ReadFile(path), needle) >= count) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool ChildProcess::WaitForStdout(const std::string& needle, std::chrono::milliseconds timeout, size_t count) {
  return WaitForText(stdout_path_, needle, timeout, count);
}

bool ChildProcess::WaitForStderr(const std::string& needle, std::chrono::milliseconds timeout, size_t count) {
  return WaitForText(stderr_path_, needle, timeout, count);
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Forgotten before it is reaped: a reaped child's number, and so its
    // group's, may go to another process.
    siginfo_t ended{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid_) {
      ForgetChildGroup(pid_);
      int status = 0;
      waitpid(pid_, &status, 0);
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::Running() { return !WaitForExit(std::chrono::milliseconds(0)).has_value(); }

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !status_) kill(pid_, signal);
}

void ChildProcess::Kill() {
  if (pid_ <= 0 || status_) return;
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  WaitForExit(std::chrono::seconds(10));
}

size_t CountOccurrences(const std::string& text, const std::string& needle) {
  if (needle.empty()) return 0;
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
  return count;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

ServiceEnvironment::ServiceEnvironment(const std::string& install_root) : scratch("zqenv") {
  snmp_port = FreeUdpPort();
  snmp_conf_dir = scratch / "snmp";
  WriteFile(snmp_conf_dir + "/Test.conf",
            "agentaddress udp:127.0.0.1:" + std::to_string(snmp_port) + "\n" + "rocommunity public 127.0.0.1\n");
  env["ZQ_ROOT_PATH"] = install_root;
  env["LOG_LEVEL"] = "4";
  env["LOG_TYPE"] = "3";
  env["SNMPCONFPATH"] = snmp_conf_dir;
  env["SNMP_PERSISTENT_DIR"] = scratch / "snmp-persist";
  env["MIBS"] = "";
  env["HOME"] = scratch.path();
}

void ServiceEnvironment::AddSnmpTrapSink(uint16_t port, bool tcp) {
  std::string path = snmp_conf_dir + "/Test.conf";
  WriteFile(path, ReadFile(path) + "trap2sink " + (tcp ? "tcp:" : "") + "127.0.0.1:" + std::to_string(port) +
                      " public\n");
}

}  // namespace zq_test
