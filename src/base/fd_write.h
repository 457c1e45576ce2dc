// Writing a whole buffer to a file descriptor, across short writes and
// interrupted calls.
#pragma once

#include <cstddef>

namespace zq_camera_service {

// Writes all `length` bytes of `data`. False when a write fails or makes no
// progress (a full file system: errno is then ENOSPC); whatever went out
// before stays written, so a caller that reads the file back finds it short.
bool WriteAll(int fd, const void* data, size_t length);

}  // namespace zq_camera_service
