// Socket writes that neither raise SIGPIPE nor stop at a short write, the
// frame read the TCP client and server share, and waits bounded by a deadline.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>

namespace zq_camera_service {

// Sends all `length` bytes on `socket` (MSG_NOSIGNAL, retrying on EINTR and
// after short writes); false, with errno set, when the socket fails first.
bool SendAll(int socket, const char* data, size_t length);

// Receives what `socket` has ready into `frame`, cleared first so that a short
// read leaves zeros behind it (at most `frame_size` bytes, retrying on EINTR).
// The count received, or -1 once the failure is reported ("recv failed" on
// standard error and a log line with errno). A negative `socket` (no peer)
// fails at once with `no_socket_errno`, the error its owner reports for it.
int ReceiveFrame(int socket, char* frame, int frame_size, int no_socket_errno);

// One receive of up to `capacity` bytes into `buffer`, left as it is beyond
// what arrived (retrying on EINTR). The count, 0 when the peer has closed, or
// -1 once the failure is reported as ReceiveFrame reports it.
int ReceiveSome(int socket, char* buffer, int capacity, int no_socket_errno);

// Polls `fds` until one of them is ready or `deadline` has passed, across
// interrupted calls: poll's count, 0 once the deadline has passed, or -1
// (errno set) when poll fails.
int PollUntil(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point deadline);

}  // namespace zq_camera_service
