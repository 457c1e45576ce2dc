// The KwCloud back-end fake as a program, for the demo:
//   fake_cloud_backend [--port N] [--key KEY] [--new-key KEY]
//                      [--heartbeat-gap S] [--monitor-gap S]
//                      [--update-package FILE --update-version N]
//                      [--heartbeat-reply FILE] [--auth-padding N [--padding-text T]]
// listens on 127.0.0.1:N (0 or absent: a free port), accepts authentication
// requests signed with KEY (default "initial-key"), hands out --new-key (default:
// KEY again) and the report periods, and prints every request it receives and
// the outcome of every authentication, one line each, until SIGINT or SIGTERM.
// With --update-package, SIGUSR1 makes every later accepting reply announce
// version N, served from FILE at /packages/update.zip with FILE's MD5.
// --heartbeat-reply answers every heartbeat with FILE's bytes (status 200);
// --auth-padding makes the first accepting reply carry a "Padding" member of
// N bytes, T (default: the handed-out key) over and over: oversized and
// key-laden replies as a hostile network would send them.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

#include "base/md5.h"
#include "fakes/cloud_backend_fake.h"

namespace {

const char* const kPackagePath = "/packages/update.zip";

void Usage(const char* program) {
  fprintf(stderr,
          "usage: %s [--port N] [--key KEY] [--new-key KEY] [--heartbeat-gap S] [--monitor-gap S]\n"
          "          [--update-package FILE --update-version N] [--heartbeat-reply FILE]\n"
          "          [--auth-padding N [--padding-text T]]\n",
          program);
  exit(2);
}

long Number(const std::string& text, long low, long high, const char* program) {
  char* end = nullptr;
  long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high) Usage(program);
  return value;
}

// The body on one line: the report bodies come pretty-printed.
std::string OneLine(const std::string& body) {
  std::string line;
  for (char c : body) {
    if (c == '\n' || c == '\r') c = ' ';
    if (c == ' ' && !line.empty() && line.back() == ' ') continue;
    line += c;
  }
  return line;
}

bool ReadWhole(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.good() || in.eof();
}

// The accepting reply with `size` bytes of `text` repeated in "Padding"
// (`text` is put in as it stands, so it should need no JSON escaping).
std::string PaddedAcceptReply(const zq_test::CloudBackendFake& cloud, const std::string& text, size_t size) {
  std::string body = cloud.AcceptReplyBody();  // ends with the two closing braces
  std::string padding;
  padding.reserve(size);
  while (!text.empty() && padding.size() < size) padding += text;
  padding.resize(text.empty() ? 0 : size);
  return body.substr(0, body.size() - 2) + ",\"Padding\":\"" + padding + "\"}}";
}

}  // namespace

int main(int argc, char** argv) {
  long port = 0;
  std::string key = "initial-key";
  std::string new_key;
  zq_test::CloudSettings settings;
  std::string package_path;
  long update_version = 0;
  std::string heartbeat_reply_path;
  long auth_padding = 0;
  std::string padding_text;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) Usage(argv[0]);
    std::string value = argv[++i];
    if (option == "--port") {
      port = Number(value, 0, 65535, argv[0]);
    } else if (option == "--key") {
      key = value;
    } else if (option == "--new-key") {
      new_key = value;
    } else if (option == "--heartbeat-gap") {
      settings.heartbeat_gap = static_cast<int>(Number(value, 1, 86400, argv[0]));
    } else if (option == "--monitor-gap") {
      settings.hello_time_gap = static_cast<int>(Number(value, 1, 86400, argv[0]));
    } else if (option == "--update-package") {
      package_path = value;
    } else if (option == "--update-version") {
      update_version = Number(value, 1, 1000000, argv[0]);
    } else if (option == "--heartbeat-reply") {
      heartbeat_reply_path = value;
    } else if (option == "--auth-padding") {
      auth_padding = Number(value, 0, 256L * 1024 * 1024, argv[0]);
    } else if (option == "--padding-text") {
      padding_text = value;
    } else {
      Usage(argv[0]);
    }
  }
  if (package_path.empty() != (update_version == 0)) Usage(argv[0]);
  std::string package;
  if (!package_path.empty()) {
    std::ifstream in(package_path, std::ios::binary);
    package.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], package_path.c_str());
      return 1;
    }
  }
  std::string heartbeat_reply;
  if (!heartbeat_reply_path.empty() && !ReadWhole(heartbeat_reply_path, &heartbeat_reply)) {
    fprintf(stderr, "%s: cannot read %s\n", argv[0], heartbeat_reply_path.c_str());
    return 1;
  }

  // Block the stop signals before the server's threads start, so only the
  // wait below receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  settings.key = new_key.empty() ? key : new_key;
  zq_test::CloudBackendFake cloud(key, settings, static_cast<uint16_t>(port));
  if (!heartbeat_reply_path.empty()) {
    cloud.server().SetReply("POST", zq_test::CloudBackendFake::kHeartbeatPath,
                            zq_test::HttpReply::Json(heartbeat_reply));
  }
  if (auth_padding > 0) {
    cloud.QueueAuthReply(
        zq_test::HttpReply::Json(PaddedAcceptReply(cloud, padding_text.empty() ? settings.key : padding_text,
                                                   static_cast<size_t>(auth_padding))));
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("cloud back end listening on %s\n", cloud.url().c_str());

  size_t printed = 0;
  size_t judged = 0;
  for (;;) {
    struct timespec pause = {0, 200 * 1000 * 1000};
    int received = sigtimedwait(&signals, nullptr, &pause);
    if (received == SIGINT || received == SIGTERM) break;
    if (received == SIGUSR1 && !package.empty()) {
      MD5 digest;
      digest.update(package.data(), static_cast<unsigned int>(package.size()));
      zq_test::CloudSettings announcing = cloud.Settings();
      announcing.soft_update_version = static_cast<int>(update_version);
      announcing.soft_update_url = cloud.url() + kPackagePath;
      announcing.soft_update_md5 = digest.finalize().hexdigest();
      cloud.server().SetReply("GET", kPackagePath, zq_test::HttpReply::Bytes(package, "application/zip"));
      cloud.SetSettings(announcing);
      printf("update announced: version %ld, %zu-byte package at %s, md5 %s\n", update_version, package.size(),
             announcing.soft_update_url.c_str(), announcing.soft_update_md5.c_str());
    }
    auto requests = cloud.server().Requests();
    for (; printed < requests.size(); ++printed) {
      const auto& request = requests[printed];
      printf("%s %s %zu bytes: %s\n", request.method.c_str(), request.target.c_str(), request.body.size(),
             OneLine(request.body).c_str());
    }
    auto auth = cloud.AuthRequests();
    for (; judged < auth.size(); ++judged) {
      printf("auth request %zu %s\n", judged + 1, auth[judged].accepted ? "accepted" : "refused");
    }
  }
  cloud.Stop();
  return 0;
}
