// Blocking request and reply over the camera link: SendSyncMessage posts a
// request under "ipchelper" and waits until its reply is in the table.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "service/ipc_message.h"

namespace zq_camera_service {

class IpcService;

class IpcHelper {
 public:
  static IpcHelper* GetInstance();
  // The process uses GetInstance() (on the process-wide link); tests pair a
  // helper with a link of their own.
  explicit IpcHelper(IpcService* service);
  IpcHelper(const IpcHelper&) = delete;
  IpcHelper& operator=(const IpcHelper&) = delete;

  // Sends `request` and blocks, without a time limit, until its reply has
  // arrived (the link asks again on a new connection while none comes); the
  // reply's old frame is released. 0, or -1 for a request
  // without id (it could never be answered).
  int SendSyncMessage(IpcMessage& request, IpcMessage& reply);
  // Stores a copy of a received reply under its id; a second reply for an id
  // still waiting to be collected is discarded.
  void UpdateResponse(IpcMessage* message);
  // The "ipchelper" handler: UpdateResponse of the process-wide helper.
  static void StaticUpdateResponse(IpcMessage* message);
  // Moves the stored reply for `id` into `reply`; false when none is stored.
  bool TakeResponse(const std::string& id, IpcMessage& reply);

 private:
  IpcService* service;
  std::mutex map_lock;
  std::condition_variable map_cond;
  std::unordered_map<std::string, std::unique_ptr<IpcMessage>> responses;
};

}  // namespace zq_camera_service
