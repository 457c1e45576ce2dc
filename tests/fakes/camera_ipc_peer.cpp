#include "fakes/camera_ipc_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <rapidjson/document.h>

#include "base/socket_io.h"

namespace zq_fakes {

namespace {

// The peer reads and writes the frame header on its own, byte by byte, so a
// fault in the service's header code cannot hide behind a shared one.
constexpr int kHeaderSize = 40;

int32_t Word(const char* block, int index) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(block) + 4 * index;
  return static_cast<int32_t>(static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                              static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24);
}

void PutWord(std::string& frame, int index, int32_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) frame[4 * index + i] = static_cast<char>((bits >> (8 * i)) & 0xff);
}

const struct {
  CameraPeerFault fault;
  const char* name;
} kFaultNames[] = {
    {CameraPeerFault::kNone, "none"},
    {CameraPeerFault::kSilent, "silent"},
    {CameraPeerFault::kWrongHeaderSize, "wrong-header-size"},
    {CameraPeerFault::kBodyType2, "body-type-2"},
    {CameraPeerFault::kPaddedReply, "padded-reply"},
    {CameraPeerFault::kWrongId, "wrong-id"},
    {CameraPeerFault::kCloseAfterRequest, "close-after-request"},
    {CameraPeerFault::kSplitHeaderBody, "split-header-body"},
    {CameraPeerFault::kByteByByte, "byte-by-byte"},
    {CameraPeerFault::kLargeBody, "large-body"},
    {CameraPeerFault::kCloseThenAnswer, "close-then-answer"},
    {CameraPeerFault::kMergedReplies, "merged-replies"},
    {CameraPeerFault::kHugeNumber, "huge-number"},
    {CameraPeerFault::kStrayFirst, "stray-first"},
    {CameraPeerFault::kStraysFirst, "strays-first"},
    {CameraPeerFault::kStrayAfter, "stray-after"},
    {CameraPeerFault::kRepeatedReply, "repeated-reply"},
    {CameraPeerFault::kSilentThenAnswer, "silent-then-answer"},
};

// Checks one request block as the link must lay it down.
CameraPeerRequest InspectRequest(const char* block, size_t length) {
  CameraPeerRequest request;
  request.header_size = Word(block, 0);
  request.body_size = Word(block, 1);
  request.body_type = Word(block, 2);
  if (request.header_size != kHeaderSize) {
    request.problem = "header_size " + std::to_string(request.header_size);
    return request;
  }
  if (request.body_size < 0 || request.body_size > static_cast<int32_t>(length) - kHeaderSize) {
    request.problem = "body_size " + std::to_string(request.body_size);
    return request;
  }
  if (request.body_type != 1) {
    request.problem = "body_type " + std::to_string(request.body_type);
    return request;
  }
  for (int i = 3; i < 6; ++i) {
    if (Word(block, i) != 1) {
      request.problem = "word at offset " + std::to_string(4 * i) + " is " + std::to_string(Word(block, i));
      return request;
    }
  }
  for (int i = 24; i < kHeaderSize; ++i) {
    if (block[i] != 0) {
      request.problem = "reserved byte " + std::to_string(i) + " not zero";
      return request;
    }
  }
  size_t end = kHeaderSize + static_cast<size_t>(request.body_size);
  request.body.assign(block + kHeaderSize, static_cast<size_t>(request.body_size));
  for (size_t i = end; i < length; ++i) {
    if (block[i] != 0) {
      request.problem = "padding byte " + std::to_string(i) + " not zero";
      return request;
    }
  }
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(request.body.data(), request.body.size());
  if (!document.HasParseError() && document.IsObject()) {
    auto id = document.FindMember("RequestId");
    if (id != document.MemberEnd() && id->value.IsString()) {
      request.request_id.assign(id->value.GetString(), id->value.GetStringLength());
    }
  }
  request.well_formed = true;
  return request;
}

}  // namespace

bool ParseCameraPeerFault(const std::string& name, CameraPeerFault* fault) {
  for (const auto& entry : kFaultNames) {
    if (name == entry.name) {
      *fault = entry.fault;
      return true;
    }
  }
  return false;
}

const char* CameraPeerFaultName(CameraPeerFault fault) {
  for (const auto& entry : kFaultNames) {
    if (entry.fault == fault) return entry.name;
  }
  return "?";
}

CameraIpcPeer::CameraIpcPeer() : CameraIpcPeer(Options()) {}

CameraIpcPeer::CameraIpcPeer(Options options) : options_(std::move(options)) {}

CameraIpcPeer::~CameraIpcPeer() { Stop(); }

bool CameraIpcPeer::Start() {
  if (listener_.valid()) return true;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  wake_read_.reset(pipe_fds[0]);
  wake_write_.reset(pipe_fds[1]);

  listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener_.valid()) return false;
  int on = 1;
  // A fixed port may still have connections of an earlier run in TIME_WAIT.
  setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(options_.port);
  socklen_t length = sizeof address;
  if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_.get(), 8) != 0 ||
      getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    listener_.reset();
    return false;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread(&CameraIpcPeer::AcceptLoop, this);
  return true;
}

void CameraIpcPeer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  changed_.notify_all();
  // Every thread of the peer polls the wake pipe beside its socket.
  if (wake_write_.valid()) {
    char byte = 1;
    ssize_t ignored = write(wake_write_.get(), &byte, 1);
    (void)ignored;
  }
  if (acceptor_.joinable()) acceptor_.join();
  for (auto& server : servers_) server.join();
  servers_.clear();
  listener_.reset();
}

void CameraIpcPeer::SetFault(CameraPeerFault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.fault = fault;
}

void CameraIpcPeer::SetDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.delay = delay;
}

void CameraIpcPeer::SetEventLogger(std::function<void(const std::string&)> logger) {
  std::lock_guard<std::mutex> lock(mutex_);
  logger_ = std::move(logger);
}

std::vector<CameraPeerRequest> CameraIpcPeer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t CameraIpcPeer::Connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

size_t CameraIpcPeer::Replies() {
  std::lock_guard<std::mutex> lock(mutex_);
  return replies_;
}

size_t CameraIpcPeer::StrayFrames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return strays_;
}

bool CameraIpcPeer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool CameraIpcPeer::WaitForConnections(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return connections_ >= count; });
}

bool CameraIpcPeer::WaitForReplies(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return replies_ >= count; });
}

bool CameraIpcPeer::Stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

void CameraIpcPeer::Log(const std::string& line) {
  std::function<void(const std::string&)> logger;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    logger = logger_;
  }
  if (logger) logger(line);
}

std::string CameraIpcPeer::BuildReply(const std::string& request_id, const Options& options) {
  std::string id = options.fault == CameraPeerFault::kWrongId ? "not-" + request_id : request_id;
  std::string body = "{\"Response\":{\"RequestId\":\"" + id + "\"";
  if (!options.response_members.empty()) body += "," + options.response_members;
  if (options.fault == CameraPeerFault::kLargeBody) {
    body += ",\"Padding\":\"" + std::string(kLargeBodyPadding, 'x') + "\"";
  }
  if (options.fault == CameraPeerFault::kHugeNumber) body += ",\"Height\":24E308";
  body += "}}";
  std::string frame(kHeaderSize, '\0');
  PutWord(frame, 0, options.fault == CameraPeerFault::kWrongHeaderSize ? 41 : kHeaderSize);
  PutWord(frame, 1, static_cast<int32_t>(body.size()));
  PutWord(frame, 2, options.fault == CameraPeerFault::kBodyType2 ? 2 : 1);
  for (int i = 3; i < 6; ++i) PutWord(frame, i, 1);
  frame += body;
  if (options.fault == CameraPeerFault::kPaddedReply) frame.resize(kBlockSize, '\0');
  return frame;
}

void CameraIpcPeer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    int accepted = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted < 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    changed_.notify_all();
    Log("connection accepted");
    // Only this thread touches servers_ until Stop() has joined it.
    servers_.emplace_back(&CameraIpcPeer::Serve, this, zq_camera_service::UniqueFd(accepted));
  }
}

bool CameraIpcPeer::ReadExactly(int fd, char* buffer, size_t length) {
  size_t got = 0;
  while (got < length) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    ssize_t n = recv(fd, buffer + got, length - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

void CameraIpcPeer::Serve(zq_camera_service::UniqueFd connection) {
  std::vector<char> block(kBlockSize);
  bool silenced = false;  // this is the connection kSilentThenAnswer leaves unanswered
  while (ReadExactly(connection.get(), block.data(), block.size())) {
    CameraPeerRequest request = InspectRequest(block.data(), block.size());
    request.arrival = std::chrono::steady_clock::now();
    Options options;
    size_t index = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = requests_.size();
      requests_.push_back(request);
      options = options_;
    }
    changed_.notify_all();
    Log(request.well_formed ? "request " + request.request_id + ": " + request.body
                            : "malformed request: " + request.problem);
    bool close_now = options.fault == CameraPeerFault::kCloseAfterRequest;
    if (options.fault == CameraPeerFault::kCloseThenAnswer) {
      std::lock_guard<std::mutex> lock(mutex_);
      close_now = !closed_once_;
      closed_once_ = true;
    }
    if (close_now) {
      Log("closing the connection");
      return;
    }
    if (options.fault == CameraPeerFault::kSilentThenAnswer && !silenced) {
      std::lock_guard<std::mutex> lock(mutex_);
      silenced = !silenced_once_;
      silenced_once_ = true;
    }
    if (silenced) {
      Log("leaving request " + request.request_id + " unanswered on this connection");
      continue;
    }
    if (!request.well_formed || options.fault == CameraPeerFault::kSilent) continue;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (changed_.wait_for(lock, options.delay, [&] { return stopping_; })) return;
    }
    std::string reply = BuildReply(request.request_id, options);
    if (!WriteReply(connection.get(), request.request_id, reply, options.fault)) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++replies_;
      requests_[index].replied = true;
      requests_[index].replied_at = std::chrono::steady_clock::now();
    }
    changed_.notify_all();
    std::string fault = options.fault == CameraPeerFault::kNone
                            ? std::string()
                            : std::string(", fault ") + CameraPeerFaultName(options.fault);
    Log("reply sent for " + request.request_id + " (" + std::to_string(reply.size()) + " bytes" + fault + ")");
    if (!WriteAfterReply(connection.get(), request.request_id, reply, options.fault)) return;
  }
}

}  // namespace zq_fakes

namespace zq_fakes {

bool CameraIpcPeer::Pause(std::chrono::milliseconds pause) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_for(lock, pause, [&] { return stopping_; });
}

bool CameraIpcPeer::WriteReply(int fd, const std::string& request_id, const std::string& reply,
                               CameraPeerFault mode) {
  switch (mode) {
    case CameraPeerFault::kSplitHeaderBody:
      // The header alone, then the body once the first part has surely been read.
      return zq_camera_service::SendAll(fd, reply.data(), kHeaderSize) && Pause(kSplitPause) &&
             zq_camera_service::SendAll(fd, reply.data() + kHeaderSize, reply.size() - kHeaderSize);
    case CameraPeerFault::kByteByByte: {
      // Without Nagle's delay and with a pause between the writes, each byte
      // reaches the other end on its own.
      int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      for (size_t i = 0; i < reply.size(); ++i) {
        if (!zq_camera_service::SendAll(fd, reply.data() + i, 1)) return false;
        if (!Pause(std::chrono::milliseconds(1))) return false;
      }
      return true;
    }
    case CameraPeerFault::kStrayFirst:
    case CameraPeerFault::kStraysFirst: {
      int strays = mode == CameraPeerFault::kStrayFirst ? 1 : kStrayCount;
      for (int n = 1; n <= strays; ++n) {
        if (!WriteStray(fd, request_id, n) || !Pause(kStrayPause)) return false;
      }
      return zq_camera_service::SendAll(fd, reply.data(), reply.size());
    }
    case CameraPeerFault::kMergedReplies: {
      // The first frame answers an id nobody asked for; the second is the answer.
      Options plain;
      plain.response_members.clear();
      std::string both = BuildReply(UnaskedId(request_id), plain) + reply;
      return zq_camera_service::SendAll(fd, both.data(), both.size());
    }
    default:
      // One send of the whole frame.
      return zq_camera_service::SendAll(fd, reply.data(), reply.size());
  }
}

bool CameraIpcPeer::WriteAfterReply(int fd, const std::string& request_id, const std::string& reply,
                                    CameraPeerFault mode) {
  switch (mode) {
    case CameraPeerFault::kStrayAfter:
      return Pause(kStrayPause) && WriteStray(fd, request_id, 1);
    case CameraPeerFault::kRepeatedReply:
      if (!Pause(kStrayPause) || !zq_camera_service::SendAll(fd, reply.data(), reply.size())) return false;
      CountStray("reply for " + request_id + " sent again");
      return true;
    default:
      return true;
  }
}

bool CameraIpcPeer::WriteStray(int fd, const std::string& request_id, int n) {
  Options plain;
  plain.response_members.clear();
  std::string id = StrayId(request_id, n);
  std::string frame = BuildReply(id, plain);
  // Each stray goes out on its own, so that the other end can read it alone.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!zq_camera_service::SendAll(fd, frame.data(), frame.size())) return false;
  CountStray("stray frame " + id + " sent");
  return true;
}

void CameraIpcPeer::CountStray(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++strays_;
  }
  changed_.notify_all();
  Log(line);
}

}  // namespace zq_fakes
