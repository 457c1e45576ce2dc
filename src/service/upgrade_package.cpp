#include "service/upgrade_package.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/config_manager.h"
#include "base/json_member.h"
#include "base/log.h"
#include "base/md5.h"
#include "base/temporary_name.h"

namespace zq_camera_service {

const char* const kVersionDocumentName = "VersionConfig.json";
const char* const kSlotProgramPath = "/bin/zq_camera_service";
const size_t kMaxVersionDocumentBytes = 8u << 20;

namespace {

// Characters a shell or a shell-minded tool on the device would act on;
// no file of a slot needs them.
const char* const kShellCharacters = ";&|$`\\\"'<>*?()[]{}!";

// The major version of the installed version document; 0 when there is none.
int InstalledMajor(const std::string& install_root) {
  ConfigManager* configs = ConfigManager::GetInstance();
  configs->LoadConfigs(install_root + "/app" + "/config/");
  rapidjson::Document* installed = nullptr;
  int major = 0;
  if (configs->GetConfigBy(CONFIG_VERSION, &installed) == 0) json::GetInt(*installed, "major", &major);
  return major;
}

// Every record of a list must name a file inside the slot; the first one
// that does not refuses the package.
bool RecordsAreSlotFiles(const rapidjson::Value& records, const char* list) {
  for (const rapidjson::Value& record : records.GetArray()) {
    std::string name = RecordName(record);
    std::string path = RecordPath(record);
    if (!IsSlotFilePath(path, name)) {
      zq_error("upgrade package refused: %s record name:\"%s\" path:\"%s\" is not a file inside the slot\n", list,
               PrintableText(name).c_str(), PrintableText(path).c_str());
      return false;
    }
  }
  return true;
}

// Every file the staging will extract must be in the archive, with a size
// an extraction accepts: finding that out before the backup slot is touched
// keeps the slot intact. The files to be written go to *staged, in order.
bool PlanStagedFiles(Unzip& archive, const rapidjson::Value& records, bool incremental,
                     const std::string& document_path, std::vector<StagedFile>* staged) {
  for (const rapidjson::Value& record : records.GetArray()) {
    std::string name = RecordName(record);
    std::string path = RecordPath(record);
    // Written from the parsed document, never from the archive.
    if (incremental && name == kVersionDocumentName) continue;
    unsigned long long index = 0;
    if (archive.ConvertName(name, &index) != 0) {
      zq_error("upgrade package lacks %s\n", PrintableText(name).c_str());
      zq_error("write file ERROR!\n");
      return false;
    }
    if (!incremental && path == document_path) continue;
    unsigned long long size = 0;
    std::string error;
    if (archive.GetEntrySize(index, &size, &error) != 0) {
      zq_error("upgrade package refused: %s: %s\n", PrintableText(name).c_str(), error.c_str());
      return false;
    }
    staged->push_back({path, size});
  }
  return true;
}

// The first member name that an object of the document holds twice. Readers
// differ in which of the two they take (RapidJSON and this program the
// first, Python's json and many others the last), so such a document says
// two things: a staged copy whose first "state" says 1 could read as
// complete to a reader of the last.
bool FindRepeatedMemberName(const rapidjson::Value& document, std::string* name) {
  return !json::EveryValue(document, [name](const rapidjson::Value& value, int) {
    if (!value.IsObject() || value.MemberCount() < 2) return true;
    std::vector<std::string_view> names;
    names.reserve(value.MemberCount());
    for (const auto& member : value.GetObject()) names.emplace_back(member.name.GetString(), member.name.GetStringLength());
    std::sort(names.begin(), names.end());
    auto repeated = std::adjacent_find(names.begin(), names.end());
    if (repeated == names.end()) return true;
    name->assign(repeated->data(), repeated->size());
    return false;
  });
}

}  // namespace

std::string RecordName(const rapidjson::Value& record) {
  std::string text;
  json::GetString(record, "name", &text);
  return text;
}

std::string RecordPath(const rapidjson::Value& record) {
  std::string text;
  json::GetString(record, "path", &text);
  return text;
}

std::string PrintableText(const std::string& text) {
  std::string printable = text;
  for (char& c : printable) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return printable;
}

bool IsSlotFilePath(const std::string& path, const std::string& name) {
  if (path.size() < 2 || path[0] != '/' || name.empty()) return false;
  for (char c : path) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || strchr(kShellCharacters, c) != nullptr) return false;
  }
  std::vector<std::string> segments = SlotPathSegments(path);
  for (const std::string& segment : segments) {
    // A segment of the temporary form could be, or hold, a file a
    // replacement is written to on its way in.
    if (segment.empty() || segment == "." || segment == ".." || IsTemporaryName(segment)) return false;
  }
  return !segments.empty() && segments.back() == name;
}

std::vector<std::string> SlotPathSegments(const std::string& path) {
  std::vector<std::string> segments;
  size_t start = 1;
  for (;;) {
    size_t slash = path.find('/', start);
    segments.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return segments;
}

int CheckUpgradePackage(const char* data, size_t length, const std::string& expected_md5,
                        const std::string& install_root, std::unique_ptr<CheckedPackage>* out) {
  ByteBuffer copy(length);
  if (length > 0 && !copy) {
    zq_error("upgrade package refused: no memory for %zu bytes\n", length);
    return -1;
  }
  if (length > 0) memcpy(copy.get(), data, length);
  return CheckUpgradePackage(std::move(copy), length, expected_md5, install_root, out);
}

int CheckUpgradePackage(ByteBuffer bytes, size_t length, const std::string& expected_md5,
                        const std::string& install_root, std::unique_ptr<CheckedPackage>* out) {
  if (length > 0 && (!bytes || length > bytes.capacity())) return -1;
  const char* data = bytes.get();
  MD5 digest;
  // MD5::update takes 32-bit lengths; a package is far smaller, but feed it
  // in pieces all the same.
  for (size_t done = 0; done < length;) {
    unsigned int piece = length - done > (1u << 30) ? (1u << 30) : static_cast<unsigned int>(length - done);
    digest.update(data + done, piece);
    done += piece;
  }
  std::string md5_text = digest.finalize().hexdigest();
  zq_error("download file md5c: %s\n", md5_text.c_str());
  if (md5_text != expected_md5) {
    zq_error("download file md5 ERROR\n");
    return -1;
  }

  auto package = std::make_unique<CheckedPackage>();
  package->install_root = install_root;
  package->app_link = install_root + "/app";
  package->bak_link = install_root + "/bak";
  // The reader reads the downloaded bytes where they are: the package is
  // held once, for as long as the staging needs it.
  package->archive_bytes = std::move(bytes);
  package->archive_length = length;
  zq_print("=============test unzip===============\n");
  std::vector<std::string> entry_names;
  if (length > 0xffffffffu ||
      package->archive.InitZipFile(package->archive_bytes.get(), static_cast<unsigned int>(length), entry_names) != 0) {
    return -1;
  }

  unsigned long long index = 0;
  if (package->archive.ConvertName(kVersionDocumentName, &index) != 0) return -1;
  // The one file read whole: its text, and the document parsed from it,
  // are held through the staging.
  unsigned long long document_size = 0;
  std::string size_error;
  if (package->archive.GetEntrySize(index, &document_size, &size_error) == 0 &&
      document_size > kMaxVersionDocumentBytes) {
    zq_error("upgrade package refused: %s of %llu bytes, above the cap of %llu\n", kVersionDocumentName,
             document_size, static_cast<unsigned long long>(kMaxVersionDocumentBytes));
    return -1;
  }
  char* content = nullptr;
  int size = 0;
  if (package->archive.GetFileContent(index, &content, &size) != 0) return -1;
  zq_print("file_size:%d\n", size);
  printf("======\n");

  int installed_major = InstalledMajor(install_root);

  rapidjson::Document& document = package->document;
  // The document is written into the staged slot, by a writer that recurses
  // once per level: one nested deeper than ours is refused like bad JSON.
  bool decodable = json::ParseWritable<json::kOutsideTextFlags>(document, content, static_cast<size_t>(size));
  std::string repeated;
  if (decodable && FindRepeatedMemberName(document, &repeated)) {
    zq_error("upgrade package refused: %s repeats the member \"%s\"\n", kVersionDocumentName,
             PrintableText(repeated).c_str());
    decodable = false;
  }
  if (!decodable) {
    zq_print("\nparase config ERROR\n");
    return -1;
  }
  const rapidjson::Value* incre_files = json::GetArray(document, "incre_file");
  if (incre_files == nullptr) {
    zq_print("parase config can't find incre_file\n");
    return -1;
  }
  const rapidjson::Value* all_files = json::GetArray(document, "all_file");
  if (all_files == nullptr) {
    zq_print("parase config can't find all_file\n");
    return -1;
  }
  int new_major = 0;
  if (const rapidjson::Value* major = json::Find(document, "major")) {
    if (!major->IsInt()) {
      zq_print("parase config major is not an integer, abort upgrade!\n");
      return -1;
    }
    new_major = major->GetInt();
  }
  if (new_major <= installed_major) {
    zq_print("new_major:%d current_major:%d, abort upgrade!\n", new_major, installed_major);
    return -1;
  }

  bool has_document_record = false;
  bool lists_program = false;
  for (const rapidjson::Value& record : all_files->GetArray()) {
    std::string name = RecordName(record);
    package->kept_names.push_back(name);
    if (name == kVersionDocumentName) {
      package->document_path = RecordPath(record);
      has_document_record = true;
    }
    lists_program = lists_program || RecordPath(record) == kSlotProgramPath;
  }
  zq_print("all_file_names size:%d\n", static_cast<int>(all_files->Size()));

  const rapidjson::Value* special_files = json::GetArray(document, "special_file");
  if (!RecordsAreSlotFiles(*incre_files, "incre_file") || !RecordsAreSlotFiles(*all_files, "all_file") ||
      (special_files != nullptr && !RecordsAreSlotFiles(*special_files, "special_file"))) {
    return -1;
  }
  if (!has_document_record) {
    zq_error("upgrade package refused: all_file has no %s record\n", kVersionDocumentName);
    return -1;
  }
  // The pruning keeps only what all_file lists: without the program the
  // slot could never start.
  if (!lists_program) {
    zq_error("upgrade package refused: all_file does not list %s\n", kSlotProgramPath);
    return -1;
  }
  if ((special_files != nullptr &&
       !PlanStagedFiles(package->archive, *special_files, false, package->document_path, &package->staged_files)) ||
      !PlanStagedFiles(package->archive, *incre_files, true, package->document_path, &package->staged_files)) {
    return -1;
  }

  package->document_location = package->bak_link + "/" + package->document_path;
  zq_print("config_file_abs_path: %s\n", package->document_location.c_str());
  *out = std::move(package);
  return 0;
}

}  // namespace zq_camera_service
