// Network log sink: lines routed to the collector are queued here and posted
// in batches by the poster thread.
#pragma once

extern "C" {
// Formats one line like a file line and queues it for the collector.
void zq_netlog(int level, char* text);
}
