// The check of a downloaded upgrade package: its MD5 digest, the archive,
// its version document "VersionConfig.json" and the file records it lists.
// A package that passes is handed to the staging whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "base/byte_buffer.h"
#include "base/unzip.h"
#include "service/upgrade_slot_space.h"

namespace zq_camera_service {

extern const char* const kVersionDocumentName;  // "VersionConfig.json"
// Program file of a slot: the complete-file list must hold it, and the
// staging makes it executable.
extern const char* const kSlotProgramPath;  // "/bin/zq_camera_service"
// Largest version document taken: it is the one file of a package read
// whole and parsed, so its size, unlike a package file's, costs memory (its
// text and about twice that for the parsed document). A document only
// lists file names: one of 60,000 records takes about 4.5 MiB.
extern const size_t kMaxVersionDocumentBytes;

// A package that passed every check. Not copyable: the reader reads
// `archive_bytes` in place.
struct CheckedPackage {
  CheckedPackage() = default;
  CheckedPackage(const CheckedPackage&) = delete;
  CheckedPackage& operator=(const CheckedPackage&) = delete;

  ByteBuffer archive_bytes;  // the downloaded package; declared before `archive`, which reads them
  size_t archive_length = 0;
  Unzip archive;
  rapidjson::Document document;          // the package's version document, parsed
  std::vector<std::string> kept_names;   // every "name" of "all_file", in order
  // The files the staging extracts and writes, in its order ("special_file",
  // then "incre_file"), with the sizes the archive states for them.
  std::vector<StagedFile> staged_files;
  std::string document_path;             // "path" of the version document's record ("/config/...")
  std::string document_location;         // backup link path + "/" + document_path
  std::string install_root;
  std::string app_link;                  // install root + "/app"
  std::string bak_link;                  // install root + "/bak"
};

// Checks `length` downloaded bytes against the announced lower-case MD5 text
// and everything the package says about itself. 0 and the package in *out;
// -1 when refused (each refusal is reported with its own line). Reloads the
// configuration documents of install_root + "/app/config/" (or $ConfigPath)
// for the installed version.
int CheckUpgradePackage(const char* data, size_t length, const std::string& expected_md5,
                        const std::string& install_root, std::unique_ptr<CheckedPackage>* out);
// The same check over the downloaded buffer itself (`length` bytes of it),
// which the package that passes keeps and its reader reads in place: the
// package is never copied.
int CheckUpgradePackage(ByteBuffer bytes, size_t length, const std::string& expected_md5,
                        const std::string& install_root, std::unique_ptr<CheckedPackage>* out);

// A file record's "path" names a file inside a slot: it begins with "/", has
// no empty, "." or ".." segment, no segment of the temporary-file form
// (base/temporary_name.h), no control character and no character a shell
// would act on, and its last segment is `name`.
bool IsSlotFilePath(const std::string& path, const std::string& name);
// The segments of a checked slot path ("/a/b/c" -> a, b, c).
std::vector<std::string> SlotPathSegments(const std::string& path);

// "name" and "path" of a file record; "" for a missing member or one that is
// not a string.
std::string RecordName(const rapidjson::Value& record);
std::string RecordPath(const rapidjson::Value& record);

// Text safe to put in a log line: control characters become '?'.
std::string PrintableText(const std::string& text);

}  // namespace zq_camera_service
