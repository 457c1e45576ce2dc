#include "support/install_root.h"

#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace zq_test {

InstallRoot::InstallRoot() : dir_("zqroot") {
  std::filesystem::create_directories(SlotA() + "/config");
  std::filesystem::create_directories(SlotB() + "/config");
  if (symlink(SlotA().c_str(), (dir_ / "app").c_str()) != 0 || symlink(SlotB().c_str(), (dir_ / "bak").c_str()) != 0) {
    throw std::runtime_error("cannot create slot links under " + path());
  }
}

void InstallRoot::WriteBaseConfig(const std::string& json) { WriteFile(ConfigDir() + "BaseConfig.json", json); }

void InstallRoot::WriteVersionConfig(const std::string& json) { WriteFile(ConfigDir() + "VersionConfig.json", json); }

std::string InstallRoot::ReadBaseConfig() const { return ReadFile(ConfigDir() + "BaseConfig.json"); }

}  // namespace zq_test
