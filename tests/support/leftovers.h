// What a test program leaves behind when it ends: the process groups of the
// children it started and its scratch directories. Destructors take care of
// both while a test ends the ordinary way; this covers a program that exits
// with its owners never destroyed, one stopped by SIGINT, SIGTERM or SIGHUP
// (Ctrl-C of a test run, a runner's time-out), and one killed outright.
//
// A program opts in once, before main (tests/support/entry/, linked into
// every test program): until then the calls below only keep their records,
// so the demo's and the benchmarks' programs keep their own signal handling.
#pragma once

#include <sys/types.h>

#include <string>

namespace zq_test {

// Makes this program end its recorded children and remove its recorded
// directories when it exits or is stopped by SIGINT, SIGTERM or SIGHUP (the
// signal's default action then ends it, so its status tells the signal), and
// asks for SIGTERM when the process that started it (the test runner) ends.
// A process that outlives the program by a moment (a "zq-leftovers"
// process, started with the first record) does the same when the program is
// killed with SIGKILL.
void EndLeftoversWithThisProgram();

// Directories are removed with everything in them; read-only ones included.
void RecordScratchDirectory(const std::string& path);
void ForgetScratchDirectory(const std::string& path);

// `group` is a child's pid and the id of the process group it leads: the
// whole group gets SIGKILL, and the child is waited for, before any
// directory goes.
void RecordChildGroup(pid_t group);
void ForgetChildGroup(pid_t group);

// For a child forked from this program that goes on running its code: the
// records are the parent's, not the child's; the child starts with none.
// Safe between fork and exec.
void ForgetLeftoversOfParent();

}  // namespace zq_test
