// Network log sink: lines routed to the collector are queued here and posted
// in batches by the poster thread, started with the first such line.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/shared_queue.h"

// Formatted lines waiting for the poster, oldest first. Built during static
// initialisation and never destroyed: the poster may still wait on it while
// the process exits.
extern SharedQueue<std::string>& g_zq_net_log_queue;
// False until the first network line, then true for the life of the process.
extern std::atomic<bool> g_zq_log_need_net;
extern pthread_t g_zq_log_net_thread;
// Unix seconds of the last post (at first: when the poster was started).
extern std::atomic<int64_t> g_zq_log_net_log_timestamp;

// At most this many lines wait; beyond it the oldest are dropped, and the
// next batch starts with a line saying how many.
constexpr size_t kNetLogQueueLimit = 10000;
// A line is cut to fit a buffer of this many bytes (its NUL included).
constexpr size_t kNetLogLineBufferSize = 2052;
// A batch goes when more than this many lines wait...
constexpr size_t kNetLogBatchLines = 10;
// ...or when a line waits and more than this many seconds passed since the last post.
constexpr int64_t kNetLogBatchSeconds = 5;

extern "C" {
// Formats one line like a file line, queues it and, on the first call of the
// process, starts the poster.
void zq_netlog(int level, char* text);
// The poster thread's body.
void* zq_log_net_post_thread(void* arg);
}

// Whether a batch is due with `queued` lines at second `now` when the last
// post was at `last_post`. The difference is compared as unsigned, so a clock
// set back makes a batch due at once.
bool zq_netlog_batch_due(size_t queued, int64_t now, int64_t last_post);
// The body of one post: { "Logs":["<Base64 of line 1>","<Base64 of line 2>"] }.
std::string zq_netlog_batch_body(const std::vector<std::string>& lines);
// Lines dropped from the full queue and not yet reported in a batch.
size_t zq_netlog_dropped_count();
