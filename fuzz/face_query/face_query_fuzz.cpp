// The "faceDetect_url" query of a face-list group ("datatype=..&timestamp=..
// &objectID=..") read into the face image's locator.
//
// Input byte 0 picks the form: odd, the rest is the query text as the camera
// wrote it; even, the next 16 bytes are a locator that the target writes as a
// query (in an order and with extra pieces the other bytes choose) and that
// must read back exactly.
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "service/mjpeg_query_info.h"
#include "support/fuzz_check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  return 0;
}

namespace {

bool PieceStartsWith(const std::string& text, const char* prefix) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, strlen(prefix), prefix) == 0) return true;
    start = end + 1;
  }
  return false;
}

void ArbitraryText(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  input.erase(std::find(input.begin(), input.end(), '\0'), input.end());  // C text ends at its NUL
  std::vector<char> text(input.begin(), input.end());
  text.push_back('\0');
  MJPEG_QUERY_INFO_ST info{0x1122334455667788ull, -77, -99};
  FUZZ_CHECK(MJPEG_parseQueryInfo(text.data(), &info) == 0);
  // Only the "&" separators become terminators; no byte past the text is touched.
  for (size_t i = 0; i < input.size(); ++i) FUZZ_CHECK(text[i] == input[i] || (input[i] == '&' && text[i] == '\0'));
  FUZZ_CHECK(text[input.size()] == '\0');
  // A field without its piece keeps its value.
  if (!PieceStartsWith(input, "timestamp=")) FUZZ_CHECK(info.timestamp == 0x1122334455667788ull);
  if (!PieceStartsWith(input, "datatype=")) FUZZ_CHECK(info.datatype == -77);
  if (!PieceStartsWith(input, "objectID=")) FUZZ_CHECK(info.objectID == -99);
}

void WrittenLocator(const uint8_t* data, size_t size) {
  if (size < 17) return;
  uint64_t timestamp = 0;
  int32_t datatype = 0;
  int32_t object_id = 0;
  memcpy(&timestamp, data + 1, 8);
  memcpy(&datatype, data + 9, 4);
  memcpy(&object_id, data + 13, 4);
  std::vector<std::string> pieces = {"datatype=" + std::to_string(datatype), "timestamp=" + std::to_string(timestamp),
                                     "objectID=" + std::to_string(object_id)};
  // Rotated and padded with pieces of no interest, empty ones included.
  const uint8_t shape = size > 17 ? data[17] : 0;
  std::rotate(pieces.begin(), pieces.begin() + shape % 3, pieces.end());
  if (shape & 4) pieces.insert(pieces.begin(), "other=1");
  if (shape & 8) pieces.push_back("");
  if (shape & 16) pieces.insert(pieces.begin() + 1, "data=7");
  std::string query;
  for (size_t i = 0; i < pieces.size(); ++i) query += (i == 0 ? "" : "&") + pieces[i];
  std::vector<char> text(query.begin(), query.end());
  text.push_back('\0');
  MJPEG_QUERY_INFO_ST info{1, 2, 3};
  FUZZ_CHECK(MJPEG_parseQueryInfo(text.data(), &info) == 0);
  FUZZ_CHECK(info.timestamp == timestamp);
  FUZZ_CHECK(info.datatype == datatype);
  FUZZ_CHECK(info.objectID == object_id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FUZZ_CHECK(MJPEG_parseQueryInfo(nullptr, nullptr) == -1);
  if (data[0] & 1) {
    ArbitraryText(data + 1, size - 1);
  } else {
    WrittenLocator(data, size);
  }
  return 0;
}
