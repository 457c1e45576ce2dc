#include "support/upgrade_download.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/camera_peer.h"
#include "support/child_process.h"
#include "support/cloud_backend.h"
#include "support/install_root.h"
#include "support/proc_figures.h"
#include "support/upgrade_package.h"

namespace zq_test {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* const kRefusedText = "bytes refused";
const char* const kAbandonedText = "download upgrade abandoned";

// Holds the package host's answer back until the test opens it, so the
// reply goes out once the service has settled; Stop() of the server would
// otherwise wait for it, so it also opens on destruction of the row.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    cond_.notify_all();
  }
  // False when it did not open within `limit`.
  bool Wait(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, limit, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool open_ = false;
};

// A valid package of version 4 of about `bytes` (never more): the program
// and files of at most `file_bytes` of incompressible bytes.
std::string BuildPackage(size_t bytes, size_t file_bytes) {
  constexpr size_t kRoom = 64u << 10;  // the archive's own records and the version document
  size_t payload = bytes > kRoom ? bytes - kRoom : 0;
  if (file_bytes == 0) file_bytes = kDownloadFileBytes;
  UpgradePackageBuilder builder(4);
  builder.AddFile("/bin/zq_camera_service", "new program").Keep("/config/BaseConfig.json");
  for (int i = 0; payload > 0; ++i) {
    size_t size = std::min(payload, file_bytes);
    builder.AddFile("/data/part" + std::to_string(i) + ".bin", IncompressibleBytes(size, static_cast<unsigned>(i + 1)));
    payload -= size;
  }
  return builder.Build();
}

HttpReply OversizedReply(const DownloadRow& row) {
  if (row.kind == DownloadKind::kAnnouncedOversized) {
    return HttpReply::Repeated(std::string(1u << 20, '\0'), row.bytes, "application/zip");
  }
  constexpr size_t kPiece = 1u << 20;
  return HttpReply::Chunked(std::string(kPiece, '\0'), (row.bytes + kPiece - 1) / kPiece, "application/zip");
}

// Starts the service under a forked copy of this process that waits for it
// and writes its peak resident set (ru_maxrss, KiB) to `peak_file` before
// ending with its status: the peak of this one service, whatever other
// children this process reaped before (a row of a larger package, say).
// The service's number goes to `pid_file`.
std::unique_ptr<ChildProcess> StartMeasuredService(const Env& env, const std::string& program,
                                                   const std::string& pid_file, const std::string& peak_file) {
  return std::make_unique<ChildProcess>(env, [program, pid_file, peak_file] {
    std::vector<char*> argv{const_cast<char*>(program.c_str()), nullptr};
    pid_t service = ForkTiedChild([&] { execv(argv[0], argv.data()); });
    if (service < 0) _exit(127);
    // Renamed into place: a reader never sees half a number.
    WriteFile(pid_file + ".part", std::to_string(service));
    rename((pid_file + ".part").c_str(), pid_file.c_str());
    int status = 0;
    struct rusage usage {};
    if (wait4(service, &status, 0, &usage) != service) _exit(127);
    WriteFile(peak_file + ".part", std::to_string(usage.ru_maxrss));
    rename((peak_file + ".part").c_str(), peak_file.c_str());
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  });
}

// The number a file of StartMeasuredService holds once it is written; -1
// when it is not within `limit`.
long WaitForNumber(const std::string& path, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    std::string text = FileExists(path) ? ReadFile(path) : "";
    if (!text.empty()) return atol(text.c_str());
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(20ms);
  }
}

}  // namespace

DownloadOutcome RunDownloadRow(const DownloadRow& row, const std::string& binary) {
  DownloadOutcome outcome;
  InstallRoot root;
  CloudBackendFake cloud;
  HttpFakeServer packages;
  PopulateRunningSlot(root, 3);
  WriteCloudConfigs(root, cloud, 3);
  root.WriteBaseConfig(CloudBaseConfig(cloud, 2, 4));

  // The service is forked from this process, and a forked child starts
  // with this process's resident set as its own peak: the package is built
  // and set aside in a file now, and only read back once the service runs.
  TempDir scratch("zqdownload");
  const std::string package_file = scratch / "package.zip";
  std::string md5 = Md5Hex("oversized");
  if (row.kind == DownloadKind::kPackage) {
    std::string package = BuildPackage(row.bytes, row.file_bytes);
    outcome.package_bytes = package.size();
    md5 = Md5Hex(package);
    WriteFile(package_file, package);
    package.clear();
    package.shrink_to_fit();
    // The allocator keeps freed room for itself; hand it back before forking.
    malloc_trim(0);
  } else {
    outcome.package_bytes = row.bytes;
  }
  auto gate = std::make_shared<Gate>();
  auto served = std::make_shared<HttpReply>();
  packages.SetHandler("GET", kPackagePath, [gate, served](const HttpRequestRecord&) {
    if (!gate->Wait(60s)) return HttpReply::Status(503);
    return *served;
  });
  AnnounceUpdate(cloud, 4, packages.url(kPackagePath), md5);

  CameraPeer camera;
  ServiceEnvironment environment(root.path());
  long own_resident = ResidentKib(getpid());
  const std::string pid_file = scratch / "service.pid";
  const std::string peak_file = scratch / "service.peak";
  std::unique_ptr<ChildProcess> service = StartMeasuredService(
      environment.env, binary.empty() ? std::string(ZQ_SERVICE_BINARY) : binary, pid_file, peak_file);
  struct OpenOnExit {
    std::shared_ptr<Gate> gate;
    ~OpenOnExit() { gate->Open(); }
  } open_on_exit{gate};
  // Read before the gate opens, which publishes it to the server's thread.
  *served = row.kind == DownloadKind::kPackage ? HttpReply::Bytes(ReadFile(package_file), "application/zip")
                                               : OversizedReply(row);

  const pid_t service_pid = static_cast<pid_t>(WaitForNumber(pid_file, 30s));
  if (service_pid <= 0 || !packages.WaitForRequestsTo(kPackagePath, 1, 30s)) {
    outcome.failure = "the service never asked for the package";
    outcome.output = service->Stdout();
    return outcome;
  }
  // The rest of start-up goes on beside the held download.
  std::this_thread::sleep_for(3s);
  outcome.baseline_kib = ResidentKib(service_pid);
  bool reset = row.kind == DownloadKind::kPackage || ResetPeakResident(service_pid);
  auto released = Clock::now();
  gate->Open();

  if (row.kind == DownloadKind::kPackage) {
    std::optional<int> status = service->WaitForExit(120s);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - released).count();
    outcome.output = service->Stdout();
    outcome.staged = status == 100;
    if (!status) {
      outcome.failure = "the service did not end within 120 s";
      return outcome;
    }
    outcome.peak_kib = WaitForNumber(peak_file, 0ms);
    if (outcome.peak_kib < 0) {
      outcome.failure = "the service's peak resident set was not recorded";
      return outcome;
    }
    // A forked child starts with its parent's resident set as its peak: the
    // figure is the service's own only when it rose above that.
    if (outcome.peak_kib <= own_resident) {
      outcome.failure = "this process, when it forked the service, held more than the service's peak";
    }
    return outcome;
  }
  bool refused = service->WaitForStdout(kRefusedText, 60s);
  outcome.seconds = std::chrono::duration<double>(Clock::now() - released).count();
  // The verdict of the download thread follows the transport's line.
  outcome.abandoned = service->WaitForStdout(kAbandonedText, 5s);
  outcome.refused = refused;
  outcome.peak_kib = PeakResidentKib(service_pid);
  outcome.output = service->Stdout();
  if (!reset) outcome.failure = "the peak resident set could not be reset";
  if (!refused) outcome.failure = "the reply was not refused within 60 s";
  service->Kill();
  return outcome;
}

}  // namespace zq_test
