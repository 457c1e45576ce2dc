// Captures what this process writes to standard output while alive
// (the console log sink writes there), or to another descriptor such as
// standard error.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "support/files.h"

namespace zq_test {

class StdoutCapture {
 public:
  explicit StdoutCapture(int target = 1);  // 1 standard output, 2 standard error
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Everything written so far (capture goes on).
  std::string Text();
  // Waits (bounded by `timeout`) until the captured text holds `needle` at
  // least `count` times; for lines logged by threads of the code under test.
  bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout, size_t count = 1);

 private:
  TempDir dir_;
  std::string path_;
  int fd_ = 1;
  int saved_fd_ = -1;
};

}  // namespace zq_test
