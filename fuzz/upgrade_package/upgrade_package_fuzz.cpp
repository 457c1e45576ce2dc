// The check of a downloaded upgrade package, without the staging.
//
// The input is the package; it is announced with its own MD5 digest (so the
// check goes past the digest) and once more with a wrong one. What must
// hold: the wrong digest is refused; a refused package is handed over as
// nothing; a package that passes names a newer major version, lists the
// version document as a file inside the slot, points at the backup slot,
// lists the program and measures every file it will write within the entry
// cap; and the check never touches the installation, whatever it says.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "base/lock_file.h"
#include "base/md5.h"
#include "service/upgrade_package.h"
#include "support/fuzz_check.h"

using zq_camera_service::CheckedPackage;
using zq_camera_service::CheckUpgradePackage;
using zq_camera_service::IsSlotFilePath;

namespace {

std::string& Root() {
  static std::string root;
  return root;
}

// Every path under the install root with its kind and bytes (links by target).
std::map<std::string, std::string> Snapshot() {
  std::map<std::string, std::string> tree;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(Root(), error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::string path = it->path().string();
    if (it->is_symlink()) {
      tree[path] = "-> " + std::filesystem::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      tree[path] = "<dir>";
    } else {
      struct stat info {};
      lstat(path.c_str(), &info);
      tree[path] = std::to_string(info.st_mode) + ":" + zq_fuzz::ReadWholeFile(path);
    }
  }
  return tree;
}

const std::map<std::string, std::string>& Installed() {
  static const std::map<std::string, std::string> tree = Snapshot();
  return tree;
}

std::string Md5Hex(const uint8_t* data, size_t size) {
  MD5 digest;
  digest.update(reinterpret_cast<const char*>(data), static_cast<unsigned int>(size));
  return digest.finalize().hexdigest();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  unsetenv("ConfigPath");
  // An installation as the device has it: the running slot behind "app", an
  // empty backup slot behind "bak". The running slot carries no configuration
  // documents: every check reloads them, and each reload stays in memory for
  // the process's life (documents handed out stay valid), which a fuzzer
  // running millions of checks cannot afford. The installed major is then 0.
  Root() = zq_fuzz::ScratchDirectory("upgrade_package");
  const std::string slot_a = Root() + "/slotA";
  std::filesystem::create_directories(slot_a + "/bin");
  std::filesystem::create_directories(slot_a + "/lib");
  std::filesystem::create_directories(Root() + "/slotB");
  zq_fuzz::WriteWholeFile(slot_a + "/bin/zq_camera_service", "old program");
  zq_fuzz::WriteWholeFile(slot_a + "/lib/libkeep.so", std::string(300, 'k'));
  if (symlink(slot_a.c_str(), (Root() + "/app").c_str()) != 0 ||
      symlink((Root() + "/slotB").c_str(), (Root() + "/bak").c_str()) != 0) {
    perror("symlink");
    abort();
  }
  g_zq_safe_file_path = Root() + "/safe_file";
  Installed();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  std::unique_ptr<CheckedPackage> package;
  FUZZ_CHECK(CheckUpgradePackage(bytes, size, std::string(32, '0'), Root(), &package) == -1);
  FUZZ_CHECK(package == nullptr);

  const int result = CheckUpgradePackage(bytes, size, Md5Hex(data, size), Root(), &package);
  FUZZ_CHECK(result == 0 || result == -1);
  FUZZ_CHECK((result == 0) == (package != nullptr));
  FUZZ_CHECK(Snapshot() == Installed());
  if (result != 0) return 0;

  FUZZ_CHECK(package->document.IsObject());
  FUZZ_CHECK(package->document.HasMember("major") && package->document["major"].IsInt() &&
             package->document["major"].GetInt() > 0);
  FUZZ_CHECK(IsSlotFilePath(package->document_path, zq_camera_service::kVersionDocumentName));
  FUZZ_CHECK(package->document_location == Root() + "/bak/" + package->document_path);
  FUZZ_CHECK(package->app_link == Root() + "/app" && package->bak_link == Root() + "/bak");
  FUZZ_CHECK(package->archive_length == size);
  bool lists_document = false;
  for (const std::string& name : package->kept_names) lists_document = lists_document || name == "VersionConfig.json";
  FUZZ_CHECK(lists_document);
  // Everything the staging will write was measured within the cap, and the
  // complete-file list names the program.
  for (const zq_camera_service::StagedFile& file : package->staged_files) {
    FUZZ_CHECK(file.size <= Unzip::kMaxEntrySize);
    FUZZ_CHECK(file.path.size() > 1 && file.path[0] == '/');
  }
  bool lists_program = false;
  for (const rapidjson::Value& record : package->document["all_file"].GetArray()) {
    lists_program = lists_program || zq_camera_service::RecordPath(record) == zq_camera_service::kSlotProgramPath;
  }
  FUZZ_CHECK(lists_program);
  return 0;
}
