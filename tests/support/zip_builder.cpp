#include "support/zip_builder.h"

#include <stdexcept>
#include <zip.h>

#include "support/files.h"

namespace zq_test {

ZipBuilder& ZipBuilder::Add(const std::string& name, const std::string& bytes, Method method) {
  entries_.push_back({name, bytes, method, false});
  return *this;
}

ZipBuilder& ZipBuilder::AddDirectory(const std::string& name) {
  entries_.push_back({name, "", kStore, true});
  return *this;
}

std::string ZipBuilder::Build() const {
  TempDir dir("zqzip");
  std::string path = dir / "archive.zip";
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (archive == nullptr) throw std::runtime_error("zip_open failed");
  for (const Entry& entry : entries_) {
    zip_int64_t index;
    if (entry.directory) {
      // zip_dir_add appends the "/" itself.
      std::string bare = entry.name;
      if (!bare.empty() && bare.back() == '/') bare.pop_back();
      index = zip_dir_add(archive, bare.c_str(), ZIP_FL_ENC_UTF_8);
    } else {
      zip_source_t* source = zip_source_buffer(archive, entry.bytes.data(), entry.bytes.size(), 0);
      if (source == nullptr) throw std::runtime_error("zip_source_buffer failed");
      // libzip refuses a second entry of a name it holds; a test wanting two
      // entries of one name patches the archive's bytes afterwards.
      index = zip_file_add(archive, entry.name.c_str(), source, ZIP_FL_ENC_UTF_8);
      if (index < 0) zip_source_free(source);
    }
    if (index < 0) throw std::runtime_error("cannot add " + entry.name + ": " + zip_strerror(archive));
    if (!entry.directory) {
      zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                               entry.method == kStore ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
    }
  }
  if (zip_close(archive) != 0) throw std::runtime_error(std::string("zip_close failed: ") + zip_strerror(archive));
  std::string bytes = ReadFile(path);
  if (entries_.empty() && bytes.empty()) {
    // libzip writes no file for an archive without entries: the end record alone.
    bytes = std::string("PK\x05\x06", 4) + std::string(18, '\0');
  }
  return bytes;
}

size_t FindStoredData(const std::string& archive, const std::string& bytes) {
  size_t at = archive.find(bytes);
  if (at == std::string::npos) throw std::runtime_error("stored bytes not found in the archive");
  return at;
}

}  // namespace zq_test
