// Staging of a checked upgrade package into the backup slot of the
// installation: the slot is refilled from the running slot, the package's
// files are written over the copy, files the new version does not list are
// deleted, and the slot's version document says "state" 1 until everything
// is in place and 0 once it is. The running slot is only read.
#pragma once

#include <string>

#include "service/upgrade_package.h"

namespace zq_camera_service {

// 0 when the backup slot is complete ("state" 0, everything synced); -1 when
// the attempt is abandoned: refused before the slot was touched (the slot
// keeps what it held), or given up later, when the slot keeps nothing but a
// version document that says "state" 1 (or no document at all). Never
// reboots.
int StageUpgrade(CheckedPackage& package);

// The directory a slot link points to, checked and made absolute (a relative
// target is taken from the install root): 0 and the path, or -1 with the
// reason. `must_exist` for the running slot; the backup slot may be missing.
int ResolveSlotLink(const std::string& install_root, const std::string& link_path, bool must_exist,
                    std::string* target, std::string* reason);

}  // namespace zq_camera_service
