#include "support/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zq_test {

namespace {

// Everything here may run in a signal handler, or in a process forked from
// a program with many threads: fixed tables, no allocation, and only calls
// that are safe there.
constexpr size_t kPathBytes = 512;
constexpr size_t kMaxDirectories = 256;
constexpr size_t kMaxGroups = 256;
// Deeper trees than any test makes; a bound keeps the stack small.
constexpr int kMaxDepth = 48;

enum SlotState : int { kFree, kFilling, kHeld };

struct DirectorySlot {
  std::atomic<int> state{kFree};
  char path[kPathBytes];
};

DirectorySlot g_directories[kMaxDirectories];
std::atomic<pid_t> g_groups[kMaxGroups];
// The process the records belong to: a forked copy of the program finds
// its parent's records here and must not act on them.
std::atomic<pid_t> g_owner{0};
std::atomic<bool> g_armed{false};
std::atomic<bool> g_ending{false};

enum JanitorState : int { kNotStarted, kStarting, kStarted };
std::atomic<int> g_janitor_state{kNotStarted};
std::atomic<int> g_janitor_fd{-1};
std::atomic<pid_t> g_janitor_pid{0};

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Removes what `directory` holds. Entries removed while the directory is
// read come back in no defined order, so it is read again until a pass
// removes nothing.
void EmptyDirectory(int directory, int depth) {
  if (depth > kMaxDepth) return;
  alignas(dirent64) char buffer[2048];
  for (int pass = 0; pass < 64; ++pass) {
    if (lseek(directory, 0, SEEK_SET) != 0) return;
    bool removed = false;
    for (;;) {
      ssize_t n = getdents64(directory, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (IsDotOrDotDot(name)) continue;
        if (unlinkat(directory, name, 0) == 0) {
          removed = true;
          continue;
        }
        if (errno != EISDIR) continue;
        // A test may have left it read-only.
        fchmodat(directory, name, 0700, 0);
        int inner = openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (inner >= 0) {
          EmptyDirectory(inner, depth + 1);
          close(inner);
        }
        if (unlinkat(directory, name, AT_REMOVEDIR) == 0) removed = true;
      }
    }
    if (!removed) return;
  }
}

void RemoveTree(const char* path) {
  chmod(path, 0700);
  int directory = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (directory < 0) return;
  EmptyDirectory(directory, 0);
  close(directory);
  rmdir(path);
}

void Pause(long nanoseconds) {
  timespec pause{0, nanoseconds};
  nanosleep(&pause, nullptr);
}

// In the program itself: the groups' leaders are its children, so waiting
// for them is exact. They are not reaped: their owners still may.
void EndRecordedGroups() {
  for (auto& slot : g_groups) {
    pid_t group = slot.load();
    if (group > 0) kill(-group, SIGKILL);
  }
  for (auto& slot : g_groups) {
    pid_t group = slot.load();
    if (group <= 0) continue;
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(group), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
  }
}

void RemoveRecordedDirectories() {
  for (auto& slot : g_directories) {
    if (slot.state.load() == kHeld) RemoveTree(slot.path);
  }
}

void SendToJanitor(int link, char kind, const char* text);

// Once the program has ended and removed everything itself: the janitor is
// told to forget it all, and is waited for, so no finished one stays
// behind as a zombie (this machine's init may never reap one).
void StopJanitor() {
  int link = g_janitor_fd.exchange(-1);
  if (link < 0) return;
  SendToJanitor(link, 'C', "");
  close(link);
  pid_t janitor = g_janitor_pid.exchange(0);
  if (janitor <= 0) return;
  while (waitpid(janitor, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void EndEverything() {
  EndRecordedGroups();
  RemoveRecordedDirectories();
  StopJanitor();
}

void EndOnSignal(int signal) {
  if (g_owner.load() == getpid()) {
    // Another thread that took the first signal is ending the program.
    if (g_ending.exchange(true)) return;
    EndEverything();
  }
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal, &default_action, nullptr);
  raise(signal);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
}

void EndAtExit() {
  if (g_owner.load() == getpid() && !g_ending.exchange(true)) EndEverything();
}

// The janitor's own tables, filled from the program's messages: one byte
// saying what, then the path or the group's number.
struct JanitorRecords {
  char directories[kMaxDirectories][kPathBytes];
  pid_t groups[kMaxGroups];
};

long ParseNumber(const char* text) {
  long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (*text - '0');
  return value;
}

void ApplyMessage(JanitorRecords& records, char kind, const char* text) {
  if (kind == 'C') {
    for (auto& path : records.directories) path[0] = '\0';
    for (pid_t& group : records.groups) group = 0;
  } else if (kind == 'D' || kind == 'd') {
    for (auto& path : records.directories) {
      if (path[0] != '\0' && strcmp(path, text) == 0) path[0] = '\0';
    }
    if (kind == 'd') return;
    for (auto& path : records.directories) {
      if (path[0] == '\0') {
        strcpy(path, text);
        return;
      }
    }
  } else if (kind == 'G' || kind == 'g') {
    pid_t group = static_cast<pid_t>(ParseNumber(text));
    if (group <= 0) return;
    for (pid_t& slot : records.groups) {
      if (slot == group) slot = 0;
    }
    if (kind == 'g') return;
    for (pid_t& slot : records.groups) {
      if (slot == 0) {
        slot = group;
        return;
      }
    }
  }
}

// Runs in a process forked from the program and outlives it by a moment:
// when the program's end of the link closes (however it ended), whatever
// it still recorded is ended and removed.
[[noreturn]] void RunJanitor(int link) {
  prctl(PR_SET_NAME, "zq-leftovers");
  // A signal to the program's process group (Ctrl-C) is for the program;
  // this process finishes the job after it.
  setpgid(0, 0);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaction(signal, &ignore, nullptr);
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
  // Copies of the program's descriptors would keep its pipes, sockets and
  // its runner's output pipe open for as long as this process lives.
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  for (int fd = 0; fd < 3; ++fd) {
    if (null_fd >= 0 && null_fd != fd && link != fd) dup2(null_fd, fd);
  }
  const auto first = static_cast<unsigned>(link);
  bool closed = (first <= 3 || close_range(3, first - 1, 0) == 0) && close_range(first + 1, ~0U, 0) == 0;
  if (!closed) {
    for (int fd = 3; fd < 4096; ++fd) {
      if (fd != link) close(fd);
    }
  }
  if (chdir("/") != 0) {
    // Only so that no scratch directory is held as the working directory.
  }
  static JanitorRecords records;
  char message[1 + kPathBytes];
  for (;;) {
    ssize_t n = recv(link, message, sizeof message - 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    message[n] = '\0';
    ApplyMessage(records, message[0], message + 1);
  }
  bool killed = false;
  for (pid_t group : records.groups) {
    if (group > 0 && kill(-group, SIGKILL) == 0) killed = true;
  }
  // Not this process's children, so there is no waiting for them: they die
  // at their next step, but a call under way (a file being made) may still
  // finish. A second pass a moment later takes what that left.
  for (int pass = 0; pass < 2; ++pass) {
    if (killed || pass > 0) Pause(200 * 1000 * 1000);
    bool left = false;
    for (const auto& path : records.directories) {
      if (path[0] == '\0') continue;
      RemoveTree(path);
      if (access(path, F_OK) == 0) left = true;
    }
    if (!left) break;
  }
  _exit(0);
}

void SendToJanitor(int link, char kind, const char* text) {
  char message[1 + kPathBytes];
  size_t length = strlen(text);
  if (length >= kPathBytes) return;
  message[0] = kind;
  memcpy(message + 1, text, length);
  while (send(link, message, 1 + length, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

void FormatNumber(long value, char* text) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && count < 23);
  for (int i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  text[count] = '\0';
}

void StartJanitorOnce() {
  int expected = kNotStarted;
  if (!g_janitor_state.compare_exchange_strong(expected, kStarting)) return;
  int link[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, link) != 0) {
    g_janitor_state.store(kStarted);
    return;
  }
  pid_t janitor = fork();
  if (janitor == 0) RunJanitor(link[0]);
  close(link[0]);
  if (janitor < 0) {
    close(link[1]);
    g_janitor_state.store(kStarted);
    return;
  }
  g_janitor_pid.store(janitor);
  // What was recorded before it started.
  for (const auto& slot : g_directories) {
    if (slot.state.load() == kHeld) SendToJanitor(link[1], 'D', slot.path);
  }
  for (const auto& slot : g_groups) {
    pid_t group = slot.load();
    char text[24];
    FormatNumber(group, text);
    if (group > 0) SendToJanitor(link[1], 'G', text);
  }
  g_janitor_fd.store(link[1]);
  g_janitor_state.store(kStarted);
}

void TellJanitor(char kind, const char* text) {
  if (!g_armed.load()) return;
  StartJanitorOnce();
  // Another thread is starting it and sends what the tables held: this
  // message must come after that, or a record it missed, or a forget it
  // overtook, would be wrong for good. The start takes a fork's time.
  while (g_janitor_state.load() == kStarting) sched_yield();
  int link = g_janitor_fd.load();
  if (link >= 0) SendToJanitor(link, kind, text);
}

void TellJanitor(char kind, pid_t group) {
  char text[24];
  FormatNumber(group, text);
  TellJanitor(kind, text);
}

// The first record in a process, or the first in a forked copy of the
// program that kept its parent's records.
void OwnRecords() {
  if (g_owner.load() != getpid()) ForgetLeftoversOfParent();
}

}  // namespace

void ForgetLeftoversOfParent() {
  int link = g_janitor_fd.exchange(-1);
  if (link >= 0) close(link);
  g_janitor_pid.store(0);
  g_janitor_state.store(kNotStarted);
  for (auto& slot : g_directories) slot.state.store(kFree);
  for (auto& slot : g_groups) slot.store(0);
  g_ending.store(false);
  g_owner.store(getpid());
}

void EndLeftoversWithThisProgram() {
  OwnRecords();
  g_armed.store(true);
  // The runner's end (a killed ctest) is this program's too; SIGTERM lets
  // it end what it started first.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) continue;
    // An ignored signal (nohup) stays ignored.
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction handler {};
    handler.sa_handler = EndOnSignal;
    sigemptyset(&handler.sa_mask);
    for (int blocked : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&handler.sa_mask, blocked);
    sigaction(signal, &handler, nullptr);
  }
  atexit(EndAtExit);
}

void RecordScratchDirectory(const std::string& path) {
  if (path.empty() || path.size() >= kPathBytes) return;  // its owner still removes it
  OwnRecords();
  for (auto& slot : g_directories) {
    int expected = kFree;
    if (slot.state.compare_exchange_strong(expected, kFilling)) {
      memcpy(slot.path, path.c_str(), path.size() + 1);
      slot.state.store(kHeld);
      break;
    }
  }
  TellJanitor('D', path.c_str());
}

void ForgetScratchDirectory(const std::string& path) {
  OwnRecords();
  for (auto& slot : g_directories) {
    if (slot.state.load() == kHeld && path == slot.path) slot.state.store(kFree);
  }
  if (path.size() < kPathBytes) TellJanitor('d', path.c_str());
}

void RecordChildGroup(pid_t group) {
  if (group <= 0) return;
  OwnRecords();
  for (auto& slot : g_groups) {
    pid_t expected = 0;
    if (slot.compare_exchange_strong(expected, group)) break;
  }
  TellJanitor('G', group);
}

void ForgetChildGroup(pid_t group) {
  if (group <= 0) return;
  OwnRecords();
  for (auto& slot : g_groups) {
    pid_t expected = group;
    slot.compare_exchange_strong(expected, 0);
  }
  TellJanitor('g', group);
}

}  // namespace zq_test
