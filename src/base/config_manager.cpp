#include "base/config_manager.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/fd_write.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/path_text.h"
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

// Opens the document and takes the exclusive lock without waiting. Another
// writer replaces the document by a rename, so a lock won on a file that is no
// longer the one at `path` guards nothing: then the current file is locked.
// Invalid fd (errno set) when the file cannot be opened or another holder has it.
UniqueFd OpenLockedDocument(const std::string& path) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid() || flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return UniqueFd();
    struct stat locked {};
    struct stat current {};
    if (fstat(fd.get(), &locked) == 0 && stat(path.c_str(), &current) == 0 && locked.st_ino == current.st_ino &&
        locked.st_dev == current.st_dev) {
      return fd;
    }
  }
  errno = EAGAIN;
  return UniqueFd();
}

// The file the document's name leads to, through every link: a document
// kept on another partition and linked into the configuration directory is
// replaced where it lies, and the link stays. "" (errno set) when the path
// cannot be resolved or no longer leads to the locked file.
std::string LockedFileBehind(const std::string& path, int locked_fd) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (!resolved) return "";
  struct stat locked {};
  struct stat current {};
  if (fstat(locked_fd, &locked) != 0 || stat(resolved.get(), &current) != 0) return "";
  if (locked.st_ino != current.st_ino || locked.st_dev != current.st_dev) {
    errno = EAGAIN;
    return "";
  }
  return resolved.get();
}

// Creates the file the new text goes to first, as a file of its own:
// O_EXCL and O_NOFOLLOW never open, follow or empty whatever stands at the
// name. Something there is the leftover of a writer killed half-way, or was
// put there: it is removed (unlink removes a link, never what it leads to)
// and the name is taken afresh, so leftovers neither pile up nor stand in the
// way. Invalid fd (errno set) when the name cannot be had, e.g. a directory
// stands there.
UniqueFd CreateAsideFile(const std::string& temporary) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valid()) {
      struct stat made {};
      if (fstat(fd.get(), &made) == 0 && S_ISREG(made.st_mode) && made.st_nlink == 1) return fd;
      // Not the new regular file O_EXCL promises: leave it alone.
      errno = EEXIST;
      return UniqueFd();
    }
    if (errno != EEXIST) return UniqueFd();
    if (unlink(temporary.c_str()) != 0 && errno != ENOENT) return UniqueFd();
  }
  errno = EEXIST;
  return UniqueFd();
}

// Replaces the file `target` (no link) so that a power cut leaves either the
// old complete text or the new one, never a torn file: the new text goes to a
// file of its own beside it, with the old file's mode and owner, reaches the
// flash, takes the name in one rename, and the directory entry is made
// durable. Every failure removes that file again and leaves the document as
// it was (errno set).
bool ReplaceDocument(const std::string& target, const std::string& text, const struct stat& old_file) {
  const std::string temporary = target + ".tmp";
  UniqueFd fd(CreateAsideFile(temporary));
  if (!fd.valid()) return false;
  struct stat made {};
  // An owner this process may not give (it is not root) leaves the file its
  // own; the text still goes out, readable as the mode says.
  if (fstat(fd.get(), &made) == 0 && (made.st_uid != old_file.st_uid || made.st_gid != old_file.st_gid)) {
    (void)!fchown(fd.get(), old_file.st_uid, old_file.st_gid);
  }
  // Set after the owner: a change of owner clears the set-id bits.
  if (fchmod(fd.get(), old_file.st_mode & 07777) != 0 || !WriteAll(fd.get(), text.data(), text.size()) ||
      fsync(fd.get()) != 0 || rename(temporary.c_str(), target.c_str()) != 0) {
    int saved = errno;
    unlink(temporary.c_str());
    errno = saved;
    return false;
  }
  UniqueFd directory(open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The rename is done; a directory that cannot be synced only leaves its
  // durability to the file system's next commit.
  if (directory.valid()) fsync(directory.get());
  return true;
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
  ConfigWrite written = WriteConfigFile(path, Utils::DocumentToString(*stored));
  if (written == ConfigWrite::kNotOpened) {
    zq_error("Write file %s failed with %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  if (written == ConfigWrite::kNotWritten) {
    zq_error("Write file %s failed with %s\n", path.c_str(), strerror(errno));
    zq_error("Failed to write file %s with %d\n", path.c_str(), -1);
    return -1;
  }
  return 0;
}

ConfigWrite ConfigManager::WriteConfigFile(const std::string& path, const std::string& text) {
  // The lock stays on the document for the whole replacement, so a process
  // that holds it (reading or writing) makes the write fail at once instead
  // of waiting. Processes that open the document after the rename see the
  // new file; the old one, still locked, is only released once it is gone.
  UniqueFd fd(OpenLockedDocument(path));
  if (!fd.valid()) return errno == EWOULDBLOCK || errno == EAGAIN ? ConfigWrite::kNotWritten : ConfigWrite::kNotOpened;
  struct stat old_file {};
  if (fstat(fd.get(), &old_file) != 0) return ConfigWrite::kNotWritten;
  const std::string target = LockedFileBehind(path, fd.get());
  if (target.empty() || !ReplaceDocument(target, text, old_file)) return ConfigWrite::kNotWritten;
  flock(fd.get(), LOCK_UN);
  return ConfigWrite::kWritten;
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
