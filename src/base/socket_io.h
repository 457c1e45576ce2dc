// Socket writes that neither raise SIGPIPE nor stop at a short write.
#pragma once

#include <cstddef>

namespace zq_camera_service {

// Sends all `length` bytes on `socket` (MSG_NOSIGNAL, retrying on EINTR and
// after short writes); false, with errno set, when the socket fails first.
bool SendAll(int socket, const char* data, size_t length);

}  // namespace zq_camera_service
