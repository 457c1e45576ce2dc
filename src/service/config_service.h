// Service 1: asks the camera software once, at start-up, for its encoder
// information and writes the reply to the log.
#pragma once

#include <cstdint>
#include <string>

#include "service/base_service.h"
#include "service/ipc_message.h"

namespace zq_camera_service {

class IpcHelper;

class ConfigService : public BaseService {
 public:
  // Null: the process-wide helper (tests hand in one on their own link).
  explicit ConfigService(IpcHelper* helper = nullptr);

  // Sends the request and waits, without a time limit, for the reply; 0.
  int StartService() override;
  int StopService() override;
  // Counts the request and returns its body for `command`.
  std::string ComposeRequestMessage(std::string command);
  // The reply's JSON body as the log shows it: pretty-printed, "null" when
  // the reply has no valid frame or its body does not parse.
  static std::string DescribeReply(const IpcMessage& reply);

 private:
  IpcHelper* helper;
  int32_t request_counter = 0;
};

}  // namespace zq_camera_service
