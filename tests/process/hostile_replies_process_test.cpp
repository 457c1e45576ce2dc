// The real binary against peers that answer as a hostile network would, at
// the default log threshold: a reply of some MiB of cheap JSON values, a
// huge string, padded authentication replies, a run of the very character
// the cloud handed out as the key, a key that is not UTF-8. Whatever comes,
// the process stays alive, holds little more memory than before the reply
// (a camera board has tens of MiB), keeps its reports on time, and gets
// through authentication once the cloud answers sanely.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "support/build_kind.h"
#include "support/hostile_replies.h"

namespace zq_test {

// Failure messages name the row, not its bytes.
void PrintTo(const HostileRow& row, std::ostream* out) { *out << row.name; }

}  // namespace zq_test

namespace {

using zq_test::HostileOutcome;
using zq_test::HostileRow;
using zq_test::HostileTarget;

constexpr size_t kMiB = 1024 * 1024;

// Resident-set growth a reply may cause: the reply itself must never be
// held in full, let alone copied and parsed into a document several times
// its size.
constexpr long kGrowthLimitKib = 16 * 1024;

// The sizes are as small as still shows each fault: a 4 MiB array of zeros
// held parsed and walked costs over 100 MiB, a 16 MiB accepted reply over
// 600 MiB, an 8 MiB string some 40 MiB; masking 4 MiB of the key's only
// character takes minutes, 2 MiB of it in the authentication reply a minute.
const std::vector<HostileRow> kRows = {
    {"heartbeat reply of 4 MiB zeros", HostileTarget::kHeartbeat, 4 * kMiB},
    {"refused auth reply of 8 MiB twice", HostileTarget::kAuthRefused, 8 * kMiB, 2},
    {"accepted auth reply of 16 MiB", HostileTarget::kAuthAccepted, 16 * kMiB},
    {"monitor report reply string of 8 MiB", HostileTarget::kMonitorReport, 8 * kMiB},
    {"private cloud reply string of 16 MiB", HostileTarget::kPrivateCloud, 16 * kMiB},
    {"log collector reply string of 16 MiB", HostileTarget::kLogCollector, 16 * kMiB},
    {"key x then heartbeat reply of 4 MiB x", HostileTarget::kKeyThenHeartbeat, 4 * kMiB},
    {"auth reply with the key blank and 2 MiB of blanks", HostileTarget::kAuthBlankPadded, 2 * kMiB},
    {"rotated key holding FF FE", HostileTarget::kRotatedKey, 0},
};

// Shadow memory of the address and thread sanitizers grows with every page
// the process touches: there a resident-set figure says nothing about the
// program.
constexpr bool kResidentSetMeaningful = !zq_test::kSanitizerBuild;

class HostileRepliesProcessTest : public ::testing::TestWithParam<HostileRow> {};

TEST_P(HostileRepliesProcessTest, ProcessStaysSmallAndOnTime) {
  const HostileRow& row = GetParam();
  zq_test::HostileRunSettings settings;  // heartbeats every 1 s, monitoring reports every 2 s
  const auto bound = zq_test::NextReportBound(row, settings);
  // A report later than the bound fails the row either way: waiting longer
  // only makes a failing run slower.
  settings.report_limit = bound + std::chrono::seconds(1);
  HostileOutcome outcome = zq_test::RunHostileRow(row, settings);
  if (!outcome.skip_reason.empty()) GTEST_SKIP() << outcome.skip_reason;
  ASSERT_EQ("", outcome.setup_failure) << outcome.output_tail;
  printf("%s: resident %ld -> peak %ld KiB (%s), next report %s, CPU %.2f s\n", row.name.c_str(),
         outcome.baseline_kib, outcome.peak_kib, outcome.peak_reset ? "peak since the reply" : "peak since start",
         outcome.seconds_to_report ? (std::to_string(*outcome.seconds_to_report) + " s").c_str() : "none",
         outcome.cpu_seconds);

  EXPECT_TRUE(outcome.alive) << outcome.exit_text << "\n" << outcome.output_tail;
  if (kResidentSetMeaningful) {
    EXPECT_LT(outcome.GrowthKib(), kGrowthLimitKib)
        << "resident set " << outcome.baseline_kib << " KiB just before the reply, peak " << outcome.peak_kib << " KiB";
  }
  if (zq_test::IsAuthenticationRow(row)) {
    EXPECT_TRUE(outcome.authenticated) << "no report after the authentication replies\n" << outcome.output_tail;
  }
  ASSERT_TRUE(outcome.seconds_to_report.has_value())
      << "no report within " << settings.report_limit.count() << " ms of the reply\n" << outcome.output_tail;
  EXPECT_LE(*outcome.seconds_to_report * 1000.0, static_cast<double>(bound.count()));

  if (row.target == HostileTarget::kRotatedKey) {
    // Refused as undecodable or stored so a strict reader takes it: either
    // way the file stays strict JSON and the key it held is not lost.
    zq_test::StoredKeys stored = zq_test::ReadStoredKeysStrictly(outcome.base_config);
    ASSERT_EQ("", stored.error) << outcome.base_config;
    EXPECT_TRUE(stored.new_key == "initial-key" || stored.old_key == "initial-key")
        << "NewKey " << stored.new_key << ", OldKey " << stored.old_key;
    EXPECT_FALSE(stored.new_key.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HostileRepliesProcessTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<HostileRow>& info) { return zq_test::HostileRowId(info.param); });

}  // namespace
