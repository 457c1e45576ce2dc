#include "snmp/notification_sinks.h"

#include <net-snmp/agent/agent_callbacks.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "snmp/blocking_call_deadline.h"
#include "snmp/reachability_probe.h"
#include "snmp/sink_backoff.h"
#include "snmp/sink_target.h"

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

// The receiver answered the probe a moment ago, so its connect completes
// within a round trip; the bound only matters when the host fell silent in
// between or the probe took the last place in its listener's queue, and keeps
// the agent's answers to requests within about a second even then.
constexpr unsigned int kLibraryConnectSeconds = 1;

struct Sink {
  // The configuration line the sink is opened from; no parser for a session
  // the library handed over on its own, which is never reopened.
  SinkParser parse = nullptr;
  std::string token;
  std::string line;
  SinkTarget target;

  // The open session, null while the sink is down.
  netsnmp_session *session = nullptr;
  bool confirm = false;  // informs
  netsnmp_callback library_callback = nullptr;
  void *library_callback_magic = nullptr;

  SinkBackoff backoff;
  unsigned int reopen_alarm = 0;
  ReachabilityProbe probe;
  // Down since the last notification that went through: said once.
  bool reported_down = false;
};

// Filled while the configuration is read (main thread, before the agent
// thread exists), used afterwards on the agent thread only. Never destroyed:
// the agent thread uses them until the process ends.
std::vector<std::unique_ptr<Sink>> &Sinks() {
  static auto *sinks = new std::vector<std::unique_ptr<Sink>>;
  return *sinks;
}
// The sink whose line the library is reading: the session it hands over
// belongs to it.
Sink *g_opening = nullptr;
// Error lines the library logged while a send was watched.
int g_errors_seen = 0;
bool g_watching = false;

void MarkDown(Sink *sink);

SinkParser ParserOf(const char *token) {
  for (const SinkToken &sink : kSinkTokens) {
    if (strcmp(sink.token, token) == 0) return sink.parse;
  }
  return nullptr;
}

const char *NameOf(const Sink &sink) { return sink.target.host.empty() ? "(unnamed)" : sink.target.host.c_str(); }

int OnLibraryLog(int, int, void *serverarg, void *) {
  const auto *message = static_cast<const snmp_log_message *>(serverarg);
  if (g_watching && message != nullptr && message->priority <= LOG_ERR) ++g_errors_seen;
  return SNMPERR_SUCCESS;
}

// The library found the receiver's end closed: it frees the session itself at
// its next pass, so the sink lets go of it now and never touches it again.
int OnSinkSessionEvent(int operation, netsnmp_session *session, int reqid, netsnmp_pdu *pdu, void *magic) {
  auto *sink = static_cast<Sink *>(magic);
  netsnmp_callback library_callback = sink->library_callback;
  void *library_magic = sink->library_callback_magic;
  if (operation == NETSNMP_CALLBACK_OP_DISCONNECT && sink->session == session) {
    sink->session = nullptr;
    MarkDown(sink);
  }
  if (library_callback != nullptr) return library_callback(operation, session, reqid, pdu, library_magic);
  return 1;
}

// The library opened a sink session; it is the sink's being read, if any.
int OnSinkSessionOpened(int, int, void *serverarg, void *) {
  auto *args = static_cast<agent_add_trap_args *>(serverarg);
  if (args == nullptr || args->ss == nullptr) return SNMPERR_GENERR;
  Sink *sink = g_opening;
  if (sink == nullptr || sink->session != nullptr) {
    Sinks().push_back(std::make_unique<Sink>());
    sink = Sinks().back().get();
  }
  sink->session = args->ss;
  sink->confirm = args->confirm != 0;
  sink->library_callback = args->ss->callback;
  sink->library_callback_magic = args->ss->callback_magic;
  args->ss->callback = OnSinkSessionEvent;
  args->ss->callback_magic = sink;
  args->rc = SNMPERR_SUCCESS;
  return SNMPERR_SUCCESS;
}

// Opens the sink from its line through the library; whether a session came.
bool OpenWithLibrary(Sink *sink) {
  std::vector<char> line(sink->line.begin(), sink->line.end());
  line.push_back('\0');
  g_opening = sink;
  if (sink->target.stream) {
    BlockingCallDeadline deadline(kLibraryConnectSeconds);
    sink->parse(sink->token.c_str(), line.data());
  } else {
    sink->parse(sink->token.c_str(), line.data());
  }
  g_opening = nullptr;
  return sink->session != nullptr;
}

void OnProbeDone(Sink *sink, bool reachable) {
  if (reachable && OpenWithLibrary(sink)) {
    zq_print("notification receiver %s opened\n", NameOf(*sink));
    return;
  }
  MarkDown(sink);
}

void OnReopenDue(unsigned int, void *clientarg) {
  auto *sink = static_cast<Sink *>(clientarg);
  sink->reopen_alarm = 0;
  if (sink->session != nullptr) return;
  if (!sink->target.stream) {
    if (!OpenWithLibrary(sink)) MarkDown(sink);
    return;
  }
  sockaddr_storage address{};
  socklen_t length = 0;
  if (!ResolveSinkTarget(sink->target, &address, &length) ||
      !sink->probe.Start(address, length, [sink](bool reachable) { OnProbeDone(sink, reachable); })) {
    MarkDown(sink);
  }
}

// Schedules the next open of a sink that is down, one back-off period away.
void MarkDown(Sink *sink) {
  if (sink->parse == nullptr || sink->reopen_alarm != 0 || sink->probe.InFlight()) return;
  unsigned int delay = sink->backoff.NextDelay();
  sink->reopen_alarm = snmp_alarm_register(delay, 0, OnReopenDue, sink);
  if (!sink->reported_down) {
    zq_error("notification receiver %s unreachable, next try in %u s\n", NameOf(*sink), delay);
    sink->reported_down = true;
  } else {
    zq_print("notification receiver %s still unreachable, next try in %u s\n", NameOf(*sink), delay);
  }
}

void CloseAndMarkDown(Sink *sink) {
  netsnmp_session *session = sink->session;
  sink->session = nullptr;
  snmp_close(session);
  MarkDown(sink);
}

// Sends `notification` (a template the library clones) to one sink; false
// when the library reported a failure.
bool SendWatched(Sink *sink, netsnmp_pdu *notification) {
  int command = notification->command;
  if (sink->confirm) notification->command = SNMP_MSG_INFORM;
  g_errors_seen = 0;
  g_watching = true;
  send_trap_to_sess(sink->session, notification);
  g_watching = false;
  notification->command = command;
  return g_errors_seen == 0;
}

// The library built a notification (an SNMPv2 one, with sysUpTime.0 in
// front) and offers it here instead of sending it to sinks of its own.
int OnNotification(int, int, void *serverarg, void *) {
  auto *notification = static_cast<netsnmp_pdu *>(serverarg);
  if (notification == nullptr) return SNMPERR_SUCCESS;
  netsnmp_pdu *v1_notification = nullptr;
  for (const std::unique_ptr<Sink> &sink : Sinks()) {
    if (sink->session == nullptr) continue;
    netsnmp_pdu *sent = notification;
    if (sink->session->version == SNMP_VERSION_1) {
      if (v1_notification == nullptr) v1_notification = convert_v2pdu_to_v1(notification);
      if (v1_notification == nullptr) continue;
      sent = v1_notification;
    }
    if (!SendWatched(sink.get(), sent)) {
      CloseAndMarkDown(sink.get());
      continue;
    }
    sink->backoff.Reset();
    if (sink->reported_down) {
      zq_info("notification receiver %s reachable again\n", NameOf(*sink));
      sink->reported_down = false;
    }
  }
  if (v1_notification != nullptr) snmp_free_pdu(v1_notification);
  return SNMPERR_SUCCESS;
}

void RecordSinkLine(const char *token, char *line) {
  SinkParser parse = ParserOf(token);
  if (parse == nullptr) return;
  Sinks().push_back(std::make_unique<Sink>());
  Sink *sink = Sinks().back().get();
  sink->parse = parse;
  sink->token = token;
  // The parsers cut the line up in place: keep the text before they do.
  sink->line = line;
  sink->target = ParseSinkTarget(token, sink->line);
  if (sink->target.stream) {
    // Even the first connect waits for the receiver's answer, on the agent
    // thread: a silent host must not hold up the start either.
    sink->reopen_alarm = snmp_alarm_register_hr(timeval{0, 0}, 0, OnReopenDue, sink);
    if (sink->reopen_alarm == 0) MarkDown(sink);
    return;
  }
  if (!OpenWithLibrary(sink)) MarkDown(sink);
}

}  // namespace

void watch_notification_sinks() {
  for (const SinkToken &sink : kSinkTokens) {
    // Registering a token again replaces the parser of the one registered
    // before; the library's free function stays.
    register_app_config_handler(sink.token, RecordSinkLine, snmpd_free_trapsinks, nullptr);
  }
  // With a handler for these, the library hands every sink session it opens
  // over instead of keeping it, and offers every notification it builds.
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_REGISTER_NOTIFICATIONS, OnSinkSessionOpened,
                         nullptr);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_SEND_TRAP2, OnNotification, nullptr);
  // The library logs to standard error only while no other log handler
  // exists; keep that output where it was before adding the watch.
  if (!snmp_stderrlog_status()) snmp_enable_stderrlog();
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_ERR);
  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, OnLibraryLog, nullptr);
}

void send_to_notification_sinks(netsnmp_variable_list *list) { send_v2trap(list); }
