// A frame from the camera link: ParseRawData, the body slice and the encoder
// reply's description as the encoder-information service logs it.
#include <cstdint>
#include <cstring>
#include <string>

#include <rapidjson/document.h>

#include "service/config_service.h"
#include "service/ipc_message.h"
#include "support/fuzz_check.h"

using zq_camera_service::ConfigService;
using zq_camera_service::IpcMessage;
using zq_camera_service::kIpcHeaderSize;
using zq_camera_service::kIpcMaxFrameSize;

namespace {

int32_t Word(const uint8_t* data, int offset) {
  return static_cast<int32_t>(static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
                              static_cast<uint32_t>(data[offset + 2]) << 16 |
                              static_cast<uint32_t>(data[offset + 3]) << 24);
}

// What the link accepts: a 40-byte header announcing 40, type 1 (JSON) and a
// body that makes up the rest of the frame exactly.
bool Acceptable(const uint8_t* data, size_t size) {
  if (size < static_cast<size_t>(kIpcHeaderSize) || size > static_cast<size_t>(kIpcMaxFrameSize)) return false;
  return Word(data, 0) == kIpcHeaderSize && Word(data, 8) == 1 &&
         static_cast<int64_t>(kIpcHeaderSize) + Word(data, 4) == static_cast<int64_t>(size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* raw = reinterpret_cast<const char*>(data);
  const int count = size > static_cast<size_t>(kIpcMaxFrameSize) + 1 ? kIpcMaxFrameSize + 1 : static_cast<int>(size);
  const bool acceptable = Acceptable(data, static_cast<size_t>(count));

  // A message already holding a frame keeps it when the new one is refused.
  static const std::string kHeld = std::string("\x28\0\0\0\x02\0\0\0\x01\0\0\0", 12) + std::string(28, '\0') + "{}";
  IpcMessage message;
  FUZZ_CHECK(message.ParseRawData(kHeld.data(), static_cast<int>(kHeld.size())) == 0);
  message.request_id = "held";

  const int result = message.ParseRawData(raw, count);
  FUZZ_CHECK((result == 0) == acceptable);
  FUZZ_CHECK(result == 0 || result == -1 || result == -2 || result == -3);
  const char* body = nullptr;
  size_t length = 0;
  if (result == 0) {
    FUZZ_CHECK(message.size == count);
    FUZZ_CHECK(memcmp(message.data.get(), raw, static_cast<size_t>(count)) == 0);
    FUZZ_CHECK(message.GetBody(&body, &length));
    FUZZ_CHECK(length == static_cast<size_t>(count - kIpcHeaderSize));
    FUZZ_CHECK(body == message.data.get() + kIpcHeaderSize);
    // The request id is the body's "Response"."RequestId" text, or "".
    rapidjson::Document parsed;
    parsed.Parse<rapidjson::kParseIterativeFlag>(body, length);
    std::string expected_id;
    if (!parsed.HasParseError() && parsed.IsObject() && parsed.HasMember("Response") && parsed["Response"].IsObject() &&
        parsed["Response"].HasMember("RequestId") && parsed["Response"]["RequestId"].IsString()) {
      expected_id.assign(parsed["Response"]["RequestId"].GetString(), parsed["Response"]["RequestId"].GetStringLength());
    }
    FUZZ_CHECK(message.request_id == expected_id);
    IpcMessage copy = message.Clone();
    FUZZ_CHECK(copy.size == message.size && copy.request_id == message.request_id);
    FUZZ_CHECK(memcmp(copy.data.get(), message.data.get(), static_cast<size_t>(count)) == 0);
  } else {
    FUZZ_CHECK(message.size == static_cast<int32_t>(kHeld.size()));
    FUZZ_CHECK(memcmp(message.data.get(), kHeld.data(), kHeld.size()) == 0);
    FUZZ_CHECK(message.request_id == "held");
  }

  // The encoder reply as logged: "null" or JSON text that parses again.
  const std::string described = ConfigService::DescribeReply(message);
  FUZZ_CHECK(!described.empty());
  rapidjson::Document reread;
  reread.Parse(described.c_str(), described.size());
  FUZZ_CHECK(!reread.HasParseError());
  if (result != 0) FUZZ_CHECK(described == "{}");
  return 0;
}
