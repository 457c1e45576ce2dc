#include "service/net_service.h"

#include <curl/curl.h>

#include "base/log.h"
#include "service/net_helper.h"
#include "service/net_reply.h"

// Reply rules every caller relies on (the reply record after SendSyncMessage):
//   transfer failed, message rejected, or nothing received -> data_len 0
//   "post" answered 200                                   -> the body bytes (an empty body: data_len 0)
//   "post" answered with any other status                 -> the three status digits, e.g. "404"
//   "get" (and any other method)                          -> the body as received, whatever the status

namespace zq_camera_service {

namespace {

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistCleanup>;

constexpr long kConnectTimeoutSeconds = 3;
constexpr long kDefaultTimeoutSeconds = 5;

using WriteCallback = size_t (*)(char*, size_t, size_t, ReceivedText*);

// What the header callback needs to size the text for the body to come.
struct HeaderWatch {
  CURL* curl;
  ReceivedText* received;
};

// libcurl header callback. At the blank line that ends a header block the
// length the reply announces is known: the text makes room for exactly that
// much at once, or the transfer ends here when it could never be kept.
size_t HeaderArrived(char* bytes, size_t size, size_t count, void* watch_pointer) {
  if (count != 0 && size > static_cast<size_t>(-1) / count) return 0;
  size_t length = size * count;
  bool blank = (length == 2 && bytes[0] == '\r' && bytes[1] == '\n') || (length == 1 && bytes[0] == '\n');
  if (!blank) return length;
  auto* watch = static_cast<HeaderWatch*>(watch_pointer);
  curl_off_t announced = -1;
  if (curl_easy_getinfo(watch->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) != CURLE_OK || announced < 0) {
    return length;
  }
  size_t expected = static_cast<unsigned long long>(announced) > static_cast<size_t>(-1)
                        ? static_cast<size_t>(-1)
                        : static_cast<size_t>(announced);
  return watch->received->Expect(expected) ? length : 0;
}

// Options shared by every transfer, whatever the method.
void SetCommonOptions(CURL* curl, const NetMessage& message, ReceivedText* received) {
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, static_cast<WriteCallback>(writer));
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, received);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, message.timeout > 0 ? static_cast<long>(message.timeout) : kDefaultTimeoutSeconds);
  // A peer that trickles (below 1 KiB/s for 30 s) is given up, so that it
  // cannot hold the one exchange in flight for the whole time-out.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1024L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
  // The reply parsing expects HTTP/1.1 status lines, and the worker thread
  // must never be hit by libcurl's timeout signals.
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
}

// The key and the upgrade's checksum travel on https: the peer must prove
// who it is against the system's CA store.
void VerifyPeer(CURL* curl) {
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
}

}  // namespace

NetService* NetService::GetInstance() {
  static NetService* instance = new NetService();
  return instance;
}

int NetService::StartService() {
  int attr_error = 0;
  int create_error = 0;
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    if (running) return 0;
    pthread_attr_t attr;
    attr_error = pthread_attr_init(&attr);
    if (attr_error == 0) {
      stop = false;
      create_error = pthread_create(&post_thread, &attr, StaticPostThread, this);
      pthread_attr_destroy(&attr);
      running = create_error == 0;
    }
  }
  if (attr_error != 0) {
    zq_error("Create attr failed %d\n", attr_error);
    return -1;
  }
  if (create_error != 0) zq_error("Create post thread failed%d\n", create_error);
  return 0;
}

int NetService::StopService() {
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    if (!running) return 0;
    stop = true;
  }
  queue_cond.notify_all();
  pthread_join(post_thread, nullptr);
  std::lock_guard<std::mutex> lock(queue_mutex);
  running = false;
  return 0;
}

int NetService::PostMessage(NetMessage* message) {
  if (message == nullptr) {
    zq_error("Post failed for invalid data\n");
    return -1;
  }
  std::unique_ptr<NetMessage> copy = message->Clone();
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    messages.push_back(std::move(copy));
  }
  queue_cond.notify_one();
  return 0;
}

void* NetService::StaticPostThread(void* service) { return static_cast<NetService*>(service)->PostThread(service); }

void* NetService::PostThread(void* /*arg*/) {
  for (;;) {
    NetMessage* message = nullptr;
    {
      std::unique_lock<std::mutex> lock(queue_mutex);
      queue_cond.wait(lock, [this] { return stop || !messages.empty(); });
      if (stop) break;
      // Only this thread removes messages, so the head stays put while the
      // lock is released for the transfer.
      message = messages.front().get();
    }
    DoPost(message);
    DoResponse();
    std::lock_guard<std::mutex> lock(queue_mutex);
    messages.pop_front();
  }
  return nullptr;
}

int NetService::DoPost(NetMessage* message) {
  if (message == nullptr || message->url.empty()) {
    zq_error("Post failed for invalid data\n");
    if (message != nullptr) current_id = message->id;
    current_response.Reset(0);
    return -1;
  }
  current_id = message->id;
  // The bytes arrive straight into the reply's own buffer, bounded by what
  // this request allows.
  current_response.Reset(message->max_reply_bytes);
  ReceivedText& received = current_response;
  const char* url = message->url.c_str();

  CurlHandle curl(curl_easy_init());
  if (!curl) {
    zq_error("Net Init error left retry count %d| %s\n", 0, url);
    zq_error("Retry failed %s\n", url);
    return -1;
  }

  bool is_post = message->method == "post";
  bool is_get = message->method == "get";
  HeaderList headers;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url);
  curl_easy_setopt(curl.get(), CURLOPT_VERBOSE, 1L);
  if (is_get || is_post) VerifyPeer(curl.get());
  if (is_post) {
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_HEADER, 1L);
    // An empty Expect header: the body goes at once instead of after a
    // "100 Continue" that some servers never send.
    headers.reset(curl_slist_append(nullptr, "Expect:"));
    if (headers && !message->header.empty()) {
      curl_slist* extended = curl_slist_append(headers.get(), message->header.c_str());
      if (extended == nullptr) headers.reset();
    }
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    size_t body_length = message->BodyLength();
    zq_info("post size:%d\n", static_cast<int>(body_length));
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body_length));
    // Never a null pointer: libcurl would then read the body from stdin.
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body_length > 0 ? message->data.get() : "");
  }
  SetCommonOptions(curl.get(), *message, &received);
  HeaderWatch watch{curl.get(), &received};
  curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, HeaderArrived);
  curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &watch);

  CURLcode code = curl_easy_perform(curl.get());
  curl_off_t announced = -1;
  if (received.over_limit()) curl_easy_getinfo(curl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
  curl.reset();
  headers.reset();
  if (code != CURLE_OK) {
    if (received.over_limit()) {
      // Refused like a transfer that failed: the caller sees no reply.
      if (announced >= 0) {
        zq_error("Reply of %lld bytes refused, at most %zu allowed: %s\n", static_cast<long long>(announced),
                 received.limit(), url);
      } else {
        zq_error("Reply of more than %zu bytes refused: %s\n", received.limit(), url);
      }
    } else {
      zq_error("Net Error %d Left retry count %d |  %s\n", static_cast<int>(code), 0, url);
      zq_error("Retry failed %s\n", url);
    }
    received.Clear();
    return -1;
  }
  if (is_post) cutString(received);
  return 0;
}

void NetService::DoResponse() { NetHelper::GetInstance()->UpdateResponse(current_id, current_response); }

}  // namespace zq_camera_service
