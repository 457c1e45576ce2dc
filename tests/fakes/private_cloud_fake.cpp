#include "fakes/private_cloud_fake.h"

namespace zq_test {

PrivateCloudFake::PrivateCloudFake(uint16_t port) : server_(HttpFakeServer::Scheme::kHttp, port) {
  server_.SetHandler("POST", kPath, [this](const HttpRequestRecord& request) { return Answer(request); });
}

void PrivateCloudFake::AnswerResult(int error_code, const std::string& error_msg) {
  std::lock_guard<std::mutex> lock(mutex_);
  mode_ = Mode::kResult;
  error_code_ = error_code;
  error_msg_ = error_msg;
}

void PrivateCloudFake::AnswerStatus(int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  mode_ = Mode::kStatus;
  status_ = status;
}

void PrivateCloudFake::AnswerBytes(const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  mode_ = Mode::kBytes;
  bytes_ = body;
}

void PrivateCloudFake::SetDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ = delay;
}

HttpReply PrivateCloudFake::Answer(const HttpRequestRecord& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  HttpReply reply;
  switch (mode_) {
    case Mode::kResult: {
      zarnu::FaceDetectReq upload;
      zarnu::CommonResultRsp result;
      result.set_error_code(error_code_);
      result.set_error_msg(error_msg_);
      if (upload.ParseFromString(request.body)) result.set_session_id(upload.session_id());
      reply = HttpReply::Bytes(result.SerializeAsString(), "application/x-protobuf");
      break;
    }
    case Mode::kStatus:
      reply = HttpReply::Status(status_);
      break;
    case Mode::kBytes:
      reply = HttpReply::Bytes(bytes_, "application/x-protobuf");
      break;
  }
  reply.delay = delay_;
  return reply;
}

std::vector<FaceUpload> PrivateCloudFake::Uploads() const {
  std::vector<FaceUpload> uploads;
  for (HttpRequestRecord& request : server_.RequestsTo(kPath)) {
    FaceUpload upload;
    upload.decoded = upload.message.ParseFromString(request.body);
    upload.request = std::move(request);
    uploads.push_back(std::move(upload));
  }
  return uploads;
}

}  // namespace zq_test
