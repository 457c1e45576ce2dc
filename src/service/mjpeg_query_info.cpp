#include "service/mjpeg_query_info.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/log.h"

namespace {

bool StartsWith(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Reads a decimal int the way "%d" does (blanks, sign, digits); out-of-range
// values saturate instead of being undefined. False when no digit follows.
bool ReadInt32(const char* digits, int32_t* out) {
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(digits, &end, 10);
  if (end == digits) return false;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  *out = static_cast<int32_t>(value);
  return true;
}

// As "%llu": blanks, optional sign, digits; above 2^64 - 1 saturates.
bool ReadUint64(const char* digits, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(digits, &end, 10);
  if (end == digits) return false;
  *out = static_cast<uint64_t>(value);
  return true;
}

}  // namespace

int MJPEG_parseQueryInfo(char* text, MJPEG_QUERY_INFO_ST* info) {
  if (text == nullptr || info == nullptr) return -1;
  static const char kDatatype[] = "datatype=";
  static const char kTimestamp[] = "timestamp=";
  static const char kObjectId[] = "objectID=";

  char* state = nullptr;
  for (char* piece = strtok_r(text, "&", &state); piece != nullptr; piece = strtok_r(nullptr, "&", &state)) {
    if (StartsWith(piece, kDatatype)) {
      if (!ReadInt32(piece + sizeof(kDatatype) - 1, &info->datatype)) zq_error("parse datatype error\n");
    } else if (StartsWith(piece, kTimestamp)) {
      if (!ReadUint64(piece + sizeof(kTimestamp) - 1, &info->timestamp)) zq_error("parse timestamp error\n");
    } else if (StartsWith(piece, kObjectId)) {
      if (!ReadInt32(piece + sizeof(kObjectId) - 1, &info->objectID)) zq_error("parse objectID error\n");
    }
  }
  return 0;
}
