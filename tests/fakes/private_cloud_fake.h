// The private cloud back end for tests, the demo and the benchmarks: takes
// face uploads (POST /zarnu/retailapi/facedetect) on an HttpFakeServer,
// records query and raw body, and answers a serialised CommonResultRsp that
// echoes the request's session id. Its answers can be scripted.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/http_fake_server.h"
#include "proto/retail_preprocess.pb.h"

namespace zq_test {

struct FaceUpload {
  HttpRequestRecord request;  // query, headers, raw body bytes, arrival time
  bool decoded = false;       // the body parsed as a FaceDetectReq
  zarnu::FaceDetectReq message;
};

class PrivateCloudFake {
 public:
  static constexpr const char* kPath = "/zarnu/retailapi/facedetect";

  explicit PrivateCloudFake(uint16_t port = 0);

  // Base URL for "PicUploadUrl".
  std::string url() const { return server_.url(); }
  HttpFakeServer& server() { return server_; }

  // Answer every upload with this error code and message (the default is 0, "ok").
  void AnswerResult(int error_code, const std::string& error_msg);
  // Answer with a bare status and an empty body.
  void AnswerStatus(int status);
  // Answer 200 with exactly these bytes.
  void AnswerBytes(const std::string& body);
  // Wait this long before each answer.
  void SetDelay(std::chrono::milliseconds delay);

  std::vector<FaceUpload> Uploads() const;
  size_t UploadCount() const { return server_.RequestsTo(kPath).size(); }
  bool WaitForUploads(size_t count, std::chrono::milliseconds timeout) const {
    return server_.WaitForRequestsTo(kPath, count, timeout);
  }

 private:
  enum class Mode { kResult, kStatus, kBytes };
  HttpReply Answer(const HttpRequestRecord& request);

  mutable std::mutex mutex_;
  Mode mode_ = Mode::kResult;
  int error_code_ = 0;
  std::string error_msg_ = "ok";
  int status_ = 200;
  std::string bytes_;
  std::chrono::milliseconds delay_{0};
  HttpFakeServer server_;
};

}  // namespace zq_test
