#include "service/upgrade_staging.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/file_tree.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/path_text.h"
#include "base/unique_fd.h"
#include "base/utils.h"
#include "service/upgrade_slot_space.h"

namespace zq_camera_service {

namespace {

// Where the running slot keeps its own version document (the configuration
// documents are loaded from the running slot's "config/").
const char* const kRunningDocumentPath = "/config/VersionConfig.json";

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

// A package file as SafeWrite takes it: read from the archive a piece at a
// time, so the staging holds one piece of it, never the whole file.
class ArchiveEntrySource : public SafeWriteSource {
 public:
  ArchiveEntrySource(Unzip& archive, unsigned long long index) : archive_(archive), index_(index) {}
  bool Restart() override { return archive_.OpenEntry(index_, &stream_) == 0; }
  long long Read(unsigned char* buffer, size_t capacity) override {
    return stream_.Read(reinterpret_cast<char*>(buffer), capacity);
  }
  const std::string& error() const { return stream_.error(); }

 private:
  Unzip& archive_;
  const unsigned long long index_;
  Unzip::EntryStream stream_;
};

// The line the reader gives for an entry it cannot read whole and intact.
void ReportUnreadableEntry(const ArchiveEntrySource& source) {
  fprintf(stderr, "can't open file at index': %s\n", source.error().c_str());
}

// Streams the record's file from the archive to its path below the backup
// link. An entry found corrupt on the way counts as one that could not be
// extracted; SafeWrite has then removed what it wrote.
WriteResult WritePackageFile(CheckedPackage& package, const rapidjson::Value& record, const char* done_line) {
  std::string name = RecordName(record);
  std::string path = RecordPath(record);
  unsigned long long index = 0;
  if (package.archive.ConvertName(name, &index) != 0) return WriteResult::kNotExtracted;
  ArchiveEntrySource source(package.archive, index);
  // An entry that cannot even be opened is known before anything is written.
  if (!source.Restart()) {
    ReportUnreadableEntry(source);
    return WriteResult::kNotExtracted;
  }
  std::string target = package.bak_link + path;
  zq_print("begin write %s\n", target.c_str());
  int written = PrepareDirectories(package, path) ? Utils::SafeWrite(target.c_str(), source) : 1;
  if (written == Utils::kSafeWriteSourceFailed) {
    ReportUnreadableEntry(source);
    return WriteResult::kNotExtracted;
  }
  if (written != 0) {
    zq_error("write %s failed!\n", target.c_str());
    return WriteResult::kWriteFailed;
  }
  zq_print("%s", done_line);
  return WriteResult::kWritten;
}

// Deletes every file of the backup slot whose bare name the new version does
// not list, in ascending order of bare name, from one listing of the slot:
// files that share a bare name in several directories are all found at once.
bool PruneBackupSlot(const CheckedPackage& package, const std::string& bak_target) {
  std::unordered_set<std::string> kept(package.kept_names.begin(), package.kept_names.end());
  std::vector<std::pair<std::string, std::string>> files;  // bare name, path below the slot
  file_tree::Walk(bak_target, [&files](const std::string& relative, const struct stat& info) {
    if (S_ISREG(info.st_mode)) files.emplace_back(relative.substr(relative.rfind('/') + 1), relative);
  });
  std::sort(files.begin(), files.end());
  size_t bare_names = 0;
  for (size_t i = 0; i < files.size(); ++i) bare_names += i == 0 || files[i].first != files[i - 1].first ? 1 : 0;
  printf("backup_files size:%d all_file_names size:%d\n", static_cast<int>(bare_names),
         static_cast<int>(package.kept_names.size()));
  for (const auto& file : files) {
    if (kept.count(file.first) != 0) continue;
    std::string path = package.bak_link + "/" + file.second;
    int result = Utils::SafeRemoveFile(path.c_str());
    printf("SafeRemoveFile %s %d\n", path.c_str(), result);
    if (result != 0) {
      printf("delete other file ERROR\n");
      return false;
    }
  }
  return true;
}

// True when the slot path lies in real directories of the backup slot, so
// that removing it cannot reach through a link into another tree.
bool InSlotDirectories(const CheckedPackage& package, const std::string& slot_path) {
  std::vector<std::string> segments = SlotPathSegments(slot_path);
  segments.pop_back();
  std::string path = package.bak_link;
  for (const std::string& segment : segments) {
    path += "/" + segment;
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  }
  return true;
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
    std::string parent = CanonicalDirectory(DirectoryOf(absolute));
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

namespace {

// The slot paths of version documents the backup slot must never hold a
// copy of while it is staged: the package's own, and the running slot's,
// which says "state" 0.
std::vector<std::string> DocumentPaths(const CheckedPackage& package) {
  std::vector<std::string> paths{package.document_path};
  if (package.document_path != kRunningDocumentPath) paths.push_back(kRunningDocumentPath);
  return paths;
}

// The same documents relative to the slot, as the copy of the running slot
// leaves them out.
std::vector<std::string> DocumentsLeftOutOfCopy(const CheckedPackage& package) {
  std::vector<std::string> relative;
  for (const std::string& document : DocumentPaths(package)) relative.push_back(document.substr(1));
  return relative;
}

// Everything the staging can learn before it touches the backup slot: the
// program file comes from the package or the running slot, and the files
// fit the slot's file system. Each refusal is one line.
bool SlotCanTakePackage(const CheckedPackage& package, const std::string& app_target, const std::string& bak_target) {
  bool program_written = false;
  for (const StagedFile& file : package.staged_files) {
    program_written = program_written || file.path == kSlotProgramPath;
  }
  struct stat info {};
  std::string running_program = app_target + kSlotProgramPath;
  if (!program_written && (lstat(running_program.c_str(), &info) != 0 || !S_ISREG(info.st_mode))) {
    zq_error("upgrade refused: neither the package nor the running slot holds %s\n", kSlotProgramPath);
    return false;
  }
  SlotSpace space;
  std::string reason;
  // The document grows by its "state" member at most.
  unsigned long long document_bytes = CompactText(package.document).size() + 16;
  if (!EstimateSlotSpace(app_target, bak_target, DocumentsLeftOutOfCopy(package), document_bytes,
                         package.staged_files, &space, &reason)) {
    zq_error("upgrade refused: the backup slot's file system cannot be examined: %s\n", reason.c_str());
    return false;
  }
  if (space.needed > space.available) {
    zq_error("upgrade refused: staging needs %llu bytes in %s, its file system has %llu\n", space.needed,
             bak_target.c_str(), space.available);
    return false;
  }
  return true;
}

// Refills the backup slot and writes the package over it; false, with the
// line that says why, when the staging is abandoned.
bool FillBackupSlot(CheckedPackage& package, const std::string& app_target, const std::string& bak_target) {
  // An older complete staging says "state" 0 in its document: that goes
  // first, so that no half-removed or half-copied slot ever claims to be
  // complete. The copy leaves the documents out for the same reason; the
  // staged one replaces them.
  for (const std::string& document : DocumentPaths(package)) {
    std::string path = package.bak_link + document;
    struct stat info {};
    if (InSlotDirectories(package, document) && lstat(path.c_str(), &info) == 0 &&
        Utils::SafeRemoveFile(path.c_str()) != 0) {
      zq_error("remove %s failed\n", path.c_str());
      return false;
    }
  }
  if (Utils::RemoveDir(bak_target.c_str()) != 0) {
    zq_error("remove backup slot %s failed\n", bak_target.c_str());
    return false;
  }
  if (!file_tree::CopyTree(app_target, bak_target, DocumentsLeftOutOfCopy(package))) {
    zq_error("copy %s to %s failed\n", app_target.c_str(), bak_target.c_str());
    return false;
  }

  int written = WriteVersionDocument(package, 1);
  if (written != 0) {
    zq_error("write VersionConfig failed! %d\n", written);
    return false;
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
      if (result == WriteResult::kWriteFailed) return false;
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
      return false;
    }
    if (result == WriteResult::kWriteFailed) return false;
  }
  if (special_failed) {
    zq_error("write file ERROR!\n");
    return false;
  }

  if (!PruneBackupSlot(package, bak_target)) return false;

  // The program must be executable before the slot may say it is complete.
  std::string program = bak_target + kSlotProgramPath;
  std::string chmod_command = "chmod u+x " + program;
  if (!file_tree::AddOwnerExecute(program)) {
    zq_error("%s failed\n", chmod_command.c_str());
    return false;
  }
  zq_print("%s\n", chmod_command.c_str());

  // Every staged file reaches the disk before the document that vouches for
  // them; the slot's file system is enough.
  UniqueFd slot(open(bak_target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!slot.valid() || syncfs(slot.get()) != 0) sync();
  if (WriteVersionDocument(package, 0) != 0) {
    zq_error("write VersionConfig failed!\n");
    return false;
  }
  return true;
}

// An abandoned staging takes back what it wrote, so that a version which
// will never run does not keep the flash full: the slot is emptied and holds
// only the version document that says it is unfinished ("state" 1), when
// that can be written. Nothing in it ever says "state" 0.
void EmptyAbandonedSlot(CheckedPackage& package, const std::string& bak_target) {
  file_tree::RemoveTree(bak_target);
  if (mkdir(bak_target.c_str(), 0755) != 0 && errno != EEXIST) return;
  WriteVersionDocument(package, 1);
}

}  // namespace

int StageUpgrade(CheckedPackage& package) {
  std::string app_target;
  std::string bak_target;
  if (!ResolveSlots(package, &app_target, &bak_target)) return -1;
  if (!SlotCanTakePackage(package, app_target, bak_target)) return -1;
  if (!FillBackupSlot(package, app_target, bak_target)) {
    EmptyAbandonedSlot(package, bak_target);
    return -1;
  }
  return 0;
}

}  // namespace zq_camera_service
