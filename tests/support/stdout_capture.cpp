#include "support/stdout_capture.h"

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

#include "support/child_process.h"

namespace zq_test {

StdoutCapture::StdoutCapture(int target) : dir_("zqcapture"), path_(dir_ / "stdout"), fd_(target) {
  fflush(stdout);
  fflush(stderr);
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open the capture file");
  saved_fd_ = dup(fd_);
  dup2(fd, fd_);
  close(fd);
}

StdoutCapture::~StdoutCapture() {
  fflush(stdout);
  fflush(stderr);
  dup2(saved_fd_, fd_);
  close(saved_fd_);
}

std::string StdoutCapture::Text() {
  fflush(stdout);
  fflush(stderr);
  return ReadFile(path_);
}

bool StdoutCapture::WaitFor(const std::string& needle, std::chrono::milliseconds timeout, size_t count) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (CountOccurrences(Text(), needle) < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace zq_test
