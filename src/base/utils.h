// Static helpers shared by the whole system: text formatting, conversions,
// time stamps, the memory probe, JSON-to-text and the safe-file operations.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include <rapidjson/document.h>

#include "base/log.h"

namespace zq_camera_service {

// The bytes of a file that Utils::SafeWrite takes in pieces instead of
// whole: read once to write the temporary file and once more to compare
// what that file holds, so a large file is never held in memory.
class SafeWriteSource {
 public:
  virtual ~SafeWriteSource() = default;
  // Starts over at the first byte; false when the bytes cannot be had.
  virtual bool Restart() = 0;
  // Up to `capacity` next bytes into `buffer`: their count; 0 once every
  // byte was given and found intact; -1 on a fault (the bytes given so far
  // are not to be used).
  virtual long long Read(unsigned char* buffer, size_t capacity) = 0;
};

class Utils {
 public:
  Utils() = delete;

  // printf-style formatting into a string of any length; "" when the format
  // cannot be rendered.
  static std::string StringFormat(const char* format, ...) ZQ_PRINTF_LIKE(1);
  // The text read the way atoi reads it (saturating instead of overflowing).
  static int Str2Int(const std::string& text);
  static std::string Int2Str(int number);
  // Current Unix time in whole seconds, as decimal text.
  static std::string GetTimeStamp();
  // Logs the process's memory figure (13th line of /proc/self/status) when it
  // changed since the previous call.
  static void CheckMemory(std::string tag);
  // Hardware address of "eth0" as "xx:xx:xx:xx:xx:xx"; 0, or -1 on failure.
  static int GetMac(std::string& out);
  // Pretty-printed JSON with four-space indentation.
  static std::string DocumentToString(const rapidjson::Value& document);

  // Test seam for CheckMemory: parses the figure from the text of a status
  // file and applies the change rule; returns true when a line was logged.
  static bool CheckMemoryFromStatusText(const std::string& tag, const std::string& status_text);
  static void ResetMemoryCountersForTest();

  // Safe-file operations (utils_safe_file.cpp). Removal and replacement run
  // under the cross-process safe-file lock; none of them runs a shell.

  // Removes the file under the safe-file lock: remove()'s result, or 1 when
  // the lock file cannot be opened.
  static int SafeRemoveFile(const char* path);
  // Replaces `path` by `length` bytes of `data` (mode "w" or "wb"): written to
  // a temporary file of its own beside it (base/temporary_name.h), read back
  // and compared, then renamed over the target.
  // 0 done; 1 lock or temporary file cannot be opened; 2 temporary file
  // cannot be reopened; 9 read-back differs (target untouched);
  // kSafeWriteRenameFailed when the rename fails (target untouched).
  // In text mode the data ends at its first NUL, as a C text would.
  static int SafeWrite(const char* path, const unsigned char* data, long length, const char* mode);
  // The same replacement of `path` in binary mode, its bytes taken from
  // `source` a piece (kSafeWritePiece) at a time: written to the temporary
  // file, flushed, read back and compared with the source read again. The
  // results as above, and kSafeWriteSourceFailed when the source fails
  // (a corrupt entry, say); every failure leaves the target untouched and
  // no temporary file.
  static int SafeWrite(const char* path, SafeWriteSource& source);
  // Reads the whole file under the safe-file lock into a buffer from malloc
  // (text mode: NUL-terminated) that the caller releases with free(); 0, or 1.
  static int SafeRead(const char* path, unsigned char** out, long* out_length, const char* mode);
  // The target text of a symbolic link: 0; 1 lstat failed; 2 no memory;
  // 3 readlink failed (also: not a link); 4 the target may be cut.
  static int GetRealPath(std::string path, std::string& out);
  // Replaces `link_path` by a symbolic link to `target`; symlink()'s result.
  static int SetSoftLink(const char* target, const char* link_path);
  // "rm -rf" of a directory tree, done with file-system calls: 0 when the
  // path is gone, -1 otherwise.
  static int RemoveDir(const char* directory);
  // "cp -rf source destination" done with file-system calls: 0 when every
  // entry was copied, -1 otherwise (the copy goes on past a failed entry).
  static int CopyDir(const char* source, const char* destination);
  // Adds every regular file under `directory`, recursively, as
  // bare name -> path; a later file of the same bare name replaces an earlier
  // one. Symbolic links are neither listed nor followed.
  static void ListAllFile(const char* directory, std::map<std::string, std::string>& out);

  static constexpr int kSafeWriteRenameFailed = 10;
  static constexpr int kSafeWriteSourceFailed = 11;
  static constexpr size_t kSafeWritePiece = 64 * 1024;
};

}  // namespace zq_camera_service
