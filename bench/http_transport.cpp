// Exchanges per second through NetHelper::SendSyncMessage against the
// loopback fake, next to a bare libcurl loop that makes the same request with
// a fresh easy handle per transfer, in the same run against the same fake.
// The transport hands every request to its worker thread and the reply back;
// that hand-off should cost little next to the transfer itself (goal: ratio >= 0.8).
//
//   bench_http_transport [exchanges per round, default 300] [rounds, default 20]
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/log.h"
#include "fakes/http_fake_server.h"
#include "service/net_helper.h"
#include "service/net_service.h"

using zq_camera_service::NetHelper;
using zq_camera_service::NetMessage;
using zq_camera_service::NetService;

namespace {

const std::string kBody = "{\"ProtocolVersion\":\"1.0\",\"Mac\":\"00:11:22:33:44:55\",\"RequestId\":\"bench\"}";
const char* const kHeader = "Content-Type: application/json";

size_t Collect(char* bytes, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(bytes, size * count);
  return size * count;
}

// The transfer the transport makes for a "post", without the transport.
bool BareExchange(const std::string& url) {
  std::string received;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return false;
  curl_slist* headers = curl_slist_append(nullptr, "Expect:");
  headers = curl_slist_append(headers, kHeader);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADER, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(kBody.size()));
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kBody.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
  CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return code == CURLE_OK && !received.empty();
}

bool TransportExchange(const std::string& url) {
  NetMessage request;
  request.url = url;
  request.header = kHeader;
  request.SetBody(kBody);
  NetMessage reply;
  NetHelper::GetInstance()->SendSyncMessage(request, reply);
  return reply.HasReply();
}

// Seconds for `count` exchanges; counts failures into `failures`.
template <typename Exchange>
double Time(int count, Exchange exchange, int* failures) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    if (!exchange()) ++*failures;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int per_round = argc > 1 ? atoi(argv[1]) : 300;
  int rounds = argc > 2 ? atoi(argv[2]) : 20;
  if (per_round <= 0 || rounds <= 0) {
    fprintf(stderr, "usage: %s [exchanges per round] [rounds]\n", argv[0]);
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // As the service runs by default: errors only, and on the console here.
  g_zq_log_app_name = "Service";
  g_zq_log_config = 1;
  g_zq_log_record_type = 3;
  NetService::GetInstance()->StartService();

  zq_test::HttpFakeServer fake;
  fake.SetReply("POST", "/Report/ReportHeartbeat", zq_test::HttpReply::Json("{\"Code\":0,\"Message\":\"ok\"}"));
  const std::string url = fake.url("/Report/ReportHeartbeat");

  // libcurl's transfer trace (the transport turns it on) would measure the
  // terminal rather than the transport.
  fflush(stderr);
  int saved_stderr = dup(STDERR_FILENO);
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDERR_FILENO);
  close(null_fd);

  int failures = 0;
  Time(100, [&] { return TransportExchange(url); }, &failures);  // warm-up of both paths
  Time(100, [&] { return BareExchange(url); }, &failures);
  double transport_seconds = 0;
  double bare_seconds = 0;
  // Rounds alternate, so a slower stretch of the machine hits both sides.
  for (int round = 0; round < rounds; ++round) {
    transport_seconds += Time(per_round, [&] { return TransportExchange(url); }, &failures);
    bare_seconds += Time(per_round, [&] { return BareExchange(url); }, &failures);
  }

  fflush(stderr);
  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);

  int total = per_round * rounds;
  double transport_rate = total / transport_seconds;
  double bare_rate = total / bare_seconds;
  double ratio = transport_rate / bare_rate;
  printf("HTTP transport: %d exchanges per side (%d rounds), POST of %zu bytes to the loopback fake\n", total, rounds,
         kBody.size());
  printf("  NetHelper::SendSyncMessage     %9.0f exchanges/s  (%.1f us each)\n", transport_rate, 1e6 / transport_rate);
  printf("  bare libcurl, fresh handle     %9.0f exchanges/s  (%.1f us each)\n", bare_rate, 1e6 / bare_rate);
  printf("  ratio                          %9.2f  (goal >= 0.80: %s)\n", ratio, ratio >= 0.8 ? "met" : "missed");
  if (failures > 0) printf("  failed exchanges: %d\n", failures);
  return failures > 0 ? 1 : 0;
}
