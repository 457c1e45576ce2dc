// Face latency along the face road: from a face list landing in the
// share-buffer stand-in's directory to the upload's arrival at the fake
// private cloud, through the real capture service (its 200 ms fetch thread),
// the private-cloud upload business and the HTTP transport. The common
// header is signed here as the authentication service signs it (MD5), so
// the road has its real cost without a cloud authentication.
// Goals: p50 <= 250 ms, p99 <= 450 ms, no loss while the back end keeps up.
//
//   bench_face_latency [batches, default 200] [ms between lists, default 450] [faces per list, default 2]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/config_manager.h"
#include "base/log.h"
#include "base/md5.h"
#include "business/private_cloud_data_upload_business.h"
#include "fakes/face_share_buf_writer.h"
#include "fakes/private_cloud_fake.h"
#include "platform/inf_comm_stand_in/share_buf_control.h"
#include "service/data_upload_service.h"
#include "service/net_service.h"

using namespace zq_camera_service;
using Clock = std::chrono::steady_clock;

namespace {

// A fresh directory under /tmp, removed with its content at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + ".XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) path = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

int SignedHeader(rapidjson::Document& header, int* request_id) {
  std::string stamp = std::to_string(static_cast<long long>(time(nullptr)));
  std::string signature = md5("Key=bench-key&Mac=12:43:94:27:66:24&TimeStamp=" + stamp);
  std::string text = "{\"ProtocolVersion\":1,\"Mac\":\"12:43:94:27:66:24\",\"Key\":\"bench-key\",\"CompanyId\":"
                     "\"bench-company\",\"ShopId\":7,\"RequestId\":\"" + std::to_string(++*request_id) +
                     "\",\"Signature\":\"" + signature + "\",\"TimeStamp\":" + stamp + "}";
  header.Parse(text.c_str());
  return 0;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  int batches = argc > 1 ? atoi(argv[1]) : 200;
  int gap_ms = argc > 2 ? atoi(argv[2]) : 450;
  int faces_per_list = argc > 3 ? atoi(argv[3]) : 2;
  if (batches <= 0 || gap_ms <= 0 || faces_per_list <= 0 || faces_per_list > 64) {
    fprintf(stderr, "usage: %s [batches] [ms between lists] [faces per list, 1..64]\n", argv[0]);
    return 2;
  }
  g_zq_log_app_name = "Service";
  g_zq_log_config = 1;
  g_zq_log_record_type = 3;

  ScratchDir root("zqbench");
  ScratchDir share("zqbench-share");
  if (root.path.empty() || share.path.empty()) return 1;
  zq_test::PrivateCloudFake cloud;
  std::ofstream(root.path + "/BaseConfig.json") << "{\"PicUploadUrl\": \"" << cloud.url() << "\", \"CameraId\": \"3\"}";
  std::ofstream(root.path + "/VersionConfig.json") << "{\"major\": 1}";
  ConfigManager::GetInstance()->LoadConfigs(root.path + "/");
  // The transport's libcurl transfers are verbose on standard error; the
  // figures go to standard output.
  fflush(stderr);
  int saved_stderr = dup(STDERR_FILENO);
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDERR_FILENO);
  platform::share_buf_stand_in::SetDirectory(share.path);
  zq_test::FaceShareBufWriter writer(share.path);

  NetService::GetInstance()->StartService();
  DataUploadService capture;
  int request_id = 1;
  std::mutex header_mutex;
  PrivateCloudDataUploadBusiness::Wiring wiring;
  wiring.compose_header = [&](rapidjson::Document& header) {
    std::lock_guard<std::mutex> lock(header_mutex);
    return SignedHeader(header, &request_id);
  };
  wiring.capture_service = [&] { return &capture; };
  PrivateCloudDataUploadBusiness business(wiring);
  if (business.StartBusiness() != 0 || capture.StartService() != 0) {
    fprintf(stderr, "the face road did not start\n");
    return 1;
  }

  // Face images of a realistic size (a few KiB of JPEG each), random bytes.
  std::mt19937 random(42);
  std::uniform_int_distribution<int> jitter(0, gap_ms / 4);
  std::map<int, Clock::time_point> landed;  // batch -> when its list landed
  auto started = Clock::now();
  for (int batch = 0; batch < batches; ++batch) {
    std::vector<zq_test::FaceGroup> groups;
    for (int f = 0; f < faces_per_list; ++f) {
      zq_test::FaceGroup group;
      group.timestamp = 1700000000000ull + static_cast<uint64_t>(batch);
      group.datatype = 1;
      group.objectID = f;
      group.left = batch;  // tells the batch apart at the fake
      group.right = batch + 80;
      group.bottom = 120;
      group.confidence = 0.9;
      group.quality = 80;
      std::string image(8192, '\0');
      for (char& byte : image) byte = static_cast<char>(random());
      writer.PutImage(group.timestamp, group.datatype, group.objectID, image);
      groups.push_back(group);
    }
    writer.PutList(static_cast<uint64_t>(batch) + 1, zq_test::FaceShareBufWriter::ListText(groups));
    landed[batch] = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms - gap_ms / 8 + jitter(random)));
  }
  double produced_seconds = std::chrono::duration<double>(Clock::now() - started).count();
  cloud.WaitForUploads(static_cast<size_t>(batches), std::chrono::seconds(10));
  capture.StopService();
  business.StopBusiness();
  fflush(stderr);
  if (saved_stderr >= 0) dup2(saved_stderr, STDERR_FILENO);
  if (saved_stderr >= 0) close(saved_stderr);
  if (null_fd >= 0) close(null_fd);

  std::vector<double> latencies_ms;
  std::map<int, int> seen;
  int faces_delivered = 0;
  Clock::time_point last_arrival = started;
  for (const zq_test::FaceUpload& upload : cloud.Uploads()) {
    if (!upload.decoded || upload.message.faces_size() == 0) continue;
    int batch = upload.message.faces(0).face_rect().x();
    faces_delivered += upload.message.faces_size();
    last_arrival = std::max(last_arrival, upload.request.arrival);
    if (++seen[batch] > 1 || landed.count(batch) == 0) continue;
    latencies_ms.push_back(std::chrono::duration<double, std::milli>(upload.request.arrival - landed[batch]).count());
  }
  int duplicates = 0;
  for (const auto& entry : seen) duplicates += entry.second - 1;
  int lost = batches - static_cast<int>(latencies_ms.size());
  double delivered_seconds = std::chrono::duration<double>(last_arrival - started).count();

  double p50 = Percentile(latencies_ms, 0.50);
  double p99 = Percentile(latencies_ms, 0.99);
  printf("face road: %d lists of %d faces (8 KiB images), one every ~%d ms\n", batches, faces_per_list, gap_ms);
  printf("  latency list landed -> upload at the private cloud: p50 %.0f ms, p99 %.0f ms, max %.0f ms\n", p50, p99,
         Percentile(latencies_ms, 1.0));
  printf("  faces/s produced %.2f, delivered %.2f; lost batches %d, duplicates %d\n",
         batches * faces_per_list / produced_seconds,
         delivered_seconds > 0 ? faces_delivered / delivered_seconds : 0.0, lost, duplicates);
  printf("  goals: p50 <= 250 ms %s, p99 <= 450 ms %s, no loss %s\n", p50 <= 250 ? "met" : "missed",
         p99 <= 450 ? "met" : "missed", lost == 0 && duplicates == 0 ? "met" : "missed");
  return 0;
}
