// The agent's notification receivers, each sent to and kept usable on its
// own. The library opens a sink once, while it reads its configuration
// ("trapsink", "trap2sink", "informsink", "trapsess"); when a TCP receiver
// closes its end the library frees the session and never opens it again.
// Here the library hands every sink session it opens over, each
// notification goes to each open sink separately, and a sink whose send fails
// or whose receiver closed is opened again from its configuration line after
// a pause that grows while it stays down (SinkBackoff), never in between. A
// TCP sink is opened only once its receiver answered a non-blocking probe,
// and its connect is bounded, so the agent thread never waits for a silent
// host. A failure of one sink leaves the others alone: each receiver gets each
// notification once.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

// Puts the recording in front of the library's sink configuration lines, takes
// over the sink sessions the library opens and watches its error log. Call
// after init_agent, before init_snmp reads the files.
void watch_notification_sinks();

// send_v2trap of `list`: the library builds the notification, and it goes to
// every open sink once.
void send_to_notification_sinks(netsnmp_variable_list *list);
