// The KwCloud back-end fake as a program, for the demo:
//   fake_cloud_backend [--port N] [--key KEY] [--new-key KEY]
// listens on 127.0.0.1:N (0 or absent: a free port), accepts authentication
// requests signed with KEY (default "initial-key"), hands out --new-key (default:
// KEY again), and prints every request it receives until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fakes/cloud_backend_fake.h"

namespace {

void Usage(const char* program) {
  fprintf(stderr, "usage: %s [--port N] [--key KEY] [--new-key KEY]\n", program);
  exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  long port = 0;
  std::string key = "initial-key";
  std::string new_key;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) Usage(argv[0]);
    std::string value = argv[++i];
    if (option == "--port") {
      char* end = nullptr;
      port = strtol(value.c_str(), &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) Usage(argv[0]);
    } else if (option == "--key") {
      key = value;
    } else if (option == "--new-key") {
      new_key = value;
    } else {
      Usage(argv[0]);
    }
  }

  // Block the stop signals before the server's threads start, so only the
  // wait below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  zq_test::CloudSettings settings;
  settings.key = new_key.empty() ? key : new_key;
  zq_test::CloudBackendFake cloud(key, settings, static_cast<uint16_t>(port));
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("cloud back end listening on %s\n", cloud.url().c_str());

  size_t printed = 0;
  for (;;) {
    struct timespec pause = {0, 200 * 1000 * 1000};
    if (sigtimedwait(&stop_signals, nullptr, &pause) > 0) break;
    auto requests = cloud.server().Requests();
    for (; printed < requests.size(); ++printed) {
      const auto& request = requests[printed];
      printf("%s %s %zu bytes: %s\n", request.method.c_str(), request.target.c_str(), request.body.size(),
             request.body.c_str());
    }
  }
  cloud.Stop();
  return 0;
}
