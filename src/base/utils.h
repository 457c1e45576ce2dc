// Static helpers shared by the whole system: text formatting, conversions,
// time stamps, the memory probe and JSON-to-text.
#pragma once

#include <string>

#include <rapidjson/document.h>

#include "base/log.h"

namespace zq_camera_service {

class Utils {
 public:
  Utils() = delete;

  // printf-style formatting into a string of any length; "" when the format
  // cannot be rendered.
  static std::string StringFormat(const char* format, ...) ZQ_PRINTF_LIKE(1);
  // The text read the way atoi reads it (saturating instead of overflowing).
  static int Str2Int(const std::string& text);
  static std::string Int2Str(int number);
  // Current Unix time in whole seconds, as decimal text.
  static std::string GetTimeStamp();
  // Logs the process's memory figure (13th line of /proc/self/status) when it
  // changed since the previous call.
  static void CheckMemory(std::string tag);
  // Hardware address of "eth0" as "xx:xx:xx:xx:xx:xx"; 0, or -1 on failure.
  static int GetMac(std::string& out);
  // Pretty-printed JSON with four-space indentation.
  static std::string DocumentToString(const rapidjson::Value& document);

  // Test seam for CheckMemory: parses the figure from the text of a status
  // file and applies the change rule; returns true when a line was logged.
  static bool CheckMemoryFromStatusText(const std::string& tag, const std::string& status_text);
  static void ResetMemoryCountersForTest();
};

}  // namespace zq_camera_service
