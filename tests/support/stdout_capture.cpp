#include "support/stdout_capture.h"

#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace zq_test {

StdoutCapture::StdoutCapture() : dir_("zqcapture"), path_(dir_ / "stdout") {
  fflush(stdout);
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open the capture file");
  saved_fd_ = dup(STDOUT_FILENO);
  dup2(fd, STDOUT_FILENO);
  close(fd);
}

StdoutCapture::~StdoutCapture() {
  fflush(stdout);
  dup2(saved_fd_, STDOUT_FILENO);
  close(saved_fd_);
}

std::string StdoutCapture::Text() {
  fflush(stdout);
  return ReadFile(path_);
}

}  // namespace zq_test
