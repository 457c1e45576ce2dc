#include "support/hostile_replies.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <mutex>
#include <thread>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "fakes/face_share_buf_writer.h"
#include "fakes/hostile_bodies.h"
#include "fakes/private_cloud_fake.h"
#include "proto/retail_preprocess.pb.h"
#include "support/camera_peer.h"
#include "support/child_process.h"
#include "support/cloud_backend.h"
#include "support/install_root.h"
#include "support/proc_figures.h"

namespace zq_test {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The authentication retry of a refused or unanswered request.
constexpr auto kAuthRetry = 2s;
// A key holding bytes that are not UTF-8; the rest keeps it printable.
const char* const kNonUtf8Key = "rotated-\xFF\xFE-key";

// Answers the first request it sees with the hostile reply and every later
// one with the normal reply, remembering when the hostile one arrived. The
// choice happens in the handler, so no request slips between scripting and
// counting. Shared with the server's handler, which may outlive the row's
// own reference.
class OneHostileAnswer {
 public:
  OneHostileAnswer(HttpReply hostile, HttpReply normal) : hostile_(std::move(hostile)), normal_(std::move(normal)) {}

  static HttpHandler HandlerOf(const std::shared_ptr<OneHostileAnswer>& answer) {
    return [answer](const HttpRequestRecord& record) { return answer->Answer(record); };
  }

  std::optional<Clock::time_point> ServedAt() {
    std::lock_guard<std::mutex> lock(mutex_);
    return served_at_;
  }

 private:
  HttpReply Answer(const HttpRequestRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (served_at_) return normal_;
    served_at_ = record.arrival;
    return std::move(hostile_);
  }

  std::mutex mutex_;
  HttpReply hostile_;
  HttpReply normal_;
  std::optional<Clock::time_point> served_at_;
};

// Polls `ready` until it holds, the service ends, or `deadline` passes.
template <typename Ready>
bool WaitWhileRunning(ChildProcess& service, Clock::time_point deadline, Ready ready) {
  for (;;) {
    if (ready()) return true;
    if (!service.Running() || Clock::now() >= deadline) return ready();
    std::this_thread::sleep_for(50ms);
  }
}

// The arrival of the first request to `path` after `after`.
std::optional<Clock::time_point> FirstArrivalAfter(const HttpFakeServer& server, const std::string& path,
                                                   Clock::time_point after) {
  for (const HttpRequestRecord& request : server.RequestsTo(path)) {
    if (request.arrival > after) return request.arrival;
  }
  return std::nullopt;
}

std::string Tail(const std::string& text, size_t length) {
  return text.size() <= length ? text : "..." + text.substr(text.size() - length);
}

std::string ExitText(int status) {
  if (status > 128) return "ended by signal " + std::to_string(status - 128);
  return "exited with status " + std::to_string(status);
}

std::string FaceResultBytes() {
  zarnu::CommonResultRsp result;
  result.set_error_code(0);
  result.set_error_msg("ok");
  return result.SerializeAsString();
}

// The report whose next arrival the row times.
const char* FollowingReportPath(HostileTarget target) {
  return target == HostileTarget::kMonitorReport ? CloudBackendFake::kMonitorPath : CloudBackendFake::kHeartbeatPath;
}

// Everything one row runs against, started in the order the service needs.
struct Stage {
  explicit Stage(const HostileRow& row, const HostileRunSettings& settings) : writer(share.path()) {
    std::string config = CloudBaseConfig(cloud, settings.heartbeat_gap, settings.monitor_gap);
    root.WriteBaseConfig(WithPicUploadUrl(cloud, config, private_cloud.url()));
    root.WriteVersionConfig(VersionConfig(1));
    collector.SetReply("POST", "/", HttpReply::Text("ok"));
    if (row.target == HostileTarget::kKeyThenHeartbeat) {
      CloudSettings handed_out = cloud.Settings();
      handed_out.key = "x";
      cloud.SetSettings(handed_out);
    }
  }

  CameraPeer camera;  // first: it holds the fixed-ports lock
  InstallRoot root;
  CloudBackendFake cloud;
  PrivateCloudFake private_cloud;
  HttpFakeServer collector;
  TempDir share{"zqhostile-share"};
  FaceShareBufWriter writer;
  uint64_t next_list = 1;
};

// Puts face lists until the private cloud received one; false when none
// came through.
bool OpenFaceRoad(Stage& stage, ChildProcess& service, Clock::time_point deadline) {
  while (Clock::now() < deadline && service.Running()) {
    FaceGroup probe;
    probe.timestamp = 1;
    probe.datatype = 9;
    probe.objectID = static_cast<int>(stage.next_list);
    stage.writer.PutImage(probe.timestamp, probe.datatype, probe.objectID, "probe");
    stage.writer.PutList(stage.next_list++, FaceShareBufWriter::ListText({probe}));
    if (stage.private_cloud.WaitForUploads(1, 300ms)) {
      // A probe read just before may still be on its way.
      std::this_thread::sleep_for(1s);
      return true;
    }
  }
  return false;
}

// Scripts the authentication replies of an authentication row: first a
// small refusal (its request marks the moment just before the hostile
// replies), then the hostile ones; the fake accepts every later request
// signed with the key it expects.
void ScriptAuthentication(const HostileRow& row, CloudBackendFake& cloud) {
  cloud.QueueAuthError("Busy", "try again");
  switch (row.target) {
    case HostileTarget::kAuthRefused:
      for (int i = 0; i < row.times; ++i) {
        cloud.QueueAuthReply(HttpReply::Json(PaddedResponse(cloud.ErrorReplyBody(), row.bytes)));
      }
      break;
    case HostileTarget::kAuthAccepted: {
      size_t bytes = row.bytes;
      cloud.QueueAuthAcceptShaped([bytes](const std::string& body) { return PaddedResponse(body, bytes); });
      break;
    }
    case HostileTarget::kAuthBlankPadded: {
      size_t bytes = row.bytes;
      CloudSettings blank = cloud.Settings();
      blank.key = " ";
      cloud.QueueAuthAcceptShaped(
          [bytes](const std::string& body) { return PaddedResponseString(body, body.size() + bytes, ' '); }, blank);
      // Refused as too large, the request is asked again with the stored key.
      cloud.QueueAuthAccept();
      break;
    }
    case HostileTarget::kRotatedKey: {
      CloudSettings odd = cloud.Settings();
      odd.key = kNonUtf8Key;
      cloud.QueueAuthAcceptShaped(nullptr, odd);
      // A service that refused such a reply as undecodable would ask again,
      // signed with the key it kept; that request is accepted, keeping the
      // key. One that takes the reply and only declines to store the key
      // never asks.
      cloud.QueueAuthAccept();
      break;
    }
    default:
      break;
  }
}

int HostileAuthReplies(const HostileRow& row) { return row.target == HostileTarget::kAuthRefused ? row.times : 1; }

// The exchange a non-authentication row spoils: which fake answers it, on
// which path, and what it answers before and after the hostile reply.
struct HostileExchange {
  HttpFakeServer* server = nullptr;
  std::string path;
  HttpReply hostile;
  HttpReply normal = HttpReply::Json("{\"Response\":{}}");
};

HostileExchange PlanExchange(const HostileRow& row, Stage& stage) {
  HostileExchange exchange;
  exchange.server = &stage.cloud.server();
  exchange.path = CloudBackendFake::kHeartbeatPath;
  switch (row.target) {
    case HostileTarget::kKeyThenHeartbeat:
      exchange.hostile = HttpReply::Json(RepeatedText(row.bytes, 'x'));
      break;
    case HostileTarget::kMonitorReport:
      exchange.path = CloudBackendFake::kMonitorPath;
      exchange.hostile = HttpReply::Json(JsonStringText(row.bytes));
      break;
    case HostileTarget::kPrivateCloud:
      exchange.server = &stage.private_cloud.server();
      exchange.path = PrivateCloudFake::kPath;
      exchange.normal = HttpReply::Bytes(FaceResultBytes(), "application/x-protobuf");
      exchange.hostile = HttpReply::Bytes(JsonStringText(row.bytes), "application/x-protobuf");
      break;
    case HostileTarget::kLogCollector:
      exchange.server = &stage.collector;
      exchange.path = "/";
      exchange.normal = HttpReply::Text("ok");
      exchange.hostile = HttpReply::Json(JsonStringText(row.bytes));
      break;
    default:  // kHeartbeat
      exchange.hostile = HttpReply::Json(ZeroArrayText(row.bytes));
      break;
  }
  return exchange;
}

// One row's service and the figures taken of it.
class RowRun {
 public:
  RowRun(const HostileRow& row, const HostileRunSettings& settings, Stage& stage, const Env& env)
      : row_(row), settings_(settings), stage_(stage),
        service_(env, settings.binary.empty() ? std::string(ZQ_SERVICE_BINARY) : settings.binary) {}

  HostileOutcome Run() {
    std::optional<Clock::time_point> hostile_at =
        IsAuthenticationRow(row_) ? AwaitHostileAuthentication() : AwaitHostileExchange();
    if (!outcome_.setup_failure.empty()) return Finish();
    outcome_.hostile_sent = hostile_at.has_value();
    if (!outcome_.hostile_sent) {
      outcome_.setup_failure = "the hostile reply was never asked for";
      return Finish();
    }
    AwaitNextReport(*hostile_at);
    outcome_.peak_kib = PeakResidentKib(service_.pid());
    outcome_.resident_after_kib = ResidentKib(service_.pid());
    long ticks = CpuTicks(service_.pid());
    if (ticks >= ticks_before_) {
      outcome_.cpu_seconds = static_cast<double>(ticks - ticks_before_) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    outcome_.row_seconds = std::chrono::duration<double>(Clock::now() - began_).count();
    return Finish();
  }

 private:
  void TakeBaseline() {
    outcome_.peak_reset = ResetPeakResident(service_.pid());
    outcome_.baseline_kib = ResidentKib(service_.pid());
    ticks_before_ = CpuTicks(service_.pid());
    began_ = Clock::now();
  }

  // The baseline is taken at the first request, which gets a small
  // refusal; the hostile replies answer the requests after it.
  std::optional<Clock::time_point> AwaitHostileAuthentication() {
    CloudBackendFake& cloud = stage_.cloud;
    auto deadline = Clock::now() + settings_.settle_limit;
    if (!WaitWhileRunning(service_, deadline, [&] { return !cloud.AuthRequests().empty(); })) {
      outcome_.setup_failure = "no authentication request came";
      return std::nullopt;
    }
    TakeBaseline();
    const size_t last = static_cast<size_t>(HostileAuthReplies(row_));
    deadline = Clock::now() + settings_.settle_limit + kAuthRetry * static_cast<int>(last);
    if (!WaitWhileRunning(service_, deadline, [&] { return cloud.AuthRequests().size() > last; })) return std::nullopt;
    return cloud.AuthRequests()[last].arrival;
  }

  // The baseline is taken once the reports (and the exchange the row
  // spoils) run; then the one hostile answer is scripted.
  std::optional<Clock::time_point> AwaitHostileExchange() {
    const HttpFakeServer& cloud = stage_.cloud.server();
    auto deadline = Clock::now() + settings_.settle_limit;
    bool settled = WaitWhileRunning(service_, deadline, [&] {
      return cloud.RequestsTo(CloudBackendFake::kHeartbeatPath).size() >= 2 &&
             (row_.target != HostileTarget::kMonitorReport || !cloud.RequestsTo(CloudBackendFake::kMonitorPath).empty()) &&
             (row_.target != HostileTarget::kLogCollector || stage_.collector.RequestCount() >= 1);
    });
    if (!settled) {
      outcome_.setup_failure = "the service did not settle into its reports";
      return std::nullopt;
    }
    const bool face_row = row_.target == HostileTarget::kPrivateCloud || row_.target == HostileTarget::kFaceListRepeatingAnImage;
    if (face_row && !OpenFaceRoad(stage_, service_, deadline)) {
      outcome_.setup_failure = "no face reached the private cloud";
      return std::nullopt;
    }
    if (row_.target == HostileTarget::kFaceListRepeatingAnImage) return PutRepeatingList();
    HostileExchange exchange = PlanExchange(row_, stage_);
    auto answer = std::make_shared<OneHostileAnswer>(std::move(exchange.hostile), std::move(exchange.normal));
    TakeBaseline();
    exchange.server->SetHandler("POST", exchange.path, OneHostileAnswer::HandlerOf(answer));
    if (row_.target == HostileTarget::kPrivateCloud) {
      FaceGroup face;
      face.timestamp = 2;
      face.datatype = 1;
      face.objectID = 1;
      stage_.writer.PutImage(face.timestamp, face.datatype, face.objectID, std::string(4096, 'f'));
      stage_.writer.PutList(stage_.next_list++, FaceShareBufWriter::ListText({face}));
    }
    // A log batch is due some 6 s after the one before.
    deadline = Clock::now() + settings_.settle_limit;
    WaitWhileRunning(service_, deadline, [&] { return answer->ServedAt().has_value(); });
    return answer->ServedAt();
  }

  // The list lands after the baseline; the row goes on once its upload
  // (of what the batch could take) reached the private cloud.
  std::optional<Clock::time_point> PutRepeatingList() {
    FaceGroup face;
    face.timestamp = 3;
    face.datatype = 1;
    face.objectID = 1;
    stage_.writer.PutImage(face.timestamp, face.datatype, face.objectID, std::string(row_.bytes, 'i'));
    const std::string list = FaceShareBufWriter::ListText(std::vector<FaceGroup>(static_cast<size_t>(row_.times), face));
    const size_t uploads = stage_.private_cloud.UploadCount();
    TakeBaseline();
    stage_.writer.PutList(stage_.next_list++, list);
    const Clock::time_point landed = Clock::now();
    WaitWhileRunning(service_, landed + settings_.settle_limit,
                     [&] { return stage_.private_cloud.UploadCount() > uploads; });
    return landed;
  }

  void AwaitNextReport(Clock::time_point hostile_at) {
    const std::string path = FollowingReportPath(row_.target);
    std::optional<Clock::time_point> report;
    WaitWhileRunning(service_, hostile_at + settings_.report_limit, [&] {
      report = FirstArrivalAfter(stage_.cloud.server(), path, hostile_at);
      return report.has_value();
    });
    if (!report) return;
    outcome_.seconds_to_report = std::chrono::duration<double>(*report - hostile_at).count();
    // Reports go out only once authentication was accepted.
    outcome_.authenticated = true;
    // Work on the hostile reply may go on beside the report (the upload
    // thread decoding its answer): the figures are read a moment later.
    std::this_thread::sleep_for(1s);
  }

  HostileOutcome Finish() {
    outcome_.alive = service_.Running();
    if (!outcome_.alive) outcome_.exit_text = ExitText(service_.WaitForExit(0ms).value_or(-1));
    outcome_.base_config = stage_.root.ReadBaseConfig();
    outcome_.output_tail =
        Tail(service_.Stdout(), 2000) + "\n--- standard error ---\n" + Tail(service_.Stderr(), 2000);
    return outcome_;
  }

  const HostileRow& row_;
  const HostileRunSettings& settings_;
  Stage& stage_;
  ChildProcess service_;
  HostileOutcome outcome_;
  long ticks_before_ = 0;
  Clock::time_point began_ = Clock::now();
};

}  // namespace

std::string HostileRowId(const HostileRow& row) {
  std::string id;
  bool upper = true;
  for (char c : row.name) {
    if (isalnum(static_cast<unsigned char>(c))) {
      id += upper ? static_cast<char>(toupper(static_cast<unsigned char>(c))) : c;
      upper = false;
    } else {
      upper = true;
    }
  }
  return id;
}

bool IsAuthenticationRow(const HostileRow& row) {
  return row.target == HostileTarget::kAuthRefused || row.target == HostileTarget::kAuthAccepted ||
         row.target == HostileTarget::kAuthBlankPadded || row.target == HostileTarget::kRotatedKey;
}

std::chrono::milliseconds NextReportBound(const HostileRow& row, const HostileRunSettings& settings) {
  int period = row.target == HostileTarget::kMonitorReport ? settings.monitor_gap : settings.heartbeat_gap;
  std::chrono::milliseconds bound = std::chrono::seconds(2 * period) + 5s;
  if (IsAuthenticationRow(row)) bound += kAuthRetry;
  return bound;
}

HostileOutcome RunHostileRow(const HostileRow& row, const HostileRunSettings& settings) {
  if (row.target == HostileTarget::kLogCollector) {
    // The network sink's own diagnostics go to the device's fixed log
    // directory; where it exists this machine is not a place to run it.
    struct stat info {};
    if (stat("/mnt/flash/smartinfo", &info) == 0) {
      HostileOutcome skipped;
      skipped.skip_reason = "the device log directory /mnt/flash/smartinfo exists on this machine";
      return skipped;
    }
  }
  Stage stage(row, settings);
  if (IsAuthenticationRow(row)) ScriptAuthentication(row, stage.cloud);
  if (row.target == HostileTarget::kLogCollector) {
    // The default threshold writes errors only: a refused heartbeat gives
    // one error line a period, so batches keep going to the collector.
    stage.cloud.server().SetReply("POST", CloudBackendFake::kHeartbeatPath,
                                  HttpReply::Json(stage.cloud.ErrorReplyBody("Busy", "report later")));
  }
  ServiceEnvironment environment(stage.root.path());
  environment.env.erase("LOG_LEVEL");  // the default threshold
  environment.env["LOG_TYPE"] = "3";   // standard output, not the default collector's address
  environment.env["ZQ_SHAREBUF_DIR"] = stage.share.path();
  if (row.target == HostileTarget::kLogCollector) {
    environment.env["LOG_TYPE"] = "2";
    environment.env["LOG_URL"] = stage.collector.url();
  }
  return RowRun(row, settings, stage, environment.env).Run();
}

StoredKeys ReadStoredKeysStrictly(const std::string& text) {
  StoredKeys read;
  rapidjson::Document document;
  document.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(text.data(), text.size());
  if (document.HasParseError()) {
    read.error = std::string(rapidjson::GetParseError_En(document.GetParseError())) + " at offset " +
                 std::to_string(document.GetErrorOffset());
    return read;
  }
  if (!document.IsObject()) {
    read.error = "not an object";
    return read;
  }
  auto text_of = [&](const char* name) {
    auto it = document.FindMember(name);
    return it != document.MemberEnd() && it->value.IsString()
               ? std::string(it->value.GetString(), it->value.GetStringLength())
               : std::string();
  };
  read.new_key = text_of("NewKey");
  read.old_key = text_of("OldKey");
  return read;
}

}  // namespace zq_test
