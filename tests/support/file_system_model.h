// An in-memory file system for rebuilding what a power cut leaves: inodes
// with the bytes written so far and the bytes last made durable, directory
// entries, links, permission bits. Two ways to read it after a cut:
//   ordered:    everything done so far is on the disk (what kill -9 leaves);
//   write-back: creations, renames, removals, links, mode changes and
//               truncations persist in order, but bytes written since the
//               file's last fsync/fdatasync (or the last sync/syncfs) are
//               lost: the file holds its last synced bytes, a file never
//               synced is empty (what a flash file system may leave).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace zq_test {

enum class CrashModel { kOrdered, kWriteBack };
const char* CrashModelName(CrashModel model);

// One entry of a tree as a crash leaves it.
struct TreeEntry {
  enum Kind { kFile, kDirectory, kLink, kOther };
  Kind kind = kFile;
  std::string bytes;  // a file's content, a link's target
  mode_t mode = 0;    // permission bits
  bool operator==(const TreeEntry& other) const {
    return kind == other.kind && bytes == other.bytes && mode == other.mode;
  }
  bool operator!=(const TreeEntry& other) const { return !(*this == other); }
};
// Entries by path relative to the tree's root ("slotA/config/BaseConfig.json").
using TreeState = std::map<std::string, TreeEntry>;

class FileSystemModel {
 public:
  struct Inode {
    TreeEntry::Kind kind = TreeEntry::kFile;
    std::string data;     // bytes written so far, or a link's target
    std::string durable;  // bytes that survive a cut (files only)
    mode_t mode = 0;
    std::map<std::string, int> entries;  // directories
    int parent = -1;                     // directories: the one that holds it
  };

  // An empty root directory.
  FileSystemModel();
  // The tree under `directory` as the disk holds it now, all of it durable.
  // False (with the reason) when part of it cannot be read.
  static bool FromDirectory(const std::string& directory, FileSystemModel* model, std::string* error);

  static constexpr int kRoot = 0;
  const Inode& node(int id) const { return nodes_[static_cast<size_t>(id)]; }
  // The inode `name` names in directory `dir`; -1 when none.
  int Child(int dir, const std::string& name) const;
  // The path of a directory relative to the root ("" for the root itself).
  std::string PathOf(int dir) const;

  // Namespace changes; each returns the new inode, or -1 with the reason
  // when the tree does not allow it (the model then disagrees with the
  // program, which saw the call succeed).
  int Create(int dir, const std::string& name, TreeEntry::Kind kind, mode_t mode, const std::string& link_target,
             std::string* error);
  // rename(2) with RENAME_NOREPLACE / RENAME_EXCHANGE when asked.
  bool Rename(int from_dir, const std::string& from, int to_dir, const std::string& to, bool no_replace, bool exchange,
              std::string* error);
  bool Remove(int dir, const std::string& name, bool directory, std::string* error);
  bool HardLink(int inode, int dir, const std::string& name, std::string* error);

  // Content and metadata of one inode.
  void Write(int inode, unsigned long long offset, const std::string& bytes);
  void Truncate(int inode, unsigned long long length);
  void SetMode(int inode, mode_t mode) { nodes_[static_cast<size_t>(inode)].mode = mode & 07777; }
  void Sync(int inode);
  void SyncAll();

  TreeState View(CrashModel model) const;

 private:
  std::vector<Inode> nodes_;
};

// The tree under `directory` as it is on disk now.
bool ReadTreeState(const std::string& directory, TreeState* state, std::string* error);
// Empties `directory` and builds `state` in it.
bool WriteTreeState(const TreeState& state, const std::string& directory, std::string* error);
// A short account of how two states differ ("" when equal).
std::string TreeStateDifference(const TreeState& expected, const TreeState& actual);

}  // namespace zq_test
