// Names of the files a replacement is written to before it is renamed over
// its target. They have a form of their own, a leading "." and a fixed
// suffix, that no file of an upgrade package may have (the package's paths
// are checked against it), so a temporary file can never be, or replace, a
// file that belongs to the slot.
#pragma once

#include <string>

namespace zq_camera_service {

extern const char* const kTemporaryNameSuffix;  // ".zqtmp"

// True for a path segment of the temporary form: "." first, the suffix last.
bool IsTemporaryName(const std::string& segment);

// The temporary path for `target` in the target's own directory (so that
// the rename stays on one file system): "." + the target's name (cut to
// leave room) + "." + `owner` + "." + `attempt` + the suffix.
std::string TemporaryPathFor(const std::string& target, unsigned long owner, unsigned attempt);

}  // namespace zq_camera_service
