// The process's link to the camera software: one TCP connection, a queue of
// requests and the post thread that sends the head request and reads frames
// until the reply with its id has come, handing every frame to the handler
// waiting for its id (a frame nobody waits for is dropped). The camera
// software may start after this process, restart under it, answer an
// abandoned request late, repeat itself or hang: the post thread reconnects
// with a growing pause and sends again the request whose reply the lost
// connection took with it, and gives a connection up as lost when the head's
// reply has not come within a bound. A request leaves the queue once its
// reply has come or its caller withdrew it, so it is never sent again after
// that.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/tcp_client.h"
#include "base/tcp_server.h"
#include "base/unique_fd.h"
#include "service/ipc_frame_reader.h"
#include "service/ipc_message.h"

namespace zq_camera_service {

// Called on the post thread with a reply that is valid only during the call.
using IpcReplyHandler = std::function<void(IpcMessage*)>;

class IpcService {
 public:
  static constexpr const char* kCameraHost = "127.0.0.1";
  static constexpr unsigned int kCameraPort = 9658;
  // Pauses before each reconnection attempt: short enough that start-up goes
  // on soon after the camera software comes up, long enough that an absent
  // peer costs next to nothing.
  static constexpr std::chrono::milliseconds kFirstRetryDelay{500};
  static constexpr std::chrono::milliseconds kLongestRetryDelay{5000};
  // How long a request may go unanswered before its connection counts as
  // lost. The camera software answers in milliseconds; this leaves it room
  // for a busy moment and still gets start-up going again soon after a hang.
  static constexpr std::chrono::milliseconds kReplyBound{10000};

  static IpcService* GetInstance();
  // The process uses GetInstance() (the camera software's fixed address);
  // tests build their own link to a fake peer on a port of their own.
  IpcService();
  IpcService(std::string host, unsigned int port, std::chrono::milliseconds reply_bound = kReplyBound);
  ~IpcService();
  IpcService(const IpcService&) = delete;
  IpcService& operator=(const IpcService&) = delete;

  // Connects (the address is fixed; `endpoint` is kept as the link's name),
  // starts the post thread and registers "ipchelper". 0, -1 when thread
  // attributes cannot be set up, or the thread-creation error number.
  int StartService(std::string endpoint);
  // Ends the connection and the post thread; 0.
  int StopService();
  // Adds name -> handler unless the name is taken (the first one stays); 0.
  int RegisterIpcService(std::string name, IpcReplyHandler handler);
  // Queues the caller's own record for sending; its reply goes to the
  // handler of `name`. 0; -1 when no handler has that name (the request is
  // sent all the same, its reply dropped) or the request has no id (refused,
  // not queued).
  int PostMessage(std::string name, IpcMessage* request);
  // Takes the caller's record out of the queue and its id out of the pending
  // table, so that the caller may destroy it. A frame already on its way is
  // not recalled; its reply, if any, is dropped, and the post thread stops
  // waiting for it and goes on with the next request.
  void WithdrawMessage(IpcMessage* request);

  static void* StaticPostThread(void* service);
  // Receive loop of a server-side link; nothing in the process starts it.
  static void* StaticRecvThread(void* service);

  // Test seam: the listening link RecvThread reads from.
  void SetServerForTest(std::unique_ptr<TcpServer> link) { server = std::move(link); }

 private:
  // How the wait for the head request's reply ended.
  enum class Exchange { kAnswered, kWithdrawn, kTimedOut, kLinkLost, kStopped };
  enum class LinkWait { kReadable, kWoken, kExpired, kFailed };

  void PostThread();
  void RecvThread();
  // Reconnects after `delay`; false when the service stops meanwhile.
  bool WaitThenReconnect(std::chrono::milliseconds delay, bool* connected);
  // Closes a connection that failed; the next request reconnects.
  void DropLink();
  // Reads and hands out frames, over as many receives as the peer's writes
  // take, until the reply to the request in flight has come, its caller has
  // withdrawn it, the link fails or `deadline` passes.
  Exchange AwaitReply(IpcFrameReader& reader, std::chrono::steady_clock::time_point deadline);
  // Blocks until the socket has bytes (or an end), the service is woken, or
  // `deadline` passes.
  LinkWait WaitForBytes(std::chrono::steady_clock::time_point deadline);
  // Checks one whole frame, takes the request its id answers out of the
  // queue, and hands the frame to the handler waiting for that id. True when
  // it answered the request in flight.
  bool HandOut(const std::string& frame);
  bool InFlightWithdrawn();
  // Makes the post thread look at `stop` and `in_flight` again.
  void Wake();
  void DrainWake();
  // Hands a received frame to the handler pending under its id, if any.
  void DeliverReply(IpcMessage* message);

  std::string peerHost;
  unsigned int peerPort;
  // From the start of a request's send until its reply must have come.
  std::chrono::milliseconds replyBound;
  // Polled beside the socket while a reply is awaited; readable once woken.
  UniqueFd wakeFd;

  std::string endpoint;
  std::atomic<bool> stop{false};
  std::deque<IpcMessage*> messages;
  // The head of `messages` while the post thread has it on the wire or waits
  // for its reply; null when there is none, its reply has come or its caller
  // has withdrawn it. The post thread sends a copy of the frame, so a
  // withdrawn record is never touched again.
  IpcMessage* in_flight = nullptr;
  std::mutex queue_mutex;
  std::condition_variable queue_cond;
  pthread_t post_thread{};
  bool postThreadRunning = false;
  std::mutex handler_mutex;
  std::unordered_map<std::string, IpcReplyHandler> pending;
  std::unordered_map<std::string, IpcReplyHandler> handlers;
  // Guards the client's socket while the post thread replaces or closes it,
  // so that StopService can shut down the one in use.
  std::mutex link_mutex;
  std::unique_ptr<TcpClient> client;
  std::unique_ptr<TcpServer> server;
};

}  // namespace zq_camera_service
