// Rebuilds every state a power cut can leave in one tree (an install root)
// from a recorded trace: starting from a snapshot of the tree taken before
// the program ran, the calls that change the tree are applied one by one,
// and after each one the state is read under both crash models (see
// file_system_model.h). Processes, threads, file descriptors (with their
// offsets and close-on-exec flags) and working directories are followed as
// the kernel keeps them, so a write lands in the inode its descriptor was
// opened on, whatever was renamed since.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/file_system_model.h"
#include "support/syscall_trace.h"

namespace zq_test {

// One call that changed the tree (or its durability): a cut point.
struct ReplayStep {
  size_t number = 0;  // 1-based; the state after it is state `number`
  std::string call;   // "renameat2 slotA/config/.x.zqtmp -> slotA/config/x"
  size_t trace_line = 0;
};

struct CrashReplay {
  std::vector<ReplayStep> steps;
  // Calls the replay could not follow (an unknown way of writing, a call the
  // tree does not allow, a write cut by strace): with any of them the
  // states below cannot be trusted.
  std::vector<std::string> errors;
  size_t calls_seen = 0;  // every call of the trace
  // The state after 0, 1, ... steps under each model; states[0] is the snapshot.
  std::vector<TreeState> ordered;
  std::vector<TreeState> write_back;

  size_t states() const { return ordered.size(); }
  const TreeState& State(CrashModel model, size_t cut) const {
    return model == CrashModel::kOrdered ? ordered[cut] : write_back[cut];
  }
  // "step 12 (renameat ...)" or "before the first step".
  std::string DescribeCut(size_t cut) const;
};

struct ReplaySetup {
  std::string root;               // the tree's root, as the program names it
  std::string working_directory;  // of the traced program when it started
  mode_t umask = 022;             // of the traced program when it started
};

CrashReplay ReplayTrace(const SyscallTrace& trace, const FileSystemModel& snapshot, const ReplaySetup& setup);

// The umask of this process (read without changing it).
mode_t CurrentUmask();

}  // namespace zq_test
