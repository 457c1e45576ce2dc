#include "support/file_system_model.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "support/files.h"

namespace zq_test {

const char* CrashModelName(CrashModel model) { return model == CrashModel::kOrdered ? "ordered" : "write-back"; }

FileSystemModel::FileSystemModel() {
  Inode root;
  root.kind = TreeEntry::kDirectory;
  root.mode = 0755;
  root.parent = kRoot;
  nodes_.push_back(root);
}

namespace {

bool ReadLink(const std::string& path, std::string* target) {
  std::vector<char> buffer(4096);
  ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
  if (n < 0 || static_cast<size_t>(n) >= buffer.size()) return false;
  target->assign(buffer.data(), static_cast<size_t>(n));
  return true;
}

bool ReadEntries(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(dir);
  return true;
}

}  // namespace

bool FileSystemModel::FromDirectory(const std::string& directory, FileSystemModel* model, std::string* error) {
  *model = FileSystemModel();
  struct stat root_info {};
  if (stat(directory.c_str(), &root_info) != 0 || !S_ISDIR(root_info.st_mode)) {
    *error = directory + " is not a directory";
    return false;
  }
  model->nodes_[kRoot].mode = root_info.st_mode & 07777;
  // Directories still to read: (inode, path on disk).
  std::vector<std::pair<int, std::string>> pending{{kRoot, directory}};
  while (!pending.empty()) {
    auto [dir, path] = pending.back();
    pending.pop_back();
    std::vector<std::string> names;
    if (!ReadEntries(path, &names)) {
      *error = "cannot list " + path + ": " + strerror(errno);
      return false;
    }
    for (const std::string& name : names) {
      std::string child_path = path + "/" + name;
      struct stat info {};
      if (lstat(child_path.c_str(), &info) != 0) {
        *error = "cannot examine " + child_path;
        return false;
      }
      TreeEntry::Kind kind = S_ISREG(info.st_mode)   ? TreeEntry::kFile
                             : S_ISDIR(info.st_mode) ? TreeEntry::kDirectory
                             : S_ISLNK(info.st_mode) ? TreeEntry::kLink
                                                     : TreeEntry::kOther;
      std::string target;
      if (kind == TreeEntry::kLink && !ReadLink(child_path, &target)) {
        *error = "cannot read the link " + child_path;
        return false;
      }
      int id = model->Create(dir, name, kind, info.st_mode, target, error);
      if (id < 0) return false;
      if (kind == TreeEntry::kFile) {
        model->nodes_[static_cast<size_t>(id)].data = ReadFile(child_path);
        model->nodes_[static_cast<size_t>(id)].durable = model->nodes_[static_cast<size_t>(id)].data;
      } else if (kind == TreeEntry::kDirectory) {
        pending.emplace_back(id, child_path);
      }
    }
  }
  return true;
}

int FileSystemModel::Child(int dir, const std::string& name) const {
  const Inode& node = nodes_[static_cast<size_t>(dir)];
  auto it = node.entries.find(name);
  return it == node.entries.end() ? -1 : it->second;
}

std::string FileSystemModel::PathOf(int dir) const {
  std::string path;
  for (int at = dir; at != kRoot;) {
    int parent = nodes_[static_cast<size_t>(at)].parent;
    std::string name;
    for (const auto& entry : nodes_[static_cast<size_t>(parent)].entries) {
      if (entry.second == at) name = entry.first;
    }
    path = path.empty() ? name : name + "/" + path;
    at = parent;
  }
  return path;
}

int FileSystemModel::Create(int dir, const std::string& name, TreeEntry::Kind kind, mode_t mode,
                            const std::string& link_target, std::string* error) {
  if (nodes_[static_cast<size_t>(dir)].kind != TreeEntry::kDirectory) {
    *error = "creating " + name + " in something that is no directory";
    return -1;
  }
  if (Child(dir, name) >= 0) {
    *error = "creating " + name + " in /" + PathOf(dir) + ", which already holds it";
    return -1;
  }
  Inode node;
  node.kind = kind;
  node.mode = mode & 07777;
  if (kind == TreeEntry::kLink) node.data = link_target;
  if (kind == TreeEntry::kDirectory) node.parent = dir;
  nodes_.push_back(node);
  int id = static_cast<int>(nodes_.size() - 1);
  nodes_[static_cast<size_t>(dir)].entries[name] = id;
  return id;
}

bool FileSystemModel::Rename(int from_dir, const std::string& from, int to_dir, const std::string& to, bool no_replace,
                             bool exchange, std::string* error) {
  int moved = Child(from_dir, from);
  if (moved < 0) {
    *error = "renaming /" + PathOf(from_dir) + "/" + from + ", which is not there";
    return false;
  }
  int replaced = Child(to_dir, to);
  if (replaced == moved) return true;
  if (exchange) {
    if (replaced < 0) {
      *error = "exchanging with " + to + ", which is not there";
      return false;
    }
    nodes_[static_cast<size_t>(from_dir)].entries[from] = replaced;
    nodes_[static_cast<size_t>(to_dir)].entries[to] = moved;
    if (nodes_[static_cast<size_t>(replaced)].kind == TreeEntry::kDirectory) {
      nodes_[static_cast<size_t>(replaced)].parent = from_dir;
    }
    if (nodes_[static_cast<size_t>(moved)].kind == TreeEntry::kDirectory) nodes_[static_cast<size_t>(moved)].parent = to_dir;
    return true;
  }
  bool moved_is_dir = nodes_[static_cast<size_t>(moved)].kind == TreeEntry::kDirectory;
  if (moved_is_dir) {
    for (int at = to_dir; at != kRoot; at = nodes_[static_cast<size_t>(at)].parent) {
      if (at == moved) {
        *error = "renaming a directory into itself";
        return false;
      }
    }
  }
  if (replaced >= 0) {
    const Inode& old = nodes_[static_cast<size_t>(replaced)];
    bool replaced_is_dir = old.kind == TreeEntry::kDirectory;
    if (no_replace || moved_is_dir != replaced_is_dir || (replaced_is_dir && !old.entries.empty())) {
      *error = "renaming over /" + PathOf(to_dir) + "/" + to + ", which cannot be replaced";
      return false;
    }
  }
  nodes_[static_cast<size_t>(from_dir)].entries.erase(from);
  nodes_[static_cast<size_t>(to_dir)].entries[to] = moved;
  if (moved_is_dir) nodes_[static_cast<size_t>(moved)].parent = to_dir;
  return true;
}

bool FileSystemModel::Remove(int dir, const std::string& name, bool directory, std::string* error) {
  int id = Child(dir, name);
  if (id < 0) {
    *error = "removing /" + PathOf(dir) + "/" + name + ", which is not there";
    return false;
  }
  const Inode& node = nodes_[static_cast<size_t>(id)];
  bool is_dir = node.kind == TreeEntry::kDirectory;
  if (is_dir != directory || (is_dir && !node.entries.empty())) {
    *error = "removing /" + PathOf(dir) + "/" + name + ", which is " +
             (is_dir ? (node.entries.empty() ? "a directory" : "a directory that holds entries") : "no directory");
    return false;
  }
  nodes_[static_cast<size_t>(dir)].entries.erase(name);
  return true;
}

bool FileSystemModel::HardLink(int inode, int dir, const std::string& name, std::string* error) {
  if (nodes_[static_cast<size_t>(inode)].kind == TreeEntry::kDirectory || Child(dir, name) >= 0) {
    *error = "linking " + name + ": a directory, or the name is taken";
    return false;
  }
  nodes_[static_cast<size_t>(dir)].entries[name] = inode;
  return true;
}

void FileSystemModel::Write(int inode, unsigned long long offset, const std::string& bytes) {
  std::string& data = nodes_[static_cast<size_t>(inode)].data;
  if (data.size() < offset + bytes.size()) data.resize(offset + bytes.size(), '\0');
  data.replace(offset, bytes.size(), bytes);
}

void FileSystemModel::Truncate(int inode, unsigned long long length) {
  Inode& node = nodes_[static_cast<size_t>(inode)];
  node.data.resize(length, '\0');
  // The size is metadata: a journalling file system keeps a shortening in
  // order with the other metadata, while the bytes written after it may be
  // lost. So a truncated and rewritten file can come back empty.
  if (node.durable.size() > length) node.durable.resize(length);
}

void FileSystemModel::Sync(int inode) {
  Inode& node = nodes_[static_cast<size_t>(inode)];
  node.durable = node.data;
}

void FileSystemModel::SyncAll() {
  for (Inode& node : nodes_) node.durable = node.data;
}

TreeState FileSystemModel::View(CrashModel model) const {
  TreeState state;
  std::vector<std::pair<int, std::string>> pending{{kRoot, ""}};
  while (!pending.empty()) {
    auto [dir, path] = pending.back();
    pending.pop_back();
    for (const auto& entry : nodes_[static_cast<size_t>(dir)].entries) {
      const Inode& node = nodes_[static_cast<size_t>(entry.second)];
      std::string child = path.empty() ? entry.first : path + "/" + entry.first;
      TreeEntry out;
      out.kind = node.kind;
      out.mode = node.mode;
      if (node.kind == TreeEntry::kLink) out.bytes = node.data;
      if (node.kind == TreeEntry::kFile) out.bytes = model == CrashModel::kOrdered ? node.data : node.durable;
      state[child] = out;
      if (node.kind == TreeEntry::kDirectory) pending.emplace_back(entry.second, child);
    }
  }
  return state;
}

bool ReadTreeState(const std::string& directory, TreeState* state, std::string* error) {
  FileSystemModel model;
  if (!FileSystemModel::FromDirectory(directory, &model, error)) return false;
  *state = model.View(CrashModel::kOrdered);
  return true;
}

bool WriteTreeState(const TreeState& state, const std::string& directory, std::string* error) {
  std::error_code ignored;
  std::vector<std::string> names;
  if (!ReadEntries(directory, &names)) {
    *error = "cannot list " + directory;
    return false;
  }
  for (const std::string& name : names) {
    std::filesystem::permissions(directory + "/" + name, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow, ignored);
    std::filesystem::remove_all(directory + "/" + name, ignored);
  }
  // Parents sort before what they hold; directories get their own mode
  // once they are filled.
  std::vector<std::pair<std::string, mode_t>> directories;
  for (const auto& entry : state) {
    std::string path = directory + "/" + entry.first;
    const TreeEntry& e = entry.second;
    bool made = false;
    if (e.kind == TreeEntry::kDirectory) {
      made = mkdir(path.c_str(), 0700) == 0;
      directories.emplace_back(path, e.mode);
    } else if (e.kind == TreeEntry::kLink) {
      made = symlink(e.bytes.c_str(), path.c_str()) == 0;
    } else if (e.kind == TreeEntry::kFile) {
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      made = fd >= 0 && write(fd, e.bytes.data(), e.bytes.size()) == static_cast<ssize_t>(e.bytes.size()) &&
             fchmod(fd, e.mode) == 0;
      if (fd >= 0) made = close(fd) == 0 && made;
    }
    if (!made) {
      *error = "cannot rebuild " + path + ": " + strerror(errno);
      return false;
    }
  }
  for (auto it = directories.rbegin(); it != directories.rend(); ++it) chmod(it->first.c_str(), it->second);
  return true;
}

std::string TreeStateDifference(const TreeState& expected, const TreeState& actual) {
  static const char* const kKinds[] = {"file", "directory", "link", "special file"};
  std::string account;
  for (const auto& entry : expected) {
    auto found = actual.find(entry.first);
    if (found == actual.end()) {
      account += "missing: " + entry.first + "\n";
    } else if (found->second.kind != entry.second.kind) {
      account += "differs: " + entry.first + " is a " + kKinds[found->second.kind] + ", not a " +
                 kKinds[entry.second.kind] + "\n";
    } else if (found->second.bytes != entry.second.bytes) {
      account += "differs: " + entry.first + " (" + std::to_string(entry.second.bytes.size()) + " vs " +
                 std::to_string(found->second.bytes.size()) + " bytes)\n";
    } else if (found->second.mode != entry.second.mode) {
      char modes[64];
      snprintf(modes, sizeof modes, " (mode %04o vs %04o)\n", static_cast<unsigned>(entry.second.mode),
               static_cast<unsigned>(found->second.mode));
      account += "differs: " + entry.first + modes;
    }
  }
  for (const auto& entry : actual) {
    if (expected.count(entry.first) == 0) account += "extra: " + entry.first + "\n";
  }
  return account;
}

}  // namespace zq_test
