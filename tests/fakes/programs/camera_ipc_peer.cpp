// The fake camera software as a program, for the demo and for trying the
// service by hand:
//   fake_camera_ipc_peer [--port N] [--delay-ms N] [--fault NAME] [--listen-after-ms N]
// It serves on 127.0.0.1 until SIGINT or SIGTERM; --listen-after-ms plays a
// camera software that comes up after the service.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <string>

#include "fakes/camera_ipc_peer.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: fake_camera_ipc_peer [--port N] [--delay-ms N] [--fault NAME] [--listen-after-ms N]\n"
          "  NAME: none silent wrong-header-size body-type-2 padded-reply wrong-id close-after-request\n"
          "        split-header-body byte-by-byte large-body close-then-answer merged-replies huge-number\n"
          "        stray-first strays-first stray-after repeated-reply silent-then-answer\n");
  return 2;
}

bool ReadNumber(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  zq_fakes::CameraIpcPeer::Options options;
  options.port = 9658;
  long listen_after_ms = 0;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    long number = 0;
    if (option == "--port" && ReadNumber(value, 0, 65535, &number)) {
      options.port = static_cast<uint16_t>(number);
    } else if (option == "--delay-ms" && ReadNumber(value, 0, 3600000, &number)) {
      options.delay = std::chrono::milliseconds(number);
    } else if (option == "--fault" && zq_fakes::ParseCameraPeerFault(value, &options.fault)) {
    } else if (option == "--listen-after-ms" && ReadNumber(value, 0, 3600000, &listen_after_ms)) {
    } else {
      return Usage();
    }
  }

  // The signals are taken by sigwait below, not by whichever thread they hit.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  setvbuf(stdout, nullptr, _IOLBF, 0);
  zq_fakes::CameraIpcPeer peer(options);
  peer.SetEventLogger([](const std::string& line) { printf("camera ipc peer: %s\n", line.c_str()); });
  if (listen_after_ms > 0) {
    printf("camera ipc peer: starts in %ld ms\n", listen_after_ms);
    // A stop signal meanwhile ends the wait and the program.
    timespec wait{listen_after_ms / 1000, (listen_after_ms % 1000) * 1000000};
    if (sigtimedwait(&stop_signals, nullptr, &wait) > 0) {
      printf("camera ipc peer stopped\n");
      return 0;
    }
  }
  if (!peer.Start()) {
    fprintf(stderr, "camera ipc peer: cannot listen on 127.0.0.1:%u: %s\n", options.port, strerror(errno));
    return 1;
  }
  std::string fault = options.fault == zq_fakes::CameraPeerFault::kNone
                          ? std::string()
                          : std::string(", fault ") + zq_fakes::CameraPeerFaultName(options.fault);
  printf("camera ipc peer listening on 127.0.0.1:%u (replies after %lld ms%s)\n", peer.port(),
         static_cast<long long>(options.delay.count()), fault.c_str());

  int received = 0;
  sigwait(&stop_signals, &received);
  peer.Stop();
  printf("camera ipc peer stopped\n");
  return 0;
}
