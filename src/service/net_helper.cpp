#include "service/net_helper.h"

#include "base/log.h"
#include "base/utils.h"
#include "service/net_service.h"

namespace zq_camera_service {

namespace {

// The memory probe reads /proc on every call, which costs as much as a
// quarter of a loopback exchange. Its only effect is an INFO line, and the
// log threshold is fixed at start-up, so below INFO the probe is skipped.
void CheckMemoryAround(const char* format, long long id) {
  if (!zq_log_enabled(3)) return;
  Utils::CheckMemory(Utils::StringFormat(format, id));
}

}  // namespace

NetHelper* NetHelper::GetInstance() {
  static NetHelper* instance = new NetHelper();
  return instance;
}

int NetHelper::SendSyncMessage(NetMessage& request, NetMessage& reply) {
  std::lock_guard<TicketLock> send(send_lock);
  long long id = ++next_id;
  request.id = id;
  zq_info("session %lld %lld\n", id, id);
  CheckMemoryAround("Begin sync[%lld] send", id);

  NetService::GetInstance()->PostMessage(&request);

  // The worker answers every message it takes exactly once, so this wait
  // ends when the transfer does (its time-outs bound it).
  std::unique_ptr<NetMessage> answer;
  {
    std::unique_lock<std::mutex> lock(map_lock);
    response_cond.wait(lock, [&] { return responses.count(KeyOf(id)) > 0; });
    auto entry = responses.find(KeyOf(id));
    answer = std::move(entry->second);
    responses.erase(entry);
  }
  reply.TakeData(*answer);

  CheckMemoryAround("End sync[%lld] send", id);
  return 0;
}

void NetHelper::UpdateResponse(long long id, ReceivedText& text) {
  auto record = std::make_unique<NetMessage>();
  record->id = id;
  size_t length = 0;
  record->over_limit = text.over_limit();
  ByteBuffer bytes = text.Release(&length);
  record->AdoptData(std::move(bytes), length);
  {
    std::lock_guard<std::mutex> lock(map_lock);
    responses.emplace(KeyOf(id), std::move(record));
  }
  response_cond.notify_all();
}

}  // namespace zq_camera_service
