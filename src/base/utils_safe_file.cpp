// Safe-file operations of Utils: replacement and removal of files that other
// processes of the device may touch, under the cross-process safe-file lock,
// and the directory work of the upgrade, done without a shell.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "base/fd_write.h"
#include "base/file_tree.h"
#include "base/lock_file.h"
#include "base/path_text.h"
#include "base/temporary_name.h"
#include "base/unique_fd.h"
#include "base/utils.h"

namespace zq_camera_service {

namespace {

constexpr size_t kReadBackChunk = 1000;
// Names tried for one temporary file before the write gives up; only names
// taken by files this process did not make (leftovers of a killed writer)
// cost a try.
constexpr int kTemporaryNameTries = 64;

bool IsBinaryMode(const char* mode) { return strchr(mode, 'b') != nullptr; }

// Reads until `length` bytes are in or the file ends: the count read, or -1.
ssize_t ReadUpTo(int fd, unsigned char* buffer, size_t length) {
  size_t filled = 0;
  while (filled < length) {
    ssize_t n = read(fd, buffer + filled, length - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(filled);
}

// True when the file holds exactly `length` bytes equal to `data`.
bool FileHoldsExactly(int fd, const unsigned char* data, size_t length) {
  unsigned char chunk[kReadBackChunk];
  size_t offset = 0;
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return offset == length;
    size_t got = static_cast<size_t>(n);
    if (got > length - offset || memcmp(chunk, data + offset, got) != 0) return false;
    offset += got;
  }
}

// Creates the temporary file of `target` under a name that no other file
// has: O_EXCL never opens, truncates or follows what is already there, so
// whatever holds a name (a leftover, a link, a file of the slot) is left
// alone and the next name is tried.
UniqueFd CreateTemporaryFile(const std::string& target, std::string* tmp_path) {
  static std::atomic<unsigned> next_attempt{0};
  for (int i = 0; i < kTemporaryNameTries; ++i) {
    *tmp_path = TemporaryPathFor(target, static_cast<unsigned long>(getpid()), next_attempt++);
    UniqueFd fd(open(tmp_path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid() || errno != EEXIST) return fd;
  }
  return UniqueFd();
}

enum class Comparison { kSame, kDiffers, kSourceFailed };

// Whether the file holds exactly the bytes of the source, read again from
// its first byte; `expected` and `held` have room for a piece each.
Comparison FileHoldsSource(int fd, SafeWriteSource& source, unsigned char* expected, unsigned char* held) {
  if (!source.Restart()) return Comparison::kSourceFailed;
  for (;;) {
    long long n = source.Read(expected, Utils::kSafeWritePiece);
    if (n < 0 || n > static_cast<long long>(Utils::kSafeWritePiece)) return Comparison::kSourceFailed;
    if (n == 0) return ReadUpTo(fd, held, 1) == 0 ? Comparison::kSame : Comparison::kDiffers;
    size_t piece = static_cast<size_t>(n);
    if (ReadUpTo(fd, held, piece) != n || memcmp(expected, held, piece) != 0) return Comparison::kDiffers;
  }
}

// A replaced file keeps its permission bits (an executable stays one); then
// the temporary file is flushed and closed: false when that fails.
bool SealTemporaryFile(UniqueFd& out, const char* path) {
  struct stat target {};
  if (lstat(path, &target) == 0 && S_ISREG(target.st_mode)) fchmod(out.get(), target.st_mode & 07777);
  bool flushed = fsync(out.get()) == 0;
  if (close(out.release()) != 0) flushed = false;
  return flushed;
}

// The written temporary file, opened again to compare it with what it
// should hold; when it cannot be, it is removed.
UniqueFd OpenForReadBack(const std::string& tmp_path) {
  UniqueFd in(open(tmp_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.valid()) unlink(tmp_path.c_str());
  return in;
}

// The directory entry of a renamed file is durable only once its directory
// is flushed.
void SyncParentDirectory(const std::string& path) {
  UniqueFd fd(open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) fsync(fd.get());
}

// Ends a replacement whose temporary file is written: renamed over the
// target when its bytes were verified, removed otherwise. SafeWrite's result.
int FinishReplacement(const std::string& tmp_path, const char* path, bool verified) {
  if (!verified) {
    printf("\nremove \n");
    unlink(tmp_path.c_str());
    return 9;
  }
  printf("\nremove rename\n");
  if (rename(tmp_path.c_str(), path) != 0) {
    zq_error("rename %s to %s failed: %s\n", tmp_path.c_str(), path, strerror(errno));
    unlink(tmp_path.c_str());
    return Utils::kSafeWriteRenameFailed;
  }
  SyncParentDirectory(path);
  return 0;
}

void ListDirectory(const std::string& directory, std::map<std::string, std::string>& out) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = directory + "/" + name;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      // Some file systems do not report the kind in the entry; ask the inode.
      struct stat info {};
      if (lstat(path.c_str(), &info) != 0) continue;
      type = S_ISREG(info.st_mode) ? DT_REG : S_ISDIR(info.st_mode) ? DT_DIR : DT_LNK;
    }
    if (type == DT_REG) {
      out[name] = path;
    } else if (type == DT_DIR) {
      ListDirectory(path, out);
    }
  }
  closedir(dir);
}

}  // namespace

int Utils::SafeRemoveFile(const char* path) {
  SafeFileLock lock;
  if (!lock.locked()) return 1;
  zq_debug("file:%s\n", path);
  return remove(path);
}

int Utils::SafeWrite(const char* path, const unsigned char* data, long length, const char* mode) {
  if (path == nullptr || mode == nullptr || length < 0 || (data == nullptr && length > 0)) return 1;
  SafeFileLock lock;
  if (!lock.locked()) return 1;

  const bool binary = IsBinaryMode(mode);
  // The data of a text ends at its first NUL; the read-back then finds the
  // file shorter than the length and refuses it.
  size_t to_write = binary || length == 0 ? static_cast<size_t>(length)
                                          : strnlen(reinterpret_cast<const char*>(data), static_cast<size_t>(length));

  // From here on every unlink of tmp_path removes the file this call made.
  std::string tmp_path;
  UniqueFd out = CreateTemporaryFile(path, &tmp_path);
  zq_debug("tmp_path:%s\n", tmp_path.c_str());
  if (!out.valid()) return 1;
  // A short write shows in the read-back below.
  WriteAll(out.get(), data, to_write);
  if (binary) {
    zq_debug("binary done\n");
  } else {
    zq_debug("txt done\n");
  }
  bool flushed = SealTemporaryFile(out, path);

  UniqueFd in = OpenForReadBack(tmp_path);
  if (!in.valid()) return 2;
  bool verified = flushed && FileHoldsExactly(in.get(), data, static_cast<size_t>(length));
  in.reset();
  return FinishReplacement(tmp_path, path, verified);
}

int Utils::SafeWrite(const char* path, SafeWriteSource& source) {
  if (path == nullptr) return 1;
  // One piece as it comes from the source, one as the file gives it back.
  std::unique_ptr<unsigned char[]> pieces(new (std::nothrow) unsigned char[2 * kSafeWritePiece]);
  if (!pieces) return 1;
  unsigned char* const piece = pieces.get();
  SafeFileLock lock;
  if (!lock.locked()) return 1;
  if (!source.Restart()) return kSafeWriteSourceFailed;

  // From here on every unlink of tmp_path removes the file this call made.
  std::string tmp_path;
  UniqueFd out = CreateTemporaryFile(path, &tmp_path);
  zq_debug("tmp_path:%s\n", tmp_path.c_str());
  if (!out.valid()) return 1;
  bool written = true;
  for (;;) {
    long long n = source.Read(piece, kSafeWritePiece);
    if (n < 0 || n > static_cast<long long>(kSafeWritePiece)) {
      out.reset();
      unlink(tmp_path.c_str());
      return kSafeWriteSourceFailed;
    }
    if (n == 0) break;
    // A full file system: the rest of the source is not worth reading.
    if (!WriteAll(out.get(), piece, static_cast<size_t>(n))) {
      written = false;
      break;
    }
  }
  zq_debug("binary done\n");
  bool flushed = SealTemporaryFile(out, path) && written;

  UniqueFd in = OpenForReadBack(tmp_path);
  if (!in.valid()) return 2;
  Comparison held = flushed ? FileHoldsSource(in.get(), source, piece, piece + kSafeWritePiece) : Comparison::kDiffers;
  in.reset();
  if (held == Comparison::kSourceFailed) {
    unlink(tmp_path.c_str());
    return kSafeWriteSourceFailed;
  }
  return FinishReplacement(tmp_path, path, held == Comparison::kSame);
}

int Utils::SafeRead(const char* path, unsigned char** out, long* out_length, const char* mode) {
  if (path == nullptr || out == nullptr || out_length == nullptr || mode == nullptr) return 1;
  SafeFileLock lock;
  if (!lock.locked()) return 1;
  UniqueFd in(open(path, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return 1;
  off_t size = lseek(in.get(), 0, SEEK_END);
  if (size < 0 || lseek(in.get(), 0, SEEK_SET) != 0) return 1;
  // The buffer (with its spare byte) and the long length must hold the whole
  // file: on 32-bit boards both are narrower than the 64-bit file offset.
  if (static_cast<unsigned long long>(size) >= std::min<unsigned long long>(SIZE_MAX, LONG_MAX)) return 1;
  const bool binary = IsBinaryMode(mode);
  // One spare byte: text mode ends the buffer with a NUL, and malloc(0) may
  // give no buffer at all.
  unsigned char* buffer = static_cast<unsigned char*>(malloc(static_cast<size_t>(size) + 1));
  if (buffer == nullptr) return 1;
  size_t filled = 0;
  while (filled < static_cast<size_t>(size)) {
    size_t want = static_cast<size_t>(size) - filled;
    if (want > kReadBackChunk) want = kReadBackChunk;
    ssize_t n = read(in.get(), buffer + filled, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  if (!binary) buffer[filled] = '\0';
  *out = buffer;
  *out_length = static_cast<long>(filled);
  return 0;
}

int Utils::GetRealPath(std::string path, std::string& out) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return 1;
  size_t capacity = info.st_size > 0 ? static_cast<size_t>(info.st_size) + 1 : 4096;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[capacity]);
  if (!buffer) return 2;
  ssize_t n = readlink(path.c_str(), buffer.get(), capacity);
  if (n < 0) return 3;
  out.assign(buffer.get(), static_cast<size_t>(n));
  printf("'%s' points to '%.*s'\n", path.c_str(), static_cast<int>(n), buffer.get());
  return static_cast<size_t>(n) == capacity ? 4 : 0;
}

int Utils::SetSoftLink(const char* target, const char* link_path) {
  remove(link_path);
  return symlink(target, link_path);
}

int Utils::RemoveDir(const char* directory) {
  if (directory == nullptr) return -1;
  return file_tree::RemoveTree(directory) ? 0 : -1;
}

int Utils::CopyDir(const char* source, const char* destination) {
  if (source == nullptr || destination == nullptr) return -1;
  std::string target = destination;
  // "cp -r a b" with an existing directory b copies into b/a.
  struct stat info {};
  if (stat(destination, &info) == 0 && S_ISDIR(info.st_mode)) {
    std::string from = source;
    while (from.size() > 1 && from.back() == '/') from.pop_back();
    size_t slash = from.rfind('/');
    target += "/" + (slash == std::string::npos ? from : from.substr(slash + 1));
  }
  return file_tree::CopyTree(source, target) ? 0 : -1;
}

void Utils::ListAllFile(const char* directory, std::map<std::string, std::string>& out) {
  if (directory == nullptr) return;
  ListDirectory(directory, out);
}

}  // namespace zq_camera_service
