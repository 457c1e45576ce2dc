// Locator of one face image in the face share buffer, as the face list's
// "faceDetect_url" query gives it.
#pragma once

#include <cstdint>

struct MJPEG_QUERY_INFO_ST {
  uint64_t timestamp;
  int32_t datatype;
  int32_t objectID;
};

// Splits `text` in place at every "&" and reads the pieces "datatype=",
// "timestamp=" and "objectID=" into `info`; other pieces are ignored and
// fields whose piece is missing keep their values. A piece that does not read
// logs its parse error line. -1 when either pointer is null, else 0.
int MJPEG_parseQueryInfo(char* text, MJPEG_QUERY_INFO_ST* info);
