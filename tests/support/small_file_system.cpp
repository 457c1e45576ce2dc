#include "support/small_file_system.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/files.h"

namespace zq_test {

namespace {

const char* const kUnshare = "/usr/bin/unshare";

bool WriteProcFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

// In the child: a mount namespace of its own (inside a user namespace when
// not root), nothing shared back, and the tmpfs on `directory`.
bool MountPrivately(const std::string& directory, size_t bytes) {
  uid_t uid = geteuid();
  gid_t gid = getegid();
  if (uid == 0) {
    if (unshare(CLONE_NEWNS) != 0) return false;
  } else {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    if (!WriteProcFile("/proc/self/setgroups", "deny") ||
        !WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return false;
    }
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  std::string options = "size=" + std::to_string(bytes);
  return mount("zq-small", directory.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

}  // namespace

std::optional<std::string> RunOnSmallFileSystem(const std::string& directory, size_t bytes,
                                                const std::function<std::string()>& body) {
  int report[2];
  if (pipe(report) != 0) return std::nullopt;
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    return std::nullopt;
  }
  if (child == 0) {
    close(report[0]);
    if (!MountPrivately(directory, bytes)) _exit(99);
    std::string text = body();
    const char* at = text.data();
    size_t left = text.size();
    while (left > 0) {
      ssize_t n = write(report[1], at, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(98);
      at += n;
      left -= static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(report[1]);
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(report[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(report[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return text;
}

SmallFileSystemCommand RunProgramOnSmallFileSystem(const std::string& directory, size_t bytes,
                                                   const std::string& program, const std::string& seed) {
  SmallFileSystemCommand command;
  command.program = kUnshare;
  command.args = {"--mount", "--propagation", "private"};
  if (geteuid() != 0) command.args.push_back("--map-root-user");
  std::string script = "mount -t tmpfs -o size=" + std::to_string(bytes) + " zq-small \"$1\" && ";
  if (!seed.empty()) script += "cp -a \"$3/.\" \"$1/\" && ";
  script += "exec \"$2\"";
  command.args.insert(command.args.end(), {"/bin/sh", "-c", script, "sh", directory, program, seed});
  return command;
}

std::string SeenBy(pid_t pid, const std::string& path) { return "/proc/" + std::to_string(pid) + "/root" + path; }

std::string PrivateMountsUnavailable() {
  TempDir probe("zqmount");
  std::optional<std::string> seen = RunOnSmallFileSystem(probe.path(), 1 << 20, [] { return std::string("mounted"); });
  if (!seen || *seen != "mounted") return "no private mount namespace with a tmpfs on this machine";
  if (access(kUnshare, X_OK) != 0) return std::string(kUnshare) + " is missing";
  SmallFileSystemCommand command = RunProgramOnSmallFileSystem(probe.path(), 1 << 20, "/bin/true");
  std::string line = command.program;
  for (const std::string& arg : command.args) line += " '" + arg + "'";
  if (system((line + " >/dev/null 2>&1").c_str()) != 0) return "unshare(1) cannot mount a tmpfs here";
  return "";
}

}  // namespace zq_test
