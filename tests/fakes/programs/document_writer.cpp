// Writers of documents, careless and careful, for showing that a replay of
// every power-cut state catches the careless ones. Each step replaces one
// file by the bytes of another:
//
//   fake_document_writer METHOD TARGET SOURCE [METHOD TARGET SOURCE]...
//
//   in-place         opens TARGET truncated, writes, fsyncs, closes
//   rename-unsynced  writes TARGET.tmp, closes, renames it over TARGET
//   careful          writes TARGET.tmp, fsyncs, renames, fsyncs the directory
//   remove           removes TARGET, fsyncs the directory (SOURCE is ignored)
//
// Exits 0 when every step succeeded, 1 (with a line) otherwise.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteFile(const std::string& path, const std::string& bytes, bool truncate_existing, bool sync) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate_existing ? O_TRUNC : 0);
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes) && (!sync || fsync(fd) == 0);
  return close(fd) == 0 && ok;
}

bool SyncDirectoryOf(const std::string& target) {
  std::string directory = target.substr(0, target.rfind('/') + 1);
  int fd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

bool Step(const std::string& method, const std::string& target, const std::string& bytes) {
  if (method == "in-place") return WriteFile(target, bytes, true, true);
  if (method == "remove") return unlink(target.c_str()) == 0 && SyncDirectoryOf(target);
  const std::string temporary = target + ".tmp";
  if (method == "rename-unsynced") {
    return WriteFile(temporary, bytes, true, false) && rename(temporary.c_str(), target.c_str()) == 0;
  }
  if (method != "careful") return false;
  return WriteFile(temporary, bytes, true, true) && rename(temporary.c_str(), target.c_str()) == 0 &&
         SyncDirectoryOf(target);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (argc - 1) % 3 != 0) {
    fprintf(stderr, "usage: %s METHOD TARGET SOURCE [METHOD TARGET SOURCE]...\n", argv[0]);
    return 1;
  }
  for (int i = 1; i + 2 < argc; i += 3) {
    std::string bytes;
    if (strcmp(argv[i], "remove") != 0) {
      std::ifstream in(argv[i + 2], std::ios::binary);
      if (!in) {
        fprintf(stderr, "cannot read %s\n", argv[i + 2]);
        return 1;
      }
      bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!Step(argv[i], argv[i + 1], bytes)) {
      fprintf(stderr, "%s of %s failed: %s\n", argv[i], argv[i + 1], strerror(errno));
      return 1;
    }
  }
  return 0;
}
