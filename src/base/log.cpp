#include "base/log.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unistd.h>

#include "base/net_log.h"

int g_zq_log_config = 1;
int g_zq_log_record_type = 0;
std::string g_zq_log_record_url;
std::string g_zq_log_app_name;
std::vector<std::string> g_zq_log_level_names = {"ERROR", "WARN", "INFO", "DEBUG"};

namespace {

constexpr size_t kLineBufferSize = kZqLogTextLimit + 1;  // the text and its NUL

// The log file shares the flash with the configuration documents: while the
// cloud is unreachable the error lines alone come to megabytes a day, and a
// full flash could no longer take the rotated key. One full file and one older
// generation at most are kept.
constexpr off_t kLogFileLimit = 1024 * 1024;

// Lines of different threads could otherwise both find the file full and both
// move it aside, the second moving the fresh file over the older generation.
// A leaf lock: nothing logs while holding it.
std::mutex& LogFileMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& LogFilePath() {
  static std::string path = "/mnt/flash/smartinfo/log_daemon.txt";
  return path;
}

void VLog(int level, const char* format, va_list args) {
  if (!zq_log_enabled(level)) return;
  char buffer[kLineBufferSize];
  if (vsnprintf(buffer, sizeof buffer, format, args) < 0) buffer[0] = '\0';
  log_out(level, buffer);
}

}  // namespace

#define ZQ_DEFINE_LOG_ENTRY(name, level)  \
  void name(const char* format, ...) {    \
    if (!zq_log_enabled(level)) return;   \
    va_list args;                         \
    va_start(args, format);               \
    VLog((level), format, args);          \
    va_end(args);                         \
  }

extern "C" {
ZQ_DEFINE_LOG_ENTRY(zq_error, 1)
ZQ_DEFINE_LOG_ENTRY(zq_warn, 2)
ZQ_DEFINE_LOG_ENTRY(zq_info, 3)
ZQ_DEFINE_LOG_ENTRY(zq_debug, 4)
ZQ_DEFINE_LOG_ENTRY(zq_print, 4)

void log_out(int level, char* text) {
  if (!g_zq_log_record_url.empty() && g_zq_log_record_type == 1) {
    zq_flog(level, text);
  } else if (!g_zq_log_record_url.empty() && g_zq_log_record_type == 2) {
    zq_netlog(level, text);
  } else {
    printf("%s | %s: %s", g_zq_log_app_name.c_str(), zq_log_level_name(level).c_str(), text);
  }
}

void zq_flog(int level, char* text) {
  std::string line = zq_format_record_line(level, text);
  const std::string& path = LogFilePath();
  std::lock_guard<std::mutex> lock(LogFileMutex());
  FILE* file = fopen(path.c_str(), "a");
  if (file == nullptr) return;  // no directory, no space, no permission: the line is dropped
  struct stat info {};
  if (fstat(fileno(file), &info) == 0 && info.st_size > 0 &&
      info.st_size + static_cast<off_t>(line.size()) > kLogFileLimit) {
    // The full file becomes the older generation, replacing the one before.
    fclose(file);
    const std::string older = path + ".1";
    if (rename(path.c_str(), older.c_str()) == 0) {
      file = fopen(path.c_str(), "a");
      if (file == nullptr) return;
    } else {
      // A read-only or full directory, or a busy older name: the file is
      // emptied instead, so it never grows past its bound, and the move is
      // tried again only when it is full again, not for every line.
      const int move_error = errno;
      file = fopen(path.c_str(), "a");
      if (file == nullptr) return;
      if (ftruncate(fileno(file), 0) != 0) {
        fclose(file);
        return;
      }
      std::string note = "Log file " + path + " could not be moved to " + older + " (" + strerror(move_error) +
                         "), its earlier lines were dropped\n";
      note = zq_format_record_line(1, note.c_str());
      fwrite(note.data(), 1, note.size(), file);
    }
  }
  fwrite(line.data(), 1, line.size(), file);
  fclose(file);
}
}

const std::string& zq_log_level_name(int level) {
  static const std::string unknown;
  if (level < 1 || level > static_cast<int>(g_zq_log_level_names.size())) return unknown;
  return g_zq_log_level_names[level - 1];
}

std::string zq_format_record_line(int level, const char* text) {
  char time_text[kLineBufferSize];
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  if (strftime(time_text, sizeof time_text, "%c", &local) == 0) time_text[0] = '\0';

  // Time text and message are each under 1000 bytes, so this always fits.
  char line[3 * kLineBufferSize];
  snprintf(line, sizeof line, "[%s] %s[%d|%d] | %s: %s", time_text, g_zq_log_app_name.c_str(),
           static_cast<int>(getpid()), static_cast<int>(getppid()), zq_log_level_name(level).c_str(), text);
  return line;
}

void zq_set_log_file_path(const std::string& path) { LogFilePath() = path; }
const std::string& zq_log_file_path() { return LogFilePath(); }
