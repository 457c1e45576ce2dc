#include "service/upgrade_staging.h"

#include <cerrno>
#include <fcntl.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/file_tree.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/unique_fd.h"
#include "base/utils.h"

namespace zq_camera_service {

const char* const kSlotProgramPath = "/bin/zq_camera_service";

namespace {

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};

std::string CanonicalDirectory(const std::string& path) {
  std::unique_ptr<char, FreeDeleter> real(realpath(path.c_str(), nullptr));
  return real ? std::string(real.get()) : std::string();
}

bool IsInside(const std::string& child, const std::string& parent) {
  return child.size() > parent.size() && child.compare(0, parent.size(), parent) == 0 && child[parent.size()] == '/';
}

// The document as the slot keeps it: compact, members in document order.
std::string CompactText(const rapidjson::Document& document) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  document.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

// The directories of a slot file, created below the backup link as needed.
bool PrepareDirectories(const CheckedPackage& package, const std::string& slot_path) {
  std::vector<std::string> segments = SlotPathSegments(slot_path);
  segments.pop_back();
  return file_tree::MakeDirectories(package.bak_link, segments);
}

// Writes the version document with the given "state" at its location; 0 or
// SafeWrite's result (1 when its directory cannot be made).
int WriteVersionDocument(CheckedPackage& package, int state) {
  json::Set(package.document, package.document, "state", state);
  if (!PrepareDirectories(package, package.document_path)) return 1;
  std::string text = CompactText(package.document);
  return Utils::SafeWrite(package.document_location.c_str(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<long>(text.size()), "w");
}

enum class WriteResult { kWritten, kNotExtracted, kWriteFailed };

// Extracts the record's file from the archive and writes it at its path
// below the backup link.
WriteResult WritePackageFile(CheckedPackage& package, const rapidjson::Value& record, const char* done_line) {
  std::string name = RecordName(record);
  std::string path = RecordPath(record);
  unsigned long long index = 0;
  char* content = nullptr;
  int size = 0;
  if (package.archive.ConvertName(name, &index) != 0 || package.archive.GetFileContent(index, &content, &size) != 0) {
    return WriteResult::kNotExtracted;
  }
  std::string target = package.bak_link + path;
  zq_print("begin write %s\n", target.c_str());
  if (!PrepareDirectories(package, path) ||
      Utils::SafeWrite(target.c_str(), reinterpret_cast<const unsigned char*>(content), size, "wb") != 0) {
    zq_error("write %s failed!\n", target.c_str());
    return WriteResult::kWriteFailed;
  }
  zq_print("%s", done_line);
  return WriteResult::kWritten;
}

// Deletes every file of the backup slot whose bare name the new version does
// not list. The listing keeps one file per bare name, so a name found in two
// directories needs another round; each round deletes at least one file.
bool PruneBackupSlot(const CheckedPackage& package) {
  std::set<std::string> kept(package.kept_names.begin(), package.kept_names.end());
  for (bool first_round = true;; first_round = false) {
    std::map<std::string, std::string> files;
    Utils::ListAllFile(package.bak_link.c_str(), files);
    if (first_round) {
      printf("backup_files size:%d all_file_names size:%d\n", static_cast<int>(files.size()),
             static_cast<int>(package.kept_names.size()));
    }
    bool deleted = false;
    for (const auto& file : files) {
      if (kept.count(file.first) != 0) continue;
      int result = Utils::SafeRemoveFile(file.second.c_str());
      printf("SafeRemoveFile %s %d\n", file.second.c_str(), result);
      if (result != 0) {
        printf("delete other file ERROR\n");
        return false;
      }
      deleted = true;
    }
    if (!deleted) return true;
  }
}

// True when the document lies in real directories of the backup slot, so
// that removing it cannot reach through a link into another tree.
bool DocumentInSlotDirectories(const CheckedPackage& package) {
  std::vector<std::string> segments = SlotPathSegments(package.document_path);
  segments.pop_back();
  std::string path = package.bak_link;
  for (const std::string& segment : segments) {
    path += "/" + segment;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  }
  return true;
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Resolves both slot links and refuses a layout in which refilling the
// backup slot could touch the running slot or the install root.
bool ResolveSlots(const CheckedPackage& package, std::string* app_target, std::string* bak_target) {
  std::string reason;
  if (ResolveSlotLink(package.install_root, package.bak_link, false, bak_target, &reason) != 0 ||
      ResolveSlotLink(package.install_root, package.app_link, true, app_target, &reason) != 0) {
    zq_error("upgrade links refused: %s\n", reason.c_str());
    return false;
  }
  std::string root = CanonicalDirectory(package.install_root);
  if (*app_target == *bak_target) {
    reason = "app and bak name the same slot " + *app_target;
  } else if (IsInside(*app_target, *bak_target) || IsInside(*bak_target, *app_target)) {
    reason = "one slot lies inside the other: " + *app_target + " " + *bak_target;
  } else if (root.empty() || root == *bak_target || IsInside(root, *bak_target)) {
    reason = "the install root lies inside the backup slot " + *bak_target;
  } else {
    return true;
  }
  zq_error("upgrade links refused: %s\n", reason.c_str());
  return false;
}

}  // namespace

int ResolveSlotLink(const std::string& install_root, const std::string& link_path, bool must_exist,
                    std::string* target, std::string* reason) {
  std::string text;
  if (Utils::GetRealPath(link_path, text) != 0) {
    *reason = link_path + " is not a readable link";
    return -1;
  }
  if (text.empty()) {
    *reason = link_path + " points nowhere";
    return -1;
  }
  std::string absolute = text[0] == '/' ? text : install_root + "/" + text;
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  std::string last = absolute.substr(absolute.rfind('/') + 1);
  std::string canonical;
  if (last == "." || last == ".." || last.empty()) {
    canonical = CanonicalDirectory(absolute);
  } else {
    std::string parent = CanonicalDirectory(ParentOf(absolute));
    if (!parent.empty()) canonical = (parent == "/" ? "" : parent) + "/" + last;
  }
  if (canonical.empty()) {
    *reason = link_path + " -> " + text + " cannot be resolved";
    return -1;
  }
  if (canonical == "/") {
    *reason = link_path + " -> " + text + " is the root directory";
    return -1;
  }
  struct stat info {};
  if (lstat(canonical.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) {
      *reason = link_path + " -> " + text + " is not a slot directory";
      return -1;
    }
  } else if (errno != ENOENT || must_exist) {
    *reason = link_path + " -> " + text + " cannot be resolved";
    return -1;
  }
  *target = canonical;
  return 0;
}

int StageUpgrade(CheckedPackage& package) {
  std::string app_target;
  std::string bak_target;
  if (!ResolveSlots(package, &app_target, &bak_target)) return -1;

  // An older complete staging says "state" 0 in its document: that goes
  // first, so that no half-removed or half-copied slot ever claims to be
  // complete. The copy leaves the running slot's document out for the same
  // reason; the staged one replaces it anyway.
  struct stat info {};
  if (DocumentInSlotDirectories(package) && lstat(package.document_location.c_str(), &info) == 0 &&
      Utils::SafeRemoveFile(package.document_location.c_str()) != 0) {
    zq_error("remove %s failed\n", package.document_location.c_str());
    return -1;
  }
  if (Utils::RemoveDir(bak_target.c_str()) != 0) {
    zq_error("remove backup slot %s failed\n", bak_target.c_str());
    return -1;
  }
  if (!file_tree::CopyTree(app_target, bak_target, package.document_path.substr(1))) {
    zq_error("copy %s to %s failed\n", app_target.c_str(), bak_target.c_str());
    return -1;
  }

  int written = WriteVersionDocument(package, 1);
  if (written != 0) {
    zq_error("write VersionConfig failed! %d\n", written);
    return -1;
  }
  zq_print("update VersionConfig state 1\n");
  zq_print("%s\n", app_target.c_str());
  zq_print("%s\n", bak_target.c_str());

  bool special_failed = false;
  const rapidjson::Value* special_files = json::GetArray(package.document, "special_file");
  if (special_files == nullptr) {
    zq_print("parase config can't find special_file\n\n");
  } else {
    for (const rapidjson::Value& record : special_files->GetArray()) {
      zq_print("write %s\n", RecordName(record).c_str());
      // The archive's own copy of the version document, written over the
      // staged one, could say "state" 0 (or nothing) in a slot that is not
      // complete yet; the staged document is written in its two steps only.
      if (RecordPath(record) == package.document_path) continue;
      WriteResult result = WritePackageFile(package, record, "sepcial file end write\n");
      if (result == WriteResult::kWriteFailed) return -1;
      if (result == WriteResult::kNotExtracted) {
        special_failed = true;
        break;
      }
    }
  }

  const rapidjson::Value* incre_files = json::GetArray(package.document, "incre_file");
  for (const rapidjson::Value& record : incre_files->GetArray()) {
    std::string name = RecordName(record);
    zq_print("write %s\n", name.c_str());
    if (name == kVersionDocumentName) continue;
    WriteResult result = WritePackageFile(package, record, "incre file end write\n");
    if (result == WriteResult::kNotExtracted) {
      zq_error("write file ERROR!\n");
      return -1;
    }
    if (result == WriteResult::kWriteFailed) return -1;
  }
  if (special_failed) {
    zq_error("write file ERROR!\n");
    return -1;
  }

  if (!PruneBackupSlot(package)) return -1;

  // The program must be executable before the slot may say it is complete.
  std::string program = bak_target + kSlotProgramPath;
  std::string chmod_command = "chmod u+x " + program;
  if (!file_tree::AddOwnerExecute(program)) {
    zq_error("%s failed\n", chmod_command.c_str());
    return -1;
  }
  zq_print("%s\n", chmod_command.c_str());

  // Every staged file reaches the disk before the document that vouches for
  // them; the slot's file system is enough.
  UniqueFd slot(open(bak_target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!slot.valid() || syncfs(slot.get()) != 0) sync();
  if (WriteVersionDocument(package, 0) != 0) {
    zq_error("write VersionConfig failed!\n");
    return -1;
  }
  return 0;
}

}  // namespace zq_camera_service
