#include "base/file_tree.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "base/fd_write.h"
#include "base/unique_fd.h"

namespace zq_camera_service {
namespace file_tree {

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// The entry names of a directory (without "." and ".."), opened without
// following a link; false when it cannot be read.
bool ReadEntryNames(const std::string& path, std::vector<std::string>* names) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  UniqueDir dir(fdopendir(fd));
  if (!dir) {
    close(fd);
    return false;
  }
  errno = 0;
  while (struct dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
    errno = 0;
  }
  return errno == 0;
}

bool CopyRegularFile(const std::string& source, const std::string& destination, mode_t mode) {
  UniqueFd in(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.valid()) return false;
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd out(open(destination.c_str(), flags, mode & 07777));
  if (!out.valid()) {
    // "cp -f": a destination that cannot be opened is removed and made anew.
    unlink(destination.c_str());
    out.reset(open(destination.c_str(), flags | O_EXCL, mode & 07777));
    if (!out.valid()) return false;
  }
  std::unique_ptr<char[]> buffer(new char[64 * 1024]);
  for (;;) {
    ssize_t n = read(in.get(), buffer.get(), 64 * 1024);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (!WriteAll(out.get(), buffer.get(), static_cast<size_t>(n))) return false;
  }
  // A late write error (a full file system) shows up only at close.
  return close(out.release()) == 0;
}

bool CopyLink(const std::string& source, const std::string& destination, off_t size) {
  std::vector<char> target(static_cast<size_t>(size > 0 ? size : 4096) + 1);
  ssize_t n = readlink(source.c_str(), target.data(), target.size());
  if (n < 0 || static_cast<size_t>(n) >= target.size()) return false;
  std::string text(target.data(), static_cast<size_t>(n));
  if (symlink(text.c_str(), destination.c_str()) == 0) return true;
  if (errno != EEXIST || !RemoveTree(destination)) return false;
  return symlink(text.c_str(), destination.c_str()) == 0;
}

bool CopyEntry(const std::string& source, const std::string& destination, const std::string& relative,
               const std::vector<std::string>& skip) {
  for (const std::string& left_out : skip) {
    if (!left_out.empty() && relative == left_out) return true;
  }
  struct stat info {};
  if (lstat(source.c_str(), &info) != 0) return false;
  if (S_ISREG(info.st_mode)) return CopyRegularFile(source, destination, info.st_mode);
  if (S_ISLNK(info.st_mode)) return CopyLink(source, destination, info.st_size);
  if (!S_ISDIR(info.st_mode)) {
    if (mknod(destination.c_str(), info.st_mode, info.st_rdev) == 0) return true;
    if (errno != EEXIST || !RemoveTree(destination)) return false;
    return mknod(destination.c_str(), info.st_mode, info.st_rdev) == 0;
  }

  // The owner needs to write into the copy while it is being filled; a
  // read-only directory gets its own mode back at the end.
  mode_t mode = info.st_mode & 07777;
  struct stat existing {};
  if (lstat(destination.c_str(), &existing) == 0 && !S_ISDIR(existing.st_mode)) {
    if (!RemoveTree(destination)) return false;
  }
  if (mkdir(destination.c_str(), mode | S_IRWXU) != 0 && errno != EEXIST) return false;
  if (lstat(destination.c_str(), &existing) != 0 || !S_ISDIR(existing.st_mode)) return false;

  std::vector<std::string> names;
  bool complete = ReadEntryNames(source, &names);
  for (const std::string& name : names) {
    std::string child_relative = relative.empty() ? name : relative + "/" + name;
    if (!CopyEntry(source + "/" + name, destination + "/" + name, child_relative, skip)) complete = false;
  }
  if ((mode & S_IRWXU) != S_IRWXU && chmod(destination.c_str(), mode) != 0) complete = false;
  return complete;
}

}  // namespace

bool RemoveTree(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return errno == ENOENT;
  if (S_ISDIR(info.st_mode)) {
    std::vector<std::string> names;
    ReadEntryNames(path, &names);
    for (const std::string& name : names) RemoveTree(path + "/" + name);
    if (rmdir(path.c_str()) != 0 && errno != ENOENT) return false;
  } else if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    return false;
  }
  return lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

bool CopyTree(const std::string& source, const std::string& destination, const std::vector<std::string>& skip) {
  return CopyEntry(source, destination, "", skip);
}

void Walk(const std::string& root, const std::function<void(const std::string&, const struct stat&)>& visit) {
  // Directories still to read, relative to root; a list instead of
  // recursion, so the depth of a tree is no concern of the stack.
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    std::string directory = std::move(pending.back());
    pending.pop_back();
    std::string base = directory.empty() ? root : root + "/" + directory;
    std::vector<std::string> names;
    ReadEntryNames(base, &names);
    for (const std::string& name : names) {
      std::string relative = directory.empty() ? name : directory + "/" + name;
      struct stat info {};
      if (lstat((base + "/" + name).c_str(), &info) != 0) continue;
      visit(relative, info);
      if (S_ISDIR(info.st_mode)) pending.push_back(relative);
    }
  }
}

bool MakeDirectories(const std::string& base, const std::vector<std::string>& segments) {
  std::string path = base;
  for (const std::string& segment : segments) {
    path += "/" + segment;
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode)) return false;
      continue;
    }
    if (errno != ENOENT) return false;
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  }
  return true;
}

bool AddOwnerExecute(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return chmod(path.c_str(), (info.st_mode & 07777) | S_IXUSR) == 0;
}

}  // namespace file_tree
}  // namespace zq_camera_service
