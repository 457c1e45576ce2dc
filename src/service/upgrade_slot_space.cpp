#include "service/upgrade_slot_space.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "base/file_tree.h"
#include "base/path_text.h"

namespace zq_camera_service {

namespace {

// The blocks given back when the slot is emptied: only what lies on the
// examined file system and has no other name.
unsigned long long ReclaimedBytes(const std::string& slot, dev_t device) {
  unsigned long long bytes = 0;
  file_tree::Walk(slot, [&](const std::string&, const struct stat& info) {
    if (info.st_dev != device || (!S_ISDIR(info.st_mode) && info.st_nlink > 1)) return;
    bytes += static_cast<unsigned long long>(info.st_blocks) * 512;
  });
  return bytes;
}

}  // namespace

bool EstimateSlotSpace(const std::string& running_slot, const std::string& backup_slot,
                       const std::vector<std::string>& not_copied, unsigned long long document_bytes,
                       const std::vector<StagedFile>& files, SlotSpace* space, std::string* reason) {
  // A missing backup slot is made in its parent directory.
  struct stat slot_info {};
  bool slot_exists = lstat(backup_slot.c_str(), &slot_info) == 0 && S_ISDIR(slot_info.st_mode);
  std::string examined = slot_exists ? backup_slot : DirectoryOf(backup_slot);
  struct statvfs vfs {};
  struct stat examined_info {};
  if (statvfs(examined.c_str(), &vfs) != 0 || stat(examined.c_str(), &examined_info) != 0) {
    *reason = examined + ": " + strerror(errno);
    return false;
  }
  const unsigned long long fragment = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
  const unsigned long long block = fragment != 0 ? fragment : 4096;
  // Each file takes whole blocks, and one block more stands for its inode
  // and directory entry; a directory or a link takes one block.
  auto file_bytes = [block](unsigned long long size) { return (size + block - 1) / block * block + block; };

  const std::unordered_set<std::string> left_out(not_copied.begin(), not_copied.end());
  std::unordered_map<std::string, unsigned long long> held;  // slot path -> bytes its file takes
  unsigned long long total = block;                          // the slot directory itself
  file_tree::Walk(running_slot, [&](const std::string& relative, const struct stat& info) {
    if (left_out.count(relative) != 0) return;
    if (S_ISREG(info.st_mode)) {
      unsigned long long bytes = file_bytes(static_cast<unsigned long long>(info.st_size));
      held["/" + relative] = bytes;
      total += bytes;
    } else {
      total += block;
    }
  });
  // The document is written twice, each time beside its temporary copy.
  total += 2 * file_bytes(document_bytes);

  unsigned long long peak = total;
  for (const StagedFile& file : files) {
    unsigned long long bytes = file_bytes(file.size);
    // The new file is complete beside the one it replaces before the rename.
    peak = std::max(peak, total + bytes);
    auto replaced = held.find(file.path);
    if (replaced != held.end()) {
      total -= replaced->second;
      replaced->second = bytes;
    } else {
      held.emplace(file.path, bytes);
    }
    total += bytes;
    peak = std::max(peak, total);
  }
  space->needed = peak + kSlotSpaceMarginBytes;
  space->available = static_cast<unsigned long long>(vfs.f_bavail) * block +
                     (slot_exists ? ReclaimedBytes(backup_slot, examined_info.st_dev) : 0);
  return true;
}

}  // namespace zq_camera_service
