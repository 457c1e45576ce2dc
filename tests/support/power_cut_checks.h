// What must hold in every state a power cut can leave in an install root
// while the device saves a rotated key or stages an upgrade. Each function
// returns the violations of one state, one line each (none: the state is
// sound).
#pragma once

#include <string>
#include <vector>

#include "support/file_system_model.h"
#include "support/upgrade_package.h"

namespace zq_test {

// A key rotation: the configuration document is rewritten from `old_text`
// (signing with `old_key`) to `new_text` (`new_key`).
struct RotationExpectation {
  TreeState before;      // the install root before the run
  std::string document;  // its path in the root: "slotA/config/BaseConfig.json"
  std::string old_text;
  std::string new_text;
  std::string old_key;
  std::string new_key;
};

// The document parses strictly and is the old or the new one, whole;
// everything else is as before, but for the lock files of the install root
// and temporary files of the document's writer beside it.
std::vector<std::string> RotationViolations(const TreeState& state, const RotationExpectation& expected);

// A staging into the backup slot, which held an older complete staging.
struct StagingExpectation {
  TreeState before;                  // the install root before the run
  std::string slot = "slotB";        // the backup slot's path in the root
  Tree complete;                     // the slot once complete, its version document left out
  std::string complete_document;     // the version document of the complete slot
  std::string program = "bin/zq_camera_service";
};

// Everything outside the backup slot is as before (but for the lock files);
// the slot says "state" 0 only when it is the older complete staging,
// untouched, or the new one complete with an executable program.
std::vector<std::string> StagingViolations(const TreeState& state, const StagingExpectation& expected);

// The "NewKey" of a configuration text parsed strictly (the whole text one
// JSON object); "" when it does not parse so or has no text key.
std::string StrictlyParsedKey(const std::string& text);
// True when a version document text says "state" 0, parsed or not (a torn
// text that still holds the member counts).
bool SaysStateZero(const std::string& text);
// The part of `state` below `directory`, in the notation of Tree.
Tree SubTree(const TreeState& state, const std::string& directory);

}  // namespace zq_test
