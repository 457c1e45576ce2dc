// Linked into every test program: what its tests start and make ends with
// it, however it ends (see support/leftovers.h). Before main, so before any
// test or thread.
#include "support/leftovers.h"

namespace {

[[maybe_unused]] const bool g_leftovers_end_with_program = [] {
  zq_test::EndLeftoversWithThisProgram();
  return true;
}();

}  // namespace
