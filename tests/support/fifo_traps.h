// FIFOs where the share-buffer stand-in looks for frames, for tests that show
// no reader ever waits on one: opening a FIFO for reading waits in open()
// until a writer comes, so a reader that opened one would hang its thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace zq_test {

class FifoTraps {
 public:
  FifoTraps() = default;
  // Lets any reader still waiting on one of the FIFOs go on.
  ~FifoTraps();
  FifoTraps(const FifoTraps&) = delete;
  FifoTraps& operator=(const FifoTraps&) = delete;

  // A FIFO at `path`, whose directory exists; throws when it cannot be made.
  void Put(const std::string& path);
  // Runs `call` on a thread of its own: true when it returned within `limit`.
  // When it did not, the FIFOs are opened for writing until it returns (a
  // writer lets a reader waiting in open() go on, and it then reads an end of
  // file), and false is returned: a failing test still ends.
  bool ReturnsWithin(std::chrono::milliseconds limit, const std::function<void()>& call);

 private:
  // Opens each FIFO that has a reader for writing and closes it again.
  void ReleaseReaders() const;

  std::vector<std::string> paths_;
};

}  // namespace zq_test
