// A temporary install root as the device has it: two slot directories, the
// "app" link to the running slot and the "bak" link to the backup slot, and
// the configuration documents in app/config/.
#pragma once

#include <string>

#include "support/config_documents.h"
#include "support/files.h"

namespace zq_test {

class InstallRoot {
 public:
  InstallRoot();

  const std::string& path() const { return dir_.path(); }
  std::string operator/(const std::string& relative) const { return dir_ / relative; }
  // app/config/ with its trailing slash, as ConfigPath wants it.
  std::string ConfigDir() const { return dir_ / "app/config/"; }
  std::string SlotA() const { return dir_ / "slotA"; }
  std::string SlotB() const { return dir_ / "slotB"; }

  void WriteBaseConfig(const std::string& json);
  void WriteVersionConfig(const std::string& json);
  std::string ReadBaseConfig() const;

 private:
  TempDir dir_;
};

}  // namespace zq_test
