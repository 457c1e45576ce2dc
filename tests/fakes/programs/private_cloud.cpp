// The private-cloud fake as a program, for the demo:
//   fake_private_cloud [--port N]
// listens on 127.0.0.1:N (0 or absent: a free port), answers every face
// upload with error code 0, and prints one line per upload (its query, what
// the FaceDetectReq carries and its arrival in milliseconds since the epoch)
// until SIGINT or SIGTERM.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "fakes/private_cloud_fake.h"

int main(int argc, char** argv) {
  long port = 0;
  if (argc == 3 && std::string(argv[1]) == "--port") {
    char* end = nullptr;
    port = strtol(argv[2], &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) argc = 0;
  }
  if (argc != 1 && argc != 3) {
    fprintf(stderr, "usage: %s [--port N]\n", argv[0]);
    return 2;
  }

  // Block the stop signals before the server's threads start, so only the
  // wait below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  zq_test::PrivateCloudFake cloud(static_cast<uint16_t>(port));
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("private cloud listening on %s\n", cloud.url().c_str());

  size_t printed = 0;
  for (;;) {
    struct timespec pause = {0, 200 * 1000 * 1000};
    if (sigtimedwait(&stop_signals, nullptr, &pause) > 0) break;
    auto uploads = cloud.Uploads();
    for (; printed < uploads.size(); ++printed) {
      const zq_test::FaceUpload& upload = uploads[printed];
      if (!upload.decoded) {
        printf("POST %s %zu bytes: not a FaceDetectReq\n", upload.request.target.c_str(), upload.request.body.size());
        continue;
      }
      const zarnu::FaceDetectReq& m = upload.message;
      printf("POST %s %zu bytes: session %s, camera %u, %d faces", upload.request.target.c_str(),
             upload.request.body.size(), m.session_id().c_str(), m.camera_id(), m.faces_size());
      for (const zarnu::FaceInfo& face : m.faces()) {
        printf(" [%zu-byte image at %d,%d %dx%d]", face.image().size(), face.face_rect().x(), face.face_rect().y(),
               face.face_rect().width(), face.face_rect().height());
      }
      // Arrival on the wall clock, in milliseconds, for latencies measured
      // against the time a face list was put in place.
      auto age = std::chrono::steady_clock::now() - upload.request.arrival;
      auto arrival = std::chrono::system_clock::now() - age;
      printf(" arrived %lld\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     arrival.time_since_epoch()).count()));
    }
  }
  cloud.server().Stop();
  return 0;
}
