#include "snmp/blocking_call_deadline.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/unique_fd.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::UniqueFd;

struct Pipe {
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      read_end.reset(fds[0]);
      write_end.reset(fds[1]);
    }
  }
  UniqueFd read_end;
  UniqueFd write_end;
};

// Unblocks a read that the deadline failed to end, so the test fails
// instead of hanging.
class Rescue {
 public:
  explicit Rescue(int write_end)
      : thread_([this, write_end] {
          for (int i = 0; i < 300 && !done_; ++i) std::this_thread::sleep_for(100ms);
          if (!done_) (void)!write(write_end, "r", 1);
        }) {}
  ~Rescue() {
    done_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(BlockingCallDeadlineTest, InterruptsABlockedCallOfItsThreadOnly) {
  Pipe mine;
  Pipe others;
  ASSERT_TRUE(mine.read_end.valid() && others.read_end.valid());
  Rescue rescue(mine.write_end.get());

  // Another thread blocked in a read all along keeps waiting for its data.
  std::atomic<ssize_t> other_result{-2};
  std::atomic<int> other_errno{0};
  std::thread other([&] {
    char byte = 0;
    ssize_t n = read(others.read_end.get(), &byte, 1);
    other_errno = errno;
    other_result = n;
  });

  char byte = 0;
  ssize_t n = 0;
  int error = 0;
  {
    BlockingCallDeadline deadline(1);
    ASSERT_TRUE(deadline.armed());
    n = read(mine.read_end.get(), &byte, 1);
    error = errno;
  }
  EXPECT_EQ(-1, n);
  EXPECT_EQ(EINTR, error);

  ASSERT_EQ(1, write(others.write_end.get(), "x", 1));
  other.join();
  EXPECT_EQ(1, other_result.load()) << "errno " << other_errno.load();
}

TEST(BlockingCallDeadlineTest, EndsWithItsScope) {
  Pipe pipe_fds;
  ASSERT_TRUE(pipe_fds.read_end.valid());
  char byte = 0;
  {
    BlockingCallDeadline deadline(1);
    ASSERT_EQ(1, write(pipe_fds.write_end.get(), "x", 1));
    EXPECT_EQ(1, read(pipe_fds.read_end.get(), &byte, 1));
  }
  // Well past the second the deadline had: a call blocked now waits for its
  // data.
  Rescue rescue(pipe_fds.write_end.get());
  std::thread writer([&] {
    std::this_thread::sleep_for(2500ms);
    (void)!write(pipe_fds.write_end.get(), "y", 1);
  });
  ssize_t n = read(pipe_fds.read_end.get(), &byte, 1);
  int error = errno;
  writer.join();
  EXPECT_EQ(1, n) << "errno " << error;
  EXPECT_EQ('y', byte);
}

}  // namespace
