// The one way any thread makes an HTTP exchange: SendSyncMessage queues the
// request on the HTTP worker and blocks until its reply is back. One send
// lock spans the whole call, so the process has one exchange in flight.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/ticket_lock.h"
#include "service/net_message.h"
#include "service/received_text.h"

namespace zq_camera_service {

class NetHelper {
 public:
  static NetHelper* GetInstance();

  // Performs one exchange; returns 0. On return `reply` holds the reply bytes
  // in data/data_len (data_len 0: no reply; see the reply rules in
  // net_service.cpp) and `request.id` the id given to the exchange.
  int SendSyncMessage(NetMessage& request, NetMessage& reply);
  // Stores the reply text of the message `id`, taking its bytes over (the
  // text is left empty); called by the worker thread. A second reply for an
  // id still waiting is discarded.
  void UpdateResponse(long long id, ReceivedText& text);

 private:
  NetHelper() = default;

  static int KeyOf(long long id) { return static_cast<int>(static_cast<uint32_t>(id)); }

  // Callers get the transport in the order they asked for it, so a report
  // waits behind at most the exchanges that were already queued before it.
  TicketLock send_lock;
  long long next_id = 0;  // guarded by send_lock
  std::mutex map_lock;
  std::condition_variable response_cond;  // signalled when a reply lands in `responses`
  std::unordered_map<int, std::unique_ptr<NetMessage>> responses;
};

}  // namespace zq_camera_service
