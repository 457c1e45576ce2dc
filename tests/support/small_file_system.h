// A small file system for tests of a full disk: a tmpfs of a given size
// mounted on a directory in a mount namespace of its own, so the machine's
// mounts never change and the mount goes away with the processes that see it.
//
//   std::string why = zq_test::PrivateMountsUnavailable();
//   if (!why.empty()) GTEST_SKIP() << why;
//   auto report = zq_test::RunOnSmallFileSystem(dir, 1 << 20, [&] { ...; return text; });
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zq_test {

// "" when this machine lets a test make a private mount namespace with a
// tmpfs in it; otherwise why not.
std::string PrivateMountsUnavailable();

// Runs `body` in a forked child that sees a tmpfs of `bytes` on `directory`
// (which must exist) in its own mount namespace; the text `body` returns,
// or nullopt when the namespace or the mount could not be made. Fork only
// while the test process runs no threads of its own.
std::optional<std::string> RunOnSmallFileSystem(const std::string& directory, size_t bytes,
                                                const std::function<std::string()>& body);

// Program and arguments for ChildProcess that run `program` with a tmpfs of
// `bytes` on `directory` in a mount namespace of its own (unshare(1) and a
// shell that execs it), the tmpfs first filled with a copy of what `seed`
// holds (when not ""): the child process is `program` itself.
struct SmallFileSystemCommand {
  std::string program;
  std::vector<std::string> args;
};
SmallFileSystemCommand RunProgramOnSmallFileSystem(const std::string& directory, size_t bytes,
                                                   const std::string& program, const std::string& seed = "");

// `path` as the process `pid` sees it, through its own mount namespace.
std::string SeenBy(pid_t pid, const std::string& path);

}  // namespace zq_test
