// The KwCloud back end for tests: a BaseConfig.json that points the device at
// a CloudBackendFake, a whole-process fixture that runs one, and in-process
// authentication for unit tests of code that needs service 0.
#pragma once

#include <chrono>
#include <string>

#include "fakes/cloud_backend_fake.h"
#include "service/auth_service.h"
#include "support/install_root.h"
#include "support/service_process.h"

namespace zq_test {

// DefaultBaseConfig with every URL at the fake and "NewKey" the key it expects.
std::string CloudBaseConfig(const CloudBackendFake& cloud);
// CloudBaseConfig with other report periods ("HeartbeatGap", "HelloTimeGap"),
// which the fake's accepting reply is set to hand out too, so the stored file
// keeps them after the authentication.
std::string CloudBaseConfig(CloudBackendFake& cloud, int heartbeat_gap, int monitor_gap);
// A configuration text from CloudBaseConfig with the faces going to `url`.
std::string WithPicUploadUrl(const CloudBackendFake& cloud, std::string config, const std::string& url);
// Writes CloudBaseConfig into the root, and VersionConfig(major).
void WriteCloudConfigs(InstallRoot& root, const CloudBackendFake& cloud, int major = 1);

// Where the tests' package hosts serve an update.
extern const char* const kPackagePath;  // "/packages/update.zip"
// Has the cloud's authentication replies announce version `version` at
// `url` with the MD5 text `md5`.
void AnnounceUpdate(CloudBackendFake& cloud, int version, const std::string& url, const std::string& md5);

// Whole-process fixture: the service started with StartService() gets past
// authentication at once, against cloud_ (which accepts "initial-key" and
// hands it back, so BaseConfig.json keeps its bytes).
class CloudProcessTest : public ServiceProcessTest {
 protected:
  CloudProcessTest() { WriteCloudConfigs(root_, cloud_); }

  CloudBackendFake cloud_;
};

// In-process authentication for unit tests: loads the configuration
// documents from `config_dir` (ending in "/"; write CloudBaseConfig and a
// VersionConfig there), starts the HTTP worker, and authenticates service 0 of
// the process-wide ServiceManager against the fake, so that
// GetServiceBy(SERVICE_AUTH) composes headers. The first call creates the
// service, later calls authenticate it again (do not call it while other
// threads compose headers). Null when the fake did not accept within `timeout`.
zq_camera_service::AuthService* AuthenticateInProcess(const std::string& config_dir,
                                                      std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace zq_test
