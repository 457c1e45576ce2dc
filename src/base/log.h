// Process-wide logging: five printf-style entry points with plain C symbol
// names, routed to standard output, the fixed log file or the network
// collector according to the settings main() takes from the environment.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#define ZQ_PRINTF_LIKE(fmt_index) __attribute__((format(printf, fmt_index, fmt_index + 1)))

extern int g_zq_log_config;       // threshold: a line of level L is written when L <= threshold
extern int g_zq_log_record_type;  // 1 file, 2 network collector, anything else stdout
extern std::string g_zq_log_record_url;
extern std::string g_zq_log_app_name;
extern std::vector<std::string> g_zq_log_level_names;

// The most characters of text one line keeps; a longer text is cut there.
constexpr size_t kZqLogTextLimit = 999;

// Whether a line of `level` would be written. Text made only for a log line
// (a masked copy, a pretty-printed document) is built after asking, so a
// dropped line costs nothing however large the text it would have shown.
inline bool zq_log_enabled(int level) { return level <= g_zq_log_config; }

extern "C" {
void zq_error(const char* format, ...) ZQ_PRINTF_LIKE(1);
void zq_warn(const char* format, ...) ZQ_PRINTF_LIKE(1);
void zq_info(const char* format, ...) ZQ_PRINTF_LIKE(1);
void zq_debug(const char* format, ...) ZQ_PRINTF_LIKE(1);
void zq_print(const char* format, ...) ZQ_PRINTF_LIKE(1);

// Routes one formatted line (level 1..4) to its sink.
void log_out(int level, char* text);
// Appends one line to the daemon log file.
void zq_flog(int level, char* text);
}

// Level name for a level of 1..4; "" for anything else, so a bad level can
// never index past the table.
const std::string& zq_log_level_name(int level);

// Formats a file/network line: "[time] tag[pid|ppid] | LEVEL: text".
std::string zq_format_record_line(int level, const char* text);

// The daemon log file path is fixed on the device; tests point it into a
// temporary directory so they never write under /mnt.
void zq_set_log_file_path(const std::string& path);
const std::string& zq_log_file_path();
