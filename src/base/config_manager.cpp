#include "base/config_manager.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/json_member.h"
#include "base/log.h"
#include "base/unique_fd.h"
#include "base/utils.h"

namespace zq_camera_service {

std::string ConfigFileName(int type) {
  switch (type) {
    case CONFIG_BASE:
      return "BaseConfig.json";
    case CONFIG_VERSION:
      return "VersionConfig.json";
    default:
      return "";
  }
}

namespace {

// Reads the whole file under a shared, non-blocking lock; "" when it cannot be
// opened or locked (both logged as a failed read).
std::string ReadLockedFile(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid() || flock(fd.get(), LOCK_SH | LOCK_NB) != 0) {
    zq_error("Read file %s failed with %s\n", path.c_str(), strerror(errno));
    return "";
  }
  std::string content;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.append(chunk, static_cast<size_t>(n));
  }
  flock(fd.get(), LOCK_UN);
  return content;
}

// Writes all of `bytes` at `offset`; false (errno set) when the file takes fewer.
bool WriteAt(int fd, const std::string& bytes, off_t offset) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Makes the file at least `size` bytes long before any of its bytes is
// overwritten. The room is taken with blanks after the old text, which the
// loader skips; a file system without fallocate (flash ones) gets the same
// guarantee. Where the room cannot be had (a full flash), the file is cut back
// to its old length, its old text untouched.
bool ReserveRoom(int fd, size_t size) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return false;
  if (static_cast<off_t>(size) <= info.st_size) return true;
  if (WriteAt(fd, std::string(size - static_cast<size_t>(info.st_size), ' '), info.st_size)) return true;
  int saved = errno;
  // Should even the cut fail, blanks after the old text do not change what loads.
  (void)!ftruncate(fd, info.st_size);
  errno = saved;
  return false;
}

// Writes `text` over the file's content without replacing the inode (other
// processes lock it). Room is reserved before anything is overwritten, the
// new text goes out in one write and only then is the old tail cut off: a
// failed write leaves the old document loadable, and a write that went out
// leaves a file whose first JSON value is complete, which is all the loader reads.
bool OverwriteInPlace(int fd, const std::string& text) {
  if (!ReserveRoom(fd, text.size()) || !WriteAt(fd, text, 0)) return false;
  if (ftruncate(fd, static_cast<off_t>(text.size())) != 0) return false;
  return fsync(fd) == 0;
}

}  // namespace

ConfigManager::ConfigManager() : configTypes{CONFIG_BASE, CONFIG_VERSION} {}

ConfigManager* ConfigManager::GetInstance() {
  static ConfigManager* instance = new ConfigManager();
  return instance;
}

std::string ConfigManager::GetConfigPathBy(ConfigType type) {
  std::lock_guard<std::mutex> lock(tableMutex);
  if (configDirectory.empty()) return "";
  return configDirectory + ConfigFileName(type);
}

int ConfigManager::GetConfigBy(ConfigType type, rapidjson::Document** document) {
  {
    std::lock_guard<std::mutex> lock(tableMutex);
    auto it = configDocuments.find(type);
    if (it != configDocuments.end()) {
      *document = it->second;
      return 0;
    }
  }
  zq_error("Failed found config %s\n", ConfigFileName(type).c_str());
  return -1;
}

int ConfigManager::UpdateConfigBy(ConfigType type, rapidjson::Document* /*document*/) {
  rapidjson::Document* stored = nullptr;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(tableMutex);
    auto it = configDocuments.find(type);
    if (it != configDocuments.end()) {
      stored = it->second;
      path = configDirectory + ConfigFileName(type);
    }
  }
  if (stored == nullptr) {
    zq_error("Failed found config %s\n", ConfigFileName(type).c_str());
    return -1;
  }
  std::string text = Utils::DocumentToString(*stored);

  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    zq_error("Write file %s failed with %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || !OverwriteInPlace(fd.get(), text)) {
    zq_error("Write file %s failed with %s\n", path.c_str(), strerror(errno));
    zq_error("Failed to write file %s with %d\n", path.c_str(), -1);
    return -1;
  }
  flock(fd.get(), LOCK_UN);
  return 0;
}

void ConfigManager::LoadConfigs(std::string directory) {
  const char* override_dir = getenv("ConfigPath");
  if (override_dir != nullptr) directory = override_dir;

  std::unordered_map<int, rapidjson::Document*> loaded;
  for (ConfigType type : configTypes) {
    std::string path = directory + ConfigFileName(type);
    std::string content = ReadLockedFile(path);
    if (content.empty()) {
      zq_error("Load file %s failed\n", path.c_str());
      continue;
    }
    auto document = std::make_unique<rapidjson::Document>();
    // A document nested deeper than ours could not be written back (the
    // writer recurses once per level): it counts as undecodable.
    if (!json::ParseWritable<json::kConfigFileFlags>(*document, content.data(), content.size())) {
      zq_error("Failed to decode content %d\n", static_cast<int>(document->GetParseError()));
      break;
    }
    if (!document->IsObject()) {
      // Every reader expects an object root; anything else is no document.
      zq_error("Load file %s failed\n", path.c_str());
      continue;
    }
    loaded[type] = document.get();
    std::lock_guard<std::mutex> lock(tableMutex);
    loadedDocuments.push_back(std::move(document));
  }

  std::lock_guard<std::mutex> lock(tableMutex);
  configDirectory = directory;
  configDocuments = std::move(loaded);
}

}  // namespace zq_camera_service
