// Raw loopback sockets for tests that play the far end of a TCP link.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "base/unique_fd.h"

namespace zq_test {

using zq_camera_service::UniqueFd;

// A listening socket on 127.0.0.1; `port` in: wanted port (0 = any free), out: the port.
UniqueFd ListenOnLoopback(uint16_t* port);
// The next connection on `listener`, or an invalid fd after `timeout`.
UniqueFd AcceptWithin(int listener, std::chrono::milliseconds timeout);
UniqueFd ConnectToLoopback(uint16_t port);
// Up to `count` bytes, fewer when the stream ends or `timeout` passes first.
std::string ReadBytes(int fd, size_t count, std::chrono::milliseconds timeout);
// Whether `received` is one whole frame of `frame_size` bytes: `text`, then
// zero bytes to its end. A failure says where it differs, not megabytes of it.
::testing::AssertionResult IsZeroPaddedFrame(const std::string& received, const std::string& text, size_t frame_size);
// True when the other end closes within `timeout` (no more bytes are read).
bool WaitForEndOfStream(int fd, std::chrono::milliseconds timeout);
// True when `fd` is an open descriptor of this process.
bool DescriptorOpen(int fd);

}  // namespace zq_test
