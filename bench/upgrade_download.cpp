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
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

int Usage(const char* program) {
  fprintf(stderr, "usage: %s [--binary PATH] [--row TEXT]...\n", program);
  return 2;
}

double Mib(double kib) { return kib / 1024.0; }

}  // namespace

int main(int argc, char** argv) {
  std::string binary;
  if (const char* chosen = getenv("ZQ_BENCH_SERVICE_BINARY")) binary = chosen;
  std::vector<std::string> filters;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) return Usage(argv[0]);
    std::string value = argv[++i];
    if (option == "--binary") {
      binary = value;
    } else if (option == "--row") {
      filters.push_back(value);
    } else {
      return Usage(argv[0]);
    }
  }
  const std::string program = binary.empty() ? std::string(ZQ_SERVICE_BINARY) : binary;
  if (access(program.c_str(), X_OK) != 0) {
    fprintf(stderr, "%s: no program at %s\n", argv[0], program.c_str());
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("upgrade downloads against %s\n\n", program.c_str());
  printf("| what the package host sent | bytes | resident before | peak growth | goal | verdict | time |\n");
  printf("|---|---|---|---|---|---|---|\n");
  int missed = 0;
  for (const DownloadRow& row : kRows) {
    bool wanted = filters.empty();
    for (const std::string& filter : filters) wanted |= row.name.find(filter) != std::string::npos;
    if (!wanted) continue;
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
  printf("\n%d goal%s missed\n", missed, missed == 1 ? "" : "s");
  return 0;
}
