// The file-system calls of a real program, recorded once with strace: every
// call that can change a tree (creations, writes with their bytes, renames,
// removals, links, mode changes, syncs) and every call that moves a file
// descriptor or a working directory, in the order the calls completed.
//
//   zq_test::TracedProgram traced(env, ZQ_SERVICE_BINARY, {});
//   ... wait for the program, or kill traced.TracedPid() ...
//   zq_test::SyscallTrace trace = traced.Finish(std::chrono::seconds(60));
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace zq_test {

// One system call, its entry and exit parts joined.
struct SyscallRecord {
  pid_t pid = 0;
  std::string name;
  std::vector<std::string> args;  // top-level arguments as strace printed them
  long long result = 0;
  std::string error;     // "ENOENT" etc. when the call failed (result -1)
  bool finished = true;  // false: the call never returned (its process died in it)
  size_t line = 0;       // line of the trace it completed on (1-based)
};

struct SyscallTrace {
  std::vector<SyscallRecord> records;  // in order of completion
  std::vector<std::string> problems;   // lines the parser did not understand
};

SyscallTrace ParseStraceOutput(const std::string& text);

// Argument helpers for strace's notation with -xx (every string byte as \xHH).
// A quoted string's bytes; false when the argument is no string. `cut` tells
// whether strace shortened it ("..." after the quote).
bool DecodeStraceString(const std::string& arg, std::string* bytes, bool* cut);
// A number in strace's notation (decimal, 0x hex, 0 octal, ~0 and the like);
// false when the argument is no number.
bool ParseStraceNumber(const std::string& arg, long long* value);
// True when a flag set ("O_WRONLY|O_CREAT|0x80000") holds `flag`.
bool HasStraceFlag(const std::string& arg, const std::string& flag);
// The items of a "[...]" array or the fields of a "{...}" structure.
std::vector<std::string> SplitStraceList(const std::string& text);
// The value of "field=value" among the items of a structure ("" when absent).
std::string StraceField(const std::string& structure, const std::string& field);

// The strace program found on PATH, "" when it is not installed.
std::string StraceProgram();
// "" when strace can trace a child here; otherwise why not (ptrace refused).
std::string TracingUnavailableReason();

// A program run under strace -f; its standard output and error are the
// program's (strace writes the trace to a file of its own).
class TracedProgram {
 public:
  TracedProgram(const Env& env, const std::string& program, const std::vector<std::string>& args);
  ~TracedProgram();
  TracedProgram(const TracedProgram&) = delete;
  TracedProgram& operator=(const TracedProgram&) = delete;

  ChildProcess& strace() { return *strace_; }
  // The traced program itself (strace's child); -1 while it is not there yet.
  pid_t TracedPid(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits for strace to end (it ends with the program) and parses the trace;
  // a trace with a problem saying so when strace did not end in time.
  SyscallTrace Finish(std::chrono::milliseconds timeout);
  // strace's exit status: the program's, once Finish returned.
  std::optional<int> status() const { return status_; }

 private:
  TempDir scratch_;
  std::string trace_path_;
  std::unique_ptr<ChildProcess> strace_;
  std::optional<int> status_;
};

}  // namespace zq_test
