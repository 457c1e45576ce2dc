#include "support/fifo_traps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <stdexcept>
#include <thread>

namespace zq_test {

FifoTraps::~FifoTraps() { ReleaseReaders(); }

void FifoTraps::Put(const std::string& path) {
  if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("cannot make the FIFO " + path);
  paths_.push_back(path);
}

void FifoTraps::ReleaseReaders() const {
  for (const std::string& path : paths_) {
    // Without a reader this fails at once (ENXIO) instead of waiting.
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
  }
}

bool FifoTraps::ReturnsWithin(std::chrono::milliseconds limit, const std::function<void()>& call) {
  std::future<void> done = std::async(std::launch::async, call);
  if (done.wait_for(limit) == std::future_status::ready) {
    done.get();
    return true;
  }
  // A stuck reader may open one FIFO after another: release until the call
  // is back, for at most 600 rounds (a minute).
  for (int round = 0; round < 600 && done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready;
       ++round) {
    ReleaseReaders();
  }
  done.wait();
  return false;
}

}  // namespace zq_test
