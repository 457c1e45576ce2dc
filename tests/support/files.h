// Small file helpers for tests: whole-file reads and writes, temporary directories.
#pragma once

#include <string>

namespace zq_test {

std::string ReadFile(const std::string& path);  // "" when missing
void WriteFile(const std::string& path, const std::string& content);  // creates parent directories
bool FileExists(const std::string& path);
// Whether a strict JSON reader (Python's, which wants UTF-8 and nothing
// past the standard) reads the file: a looser reader would let a document
// through that other tools of the device refuse.
bool StrictJsonReaderReads(const std::string& path);

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away, or else when the test program ends (see
// leftovers.h).
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zqtest");
  // One under /dev/shm where that is a writable tmpfs, else as above: for
  // files a test rewrites on a schedule, which a disk busy with the fsyncs
  // of other tests could hold up for a second.
  static TempDir InMemory(const std::string& prefix);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  TempDir(const std::string& base, const std::string& prefix);
  std::string path_;
};

}  // namespace zq_test
