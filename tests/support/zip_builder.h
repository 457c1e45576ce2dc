// Builds ZIP archives in memory for tests, with libzip's writer: stored or
// deflated entries, directory entries, duplicate names.
#pragma once

#include <string>
#include <vector>

namespace zq_test {

class ZipBuilder {
 public:
  enum Method { kStore, kDeflate };

  ZipBuilder& Add(const std::string& name, const std::string& bytes, Method method = kDeflate);
  ZipBuilder& AddDirectory(const std::string& name);  // "dir/"
  // The archive's bytes (an archive without entries is the 22-byte end record).
  std::string Build() const;

 private:
  struct Entry {
    std::string name;
    std::string bytes;
    Method method;
    bool directory;
  };
  std::vector<Entry> entries_;
};

// Offset of the first byte of `bytes` (the stored data of an entry) in `archive`.
size_t FindStoredData(const std::string& archive, const std::string& bytes);

}  // namespace zq_test
