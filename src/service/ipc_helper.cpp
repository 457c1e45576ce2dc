#include "service/ipc_helper.h"

#include "base/log.h"
#include "service/ipc_service.h"

namespace zq_camera_service {

IpcHelper* IpcHelper::GetInstance() {
  static IpcHelper* instance = new IpcHelper(IpcService::GetInstance());
  return instance;
}

IpcHelper::IpcHelper(IpcService* service) : service(service) {}

int IpcHelper::SendSyncMessage(IpcMessage& request, IpcMessage& reply) {
  if (request.request_id.empty()) {
    zq_error("ipc request without request id refused\n");
    return -1;
  }
  service->PostMessage("ipchelper", &request);
  {
    std::unique_lock<std::mutex> lock(map_lock);
    map_cond.wait(lock, [&] { return responses.count(request.request_id) != 0; });
    auto stored = responses.find(request.request_id);
    reply = std::move(*stored->second);
    responses.erase(stored);
  }
  // A reply stored under this id by another way than this request's own
  // exchange may come while the request still waits to be sent again after
  // a lost connection: the link must let go of the record before it does.
  service->WithdrawMessage(&request);
  return 0;
}

bool IpcHelper::TakeResponse(const std::string& id, IpcMessage& reply) {
  std::lock_guard<std::mutex> lock(map_lock);
  auto stored = responses.find(id);
  if (stored == responses.end()) return false;
  reply = std::move(*stored->second);
  responses.erase(stored);
  return true;
}

void IpcHelper::UpdateResponse(IpcMessage* message) {
  if (message == nullptr) return;
  auto copy = std::make_unique<IpcMessage>(message->Clone());
  {
    std::lock_guard<std::mutex> lock(map_lock);
    std::string id = copy->request_id;
    // emplace keeps the reply already stored; the new copy is freed here.
    if (!responses.emplace(std::move(id), std::move(copy)).second) return;
  }
  map_cond.notify_all();
}

void IpcHelper::StaticUpdateResponse(IpcMessage* message) { GetInstance()->UpdateResponse(message); }

}  // namespace zq_camera_service
