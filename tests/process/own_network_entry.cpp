// Linked into the programs whose tests use the system's fixed ports. When
// the build found that test programs may have a network of their own, CTest
// sets ZQ_TEST_OWN_NETWORK=1 and each program enters one before anything
// else runs (before main, so before any thread), and the programs run side
// by side. Without it they take the fixed-ports lock, one at a time.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/own_network.h"

namespace {

bool EnterWhenAsked() {
  const char* asked = getenv("ZQ_TEST_OWN_NETWORK");
  if (asked == nullptr || strcmp(asked, "1") != 0) return false;
  std::string reason;
  if (!zq_test::EnterOwnNetwork(&reason)) {
    // Run outside, the test would share the fixed ports without the lock.
    fprintf(stderr, "cannot give the test a network of its own: %s\n", reason.c_str());
    exit(1);
  }
  return true;
}

[[maybe_unused]] const bool g_in_own_network = EnterWhenAsked();

}  // namespace
