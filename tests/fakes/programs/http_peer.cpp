// The loopback HTTP fake as a program, for the demo and for trying the
// service by hand: answers every request with one scripted reply and prints
// a line per request; network log batches (POST /) are printed decoded.
//
//   fake_http_peer [--port N] [--https] [--json TEXT] [--seconds N]
//
// Listens on 127.0.0.1 only and ends by itself after --seconds (default 600)
// or on SIGINT/SIGTERM.
#include <rapidjson/document.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/base64.h"
#include "fakes/http_fake_server.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void PrintRequest(const zq_test::HttpRequestRecord& request) {
  printf("%s %s (%zu body bytes)\n", request.method.c_str(), request.target.c_str(), request.body.size());
  if (request.method != "POST" || request.path != "/") return;
  rapidjson::Document batch;
  batch.Parse<rapidjson::kParseIterativeFlag>(request.body.data(), request.body.size());
  if (batch.HasParseError() || !batch.IsObject()) return;
  auto logs = batch.FindMember("Logs");
  if (logs == batch.MemberEnd() || !logs->value.IsArray()) return;
  for (const auto& line : logs->value.GetArray()) {
    if (line.IsString()) printf("  log: %s", base64_decode(std::string(line.GetString(), line.GetStringLength())).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  int seconds = 600;
  bool https = false;
  std::string json = "{}";
  for (int i = 1; i < argc; ++i) {
    bool has_value = i + 1 < argc;
    if (strcmp(argv[i], "--port") == 0 && has_value) {
      port = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--seconds") == 0 && has_value) {
      seconds = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--json") == 0 && has_value) {
      json = argv[++i];
    } else if (strcmp(argv[i], "--https") == 0) {
      https = true;
    } else {
      fprintf(stderr, "usage: %s [--port N] [--https] [--json TEXT] [--seconds N]\n", argv[0]);
      return 2;
    }
  }
  if (port < 0 || port > 65535 || seconds <= 0) {
    fprintf(stderr, "%s: bad port or duration\n", argv[0]);
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);

  zq_test::HttpFakeServer server(https ? zq_test::HttpFakeServer::Scheme::kHttps : zq_test::HttpFakeServer::Scheme::kHttp,
                                 static_cast<uint16_t>(port));
  server.SetDefaultReply(zq_test::HttpReply::Json(json));
  printf("listening on %s\n", server.url().c_str());

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  size_t printed = 0;
  while (!g_stop && std::chrono::steady_clock::now() < deadline) {
    server.WaitForRequests(printed + 1, std::chrono::milliseconds(500));
    auto requests = server.Requests();
    for (; printed < requests.size(); ++printed) PrintRequest(requests[printed]);
  }
  server.Stop();
  return 0;
}
