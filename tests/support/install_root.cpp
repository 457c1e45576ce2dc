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

std::string DefaultBaseConfig(const std::string& cloud_url) {
  return "{\n"
         "    \"ConfigUrl\": \"" + cloud_url + "\",\n"
         "    \"NewKey\": \"initial-key\",\n"
         "    \"OldKey\": \"\",\n"
         "    \"update_key_time\": 90,\n"
         "    \"old_key_expire_time\": 10,\n"
         "    \"ProtocolVersion\": \"1.0\",\n"
         "    \"CompanyId\": \"company-1\",\n"
         "    \"ShopId\": \"7\",\n"
         "    \"HelloUrl\": \"" + cloud_url + "\",\n"
         "    \"DeviceId\": \"device-1\",\n"
         "    \"CameraId\": \"3\",\n"
         "    \"GetConfTimeGap\": 60,\n"
         "    \"HeartbeatGap\": 20,\n"
         "    \"HelloTimeGap\": 60,\n"
         "    \"PicUploadUrl\": \"" + cloud_url + "\"\n"
         "}";
}

std::string VersionConfig(int major) { return "{\n    \"major\": " + std::to_string(major) + "\n}"; }

}  // namespace zq_test
