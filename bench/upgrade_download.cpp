// What an upgrade download costs the running service in memory: each row
// starts the real binary against the fakes, holds the package host's answer
// back until the process has settled, then serves a package of the row's
// size (checked, staged, simulated reboot) or a reply larger than the 64 MiB
// cap (refused), and prints the peak resident growth over the resident set
// just before. Packages are made of files of at most 8 MiB of
// incompressible bytes, or of one large file and the rest, which the
// staging writes to the slot in pieces without holding it whole.
// Goals: a package grows the process by at most its size plus 16 MiB, a
// refused reply by at most the cap plus 16 MiB.
//
//   bench_upgrade_download [--binary PATH] [--row TEXT]...
//     --binary  the service program to measure (default: ZQ_BENCH_SERVICE_BINARY,
//               else the one this tree built), so an old and a new build can be compared
//     --row     only the rows whose name holds TEXT (repeatable)
#include <cstdio>
#include <string>
#include <vector>

#include "bench_command_line.h"
#include "support/upgrade_download.h"

using zq_test::DownloadKind;
using zq_test::DownloadRow;

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr double kSlackMib = 16.0;
constexpr double kCapMib = 64.0;

// Ascending sizes: a package row reads the peak of the reaped process,
// which must stand above every earlier row's.
const std::vector<DownloadRow> kRows = {
    {"package of 16 MiB", DownloadKind::kPackage, 16 * kMiB},
    {"package of 48 MiB", DownloadKind::kPackage, 48 * kMiB},
    {"package of 48 MiB, one file of 40 MiB", DownloadKind::kPackage, 48 * kMiB, 40 * kMiB},
    {"package of 64 MiB (just under the cap)", DownloadKind::kPackage, 64 * kMiB},
    {"65 MiB reply, length announced", DownloadKind::kAnnouncedOversized, 65 * kMiB},
    {"65 MiB reply, chunked", DownloadKind::kChunkedOversized, 65 * kMiB},
};

double Mib(double kib) { return kib / 1024.0; }

}  // namespace

int main(int argc, char** argv) {
  zq_bench::BenchCommandLine line;
  const int unreadable = zq_bench::ReadBenchCommandLine(argc, argv, "[--binary PATH] [--row TEXT]...", true, &line);
  if (unreadable != 0) return unreadable;
  const std::string& program = line.program;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("upgrade downloads against %s\n\n", program.c_str());
  printf("| what the package host sent | bytes | resident before | peak growth | goal | verdict | time |\n");
  printf("|---|---|---|---|---|---|---|\n");
  int missed = 0;
  for (const DownloadRow& row : kRows) {
    if (!line.Wants(row.name)) continue;
    zq_test::DownloadOutcome outcome = zq_test::RunDownloadRow(row, program);
    if (!outcome.failure.empty()) {
      printf("| %s | not measured: %s ||||||\n", row.name.c_str(), outcome.failure.c_str());
      ++missed;
      continue;
    }
    double goal = row.kind == DownloadKind::kPackage ? static_cast<double>(outcome.package_bytes) / kMiB + kSlackMib
                                                     : kCapMib + kSlackMib;
    double growth = Mib(outcome.GrowthKib());
    std::string verdict = row.kind == DownloadKind::kPackage
                              ? (outcome.staged ? "staged, rebooted" : "NOT staged")
                              : std::string(outcome.refused ? "refused" : "NOT refused") +
                                    (outcome.abandoned ? ", abandoned" : ", kept for a retry");
    bool met = growth <= goal && (row.kind == DownloadKind::kPackage ? outcome.staged : outcome.refused);
    if (!met) ++missed;
    printf("| %s | %.2f MiB | %.1f MiB | %.1f MiB%s | <= %.1f MiB | %s | %.1f s |\n", row.name.c_str(),
           static_cast<double>(outcome.package_bytes) / kMiB, Mib(outcome.baseline_kib), growth, met ? "" : " (MISSED)",
           goal, verdict.c_str(), outcome.seconds);
  }
  zq_bench::PrintMissedGoals(missed);
  return 0;
}
