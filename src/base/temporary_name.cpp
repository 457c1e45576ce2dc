#include "base/temporary_name.h"

namespace zq_camera_service {

const char* const kTemporaryNameSuffix = ".zqtmp";

namespace {

// A file name may have 255 bytes; the temporary one adds the dot, two
// numbers and the suffix to what it keeps of the target's name.
constexpr size_t kKeptNameBytes = 200;

}  // namespace

bool IsTemporaryName(const std::string& segment) {
  const std::string suffix = kTemporaryNameSuffix;
  return segment.size() > suffix.size() && segment[0] == '.' &&
         segment.compare(segment.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string TemporaryPathFor(const std::string& target, unsigned long owner, unsigned attempt) {
  size_t slash = target.rfind('/');
  std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.size() > kKeptNameBytes) name.resize(kKeptNameBytes);
  return directory + "." + name + "." + std::to_string(owner) + "." + std::to_string(attempt) + kTemporaryNameSuffix;
}

}  // namespace zq_camera_service
