// Figures of a running process from its /proc files, for the whole-process
// tests and the footprint benchmark.
#pragma once

#include <sys/types.h>

#include <string>

namespace zq_test {

// Fields 14 and 15 (utime, stime) of the process's stat file, in clock ticks;
// -1 when the process is gone.
long CpuTicks(pid_t pid);
// A "Name:   value kB" figure of a status-like file; -1 when absent.
long StatusFigure(const std::string& status_path, const std::string& name);
// Resident set in KiB (VmRSS of the status file); -1 when the process is gone.
long ResidentKib(pid_t pid);
// Peak resident set in KiB (VmHWM) since start or the last ResetPeakResident;
// -1 when the process is gone.
long PeakResidentKib(pid_t pid);
// Makes the peak start again from the present resident set; whether the
// kernel took the request.
bool ResetPeakResident(pid_t pid);

// CPU seconds the calling thread has used: for checks of how work grows,
// which a busy machine's waits must not stretch as they stretch the clock.
double ThreadCpuSeconds();

}  // namespace zq_test
