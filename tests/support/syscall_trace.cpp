#include "support/syscall_trace.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace zq_test {

namespace {

// Every call that changes a tree, moves a descriptor, a file offset or a
// working directory, makes a process, or writes through a way the replay
// cannot follow (so that it can say so instead of missing it).
const char* const kTracedCalls =
    "open,openat,openat2,creat,close,close_range,dup,dup2,dup3,fcntl,"
    "write,pwrite64,writev,pwritev,pwritev2,read,readv,lseek,"
    "ftruncate,truncate,fallocate,rename,renameat,renameat2,unlink,unlinkat,rmdir,mkdir,mkdirat,"
    "link,linkat,symlink,symlinkat,mknod,mknodat,chmod,fchmod,fchmodat,chown,fchown,lchown,fchownat,"
    "fsync,fdatasync,sync,syncfs,sync_file_range,chdir,fchdir,umask,clone,clone3,fork,vfork,execve,execveat,"
    "copy_file_range,sendfile,splice,mmap,io_uring_setup";
// The writes with their bytes; a longer write is reported as cut.
const char* const kLongestString = "1048576";

// Walks `text` from `from` over what lies outside quoted strings and
// comments, counting bracket depth: `visit(index, depth)` sees every other
// character, brackets with the depth they open or close to, and ends the
// walk by returning true. The index it ended at; npos when it never did.
template <typename Visit>
size_t WalkOutsideQuotes(const std::string& text, size_t from, Visit visit) {
  int depth = 0;
  bool quoted = false;
  for (size_t i = from; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        quoted = false;
      }
      continue;
    }
    if (c == '"') {
      quoted = true;
      continue;
    }
    if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      size_t end = text.find("*/", i + 2);
      if (end == std::string::npos) break;
      i = end + 1;
      continue;
    }
    if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      --depth;
    }
    if (visit(i, depth)) return i;
  }
  return std::string::npos;
}

bool IsClosing(char c) { return c == ')' || c == ']' || c == '}'; }

// Index just past the bracket that closes the one at `open`; npos when it
// does not close.
size_t PastClosing(const std::string& text, size_t open) {
  size_t closing = WalkOutsideQuotes(text, open, [&](size_t i, int depth) { return depth == 0 && IsClosing(text[i]); });
  return closing == std::string::npos ? closing : closing + 1;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// Splits at the commas outside quotes, brackets and comments.
std::vector<std::string> SplitTopLevel(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  WalkOutsideQuotes(text, 0, [&](size_t i, int depth) {
    if (text[i] == ',' && depth == 0) {
      items.push_back(Trim(text.substr(start, i - start)));
      start = i + 1;
    }
    return false;
  });
  std::string last = Trim(text.substr(start));
  if (!last.empty() || !items.empty()) items.push_back(last);
  return items;
}

// Parses "name(args) = result [ERRNO (text)]" into `record`.
bool ParseCompleteCall(const std::string& call, SyscallRecord* record) {
  size_t open = call.find('(');
  if (open == std::string::npos || open == 0) return false;
  record->name = call.substr(0, open);
  for (char c : record->name) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  size_t close = PastClosing(call, open);
  if (close == std::string::npos) return false;
  record->args = SplitTopLevel(call.substr(open + 1, close - open - 2));
  std::string rest = Trim(call.substr(close));
  if (rest.compare(0, 1, "=") != 0) return false;
  std::istringstream in(rest.substr(1));
  std::string result;
  in >> result;
  if (result == "?") {
    record->finished = false;
    return true;
  }
  if (!ParseStraceNumber(result, &record->result)) return false;
  if (record->result == -1) in >> record->error;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

SyscallTrace ParseStraceOutput(const std::string& text) {
  SyscallTrace trace;
  struct Pending {
    std::string text;
    size_t line;
  };
  std::map<pid_t, Pending> pending;  // calls waiting for their "resumed" part
  std::istringstream in(text);
  std::string line;
  size_t number = 0;
  auto problem = [&](const std::string& why) {
    trace.problems.push_back("trace line " + std::to_string(number) + ": " + why + ": " + line.substr(0, 200));
  };
  while (std::getline(in, line)) {
    ++number;
    size_t space = line.find(' ');
    char* end = nullptr;
    long pid = strtol(line.c_str(), &end, 10);
    if (space == std::string::npos || end != line.c_str() + space || pid <= 0) {
      problem("no process id");
      continue;
    }
    std::string rest = Trim(line.substr(space + 1));
    if (rest.compare(0, 3, "+++") == 0 || rest.compare(0, 3, "---") == 0) continue;  // exits, signals
    const std::string unfinished = "<unfinished ...>";
    if (rest.size() >= unfinished.size() && rest.compare(rest.size() - unfinished.size(), unfinished.size(),
                                                         unfinished) == 0) {
      pending[static_cast<pid_t>(pid)] = {rest.substr(0, rest.size() - unfinished.size()), number};
      continue;
    }
    std::string call = rest;
    if (rest.compare(0, 5, "<... ") == 0) {
      size_t resumed = rest.find(" resumed>");
      auto it = pending.find(static_cast<pid_t>(pid));
      if (resumed == std::string::npos || it == pending.end()) {
        problem("resumed call that never began");
        continue;
      }
      std::string name = rest.substr(5, resumed - 5);
      if (it->second.text.compare(0, name.size() + 1, name + "(") != 0) {
        problem("resumed call differs from the one begun");
        continue;
      }
      call = it->second.text + rest.substr(resumed + 9);
      pending.erase(it);
    }
    SyscallRecord record;
    record.pid = static_cast<pid_t>(pid);
    record.line = number;
    if (!ParseCompleteCall(call, &record)) {
      problem("call not understood");
      continue;
    }
    trace.records.push_back(std::move(record));
  }
  // Calls their process died in: what they did is unknown.
  for (const auto& entry : pending) {
    SyscallRecord record;
    record.pid = entry.first;
    record.line = entry.second.line;
    record.finished = false;
    std::string text = entry.second.text;
    size_t open = text.find('(');
    record.name = open == std::string::npos ? text : text.substr(0, open);
    if (open != std::string::npos) record.args = SplitTopLevel(text.substr(open + 1));
    trace.records.push_back(std::move(record));
  }
  return trace;
}

bool DecodeStraceString(const std::string& arg, std::string* bytes, bool* cut) {
  if (arg.empty() || arg[0] != '"') return false;
  bytes->clear();
  size_t i = 1;
  for (; i < arg.size() && arg[i] != '"'; ++i) {
    char c = arg[i];
    if (c != '\\') {
      bytes->push_back(c);
      continue;
    }
    if (++i >= arg.size()) return false;
    switch (arg[i]) {
      case 'x': {
        if (i + 2 >= arg.size()) return false;
        int high = HexDigit(arg[i + 1]);
        int low = HexDigit(arg[i + 2]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high * 16 + low));
        i += 2;
        break;
      }
      case 'n': bytes->push_back('\n'); break;
      case 't': bytes->push_back('\t'); break;
      case 'r': bytes->push_back('\r'); break;
      case 'v': bytes->push_back('\v'); break;
      case 'f': bytes->push_back('\f'); break;
      case '\\': bytes->push_back('\\'); break;
      case '"': bytes->push_back('"'); break;
      default: {
        // Octal: up to three digits.
        int value = 0;
        int digits = 0;
        while (digits < 3 && i < arg.size() && arg[i] >= '0' && arg[i] <= '7') {
          value = value * 8 + (arg[i] - '0');
          ++i;
          ++digits;
        }
        if (digits == 0) return false;
        --i;
        bytes->push_back(static_cast<char>(value));
      }
    }
  }
  if (i >= arg.size()) return false;
  *cut = arg.compare(i + 1, 3, "...") == 0;
  return true;
}

bool ParseStraceNumber(const std::string& arg, long long* value) {
  std::string text = Trim(arg);
  if (text.empty()) return false;
  if (text[0] == '~') {
    long long inner = 0;
    if (!ParseStraceNumber(text.substr(1), &inner)) return false;
    *value = ~inner;
    return true;
  }
  // "4294967295" and the like come out as written; a trailing 'U' or 'L' is
  // strace's C notation.
  while (!text.empty() && (text.back() == 'U' || text.back() == 'L')) text.pop_back();
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  bool negative = begin[0] == '-';
  unsigned long long magnitude = strtoull(negative ? begin + 1 : begin, &end, 0);
  if (end == begin || *end != '\0' || errno != 0) return false;
  *value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  return true;
}

bool HasStraceFlag(const std::string& arg, const std::string& flag) {
  std::string text = Trim(arg);
  size_t start = 0;
  while (start <= text.size()) {
    size_t bar = text.find('|', start);
    std::string item = Trim(text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (item == flag) return true;
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return false;
}

std::vector<std::string> SplitStraceList(const std::string& text) {
  std::string trimmed = Trim(text);
  if (trimmed.size() < 2 || (trimmed[0] != '[' && trimmed[0] != '{')) return {};
  return SplitTopLevel(trimmed.substr(1, trimmed.size() - 2));
}

std::string StraceField(const std::string& structure, const std::string& field) {
  for (const std::string& item : SplitStraceList(structure)) {
    if (item.compare(0, field.size() + 1, field + "=") == 0) return item.substr(field.size() + 1);
  }
  return "";
}

std::string StraceProgram() {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr && *path != '\0' ? path : "/usr/bin:/bin";
  dirs += ":/usr/bin:/bin";
  std::istringstream in(dirs);
  std::string dir;
  while (std::getline(in, dir, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/strace";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string TracingUnavailableReason() {
  std::string strace = StraceProgram();
  if (strace.empty()) return "strace is not installed";
  ChildProcess probe(Env{}, strace, {"-f", "-qq", "-e", "trace=none", "-o", "/dev/null", "/bin/true"});
  std::optional<int> status = probe.WaitForExit(std::chrono::seconds(60));
  if (status && *status == 0) return "";
  std::string said = probe.Stderr();
  while (!said.empty() && said.back() == '\n') said.pop_back();
  return "strace cannot trace a child on this machine (ptrace refused?): " +
         (status ? "status " + std::to_string(*status) : std::string("no end within 60 s")) + ", " + said;
}

TracedProgram::TracedProgram(const Env& env, const std::string& program, const std::vector<std::string>& args)
    : scratch_("zqtrace"), trace_path_(scratch_ / "trace") {
  // -f: threads and children too; seccomp-bpf stops the program only at the
  // calls asked for; -xx: every byte of a string in hex, so no byte of data
  // is lost or mistaken for notation; -qq and signal=none: no lines but calls.
  std::vector<std::string> strace_args{"-f", "--seccomp-bpf", "-qq", "-e", "signal=none", "-xx", "-s", kLongestString,
                                       "-e", "raw=read,readv", "-e", std::string("trace=") + kTracedCalls,
                                       "-o", trace_path_, "--", program};
  strace_args.insert(strace_args.end(), args.begin(), args.end());
  // LeakSanitizer stops the world at exit by tracing the program's threads,
  // which a program strace already traces does not allow: it would end in
  // a fatal error instead of the program's own status.
  Env traced_env = env;
  std::string& asan_options = traced_env["ASAN_OPTIONS"];
  asan_options += std::string(asan_options.empty() ? "" : ":") + "detect_leaks=0";
  strace_ = std::make_unique<ChildProcess>(traced_env, StraceProgram(), strace_args);
}

TracedProgram::~TracedProgram() {
  pid_t traced = TracedPid(std::chrono::milliseconds(0));
  if (traced > 0) kill(traced, SIGKILL);
}

pid_t TracedProgram::TracedPid(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::string children =
      "/proc/" + std::to_string(strace_->pid()) + "/task/" + std::to_string(strace_->pid()) + "/children";
  for (;;) {
    std::ifstream in(children);
    pid_t pid = -1;
    if (in >> pid && pid > 0) return pid;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

SyscallTrace TracedProgram::Finish(std::chrono::milliseconds timeout) {
  status_ = strace_->WaitForExit(timeout);
  if (!status_) {
    SyscallTrace unfinished;
    unfinished.problems.push_back("strace did not end in time: " + strace_->Stderr());
    return unfinished;
  }
  return ParseStraceOutput(ReadFile(trace_path_));
}

}  // namespace zq_test
