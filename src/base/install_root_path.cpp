#include "base/install_root_path.h"

#include <mutex>

namespace zq_camera_service {

const char* const kDefaultInstallRoot = "/mnt/flash/smart/zarnu_service";

namespace {

std::mutex g_root_mutex;
std::string& Root() {
  static std::string* root = new std::string(kDefaultInstallRoot);
  return *root;
}

}  // namespace

void SetInstallRoot(const std::string& root) {
  std::lock_guard<std::mutex> lock(g_root_mutex);
  Root() = root;
}

std::string InstallRootPath() {
  std::lock_guard<std::mutex> lock(g_root_mutex);
  return Root();
}

}  // namespace zq_camera_service
