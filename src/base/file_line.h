// Reads one short line of a text file, the way the procfs figures are read.
#pragma once

#include <cstddef>
#include <string>

namespace zq_camera_service {

// Line number `index` (0 for the first) of the file at `path`, without its
// line break, cut to `max_length` characters (the rest of that line is
// skipped, never taken for the next line); false when the file cannot be
// opened or ends before that line.
bool ReadFileLine(const std::string& path, int index, size_t max_length, std::string* line);

}  // namespace zq_camera_service
