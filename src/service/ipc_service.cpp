#include "service/ipc_service.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/socket_io.h"
#include "service/ipc_helper.h"

namespace zq_camera_service {

IpcService* IpcService::GetInstance() {
  static IpcService* instance = new IpcService();
  return instance;
}

IpcService::IpcService() : IpcService(kCameraHost, kCameraPort) {}

IpcService::IpcService(std::string host, unsigned int port, std::chrono::milliseconds reply_bound)
    : peerHost(std::move(host)),
      peerPort(port),
      replyBound(reply_bound),
      // Should it fail to open, a withdrawn request is waited for until the
      // bound, and a stop still ends the wait through the socket's shutdown.
      wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

IpcService::~IpcService() { StopService(); }

int IpcService::StartService(std::string endpoint) {
  if (postThreadRunning) {
    zq_error("ipc service already started\n");
    return -1;
  }
  client = std::make_unique<TcpClient>(peerHost, peerPort);

  pthread_attr_t attributes;
  int result = pthread_attr_init(&attributes);
  if (result != 0) {
    fprintf(stderr, "Create attr failed %d\n", result);
    return -1;
  }
  // Cleared before the thread exists, so it cannot see a stale stop.
  stop = false;
  result = pthread_create(&post_thread, &attributes, StaticPostThread, this);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    fprintf(stderr, "Create post thread failed%d\n", result);
  } else {
    postThreadRunning = true;
  }
  this->endpoint = std::move(endpoint);
  RegisterIpcService("ipchelper", IpcHelper::StaticUpdateResponse);
  return result;
}

int IpcService::StopService() {
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    stop = true;
  }
  queue_cond.notify_all();
  Wake();
  // Shutting the socket down wakes a send or receive the post thread is
  // blocked in; the descriptor itself is closed only after the join. The
  // post thread replaces the socket only under link_mutex and looks at stop
  // first, so it cannot open a new one behind this shutdown.
  {
    std::lock_guard<std::mutex> lock(link_mutex);
    if (client && client->sock >= 0) shutdown(client->sock, SHUT_RDWR);
  }
  if (postThreadRunning) {
    pthread_join(post_thread, nullptr);
    postThreadRunning = false;
  }
  client.reset();
  return 0;
}

int IpcService::RegisterIpcService(std::string name, IpcReplyHandler handler) {
  if (!handler) return 0;
  std::lock_guard<std::mutex> lock(handler_mutex);
  handlers.emplace(std::move(name), std::move(handler));
  return 0;
}

int IpcService::PostMessage(std::string name, IpcMessage* request) {
  if (request == nullptr || request->request_id.empty()) {
    // No reply could ever be matched to it.
    zq_error("ipc request without request id refused\n");
    return -1;
  }
  bool known;
  {
    std::lock_guard<std::mutex> lock(handler_mutex);
    auto handler = handlers.find(name);
    known = handler != handlers.end();
    // In place before the request can be sent, so no reply outruns it.
    if (known) pending.emplace(request->request_id, handler->second);
  }
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    messages.push_back(request);
  }
  queue_cond.notify_one();
  return known ? 0 : -1;
}

void IpcService::WithdrawMessage(IpcMessage* request) {
  if (request == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(handler_mutex);
    pending.erase(request->request_id);
  }
  std::lock_guard<std::mutex> lock(queue_mutex);
  auto queued = std::find(messages.begin(), messages.end(), request);
  if (queued != messages.end()) messages.erase(queued);
  if (in_flight == request) {
    in_flight = nullptr;
    Wake();
  }
}

void IpcService::Wake() {
  if (!wakeFd.valid()) return;
  uint64_t one = 1;
  ssize_t written = write(wakeFd.get(), &one, sizeof one);
  (void)written;  // a full counter wakes the thread all the same
}

void IpcService::DrainWake() {
  uint64_t count = 0;
  ssize_t got = read(wakeFd.get(), &count, sizeof count);
  (void)got;  // nothing to read: someone else drained it, the state is looked at anyway
}

void* IpcService::StaticPostThread(void* service) {
  static_cast<IpcService*>(service)->PostThread();
  return nullptr;
}

void* IpcService::StaticRecvThread(void* service) {
  static_cast<IpcService*>(service)->RecvThread();
  return nullptr;
}

void IpcService::PostThread() {
  IpcFrameReader reader;
  std::chrono::milliseconds retry_delay = kFirstRetryDelay;
  bool reported_down = false;  // the link's loss is logged once, not per attempt
  std::string outgoing;
  std::string awaited;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(queue_mutex);
      queue_cond.wait(lock, [this] { return stop.load() || !messages.empty(); });
      if (stop) break;
      // A copy, so that the caller may withdraw and destroy its record at
      // any time; taken again for each attempt, the head may have changed.
      in_flight = messages.front();
      awaited = in_flight->request_id;
      if (in_flight->data && in_flight->size > 0) {
        outgoing.assign(in_flight->data.get(), static_cast<size_t>(in_flight->size));
      } else {
        outgoing.clear();
      }
    }
    if (!client->connected) {
      if (!reported_down) {
        zq_error("ipc link to %s:%u down, reconnecting\n", peerHost.c_str(), peerPort);
        reported_down = true;
      }
      bool connected = false;
      if (!WaitThenReconnect(retry_delay, &connected)) break;
      // Grows until a reply has come through, not merely until a connect
      // works: a peer that accepts and then closes at once, or never
      // answers, is retried slowly.
      retry_delay = std::min(retry_delay * 2, kLongestRetryDelay);
      if (connected) {
        reader.Clear();
        zq_info("ipc link to %s:%u up again\n", peerHost.c_str(), peerPort);
        reported_down = false;
      }
      // The head is taken again: its caller may have withdrawn it during the pause.
      continue;
    }

    zq_print("ipc message send\n");
    zq_print("data get\n");
    // The bound covers the send too: a peer that has stopped reading holds
    // the frame back as surely as one that never answers.
    auto deadline = std::chrono::steady_clock::now() + replyBound;
    int sent = client->send(&outgoing[0], static_cast<int>(outgoing.size()), deadline);
    zq_print("client send\n");
    if (sent != 0) {
      // The request stays at the head of the queue and goes again once the
      // link is back.
      DropLink();
      continue;
    }
    zq_print("msg delete\nbegin recv\n");
    switch (AwaitReply(reader, deadline)) {
      case Exchange::kAnswered: {
        retry_delay = kFirstRetryDelay;
        // A peer may have written further frames with the reply; they are
        // handed out now rather than left for the next exchange.
        std::string frame;
        IpcFrameReader::Result more;
        while ((more = reader.Next(&frame)) == IpcFrameReader::kFrameReady) HandOut(frame);
        if (more == IpcFrameReader::kBrokenStream) DropLink();
        break;
      }
      case Exchange::kWithdrawn:
        // The link is sound; a late reply to the withdrawn request is
        // dropped when it comes.
        break;
      case Exchange::kTimedOut:
        zq_error("ipc no reply for request \"%s\" within %lld ms\n", awaited.c_str(),
                 static_cast<long long>(replyBound.count()));
        // A peer that hangs or lost the request on its side: a new
        // connection, and the request again, as after a lost one.
        DropLink();
        break;
      case Exchange::kLinkLost:
        // No reply came for it: it stays queued and is sent again on the
        // new connection.
        DropLink();
        break;
      case Exchange::kStopped:
        break;
    }
    if (stop) break;
  }
  std::lock_guard<std::mutex> lock(queue_mutex);
  in_flight = nullptr;
}

bool IpcService::WaitThenReconnect(std::chrono::milliseconds delay, bool* connected) {
  {
    std::unique_lock<std::mutex> lock(queue_mutex);
    if (queue_cond.wait_for(lock, delay, [this] { return stop.load(); })) return false;
  }
  std::lock_guard<std::mutex> lock(link_mutex);
  if (stop) return false;
  *connected = client->reconnect() == 0;
  return true;
}

void IpcService::DropLink() {
  std::lock_guard<std::mutex> lock(link_mutex);
  client->disconnect();
}

IpcService::Exchange IpcService::AwaitReply(IpcFrameReader& reader, std::chrono::steady_clock::time_point deadline) {
  zq_info("recv\n");
  for (;;) {
    std::string frame;
    switch (reader.Next(&frame)) {
      case IpcFrameReader::kFrameReady:
        zq_info("recv length %zu\n", frame.size());
        if (HandOut(frame)) return Exchange::kAnswered;
        // A frame for another id: the reply may still come behind it.
        if (InFlightWithdrawn()) return Exchange::kWithdrawn;
        continue;
      case IpcFrameReader::kBrokenStream:
        return Exchange::kLinkLost;
      case IpcFrameReader::kNeedMore:
        break;
    }
    switch (WaitForBytes(deadline)) {
      case LinkWait::kReadable: {
        // The client's block buffer is free once the request has left.
        int received = client->recv_into(client->frame_buffer.get(), TcpClient::kFrameSize);
        if (received <= 0) {
          if (received == 0) zq_info("recv length 0\n");
          return Exchange::kLinkLost;
        }
        reader.Append(client->frame_buffer.get(), static_cast<size_t>(received));
        break;
      }
      case LinkWait::kWoken:
        if (stop) return Exchange::kStopped;
        if (InFlightWithdrawn()) return Exchange::kWithdrawn;
        break;
      case LinkWait::kExpired:
        return Exchange::kTimedOut;
      case LinkWait::kFailed:
        return Exchange::kLinkLost;
    }
  }
}

IpcService::LinkWait IpcService::WaitForBytes(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    // A negative descriptor (no wake) is left out by poll itself.
    pollfd fds[2] = {{client->sock, POLLIN, 0}, {wakeFd.get(), POLLIN, 0}};
    int ready = PollUntil(fds, 2, deadline);
    if (ready == 0) return LinkWait::kExpired;
    if (ready < 0) {
      zq_error("ipc wait for a reply failed: %s\n", strerror(errno));
      return LinkWait::kFailed;
    }
    if (fds[1].revents != 0) {
      DrainWake();
      return LinkWait::kWoken;
    }
    // Bytes, an end of stream or an error: the receive tells which.
    if (fds[0].revents != 0) return LinkWait::kReadable;
  }
}

bool IpcService::HandOut(const std::string& frame) {
  IpcMessage reply;
  zq_print("parse raw data %p\n", static_cast<const void*>(frame.data()));
  reply.ParseRawData(frame.data(), static_cast<int>(frame.size()));
  bool answered_in_flight = false;
  if (!reply.request_id.empty()) {
    std::lock_guard<std::mutex> lock(queue_mutex);
    // Answered wherever it waits, so it is never sent (again) after this:
    // a reply for a request still queued is a late answer to an earlier send.
    auto answered = std::find_if(messages.begin(), messages.end(),
                                 [&](const IpcMessage* queued) { return queued->request_id == reply.request_id; });
    if (answered != messages.end()) {
      answered_in_flight = *answered == in_flight;
      if (answered_in_flight) in_flight = nullptr;
      messages.erase(answered);
    }
  }
  // The reply may release the caller, who may then destroy its record.
  DeliverReply(&reply);
  zq_print("delete data\n");
  return answered_in_flight;
}

bool IpcService::InFlightWithdrawn() {
  std::lock_guard<std::mutex> lock(queue_mutex);
  return in_flight == nullptr;
}

void IpcService::RecvThread() {
  if (!server) return;
  while (!stop) {
    zq_print("recv\n");
    // A closed or failed client has nothing more to give.
    if (server->recv() != 0 || server->recv_len <= 0) break;
    int length = 0;
    server->getMsg(length, nullptr);
    IpcMessage message;
    message.ParseRawData(server->frame_buffer.get(), length);
    DeliverReply(&message);
  }
}

void IpcService::DeliverReply(IpcMessage* message) {
  std::lock_guard<std::mutex> lock(handler_mutex);
  // Nothing is ever pending under the empty id of a frame that failed its checks.
  auto entry = pending.find(message->request_id);
  if (entry == pending.end()) {
    zq_print("ipc reply dropped: no request waits for id \"%s\"\n", message->request_id.c_str());
    return;
  }
  entry->second(message);
  pending.erase(entry);
}

}  // namespace zq_camera_service
