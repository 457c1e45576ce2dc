// Paths taken apart as text, without asking the file system.
#pragma once

#include <string>

namespace zq_camera_service {

// The directory that holds `path`: "." for a bare name, "/" for an entry of
// the root.
inline std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace zq_camera_service
