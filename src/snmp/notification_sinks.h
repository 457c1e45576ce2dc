// The agent's notification receivers, kept usable when they come and go.
// net-snmp opens a TCP receiver ("trap2sink tcp:host:port") once, while it
// reads its configuration; when that receiver closes its end the library frees
// the session but keeps the dead sink, and never reopens it. Every later
// notification to it fails. The sink lines of the configuration are recorded
// as the library reads them, and the sinks are opened again from them after a
// send that failed, until they open cleanly.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

// Puts the recording in front of the library's sink configuration lines
// ("trapsink", "trap2sink", "informsink", "trapsess") and watches the
// library's error log. Call after init_agent, before init_snmp reads the files.
void watch_notification_sinks();

// send_v2trap of `list` to every sink. When the send fails (the library logs
// an error), the sinks are opened again and the notification sent once more,
// so a receiver that came back gets it; a sink that cannot be opened yet is
// tried again before the next notification.
void send_to_notification_sinks(netsnmp_variable_list *list);

// Number of times the sinks were opened again (for tests and the log).
int notification_sink_reopens();
