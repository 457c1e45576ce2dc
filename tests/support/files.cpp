#include "support/files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "support/leftovers.h"

namespace zq_test {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::path p(path);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

bool StrictJsonReaderReads(const std::string& path) {
  const std::string command =
      "python3 -c 'import json,sys; json.load(open(sys.argv[1], encoding=\"utf-8\"))' '" + path + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

namespace {

std::string DefaultTempBase() {
  const char* base = getenv("TMPDIR");
  return base != nullptr && *base != '\0' ? base : "/tmp";
}

}  // namespace

TempDir::TempDir(const std::string& prefix) : TempDir(DefaultTempBase(), prefix) {}

TempDir::TempDir(const std::string& base, const std::string& prefix) {
  std::string pattern = base + "/" + prefix + ".XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
  RecordScratchDirectory(path_);
}

TempDir TempDir::InMemory(const std::string& prefix) {
  struct statfs shm {};
  bool usable = statfs("/dev/shm", &shm) == 0 && shm.f_type == TMPFS_MAGIC && access("/dev/shm", W_OK) == 0;
  return usable ? TempDir("/dev/shm", prefix) : TempDir(prefix);
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; make them writable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(path_, ignored);
  ForgetScratchDirectory(path_);
}

}  // namespace zq_test
