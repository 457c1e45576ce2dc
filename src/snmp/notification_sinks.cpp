#include "snmp/notification_sinks.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"

namespace {

using SinkParser = void (*)(const char *, char *);

struct SinkToken {
  const char *token;
  SinkParser parse;
};

// The library's own parsers of the sink lines; the recording calls them.
const SinkToken kSinkTokens[] = {
    {"trapsink", snmpd_parse_config_trapsink},
    {"trap2sink", snmpd_parse_config_trap2sink},
    {"informsink", snmpd_parse_config_informsink},
    {"trapsess", snmpd_parse_config_trapsess},
};

struct SinkLine {
  SinkParser parse;
  std::string token;
  std::string line;
};

// Written while the configuration is read (main thread, before the agent
// thread exists), read afterwards on the agent thread only.
std::vector<SinkLine> g_sink_lines;
// Error lines the library logged while a send or a reopen was watched.
int g_errors_seen = 0;
bool g_watching = false;
// The last reopen left a sink unopened: try again before the next send.
bool g_reopen_due = false;
int g_reopens = 0;

SinkParser ParserOf(const char *token) {
  for (const SinkToken &sink : kSinkTokens) {
    if (strcmp(sink.token, token) == 0) return sink.parse;
  }
  return nullptr;
}

void RecordSinkLine(const char *token, char *line) {
  SinkParser parse = ParserOf(token);
  if (parse == nullptr) return;
  // The parsers cut the line up in place: keep the text before they do.
  g_sink_lines.push_back({parse, token, line});
  parse(token, line);
}

int OnLibraryLog(int, int, void *serverarg, void *) {
  const auto *message = static_cast<const snmp_log_message *>(serverarg);
  if (g_watching && message != nullptr && message->priority <= LOG_ERR) ++g_errors_seen;
  return SNMPERR_SUCCESS;
}

// Closes every sink and opens them again from their recorded lines; true
// when every one opened without an error.
bool ReopenSinks() {
  ++g_reopens;
  g_errors_seen = 0;
  g_watching = true;
  snmpd_free_trapsinks();
  for (const SinkLine &sink : g_sink_lines) {
    std::vector<char> line(sink.line.begin(), sink.line.end());
    line.push_back('\0');
    sink.parse(sink.token.c_str(), line.data());
  }
  g_watching = false;
  g_reopen_due = g_errors_seen != 0;
  if (g_reopen_due) {
    zq_print(
        "notification sinks not all open, next try before the next "
        "notification\n");
  } else {
    zq_print("notification sinks opened again\n");
  }
  return !g_reopen_due;
}

// send_v2trap reports nothing; a sink that fails logs an error line.
bool SendWatched(netsnmp_variable_list *list) {
  g_errors_seen = 0;
  g_watching = true;
  send_v2trap(list);
  g_watching = false;
  return g_errors_seen == 0;
}

}  // namespace

void watch_notification_sinks() {
  for (const SinkToken &sink : kSinkTokens) {
    // Registering a token again replaces the parser of the one registered
    // before; the library's free function (closing the sinks) stays.
    register_app_config_handler(sink.token, RecordSinkLine, snmpd_free_trapsinks, nullptr);
  }
  // The library logs to standard error only while no other log handler
  // exists; keep that output where it was before adding the watch.
  if (!snmp_stderrlog_status()) snmp_enable_stderrlog();
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_ERR);
  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, OnLibraryLog, nullptr);
}

void send_to_notification_sinks(netsnmp_variable_list *list) {
  if (g_reopen_due) ReopenSinks();
  if (SendWatched(list)) return;
  // A receiver went away since the last notification. Healthy sinks already
  // have this one; a receiver that is back gets it on the fresh session.
  if (!g_sink_lines.empty() && ReopenSinks()) SendWatched(list);
}

int notification_sink_reopens() { return g_reopens; }
