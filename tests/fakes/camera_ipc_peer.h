// Stand-in for the camera software's end of the local IPC link: listens on a
// loopback port, reads each request as one whole 1 MiB block, checks its
// header and padding, and answers with one unpadded frame
// {"Response":{"RequestId":"<id>",...}}, or misbehaves in a chosen way.
// Some modes answer correctly but write the answer the way a real TCP peer
// may (split, byte by byte, large, merged with another frame), since nothing
// on a stream keeps the boundaries of the writes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"

namespace zq_fakes {

enum class CameraPeerFault {
  kNone,               // answers every request
  kSilent,             // reads requests, never answers
  kWrongHeaderSize,    // answers with header_size 41
  kBodyType2,          // answers with body_type 2
  kPaddedReply,        // answers with the frame zero-padded to a whole 1 MiB block
  kWrongId,            // answers under another request id
  kCloseAfterRequest,  // closes the connection once a request has arrived
  kSplitHeaderBody,    // writes the header, then the body 200 ms later
  kByteByByte,         // writes the answer one byte per send
  kLargeBody,          // answers with a body of more than 200 KiB
  kCloseThenAnswer,    // closes the first connection unanswered, answers on later ones
  kMergedReplies,      // writes a frame for an id never asked for and the answer in one send
  kHugeNumber,         // answers with a member holding a number beyond the double range
  // Frames for ids no request of this connection carries, in writes of their
  // own, as a camera software writes them that answers an abandoned request
  // late or repeats a reply:
  kStrayFirst,         // a stray frame, then the answer kStrayPause later
  kStraysFirst,        // kStrayCount stray frames kStrayPause apart, then the answer
  kStrayAfter,         // the answer, then a stray frame kStrayPause later
  kRepeatedReply,      // the answer, then the same answer again kStrayPause later
  kSilentThenAnswer,   // keeps its first connection open unanswered, answers on later ones
};

// Names used on the fake program's command line: none, silent,
// wrong-header-size, body-type-2, padded-reply, wrong-id, close-after-request,
// split-header-body, byte-by-byte, large-body, close-then-answer, merged-replies,
// huge-number, stray-first, strays-first, stray-after, repeated-reply,
// silent-then-answer.
bool ParseCameraPeerFault(const std::string& name, CameraPeerFault* fault);
const char* CameraPeerFaultName(CameraPeerFault fault);

struct CameraPeerRequest {
  bool well_formed = false;  // header, reserved words and padding as the link lays them down
  std::string problem;       // why not, when it is not
  int32_t header_size = 0;
  int32_t body_size = 0;
  int32_t body_type = 0;
  std::string body;        // the JSON text
  std::string request_id;  // the body's top-level "RequestId", "" when absent
  std::chrono::steady_clock::time_point arrival;  // when the whole block had been read
  bool replied = false;                           // an answer went out for it
  std::chrono::steady_clock::time_point replied_at;
};

class CameraIpcPeer {
 public:
  static constexpr int kBlockSize = 1048576;
  static constexpr size_t kLargeBodyPadding = 200 * 1024;
  static constexpr std::chrono::milliseconds kSplitPause{200};
  static constexpr std::chrono::milliseconds kStrayPause{300};
  static constexpr int kStrayCount = 3;

  struct Options {
    uint16_t port = 0;  // 0: a free port
    std::chrono::milliseconds delay{0};
    CameraPeerFault fault = CameraPeerFault::kNone;
    // Members that follow "RequestId" in the answer's "Response" object.
    std::string response_members =
        "\"CommandType\":\"GetEncodeInfos\",\"EncodeInfos\":[{\"Channel\":0,\"Codec\":\"H264\","
        "\"Width\":1920,\"Height\":1080,\"FrameRate\":25}]";
  };

  CameraIpcPeer();
  explicit CameraIpcPeer(Options options);
  ~CameraIpcPeer();
  CameraIpcPeer(const CameraIpcPeer&) = delete;
  CameraIpcPeer& operator=(const CameraIpcPeer&) = delete;

  // Binds 127.0.0.1 and starts serving; false when the port cannot be had.
  bool Start();
  void Stop();
  uint16_t port() const { return port_; }

  void SetFault(CameraPeerFault fault);
  void SetDelay(std::chrono::milliseconds delay);
  // Called on the peer's threads with one line per event (for the program).
  void SetEventLogger(std::function<void(const std::string&)> logger);

  std::vector<CameraPeerRequest> Requests();
  size_t Connections();
  // Answers to requests (their own id); stray frames are not counted.
  size_t Replies();
  size_t StrayFrames();
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout);
  bool WaitForConnections(size_t count, std::chrono::milliseconds timeout);
  bool WaitForReplies(size_t count, std::chrono::milliseconds timeout);

  // The frame the peer sends for a request id (header + body), as the fault
  // in force shapes it. Modes that only change how the frame is written
  // (split, byte by byte, merged) build the same frame as kNone.
  static std::string BuildReply(const std::string& request_id, const Options& options);
  // The id of the extra frame kMergedReplies writes before the answer.
  static std::string UnaskedId(const std::string& request_id) { return "unasked-" + request_id; }
  // The id of the n-th stray frame (from 1) the stray modes write about a
  // request: "stray-1" for the first about request "1", then "stray-1-2", ...
  static std::string StrayId(const std::string& request_id, int n) {
    return "stray-" + request_id + (n > 1 ? "-" + std::to_string(n) : std::string());
  }

 private:
  void AcceptLoop();
  void Serve(zq_camera_service::UniqueFd connection);
  // Reads exactly `length` bytes; false on end of stream, error or stop.
  bool ReadExactly(int fd, char* buffer, size_t length);
  // Writes a reply frame as the mode says; false when the connection failed
  // or the peer is stopping.
  bool WriteReply(int fd, const std::string& request_id, const std::string& reply, CameraPeerFault mode);
  // Writes the frames the stray modes add after the answer; false as above.
  bool WriteAfterReply(int fd, const std::string& request_id, const std::string& reply, CameraPeerFault mode);
  // Writes the n-th stray frame about `request_id` in a send of its own.
  bool WriteStray(int fd, const std::string& request_id, int n);
  // Counts a frame sent beside the answers (StrayFrames) and logs `line`.
  void CountStray(const std::string& line);
  // Waits `pause` unless the peer stops first; false when it stops.
  bool Pause(std::chrono::milliseconds pause);
  void Log(const std::string& line);
  bool Stopping();

  Options options_;
  uint16_t port_ = 0;
  zq_camera_service::UniqueFd listener_;
  zq_camera_service::UniqueFd wake_read_;
  zq_camera_service::UniqueFd wake_write_;
  std::thread acceptor_;
  std::vector<std::thread> servers_;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<CameraPeerRequest> requests_;
  size_t connections_ = 0;
  size_t replies_ = 0;
  size_t strays_ = 0;
  bool closed_once_ = false;    // kCloseThenAnswer has closed its first connection
  bool silenced_once_ = false;  // kSilentThenAnswer has picked the connection it leaves unanswered
  std::function<void(const std::string&)> logger_;
};

}  // namespace zq_fakes
