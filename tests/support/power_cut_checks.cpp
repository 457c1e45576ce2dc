#include "support/power_cut_checks.h"

#include <sys/stat.h>

#include <cctype>

#include <rapidjson/document.h>

#include "base/path_text.h"
#include "base/temporary_name.h"

namespace zq_test {

namespace {

// The install root's own lock files, made empty by every start.
bool IsRootLockFile(const std::string& path, const TreeEntry& entry) {
  return (path == "lock_file" || path == "safe_file") && entry.kind == TreeEntry::kFile && entry.bytes.empty();
}

bool Below(const std::string& path, const std::string& directory) {
  return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
         path[directory.size()] == '/';
}

// Entries of `before` (but those `skip` takes) missing or changed in
// `state`, and entries new in `state` that `allowed` does not take.
template <typename Skip, typename Allowed>
void CompareOutside(const TreeState& before, const TreeState& state, Skip skip, Allowed allowed,
                    std::vector<std::string>* violations) {
  for (const auto& entry : before) {
    if (skip(entry.first)) continue;
    auto found = state.find(entry.first);
    if (found == state.end()) {
      violations->push_back(entry.first + " is gone");
    } else if (found->second != entry.second) {
      violations->push_back(entry.first + " changed (" + std::to_string(entry.second.bytes.size()) + " -> " +
                            std::to_string(found->second.bytes.size()) + " bytes)");
    }
  }
  for (const auto& entry : state) {
    if (skip(entry.first) || before.count(entry.first) != 0 || allowed(entry.first, entry.second)) continue;
    violations->push_back(entry.first + " is new");
  }
}

std::string Excerpt(const std::string& text) {
  std::string shown = text.substr(0, 60);
  for (char& c : shown) {
    if (!isprint(static_cast<unsigned char>(c))) c = '.';
  }
  return "\"" + shown + (text.size() > 60 ? "...\"" : "\"") + ", " + std::to_string(text.size()) + " bytes";
}

}  // namespace

std::string StrictlyParsedKey(const std::string& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  if (document.HasParseError() || !document.IsObject()) return "";
  auto key = document.FindMember("NewKey");
  return key != document.MemberEnd() && key->value.IsString() ? key->value.GetString() : "";
}

bool SaysStateZero(const std::string& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag>(text.data(), text.size());
  if (!document.HasParseError() && document.IsObject()) {
    auto state = document.FindMember("state");
    if (state != document.MemberEnd() && state->value.IsInt() && state->value.GetInt() == 0) return true;
  }
  // A torn text: the member as it is written, followed by no more digits.
  const std::string member = "\"state\"";
  for (size_t at = text.find(member); at != std::string::npos; at = text.find(member, at + 1)) {
    size_t i = at + member.size();
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i >= text.size() || text[i] != ':') continue;
    ++i;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == '0' &&
        (i + 1 >= text.size() || (!isdigit(static_cast<unsigned char>(text[i + 1])) && text[i + 1] != '.' &&
                                  text[i + 1] != 'e' && text[i + 1] != 'E'))) {
      return true;
    }
  }
  return false;
}

Tree SubTree(const TreeState& state, const std::string& directory) {
  Tree tree;
  for (const auto& entry : state) {
    if (!Below(entry.first, directory)) continue;
    std::string relative = entry.first.substr(directory.size() + 1);
    const TreeEntry& e = entry.second;
    tree[relative] = e.kind == TreeEntry::kDirectory ? "<dir>" : e.kind == TreeEntry::kLink ? "-> " + e.bytes : e.bytes;
  }
  return tree;
}

std::vector<std::string> RotationViolations(const TreeState& state, const RotationExpectation& expected) {
  std::vector<std::string> violations;
  const std::string directory = zq_camera_service::DirectoryOf(expected.document);
  const std::string name = BareName(expected.document);
  // A temporary of the document's writer: the document's name with ".tmp",
  // or the system's own temporary form.
  auto temporary = [&](const std::string& path, const TreeEntry& entry) {
    if (zq_camera_service::DirectoryOf(path) != directory || entry.kind != TreeEntry::kFile) return false;
    std::string base = BareName(path);
    return base == name + ".tmp" || zq_camera_service::IsTemporaryName(base);
  };
  CompareOutside(
      expected.before, state, [&](const std::string& path) { return path == expected.document; },
      [&](const std::string& path, const TreeEntry& entry) {
        return IsRootLockFile(path, entry) || temporary(path, entry);
      },
      &violations);

  auto found = state.find(expected.document);
  if (found == state.end()) {
    violations.push_back(expected.document + " is gone");
    return violations;
  }
  const TreeEntry& document = found->second;
  std::string key = StrictlyParsedKey(document.bytes);
  if (document.kind != TreeEntry::kFile) {
    violations.push_back(expected.document + " is no file");
  } else if (key.empty()) {
    violations.push_back(expected.document + " does not parse as a document with a key: " + Excerpt(document.bytes));
  } else if (document.bytes != expected.old_text && document.bytes != expected.new_text) {
    violations.push_back(expected.document + " is neither the old nor the new document: " + Excerpt(document.bytes));
  } else if (key != expected.old_key && key != expected.new_key) {
    violations.push_back(expected.document + " holds the key " + key);
  }
  return violations;
}

std::vector<std::string> StagingViolations(const TreeState& state, const StagingExpectation& expected) {
  std::vector<std::string> violations;
  CompareOutside(
      expected.before, state,
      [&](const std::string& path) { return path == expected.slot || Below(path, expected.slot); },
      [&](const std::string& path, const TreeEntry& entry) { return IsRootLockFile(path, entry); }, &violations);
  auto slot_entry = state.find(expected.slot);
  if (slot_entry != state.end() && slot_entry->second.kind != TreeEntry::kDirectory) {
    violations.push_back(expected.slot + " is no directory");
  }

  const std::string document_path = expected.slot + "/" + kSlotDocument;
  auto document = state.find(document_path);
  if (document == state.end() || document->second.kind != TreeEntry::kFile ||
      !SaysStateZero(document->second.bytes)) {
    return violations;  // an unfinished slot: the next staging starts it over
  }
  // "state" 0: the older staging untouched, or the new one complete.
  TreeState old_slot;
  TreeState slot;
  for (const auto& entry : expected.before) {
    if (Below(entry.first, expected.slot)) old_slot.insert(entry);
  }
  for (const auto& entry : state) {
    if (Below(entry.first, expected.slot)) slot.insert(entry);
  }
  if (slot == old_slot) return violations;
  Tree staged = SubTree(state, expected.slot);
  staged.erase(kSlotDocument);
  std::string missing = TreeDifference(expected.complete, staged);
  auto program = state.find(expected.slot + "/" + expected.program);
  if (!missing.empty()) {
    violations.push_back(document_path + " says \"state\" 0 but the slot is neither the older staging nor complete: " +
                         missing.substr(0, 300));
  } else if (document->second.bytes != expected.complete_document) {
    violations.push_back(document_path + " says \"state\" 0 but is not the new version's document: " +
                         Excerpt(document->second.bytes));
  } else if (program == state.end() || (program->second.mode & S_IXUSR) == 0) {
    violations.push_back(document_path + " says \"state\" 0 but " + expected.program + " is not executable");
  }
  return violations;
}

}  // namespace zq_test
