// Whether a staging fits the backup slot's file system, worked out before
// the slot is touched: a package that cannot fit is refused while the slot
// still holds what it held, instead of filling the flash half way.
#pragma once

#include <string>
#include <vector>

namespace zq_camera_service {

// A file the staging writes into the slot: its slot path ("/lib/x.so") and
// its size in bytes.
struct StagedFile {
  std::string path;
  unsigned long long size = 0;
};

struct SlotSpace {
  // Bytes the slot holds at its fullest moment of the staging, margin
  // included: the copy of the running slot, the version document, and each
  // file in turn with its temporary copy beside the one it replaces.
  unsigned long long needed = 0;
  // Bytes free for unprivileged use on the slot's file system, plus what
  // emptying the slot gives back.
  unsigned long long available = 0;
};

// Room left over on top of the estimate: the estimate rounds every file up
// to whole blocks and gives each file, directory and link one block more,
// but a file system spends some room on its own books.
constexpr unsigned long long kSlotSpaceMarginBytes = 1ull << 20;

// Works out `space` for staging `files` (in the order they are written) and
// a version document of `document_bytes` over a copy of
// `running_slot` (which leaves out the paths in `not_copied`, relative to the
// slot as file_tree::CopyTree takes them: "config/VersionConfig.json") into
// `backup_slot`. False with the reason when the backup slot's file system
// cannot be examined.
bool EstimateSlotSpace(const std::string& running_slot, const std::string& backup_slot,
                       const std::vector<std::string>& not_copied, unsigned long long document_bytes,
                       const std::vector<StagedFile>& files, SlotSpace* space, std::string* reason);

}  // namespace zq_camera_service
