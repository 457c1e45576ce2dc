// A network of the test program's own: a fresh network namespace with its
// loopback interface up. The system's fixed ports (the camera software's
// 9658) are then the program's alone, so whole-process tests can run side
// by side instead of one at a time.
#pragma once

#include <string>

namespace zq_test {

// Moves the calling process into a network namespace of its own and brings
// its loopback up; from then on FixedPortsLock takes no lock. Must run
// before the process starts a thread (a namespace belongs to a thread, and
// only those created afterwards inherit it). False, with the reason, when
// the machine does not allow it.
bool EnterOwnNetwork(std::string* reason);

}  // namespace zq_test
