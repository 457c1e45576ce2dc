// A power cut at every step of the real binary's write sequences: the
// binary's file-system calls are recorded once (strace), and every state a
// cut could leave in the install root is rebuilt from a snapshot taken
// before, in order (what kill -9 leaves) and with the unsynced data lost
// (what a flash file system may leave). Every state is checked; the real
// binary is started on a few of them. Nothing is aimed by the clock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/temporary_name.h"
#include "base/utils.h"
#include "platform/platform.h"
#include "support/cloud_backend.h"
#include "support/crash_replay.h"
#include "support/power_cut_checks.h"
#include "support/syscall_trace.h"
#include "support/upgrade_package.h"

namespace {

using namespace std::chrono_literals;
using zq_test::CrashModel;
using zq_test::CrashReplay;
using zq_test::TreeState;

const char* const kAuthenticatedLine = "Request common config succeed!\n";
const char* const kDocument = "slotA/config/BaseConfig.json";
const CrashModel kModels[] = {CrashModel::kOrdered, CrashModel::kWriteBack};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string WorkingDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "/";
}

// The verdict of every state of one replay under one model.
struct ModelVerdict {
  std::vector<size_t> failing;  // cuts whose state violates a check
  std::string account;          // the first few of them, with their violations
};

using StateCheck = std::function<std::vector<std::string>(const TreeState&)>;

ModelVerdict CheckEveryState(const CrashReplay& replay, CrashModel model, const StateCheck& check) {
  ModelVerdict verdict;
  for (size_t cut = 0; cut < replay.states(); ++cut) {
    std::vector<std::string> violations = check(replay.State(model, cut));
    if (violations.empty()) continue;
    verdict.failing.push_back(cut);
    if (verdict.failing.size() > 3) continue;
    verdict.account += std::string(zq_test::CrashModelName(model)) + ", cut " + replay.DescribeCut(cut) + ":\n";
    for (const std::string& violation : violations) verdict.account += "    " + violation + "\n";
  }
  return verdict;
}

// The cut in the middle of those whose state is neither the first nor the last.
size_t MiddleCut(const CrashReplay& replay, CrashModel model) {
  std::vector<size_t> between;
  const size_t last = replay.states() - 1;
  for (size_t cut = 1; cut < last; ++cut) {
    if (replay.State(model, cut) != replay.State(model, 0) && replay.State(model, cut) != replay.State(model, last)) {
      between.push_back(cut);
    }
  }
  return between.empty() ? last / 2 : between[between.size() / 2];
}

struct ChosenState {
  CrashModel model;
  size_t cut;
};

// The first cut whose state holds a writer's temporary file with all its
// bytes (a name the system's temporary form or ending ".tmp").
size_t FirstCutWithATemporary(const CrashReplay& replay) {
  size_t best = 0;
  size_t best_bytes = 0;
  for (size_t cut = 0; cut < replay.states(); ++cut) {
    for (const auto& entry : replay.ordered[cut]) {
      std::string name = zq_test::BareName(entry.first);
      bool temporary = zq_camera_service::IsTemporaryName(name) ||
                       (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0);
      if (temporary && entry.second.bytes.size() > best_bytes) {
        best = cut;
        best_bytes = entry.second.bytes.size();
      }
    }
    if (best_bytes > 0) return best;
  }
  return 0;
}

// The states the real binary is started on: the first, the middle and the
// last one, one that holds a temporary file left by the cut, the
// write-back middle, and the first failing one of each model.
std::vector<ChosenState> StatesToStartOn(const CrashReplay& replay, const ModelVerdict verdicts[2]) {
  std::vector<ChosenState> chosen{{CrashModel::kOrdered, 0},
                                  {CrashModel::kOrdered, MiddleCut(replay, CrashModel::kOrdered)},
                                  {CrashModel::kOrdered, replay.states() - 1},
                                  {CrashModel::kOrdered, FirstCutWithATemporary(replay)},
                                  {CrashModel::kWriteBack, MiddleCut(replay, CrashModel::kWriteBack)}};
  for (int m = 0; m < 2; ++m) {
    if (!verdicts[m].failing.empty()) chosen.push_back({kModels[m], verdicts[m].failing.front()});
  }
  std::vector<ChosenState> distinct;
  for (const ChosenState& state : chosen) {
    bool seen = false;
    for (const ChosenState& other : distinct) {
      seen = seen || replay.State(other.model, other.cut) == replay.State(state.model, state.cut);
    }
    if (!seen) distinct.push_back(state);
  }
  return distinct;
}

class PowerCutReplayTest : public zq_test::CloudProcessTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(zq_test::StraceProgram().empty()) << "strace is not installed: scripts/setup installs it";
    std::string why = zq_test::TracingUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
  }

  // Snapshots the install root, runs `program` under the recorder until
  // `drive` returns, and rebuilds every state. The last ordered state must
  // be what the disk holds: the replay followed every change.
  CrashReplay RecordAndReplay(const std::string& program, const std::vector<std::string>& args,
                              const std::function<void(zq_test::TracedProgram&)>& drive, TreeState* before) {
    zq_test::FileSystemModel snapshot;
    std::string error;
    EXPECT_TRUE(zq_test::FileSystemModel::FromDirectory(root_.path(), &snapshot, &error)) << error;
    *before = snapshot.View(CrashModel::kOrdered);
    auto began = std::chrono::steady_clock::now();
    zq_test::SyscallTrace trace;
    {
      zq_test::TracedProgram traced(environment_.env, program, args);
      drive(traced);
      trace = traced.Finish(120s);
      last_status_ = traced.status();
      last_stdout_ = traced.strace().Stdout();
    }
    record_seconds_ = SecondsSince(began);
    began = std::chrono::steady_clock::now();
    CrashReplay replay = zq_test::ReplayTrace(trace, snapshot, {root_.path(), WorkingDirectory(), zq_test::CurrentUmask()});
    std::string all_errors;
    for (const std::string& line : replay.errors) all_errors += line + "\n";
    EXPECT_TRUE(replay.errors.empty()) << "the replay could not follow the program:\n" << all_errors;
    TreeState now;
    EXPECT_TRUE(zq_test::ReadTreeState(root_.path(), &now, &error)) << error;
    EXPECT_EQ("", zq_test::TreeStateDifference(now, replay.ordered.back()))
        << "the replayed tree is not what the program left on the disk";
    replay_seconds_ = SecondsSince(began);
    return replay;
  }

  // Checks every state under both models and prints the figures.
  void CheckAll(const char* what, const CrashReplay& replay, const StateCheck& check, ModelVerdict verdicts[2]) {
    auto began = std::chrono::steady_clock::now();
    for (int m = 0; m < 2; ++m) verdicts[m] = CheckEveryState(replay, kModels[m], check);
    double checked = SecondsSince(began);
    printf("[ figures  ] %s: %zu calls traced, %zu steps; ordered: %zu states, %zu failing; write-back: %zu states, "
           "%zu failing; recorded in %.2f s, rebuilt in %.2f s, checked in %.2f s\n",
           what, replay.calls_seen, replay.steps.size(), replay.states(), verdicts[0].failing.size(), replay.states(),
           verdicts[1].failing.size(), record_seconds_, replay_seconds_, checked);
  }

  std::string StateTitle(const CrashReplay& replay, const ChosenState& state) {
    return std::string(zq_test::CrashModelName(state.model)) + " state " + replay.DescribeCut(state.cut);
  }

  void PutState(const CrashReplay& replay, const ChosenState& state) {
    std::string error;
    ASSERT_TRUE(zq_test::WriteTreeState(replay.State(state.model, state.cut), root_.path(), &error)) << error;
  }

  std::optional<int> last_status_;
  std::string last_stdout_;
  double record_seconds_ = 0;
  double replay_seconds_ = 0;
};

TEST_F(PowerCutReplayTest, KeyRotationLeavesTheOldOrTheNewDocumentAfterACutAtEveryStep) {
  const std::string document = root_.ConfigDir() + "BaseConfig.json";
  zq_test::RotationExpectation expected;
  expected.document = kDocument;
  expected.old_text = zq_test::ReadFile(document);
  expected.old_key = cloud_.ExpectedKey();
  expected.new_key = "rotated-key";
  zq_test::CloudSettings settings = cloud_.Settings();
  settings.key = expected.new_key;
  cloud_.SetSettings(settings);

  CrashReplay replay = RecordAndReplay(
      ZQ_SERVICE_BINARY, {},
      [&](zq_test::TracedProgram& traced) {
        ASSERT_TRUE(traced.strace().WaitForStdout(kAuthenticatedLine, 60s)) << traced.strace().Stdout();
        pid_t service = traced.TracedPid();
        ASSERT_GT(service, 0);
        kill(service, SIGKILL);
      },
      &expected.before);
  // The rotation itself: the new document holds the new key and keeps the old one.
  expected.new_text = zq_test::ReadFile(document);
  ASSERT_EQ(expected.new_key, zq_test::StrictlyParsedKey(expected.new_text)) << expected.new_text;
  ASSERT_NE(std::string::npos, expected.new_text.find("\"OldKey\": \"" + expected.old_key + "\""));
  ASSERT_GT(replay.steps.size(), 0u);

  ModelVerdict verdicts[2];
  CheckAll("key rotation", replay,
           [&](const TreeState& state) { return zq_test::RotationViolations(state, expected); }, verdicts);
  for (const ModelVerdict& verdict : verdicts) EXPECT_TRUE(verdict.failing.empty()) << verdict.account;
  // Both documents occur: the cuts do fall before and after the rotation.
  bool old_seen = false;
  bool new_seen = false;
  for (size_t cut = 0; cut < replay.states(); ++cut) {
    auto found = replay.ordered[cut].find(kDocument);
    old_seen = old_seen || (found != replay.ordered[cut].end() && found->second.bytes == expected.old_text);
    new_seen = new_seen || (found != replay.ordered[cut].end() && found->second.bytes == expected.new_text);
  }
  EXPECT_TRUE(old_seen && new_seen);

  // The real binary on some of the states: it starts, signs with the key
  // the document holds, and saves the next rotation (over whatever
  // temporary the cut left).
  settings.key = "key-after-the-cut";
  cloud_.SetSettings(settings);
  for (const ChosenState& state : StatesToStartOn(replay, verdicts)) {
    SCOPED_TRACE(StateTitle(replay, state));
    printf("[ figures  ] the service started on the %s\n", StateTitle(replay, state).c_str());
    PutState(replay, state);
    std::string held = zq_test::StrictlyParsedKey(zq_test::ReadFile(document));
    if (held.empty()) {
      // A failing state: what the device makes of it is shown, not judged again.
      auto service = StartService();
      bool gave_up = service->WaitForStdout("Failed to get base config", 60s);
      printf("[ figures  ] the service on the %s: %s\n", StateTitle(replay, state).c_str(),
             gave_up ? "finds no configuration and never authenticates" : "did not say");
      continue;
    }
    cloud_.SetExpectedKey(held);
    size_t accepted = 0;
    for (const auto& request : cloud_.AuthRequests()) accepted += request.accepted ? 1 : 0;
    auto service = StartService();
    ASSERT_TRUE(cloud_.WaitForAccepted(accepted + 1, 60s)) << service->Stdout();
    ASSERT_TRUE(service->WaitForStdout(kAuthenticatedLine, 60s)) << service->Stdout();
    const auto requests = cloud_.AuthRequests();
    auto last_accepted = std::find_if(requests.rbegin(), requests.rend(), [](const auto& r) { return r.accepted; });
    ASSERT_NE(requests.rend(), last_accepted);
    EXPECT_EQ(held, last_accepted->signed_with);
    EXPECT_TRUE(last_accepted->signature_valid);
    EXPECT_EQ("key-after-the-cut", zq_test::StrictlyParsedKey(zq_test::ReadFile(document)));
    service->Kill();
  }
}

// The backup slot holds an older complete staging, some of whose files the
// package replaces.
class PowerCutStagingTest : public PowerCutReplayTest {
 protected:
  PowerCutStagingTest() {
    zq_test::PopulateRunningSlot(root_, 3);
    zq_test::WriteCloudConfigs(root_, cloud_, 3);
    zq_test::WriteFile(root_.SlotB() + "/config/VersionConfig.json", "{\"major\":2,\"state\":0}");
    zq_test::WriteFile(root_.SlotB() + "/bin/zq_camera_service", std::string("\x7f" "ELF program v2", 15));
    chmod((root_.SlotB() + "/bin/zq_camera_service").c_str(), 0755);
    zq_test::WriteFile(root_.SlotB() + "/lib/libnew.so", std::string(4000, 'o'));
    zq_test::WriteFile(root_.SlotB() + "/etc/special.conf", "older special\n");
    zq_test::WriteFile(root_.SlotB() + "/lib/libold.so", std::string(3000, 'l'));
  }

  // Three and a half pieces of the staging's streamed write, different in
  // each piece, so that a state with a piece missing or out of place shows.
  static std::string LargeFileBytes() {
    std::string bytes(7 * zq_camera_service::Utils::kSafeWritePiece / 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + (i / 4096) % 26);
    return bytes;
  }

  static zq_test::UpgradePackageBuilder Package() {
    zq_test::UpgradePackageBuilder builder = zq_test::UpdateOverRunningSlot(4);
    builder.AddFile("/pkg/data/table.bin", std::string(7000, 't'))
        // Several pieces of a streamed write: the cuts fall between them.
        .AddFile("/lib/libbig.so", LargeFileBytes());
    return builder;
  }

  void Announce(const zq_test::UpgradePackageBuilder& builder) {
    std::string bytes = builder.Build();
    cloud_.server().SetReply("GET", zq_test::kPackagePath, zq_test::HttpReply::Bytes(bytes, "application/zip"));
    zq_test::AnnounceUpdate(cloud_, 4, cloud_.url() + zq_test::kPackagePath, zq_test::Md5Hex(bytes));
  }

  static std::string CompleteDocument(const zq_test::UpgradePackageBuilder& builder) {
    std::string text = builder.DocumentText();
    return text.substr(0, text.size() - 1) + ",\"state\":0}";
  }
};

TEST_F(PowerCutStagingTest, StagingOverACompleteSlotNeverLeavesAFalseCompleteSlotAfterACutAtEveryStep) {
  const zq_test::UpgradePackageBuilder builder = Package();
  Announce(builder);
  const zq_test::Tree running = zq_test::SnapshotTree(root_.SlotA());
  zq_test::StagingExpectation expected;
  expected.complete = zq_test::ExpectedStagedTree(running, builder);
  expected.complete_document = CompleteDocument(builder);

  CrashReplay replay = RecordAndReplay(
      ZQ_SERVICE_BINARY, {}, [](zq_test::TracedProgram&) {}, &expected.before);
  ASSERT_EQ(zq_camera_service::platform::kSimulatedRebootStatus, last_status_.value_or(-1)) << last_stdout_;
  ASSERT_GT(replay.steps.size(), 0u);

  ModelVerdict verdicts[2];
  CheckAll("staging", replay, [&](const TreeState& state) { return zq_test::StagingViolations(state, expected); },
           verdicts);
  for (const ModelVerdict& verdict : verdicts) EXPECT_TRUE(verdict.failing.empty()) << verdict.account;
  // The last state is the new complete slot, the first the older one.
  EXPECT_EQ(expected.complete_document, replay.ordered.back().at("slotB/" + std::string(zq_test::kSlotDocument)).bytes);
  EXPECT_EQ(expected.complete_document,
            replay.write_back.back().at("slotB/" + std::string(zq_test::kSlotDocument)).bytes);
  // The large file goes in pieces: some state holds its temporary file with
  // some of them written, not all.
  const std::string large = LargeFileBytes();
  bool cut_mid_write = false;
  for (size_t cut = 0; cut < replay.states() && !cut_mid_write; ++cut) {
    for (const auto& entry : replay.ordered[cut]) {
      const std::string name = zq_test::BareName(entry.first);
      const std::string& bytes = entry.second.bytes;
      cut_mid_write = cut_mid_write || (name.rfind(".libbig.so.", 0) == 0 && zq_camera_service::IsTemporaryName(name) &&
                                        !bytes.empty() && bytes.size() < large.size() &&
                                        large.compare(0, bytes.size(), bytes) == 0);
    }
  }
  EXPECT_TRUE(cut_mid_write) << "no cut falls between the pieces of the large file";

  // The real binary on some of the states: it starts, stages the package
  // again and reboots, and the slot is complete.
  for (const ChosenState& state : StatesToStartOn(replay, verdicts)) {
    SCOPED_TRACE(StateTitle(replay, state));
    printf("[ figures  ] the service started on the %s\n", StateTitle(replay, state).c_str());
    PutState(replay, state);
    auto service = StartService();
    auto status = service->WaitForExit(90s);
    ASSERT_TRUE(status.has_value()) << service->Stdout();
    EXPECT_EQ(zq_camera_service::platform::kSimulatedRebootStatus, *status) << service->Stdout();
    EXPECT_EQ("", zq_test::TreeDifference(running, zq_test::SnapshotTree(root_.SlotA())));
    zq_test::Tree staged = zq_test::SnapshotTree(root_.SlotB());
    EXPECT_EQ(expected.complete_document, staged[zq_test::kSlotDocument]);
    staged.erase(zq_test::kSlotDocument);
    EXPECT_EQ("", zq_test::TreeDifference(expected.complete, staged));
    struct stat info {};
    ASSERT_EQ(0, stat((root_.SlotB() + "/bin/zq_camera_service").c_str(), &info));
    EXPECT_NE(0u, info.st_mode & S_IXUSR);
  }
}

// The same recorder, rebuild and checks catch writers that are not safe
// against a power cut, and pass careful ones.
TEST_F(PowerCutStagingTest, ReplayCatchesCarelessWritersAndPassesCarefulOnes) {
  const std::string writer = std::string(ZQ_BINARY_DIR) + "/fake_document_writer";
  zq_test::TempDir sources("zqsources");
  const std::string rotated = sources / "rotated.json";
  const std::string old_text = root_.ReadBaseConfig();
  std::string new_text = old_text;
  const std::string old_key_member = "\"NewKey\": \"" + cloud_.ExpectedKey() + "\"";
  ASSERT_NE(std::string::npos, new_text.find(old_key_member));
  new_text.replace(new_text.find(old_key_member), old_key_member.size(), "\"NewKey\": \"rotated-key\"");
  zq_test::WriteFile(rotated, new_text);
  const std::string library = sources / "libnew.so";
  zq_test::WriteFile(library, std::string(9000, 'N'));
  const std::string unfinished = sources / "unfinished.json";
  zq_test::WriteFile(unfinished, "{\"major\":4,\"state\":1}");
  const std::string complete = sources / "complete.json";
  zq_test::WriteFile(complete, "{\"major\":4,\"state\":0}");

  const std::string document = root_.ConfigDir() + "BaseConfig.json";
  const std::string slot_library = root_ / "bak/lib/libnew.so";
  const std::string slot_document = root_ / "bak/config/VersionConfig.json";
  struct Case {
    const char* name;
    bool staging;  // judged as a staging (else as a key rotation)
    std::vector<std::string> args;
    bool ordered_fails;
    bool write_back_fails;
  };
  const std::vector<Case> cases = {
      {"document rewritten in place", false, {"in-place", document, rotated}, true, true},
      {"document renamed into place without fsync", false, {"rename-unsynced", document, rotated}, false, true},
      {"document replaced with care", false, {"careful", document, rotated}, false, false},
      {"slot file rewritten in place under a complete document", true,
       {"in-place", slot_library, library, "careful", slot_document, complete}, true, true},
      {"slot file renamed without fsync before the complete document", true,
       {"remove", slot_document, "-", "rename-unsynced", slot_library, library, "careful", slot_document, complete},
       false, true},
      {"slot marked unfinished, written and marked complete with care", true,
       {"remove", slot_document, "-", "careful", slot_library, library, "careful", slot_document, complete}, false,
       false},
  };
  TreeState initial;
  std::string error;
  ASSERT_TRUE(zq_test::ReadTreeState(root_.path(), &initial, &error)) << error;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(zq_test::WriteTreeState(initial, root_.path(), &error)) << error;
    TreeState before;
    CrashReplay replay = RecordAndReplay(writer, c.args, [](zq_test::TracedProgram&) {}, &before);
    ASSERT_EQ(0, last_status_.value_or(-1)) << "the writer failed";
    StateCheck check;
    if (c.staging) {
      zq_test::StagingExpectation expected;
      expected.before = before;
      expected.complete = zq_test::SubTree(before, "slotB");
      expected.complete.erase(zq_test::kSlotDocument);
      expected.complete["lib/libnew.so"] = std::string(9000, 'N');
      expected.complete_document = zq_test::ReadFile(complete);
      check = [expected](const TreeState& state) { return zq_test::StagingViolations(state, expected); };
    } else {
      zq_test::RotationExpectation expected;
      expected.before = before;
      expected.document = kDocument;
      expected.old_text = old_text;
      expected.new_text = new_text;
      expected.old_key = cloud_.ExpectedKey();
      expected.new_key = "rotated-key";
      check = [expected](const TreeState& state) { return zq_test::RotationViolations(state, expected); };
    }
    ModelVerdict verdicts[2];
    CheckAll(c.name, replay, check, verdicts);
    EXPECT_EQ(c.ordered_fails, !verdicts[0].failing.empty()) << verdicts[0].account;
    EXPECT_EQ(c.write_back_fails, !verdicts[1].failing.empty()) << verdicts[1].account;
    if (!verdicts[0].failing.empty() || !verdicts[1].failing.empty()) {
      printf("%s%s", verdicts[0].account.c_str(), verdicts[1].account.c_str());
    }
  }
}

}  // namespace
