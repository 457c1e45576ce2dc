// Footprint of the running service: the real binary, started against the
// cloud fake (accepting at once), the fake camera software on 127.0.0.1:9658,
// the private-cloud fake and the share-buffer stand-in's directory, measured
// from its /proc/<pid>/stat and status files in three phases:
//   idle    authenticated, no faces: CPU in % of one core, and the wake-ups
//           of each thread (voluntary context switches per second)
//   steady  1 face of 64 KiB every 200 ms: resident set
//   stall   the private cloud answers no upload in time (each answer comes
//           after the 5 s transfer timeout) while 4 faces of 256 KiB come
//           every 200 ms: growth of the resident set; then the cloud mends and
//           the time until a face captured after the stall arrives
// Goals: idle CPU < 0.5 %, RSS < 16 MiB, growth < 48 MiB.
//
//   bench_footprint [idle s, default 30] [steady s, default 30] [stall s, default 40]
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/face_share_buf_writer.h"
#include "fakes/private_cloud_fake.h"
#include "support/camera_peer.h"
#include "support/child_process.h"
#include "support/cloud_backend.h"
#include "support/install_root.h"
#include "support/proc_figures.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string ReadLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// Voluntary context switches of each thread, by thread id, with its name.
struct ThreadSample {
  std::string name;
  long switches = 0;
};
std::map<int, ThreadSample> ThreadSwitches(pid_t pid) {
  std::map<int, ThreadSample> threads;
  std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(task_dir.c_str());
  if (dir == nullptr) return threads;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string base = task_dir + "/" + entry->d_name;
    ThreadSample sample;
    sample.name = ReadLine(base + "/comm");
    sample.switches = zq_test::StatusFigure(base + "/status", "voluntary_ctxt_switches");
    threads[atoi(entry->d_name)] = sample;
  }
  closedir(dir);
  return threads;
}

// Resident kB of each mapping's file (or "[heap]", "[stack]", "[anon]"),
// summed over its mappings, largest first.
std::vector<std::pair<long, std::string>> ResidentByMapping(pid_t pid) {
  std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
  std::map<std::string, long> sums;
  std::string line;
  std::string current = "[anon]";
  while (std::getline(smaps, line)) {
    if (line.empty()) continue;
    if (line.rfind("Rss:", 0) == 0) {
      sums[current] += std::stol(line.substr(4));
      continue;
    }
    // A mapping's first line: "start-end perms offset dev inode [path]".
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, path;
    fields >> range >> perms >> offset >> device >> inode;
    if (range.find('-') == std::string::npos || inode.empty() || !isdigit(static_cast<unsigned char>(inode[0]))) {
      continue;
    }
    std::getline(fields >> std::ws, path);
    current = path.empty() ? "[anon]" : path.substr(path.rfind('/') + 1);
  }
  std::vector<std::pair<long, std::string>> sorted;
  for (const auto& entry : sums) sorted.emplace_back(entry.second, entry.first);
  std::sort(sorted.rbegin(), sorted.rend());
  return sorted;
}

double Mib(long kib) { return static_cast<double>(kib) / 1024.0; }

class Feeder {
 public:
  explicit Feeder(const std::string& directory) : writer_(directory), random_(7) {}

  // Lists of `faces` faces of `image_bytes` each, one every 200 ms, for
  // `seconds`; `sample` runs after each list.
  template <typename Sample>
  void Run(int seconds, int faces, size_t image_bytes, Sample sample) {
    std::string image(image_bytes, '\0');
    for (char& byte : image) byte = static_cast<char>(random_());
    auto end = Clock::now() + std::chrono::seconds(seconds);
    auto next = Clock::now();
    while (Clock::now() < end) {
      std::vector<zq_test::FaceGroup> groups;
      for (int f = 0; f < faces; ++f) {
        zq_test::FaceGroup group;
        group.timestamp = 9000000000ull + list_;
        group.datatype = 1;
        group.objectID = f;
        group.left = static_cast<int>(list_);  // tells the list apart at the fake
        group.right = group.left + 80;
        group.bottom = 120;
        group.quality = 80;
        image[0] = static_cast<char>(list_);
        writer_.PutImage(group.timestamp, group.datatype, group.objectID, image);
        groups.push_back(group);
      }
      writer_.PutList(list_, zq_test::FaceShareBufWriter::ListText(groups));
      ++list_;
      sample();
      next += 200ms;
      std::this_thread::sleep_until(next);
    }
  }
  uint64_t next_list() const { return list_; }

 private:
  zq_test::FaceShareBufWriter writer_;
  std::mt19937 random_;
  uint64_t list_ = 1;
};

// Waits until the private cloud received a face of list `list` or later.
bool WaitForList(zq_test::PrivateCloudFake& cloud, uint64_t list, std::chrono::seconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    for (const zq_test::FaceUpload& upload : cloud.Uploads()) {
      if (upload.decoded && upload.message.faces_size() > 0 &&
          static_cast<uint64_t>(upload.message.faces(0).face_rect().x()) >= list) {
        return true;
      }
    }
    cloud.WaitForUploads(cloud.UploadCount() + 1, 200ms);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int idle_seconds = argc > 1 ? atoi(argv[1]) : 30;
  int steady_seconds = argc > 2 ? atoi(argv[2]) : 30;
  int stall_seconds = argc > 3 ? atoi(argv[3]) : 40;
  if (idle_seconds <= 0 || steady_seconds <= 5 || stall_seconds <= 0 || idle_seconds > 3600 ||
      steady_seconds > 3600 || stall_seconds > 3600) {
    fprintf(stderr, "usage: %s [idle s] [steady s, > 5] [stall s]\n", argv[0]);
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);

  // The camera peer holds the fixed-ports lock: no test run uses 9658 meanwhile.
  zq_test::CameraPeer camera;
  zq_test::InstallRoot root;
  zq_test::CloudBackendFake cloud;
  zq_test::PrivateCloudFake private_cloud;
  zq_test::TempDir share("zqbench-share");
  root.WriteBaseConfig(zq_test::WithPicUploadUrl(cloud, zq_test::CloudBaseConfig(cloud), private_cloud.url()));
  root.WriteVersionConfig(zq_test::VersionConfig(1));

  // As on the device: errors only, to the console (the network sink would add
  // the collector's traffic to every figure).
  zq_test::ServiceEnvironment environment(root.path());
  environment.env["LOG_LEVEL"] = "1";
  environment.env["LOG_TYPE"] = "3";
  environment.env["ZQ_SHAREBUF_DIR"] = share.path();
  zq_test::ChildProcess service(environment.env);
  const pid_t pid = service.pid();

  if (!cloud.WaitForAccepted(1, 20s) || !camera->WaitForReplies(1, 20s)) {
    fprintf(stderr, "the service did not get through start-up\n%s", service.Stdout().c_str());
    return 1;
  }
  // The businesses come up right after the camera's reply.
  std::this_thread::sleep_for(2s);
  if (!service.Running()) {
    fprintf(stderr, "the service ended\n%s", service.Stderr().c_str());
    return 1;
  }
  printf("footprint of zq_camera_service (pid %d) against the fakes\n", static_cast<int>(pid));

  // Idle.
  const long tick = sysconf(_SC_CLK_TCK);
  auto switches_before = ThreadSwitches(pid);
  long ticks_before = zq_test::CpuTicks(pid);
  auto idle_began = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  long ticks_after = zq_test::CpuTicks(pid);
  double idle_wall = std::chrono::duration<double>(Clock::now() - idle_began).count();
  auto switches_after = ThreadSwitches(pid);
  double idle_cpu = 100.0 * static_cast<double>(ticks_after - ticks_before) / static_cast<double>(tick) / idle_wall;
  long idle_rss = zq_test::ResidentKib(pid);
  size_t idle_heartbeats = cloud.Reports(zq_test::CloudBackendFake::kHeartbeatPath).size();
  const std::string status_path = "/proc/" + std::to_string(pid) + "/status";
  long idle_anon = zq_test::StatusFigure(status_path, "RssAnon");
  long idle_file = zq_test::StatusFigure(status_path, "RssFile");
  long idle_pss = zq_test::StatusFigure("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss");
  printf("idle %.0f s: %ld ticks of %ld/s; RSS %.1f MiB (anonymous %.1f, file-backed %.1f), PSS %.1f MiB\n",
         idle_wall, ticks_after - ticks_before, tick, Mib(idle_rss), Mib(idle_anon), Mib(idle_file), Mib(idle_pss));
  // The threads carry no names of their own; with the console sink they are,
  // in the order they are created, these.
  static const char* const kThreads[] = {"main",         "SNMP agent",    "IPC post",         "HTTP worker",
                                         "upgrade",      "face fetch",    "MonitorThread",    "private upload",
                                         "picture upload", "business tasks"};
  bool named = switches_after.size() == sizeof kThreads / sizeof kThreads[0];
  printf("wake-ups per second by thread (voluntary context switches):\n");
  size_t index = 0;
  for (const auto& entry : switches_after) {
    auto before = switches_before.find(entry.first);
    std::string name = named ? kThreads[index] : entry.second.name + " " + std::to_string(entry.first);
    ++index;
    if (before == switches_before.end()) continue;
    printf("  %-16s %6.2f\n", name.c_str(),
           static_cast<double>(entry.second.switches - before->second.switches) / idle_wall);
  }

  printf("resident set by mapping while idle (KiB):");
  auto mappings = ResidentByMapping(pid);
  for (size_t i = 0; i < mappings.size() && i < 12; ++i) {
    printf("%s %s %ld", i % 4 == 0 ? "\n " : ",", mappings[i].second.c_str(), mappings[i].first);
  }
  printf("\n");

  // Steady: 1 face of 64 KiB every 200 ms; the first 5 s settle.
  Feeder feeder(share.path());
  size_t uploads_before = private_cloud.UploadCount();
  feeder.Run(5, 1, 64 * 1024, [] {});
  long steady_peak = 0;
  long steady_sum = 0;
  long steady_samples = 0;
  feeder.Run(steady_seconds - 5, 1, 64 * 1024, [&] {
    long rss = zq_test::ResidentKib(pid);
    steady_peak = std::max(steady_peak, rss);
    steady_sum += rss;
    ++steady_samples;
  });
  std::this_thread::sleep_for(1s);
  size_t steady_uploads = private_cloud.UploadCount() - uploads_before;
  double steady_mean = steady_samples > 0 ? static_cast<double>(steady_sum) / static_cast<double>(steady_samples) : 0;

  // Stall: every answer comes after the transfer timeout.
  long stall_base = zq_test::ResidentKib(pid);
  private_cloud.SetDelay(6s);
  long stall_peak = stall_base;
  feeder.Run(stall_seconds, 4, 256 * 1024, [&] { stall_peak = std::max(stall_peak, zq_test::ResidentKib(pid)); });
  private_cloud.SetDelay(0ms);
  uint64_t after_stall = feeder.next_list();
  auto mended = Clock::now();
  bool recovered = false;
  feeder.Run(2, 1, 64 * 1024, [] {});
  recovered = WaitForList(private_cloud, after_stall, 30s);
  double recovery = std::chrono::duration<double>(Clock::now() - mended).count();
  long rss_after = zq_test::ResidentKib(pid);
  bool alive = service.Running();

  bool idle_met = idle_cpu < 0.5;
  bool rss_met = steady_peak > 0 && Mib(steady_peak) < 16;
  bool growth_met = Mib(stall_peak - stall_base) < 48;
  printf("\n| measure | goal | measured |\n|---|---|---|\n");
  printf("| idle CPU, %d s, authenticated, no faces | < 0.5 %% of one core | %.2f %% (%zu heartbeats meanwhile) |\n",
         idle_seconds, idle_cpu, idle_heartbeats);
  printf("| RSS idle | | %.1f MiB (anonymous %.1f MiB, shared libraries %.1f MiB; PSS %.1f MiB) |\n", Mib(idle_rss),
         Mib(idle_anon), Mib(idle_file), Mib(idle_pss));
  printf("| RSS, 1 face of 64 KiB every 200 ms (%d s) | < 16 MiB | peak %.1f MiB, mean %.1f MiB (%zu uploads) |\n",
         steady_seconds, Mib(steady_peak), steady_mean / 1024.0, steady_uploads);
  printf("| RSS growth, %d s private-cloud stall, 4 x 256 KiB faces every 200 ms | < 48 MiB | %.1f MiB (%.1f -> %.1f MiB) |\n",
         stall_seconds, Mib(stall_peak - stall_base), Mib(stall_base), Mib(stall_peak));
  printf("| after the stall: first new face delivered | | %s in %.1f s, RSS %.1f MiB |\n",
         recovered ? "delivered" : "NOT delivered", recovery, Mib(rss_after));
  printf("\ngoals: idle CPU %s, RSS %s, growth %s; process %s\n", idle_met ? "met" : "missed",
         rss_met ? "met" : "missed", growth_met ? "met" : "missed", alive ? "still running" : "ENDED");
  return alive && recovered ? 0 : 1;
}
