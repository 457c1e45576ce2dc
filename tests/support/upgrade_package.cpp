#include "support/upgrade_package.h"

#include <filesystem>
#include <random>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/md5.h"
#include "support/files.h"
#include "support/zip_builder.h"

namespace zq_test {

namespace {

const char* const kDocumentPath = "/config/VersionConfig.json";

rapidjson::Value Records(const std::vector<std::string>& paths, rapidjson::Document::AllocatorType& allocator) {
  rapidjson::Value list(rapidjson::kArrayType);
  for (const std::string& path : paths) {
    rapidjson::Value record(rapidjson::kObjectType);
    std::string name = BareName(path);
    record.AddMember("name", rapidjson::Value(name.c_str(), static_cast<rapidjson::SizeType>(name.size()), allocator),
                     allocator);
    record.AddMember("path", rapidjson::Value(path.c_str(), static_cast<rapidjson::SizeType>(path.size()), allocator),
                     allocator);
    list.PushBack(record, allocator);
  }
  return list;
}

}  // namespace

std::string BareName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string Md5Hex(const std::string& bytes) {
  MD5 digest;
  digest.update(bytes.data(), static_cast<unsigned int>(bytes.size()));
  return digest.finalize().hexdigest();
}

std::string IncompressibleBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

UpgradePackageBuilder::UpgradePackageBuilder(int major) : major_(major), all_{kDocumentPath} {}

UpgradePackageBuilder& UpgradePackageBuilder::AddFile(const std::string& path, const std::string& bytes) {
  incre_.push_back(path);
  all_.push_back(path);
  files_[path] = bytes;
  return *this;
}

UpgradePackageBuilder& UpgradePackageBuilder::AddSpecialFile(const std::string& path, const std::string& bytes) {
  special_.push_back(path);
  all_.push_back(path);
  files_[path] = bytes;
  return *this;
}

UpgradePackageBuilder& UpgradePackageBuilder::Keep(const std::string& path) {
  all_.push_back(path);
  return *this;
}

UpgradePackageBuilder& UpgradePackageBuilder::SetMember(const std::string& name, const std::string& json_value) {
  members_.emplace_back(name, json_value);
  return *this;
}

UpgradePackageBuilder& UpgradePackageBuilder::Mutate(std::function<void(rapidjson::Document&)> change) {
  changes_.push_back(std::move(change));
  return *this;
}

UpgradePackageBuilder& UpgradePackageBuilder::SetDocumentText(const std::string& text) {
  document_text_ = text;
  return *this;
}

UpgradePackageBuilder& UpgradePackageBuilder::DocumentAtTopLevel() {
  top_level_document_ = true;
  return *this;
}

UpgradePackageBuilder& UpgradePackageBuilder::OmitEntry(const std::string& path) {
  omitted_.push_back(path);
  return *this;
}

std::string UpgradePackageBuilder::DocumentText() const {
  if (!document_text_.empty()) return document_text_;
  rapidjson::Document document(rapidjson::kObjectType);
  auto& allocator = document.GetAllocator();
  document.AddMember("major", major_, allocator);
  for (const auto& member : members_) {
    rapidjson::Document value;
    value.Parse(member.second.c_str());
    rapidjson::Value copy(value, allocator);
    document.AddMember(rapidjson::Value(member.first.c_str(), allocator), copy, allocator);
  }
  document.AddMember("incre_file", Records(incre_, allocator), allocator);
  document.AddMember("all_file", Records(all_, allocator), allocator);
  if (!special_.empty()) document.AddMember("special_file", Records(special_, allocator), allocator);
  for (const auto& change : changes_) change(document);
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  document.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string UpgradePackageBuilder::Build() const {
  ZipBuilder zip;
  zip.AddDirectory("pkg/");
  zip.Add(top_level_document_ ? "VersionConfig.json" : "pkg/VersionConfig.json", DocumentText());
  for (const auto& file : files_) {
    bool omitted = false;
    for (const std::string& path : omitted_) omitted = omitted || path == file.first;
    if (!omitted) zip.Add("pkg" + file.first, file.second, file.second.size() % 2 ? ZipBuilder::kStore : ZipBuilder::kDeflate);
  }
  return zip.Build();
}

std::vector<std::string> UpgradePackageBuilder::KeptNames() const {
  std::vector<std::string> names;
  for (const std::string& path : all_) names.push_back(BareName(path));
  return names;
}

Tree SnapshotTree(const std::string& directory) {
  Tree tree;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    std::string relative = it->path().string().substr(directory.size() + 1);
    if (it->is_symlink()) {
      tree[relative] = "-> " + std::filesystem::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      tree[relative] = "<dir>";
    } else {
      tree[relative] = ReadFile(it->path().string());
    }
  }
  return tree;
}

void PopulateRunningSlot(const InstallRoot& root, int major) {
  std::string slot = root.SlotA();
  WriteFile(slot + "/bin/zq_camera_service", std::string("\x7f" "ELF old program\0\1\2", 19));
  chmod((slot + "/bin/zq_camera_service").c_str(), 0755);
  WriteFile(slot + "/bin/helper.sh", "#!/bin/sh\necho old\n");
  chmod((slot + "/bin/helper.sh").c_str(), 0755);
  WriteFile(slot + "/lib/libkeep.so", std::string(500, 'k'));
  WriteFile(slot + "/lib/libdropped.so", std::string(300, 'd'));
  WriteFile(slot + "/share/a/dup.txt", "dup in a");
  WriteFile(slot + "/share/b/dup.txt", "dup in b");
  WriteFile(slot + "/share/a/notes.txt", "kept notes");
  std::filesystem::create_directories(slot + "/var/empty");
  WriteFile(root.ConfigDir() + "BaseConfig.json", "{\n    \"NewKey\": \"k\"\n}");
  WriteFile(root.ConfigDir() + "VersionConfig.json",
            "{\n    \"major\": " + std::to_string(major) + ",\n    \"state\": 0\n}");
  symlink("libkeep.so", (slot + "/lib/libkeep.so.1").c_str());
}

UpgradePackageBuilder UpdateOverRunningSlot(int major) {
  UpgradePackageBuilder builder(major);
  builder.SetMember("name", "\"v4\"")
      .AddFile("/bin/zq_camera_service", std::string("\x7f" "ELF new program\0\7", 19))
      .AddFile("/lib/libnew.so", std::string(20000, 'n'))
      .AddSpecialFile("/etc/special.conf", "special\n")
      .Keep("/lib/libkeep.so")
      .Keep("/lib/libkeep.so.1")
      .Keep("/bin/helper.sh")
      .Keep("/config/BaseConfig.json");
  return builder;
}

Tree ExpectedStagedTree(const Tree& running, const UpgradePackageBuilder& package) {
  Tree expected = running;
  expected.erase(kSlotDocument);
  for (const auto& file : package.Files()) {
    std::string relative = file.first.substr(1);
    expected[relative] = file.second;
    // Directories the package adds.
    for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
      expected.emplace(relative.substr(0, slash), "<dir>");
    }
  }
  std::vector<std::string> kept_list = package.KeptNames();
  std::set<std::string> kept(kept_list.begin(), kept_list.end());
  for (auto it = expected.begin(); it != expected.end();) {
    bool regular = it->second != "<dir>" && it->second.compare(0, 3, "-> ") != 0;
    if (regular && kept.count(BareName(it->first)) == 0) {
      it = expected.erase(it);
    } else {
      ++it;
    }
  }
  return expected;
}

std::string TreeDifference(const Tree& expected, const Tree& actual) {
  std::string account;
  for (const auto& entry : expected) {
    auto found = actual.find(entry.first);
    if (found == actual.end()) {
      account += "missing: " + entry.first + "\n";
    } else if (found->second != entry.second) {
      account += "differs: " + entry.first + " (" + std::to_string(entry.second.size()) + " vs " +
                 std::to_string(found->second.size()) + " bytes)\n";
    }
  }
  for (const auto& entry : actual) {
    if (expected.count(entry.first) == 0) account += "extra: " + entry.first + "\n";
  }
  return account;
}

const char* const kSlotDocument = "config/VersionConfig.json";

int SlotState(const std::string& slot) {
  rapidjson::Document document;
  document.Parse(ReadFile(slot + "/" + kSlotDocument).c_str());
  if (document.HasParseError() || !document.IsObject() || !document.HasMember("state") ||
      !document["state"].IsInt()) {
    return -1;
  }
  return document["state"].GetInt();
}

std::string DifferenceFromAbandonedSlot(const std::string& slot) {
  Tree left = SnapshotTree(slot);
  left.erase(kSlotDocument);
  return TreeDifference(Tree{{"config", "<dir>"}}, left);
}

}  // namespace zq_test
