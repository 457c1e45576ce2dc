#include "support/config_documents.h"

namespace zq_test {

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
