// Runs the real service binary (or any program) as a child with a given
// environment, its standard output and error captured in files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/ports.h"

namespace zq_test {

using Env = std::map<std::string, std::string>;

class ChildProcess {
 public:
  // `env` is the child's whole environment (PATH, and the test's own
  // TSAN_OPTIONS, are added when missing).
  explicit ChildProcess(Env env, std::string program = ZQ_SERVICE_BINARY, std::vector<std::string> args = {});
  // Runs `body` in a forked copy of this process (no exec), with `env` as its
  // whole environment and line-buffered standard output; the child ends with
  // status 0 when `body` returns. For code that takes over process-wide state
  // (the SNMP agent library) and must not do so in the test process itself.
  // Fork only while the test process runs no threads of its own.
  ChildProcess(Env env, std::function<void()> body);
  ~ChildProcess();  // kills the child's process group (SIGKILL) when the child still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::string Stdout() const;
  std::string Stderr() const;
  const std::string& StdoutPath() const { return stdout_path_; }
  const std::string& StderrPath() const { return stderr_path_; }

  // Waits until standard output holds `needle` at least `count` times.
  bool WaitForStdout(const std::string& needle, std::chrono::milliseconds timeout, size_t count = 1);
  bool WaitForStderr(const std::string& needle, std::chrono::milliseconds timeout, size_t count = 1);
  // The exit status (or 128 + signal) once the child ended within `timeout`.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
  bool Running();
  void Signal(int signal);  // to the child alone
  void Kill();              // the child and its process group

 private:
  bool WaitForText(const std::string& path, const std::string& needle, std::chrono::milliseconds timeout,
                   size_t count);
  // Forks; the child gets the output files and its own process group, then
  // runs `in_child`, which never returns. The group is this program's to end
  // (see leftovers.h).
  void Launch(const std::function<void()>& in_child);

  TempDir output_dir_;
  std::string stdout_path_;
  std::string stderr_path_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// fork(), for a child that cannot outlive this program: it gets SIGKILL when
// the program ends, however it ends (set before `in_child` runs, so also
// across exec), and ends at once when the program already went. `in_child`
// runs in the child and should not return (the child then ends with 127).
// The child's pid, or -1.
//
// The kernel sends that signal when the thread that forked ends, not the
// process: called on a thread other than the main one, the fork happens on
// one that lives as long as the program.
pid_t ForkTiedChild(const std::function<void()>& in_child);

size_t CountOccurrences(const std::string& text, const std::string& needle);
// The lines of `text` holding `needle`.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle);

// The environment of a service child: the install root, standard-output
// logging at DEBUG, and an SNMP agent confined to a free loopback port with
// its files in `scratch`.
struct ServiceEnvironment {
  explicit ServiceEnvironment(const std::string& install_root);

  Env env;
  TempDir scratch;
  uint16_t snmp_port = 0;
  std::string snmp_conf_dir;

  // Makes the agent send its notifications to 127.0.0.1:`port` (SNMPv2c,
  // community "public"), for a TrapReceiver there.
  void AddSnmpTrapSink(uint16_t port, bool tcp = false);
};

}  // namespace zq_test
