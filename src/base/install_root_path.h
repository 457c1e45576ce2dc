// The install root the process runs from: $ZQ_ROOT_PATH, or the device's
// fixed default. Start-up sets it once; whatever stages or reloads files of
// the installation asks here, so a relocated root is never mixed with the
// default one.
#pragma once

#include <string>

namespace zq_camera_service {

extern const char* const kDefaultInstallRoot;  // "/mnt/flash/smart/zarnu_service"

void SetInstallRoot(const std::string& root);
// The root set at start-up; the default until then.
std::string InstallRootPath();

}  // namespace zq_camera_service
