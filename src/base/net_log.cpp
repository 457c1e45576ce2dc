#include "base/net_log.h"

#include <cstdio>

#include "base/log.h"

// Placeholder until the HTTP transport exists: the collector cannot be reached
// yet, so the line goes to standard output instead of being lost.
extern "C" void zq_netlog(int level, char* text) {
  printf("%s | %s: %s", g_zq_log_app_name.c_str(), zq_log_level_name(level).c_str(), text);
}
