// What an upgrade download costs the real binary in memory: the service
// runs against the cloud fake, which announces an update; the package host
// holds the download back until the process has settled, then serves a
// package (which is checked and staged, and the process ends with the
// simulated reboot) or an oversized reply (which is refused, and the
// process goes on). The row records the resident set just before the
// package went out and the peak after it. The whole-process test asserts
// bounds on these figures; the benchmark prints them for several sizes.
//
//   zq_test::DownloadRow row{"package of 48 MiB", zq_test::DownloadKind::kPackage, 48u << 20, 40u << 20};
//   zq_test::DownloadOutcome outcome = zq_test::RunDownloadRow(row, "");
//   EXPECT_LE(outcome.GrowthKib(), (48 + 16) * 1024);
#pragma once

#include <cstddef>
#include <string>

namespace zq_test {

enum class DownloadKind {
  kPackage,             // a valid package of about `bytes`, files of at most `file_bytes` each
  kAnnouncedOversized,  // `bytes` of zeros with their length announced
  kChunkedOversized,    // `bytes` of zeros sent chunked, no length announced
};

// Largest file of a generated package unless a row says otherwise.
constexpr size_t kDownloadFileBytes = 8u << 20;

struct DownloadRow {
  std::string name;
  DownloadKind kind = DownloadKind::kPackage;
  size_t bytes = 0;
  // A package row's largest file: the package is made of files of this
  // size, the last one smaller.
  size_t file_bytes = kDownloadFileBytes;
};

struct DownloadOutcome {
  // Non-empty when the row never got to send its reply, or the figures
  // could not be taken; the figures are then not to be used.
  std::string failure;
  size_t package_bytes = 0;  // what the package host served (kPackage: the archive's size)
  long baseline_kib = -1;    // VmRSS just before the reply went out
  // Peak resident set: a package row reads it from the reaped process
  // (ru_maxrss, since start: at least the start-up peak), a refusal row
  // from VmHWM reset at the baseline.
  long peak_kib = -1;
  bool staged = false;   // the process ended with the simulated reboot
  bool refused = false;  // the transport refused the reply for its size
  bool abandoned = false;  // the download thread gave the update up with its line
  double seconds = 0;      // from the reply going out to the verdict
  std::string output;      // the service's standard output

  long GrowthKib() const { return peak_kib >= 0 && baseline_kib >= 0 ? peak_kib - baseline_kib : -1; }
};

// Runs one row against `binary` ("" for the one this tree built).
DownloadOutcome RunDownloadRow(const DownloadRow& row, const std::string& binary);

}  // namespace zq_test
