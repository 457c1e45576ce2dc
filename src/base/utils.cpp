#include "base/utils.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

namespace zq_camera_service {

std::string Utils::StringFormat(const char* format, ...) {
  if (format == nullptr) return "";
  // Twice the format length fits most texts in one pass; a longer one takes
  // exactly one more pass at its true length.
  size_t capacity = 2 * strlen(format);
  if (capacity == 0) capacity = 1;
  for (int pass = 0; pass < 2; ++pass) {
    std::unique_ptr<char[]> buffer(new char[capacity]);
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer.get(), capacity, format, args);
    va_end(args);
    if (n < 0) return "";
    if (static_cast<size_t>(n) < capacity) return std::string(buffer.get());
    capacity = static_cast<size_t>(n) + 1;
  }
  return "";
}

int Utils::Str2Int(const std::string& text) {
  errno = 0;
  long value = strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string Utils::Int2Str(int number) { return std::to_string(number); }

std::string Utils::GetTimeStamp() {
  struct timeval now {};
  gettimeofday(&now, nullptr);
  return std::to_string(static_cast<long long>(now.tv_sec));
}

namespace {

std::mutex g_memory_mutex;
int g_memory_previous = 0;
int g_memory_max = 0;

// The figure of the 13th line, whatever field the kernel puts there.
bool ParseStatusFigure(const std::string& status_text, int* figure) {
  std::istringstream lines(status_text);
  std::string line;
  for (int i = 0; i < 13; ++i) {
    if (!std::getline(lines, line)) return false;
  }
  char word[64];
  return sscanf(line.c_str(), "%63s %d", word, figure) == 2;
}

}  // namespace

bool Utils::CheckMemoryFromStatusText(const std::string& tag, const std::string& status_text) {
  int figure = 0;
  if (!ParseStatusFigure(status_text, &figure)) return false;
  int change;
  int largest;
  {
    std::lock_guard<std::mutex> lock(g_memory_mutex);
    if (figure > g_memory_max) g_memory_max = figure;
    change = figure - g_memory_previous;
    g_memory_previous = figure;
    largest = g_memory_max;
  }
  if (change == 0) return false;
  zq_info("[memcheck] %s %d kB %d kB max: %d kB\n", tag.c_str(), figure, change, largest);
  return true;
}

void Utils::ResetMemoryCountersForTest() {
  std::lock_guard<std::mutex> lock(g_memory_mutex);
  g_memory_previous = 0;
  g_memory_max = 0;
}

void Utils::CheckMemory(std::string tag) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(getpid()));
  FILE* file = fopen(path, "r");
  if (file == nullptr) return;
  std::string text;
  char line[512];
  for (int i = 0; i < 13 && fgets(line, sizeof line, file) != nullptr; ++i) text += line;
  fclose(file);
  CheckMemoryFromStatusText(tag, text);
}

int Utils::GetMac(std::string& out) {
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return -1;
  struct ifreq request {};
  strncpy(request.ifr_name, "eth0", IFNAMSIZ - 1);
  int rc = ioctl(sock, SIOCGIFHWADDR, &request);
  close(sock);
  if (rc < 0) return -1;
  const unsigned char* mac = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
  out = StringFormat("%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return 0;
}

std::string Utils::DocumentToString(const rapidjson::Value& document) {
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
  writer.SetIndent(' ', 4);
  document.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace zq_camera_service
