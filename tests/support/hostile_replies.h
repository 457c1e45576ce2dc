// One hostile reply against the real binary, measured: the service runs
// against the cloud fake (short report periods), the fake camera software,
// the private cloud and a log collector, at the default log threshold; once
// it is settled, one peer answers an exchange with what a hostile network
// would send, and the row records what that cost the process (peak resident
// growth from the resident set just before, CPU) and how long it took until
// the next report left the device. The whole-process test asserts bounds on
// these figures; the benchmark prints them at larger sizes.
//
//   zq_test::HostileRow row{"heartbeat reply of 4 MiB [0,0,...]", zq_test::HostileTarget::kHeartbeat, 4 << 20};
//   zq_test::HostileOutcome outcome = zq_test::RunHostileRow(row, zq_test::HostileRunSettings{});
//   EXPECT_LT(outcome.GrowthKib(), 16 * 1024);
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace zq_test {

enum class HostileTarget {
  kHeartbeat,         // the next heartbeat's reply: `bytes` of [0,0,...]
  kMonitorReport,     // the next monitoring report's reply: a JSON string of `bytes`
  kPrivateCloud,      // the private cloud's answer to the next face upload: a JSON string of `bytes`
  kLogCollector,      // the log collector's answer to the next batch: a JSON string of `bytes`
  kAuthRefused,       // `times` refusals padded to `bytes`, then an accepting reply
  kAuthAccepted,      // an accepting reply padded to `bytes`, then (if asked again) a plain one
  // An accepting reply handing out the key " " (one blank) with a string of
  // `bytes` blanks in it: white space padding made of the key's own character.
  kAuthBlankPadded,
  kRotatedKey,        // an accepting reply handing out a key holding the bytes FF FE
  kKeyThenHeartbeat,  // the cloud hands out the key "x"; the next heartbeat's reply is `bytes` of 'x'
  // The camera software puts a face list naming one image of `bytes` `times`
  // times; the row ends once its upload reached the private cloud.
  kFaceListRepeatingAnImage,
};

struct HostileRow {
  std::string name;  // what the peer sends, for messages and tables
  HostileTarget target = HostileTarget::kHeartbeat;
  size_t bytes = 0;
  int times = 1;  // kAuthRefused: refusals before the accept; kFaceListRepeatingAnImage: groups in the list
};

// A name for test parameters and tables: letters and digits of `row.name`.
std::string HostileRowId(const HostileRow& row);
bool IsAuthenticationRow(const HostileRow& row);

struct HostileRunSettings {
  std::string binary;  // the service program; "" is the one this tree built
  int heartbeat_gap = 1;  // seconds, handed out by the cloud fake
  int monitor_gap = 2;
  // Longest wait for the report after the hostile exchange; a row whose
  // report does not come by then is recorded as such, not waited out.
  std::chrono::milliseconds report_limit{std::chrono::seconds(30)};
  // Longest wait for each step before the hostile reply (start-up, the
  // exchange the hostile reply answers).
  std::chrono::milliseconds settle_limit{std::chrono::seconds(30)};
};

// The bound on the next report: two periods of the report that follows
// plus 5 s, from the hostile exchange on; an authentication row adds the
// 2 s retry the refusal costs.
std::chrono::milliseconds NextReportBound(const HostileRow& row, const HostileRunSettings& settings);

struct HostileOutcome {
  // Non-empty when the row never got to its hostile reply (the service did
  // not start, a fake could not be reached); the figures below are then empty.
  std::string setup_failure;
  // Non-empty when the row cannot run on this machine (the log sink's fixed
  // directory exists here).
  std::string skip_reason;
  bool hostile_sent = false;   // the peer received the request the hostile reply answered
  bool alive = false;          // the service still ran at the end of the row
  std::string exit_text;       // how it ended when it did not
  long baseline_kib = -1;      // VmRSS just before the hostile reply
  long peak_kib = -1;          // VmHWM at the end of the row
  long resident_after_kib = -1;  // VmRSS at the end of the row: what stays held
  bool peak_reset = false;     // VmHWM was reset to the baseline (else it counts from the start)
  // Seconds from the hostile exchange to the next report; empty when none came in time.
  std::optional<double> seconds_to_report;
  // Authentication rows: a report, which needs an accepted authentication, left the device.
  bool authenticated = false;
  double cpu_seconds = 0;      // the service's CPU time over the row, from the baseline on
  double row_seconds = 0;      // wall time from the baseline to the end of the row
  std::string base_config;     // BaseConfig.json at the end of the row
  std::string output_tail;     // the end of the service's standard output and error

  long GrowthKib() const { return peak_kib >= 0 && baseline_kib >= 0 ? peak_kib - baseline_kib : -1; }
};

HostileOutcome RunHostileRow(const HostileRow& row, const HostileRunSettings& settings);

// "NewKey" and "OldKey" of a stored BaseConfig.json read by a strict
// reader, which refuses text that is not UTF-8; "" and an error when it does
// not parse.
struct StoredKeys {
  std::string error;
  std::string new_key;
  std::string old_key;
};
StoredKeys ReadStoredKeysStrictly(const std::string& text);

}  // namespace zq_test
