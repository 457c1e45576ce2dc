// Upgrade packages and slot contents for tests: a builder of package
// archives with their version document, the MD5 text the cloud announces,
// a running slot to upgrade, and snapshots of slot trees to compare.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "support/install_root.h"

namespace zq_test {

std::string Md5Hex(const std::string& bytes);
// `size` bytes no compressor shrinks, the same for the same seed: a package
// file as large in the archive as in the slot.
std::string IncompressibleBytes(size_t size, unsigned seed);

class UpgradePackageBuilder {
 public:
  // A package of version `major` whose all_file lists its version document
  // at "/config/VersionConfig.json".
  explicit UpgradePackageBuilder(int major);

  // A file of the package: an "incre_file" and an "all_file" record, and the
  // archive entry "pkg" + path.
  UpgradePackageBuilder& AddFile(const std::string& path, const std::string& bytes);
  // A "special_file" record (and an all_file record) with its entry.
  UpgradePackageBuilder& AddSpecialFile(const std::string& path, const std::string& bytes);
  // An all_file record only: a file the slot keeps from the running version.
  UpgradePackageBuilder& Keep(const std::string& path);
  // A member of the version document besides the file lists.
  UpgradePackageBuilder& SetMember(const std::string& name, const std::string& json_value);
  // Changes the generated document before it is written (records, types, ...).
  UpgradePackageBuilder& Mutate(std::function<void(rapidjson::Document&)> change);
  // Replaces the whole version document text.
  UpgradePackageBuilder& SetDocumentText(const std::string& text);
  // Puts the version document at the top level of the archive instead of "pkg/".
  UpgradePackageBuilder& DocumentAtTopLevel();
  // Leaves the entry of `path` out of the archive (its records stay).
  UpgradePackageBuilder& OmitEntry(const std::string& path);

  std::string DocumentText() const;
  std::string Build() const;

  // Bytes of the package files by slot path.
  const std::map<std::string, std::string>& Files() const { return files_; }
  // Bare names that all_file lists.
  std::vector<std::string> KeptNames() const;

 private:
  int major_;
  std::vector<std::pair<std::string, std::string>> members_;
  std::vector<std::string> incre_;
  std::vector<std::string> special_;
  std::vector<std::string> all_;
  std::map<std::string, std::string> files_;
  std::vector<std::function<void(rapidjson::Document&)>> changes_;
  std::string document_text_;
  bool top_level_document_ = false;
  std::vector<std::string> omitted_;
};

// Regular files by path relative to `directory` with their bytes, links as
// "-> target"; directories themselves as "<dir>".
using Tree = std::map<std::string, std::string>;
Tree SnapshotTree(const std::string& directory);

// A running slot of version `major` in root.SlotA(): the program, libraries,
// configuration, files that share a bare name in two directories, a link.
void PopulateRunningSlot(const InstallRoot& root, int major);
// An update of version `major` (named "v4") over that slot: a new program,
// a new library and a special file; the kept library with its link, the
// helper and the configuration stay, the rest of the slot goes.
UpgradePackageBuilder UpdateOverRunningSlot(int major);
// What the backup slot holds after a complete staging of `package` over the
// running slot `running` (its version document excluded).
Tree ExpectedStagedTree(const Tree& running, const UpgradePackageBuilder& package);

std::string BareName(const std::string& path);

// Where a slot keeps its version document, relative to the slot.
extern const char* const kSlotDocument;  // "config/VersionConfig.json"
// The "state" of the slot's version document; -1 when it has none that reads.
int SlotState(const std::string& slot);
// How `slot`, its version document left aside, differs from what an
// abandoned staging leaves: nothing but the document's directory ("" when
// it holds just that).
std::string DifferenceFromAbandonedSlot(const std::string& slot);
// A short account of how two trees differ ("" when equal): keys only in one,
// keys whose contents differ.
std::string TreeDifference(const Tree& expected, const Tree& actual);

}  // namespace zq_test
