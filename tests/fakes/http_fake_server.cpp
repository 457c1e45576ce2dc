#include "fakes/http_fake_server.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <httplib.h>

#include "support/leftovers.h"

namespace zq_test {

namespace {

using Key = std::pair<std::string, std::string>;  // method, path

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return tolower(x) == tolower(y); });
}

// httplib files the connection's addresses among the request headers.
bool IsPseudoHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Only the URL's query: httplib would also mix in the fields of a form body.
std::multimap<std::string, std::string> ParseQuery(const std::string& target) {
  std::multimap<std::string, std::string> query;
  size_t mark = target.find('?');
  if (mark == std::string::npos) return query;
  std::string text = target.substr(mark + 1);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    std::string field = text.substr(start, end - start);
    if (!field.empty()) {
      size_t equals = field.find('=');
      if (equals == std::string::npos) {
        query.emplace(Unescape(field), "");
      } else {
        query.emplace(Unescape(field.substr(0, equals)), Unescape(field.substr(equals + 1)));
      }
    }
    start = end + 1;
  }
  return query;
}

// The inode of the TCP connection from `remote_port` to `local_port`, from
// the kernel's connection tables; 0 when not found.
unsigned long ConnectionInode(int local_port, int remote_port) {
  for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
    FILE* file = fopen(table, "r");
    if (file == nullptr) continue;
    char line[512];
    unsigned long found = 0;
    if (fgets(line, sizeof line, file) != nullptr) {  // column titles
      while (found == 0 && fgets(line, sizeof line, file) != nullptr) {
        char local[128];
        char remote[128];
        unsigned long inode = 0;
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
        if (sscanf(line, "%*s %127s %127s %*s %*s %*s %*s %*s %*s %lu", local, remote, &inode) != 3) continue;
        const char* local_colon = strrchr(local, ':');
        const char* remote_colon = strrchr(remote, ':');
        if (local_colon == nullptr || remote_colon == nullptr) continue;
        if (strtol(local_colon + 1, nullptr, 16) == local_port && strtol(remote_colon + 1, nullptr, 16) == remote_port) {
          found = inode;
        }
      }
    }
    fclose(file);
    if (found != 0) return found;
  }
  return 0;
}

// The socket of the connection a request came on. httplib does not hand it
// to handlers, so it is found by the connection's inode among this process's
// fd links; only link names are read, no other thread's fd is touched.
int ConnectionSocket(const httplib::Request& request) {
  if (request.ssl != nullptr) return SSL_get_fd(request.ssl);
  unsigned long inode = ConnectionInode(request.local_port, request.remote_port);
  if (inode == 0) return -1;
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int found = -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char target[64];
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    if (wanted == target) {
      found = atoi(entry->d_name);
      break;
    }
  }
  closedir(dir);
  return found;
}

std::string MakeTempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zqfake-tls.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return "";
  zq_test::RecordScratchDirectory(pattern);
  return pattern;
}

[[noreturn]] void Fail(const std::string& what) {
  fprintf(stderr, "HttpFakeServer: %s\n", what.c_str());
  abort();
}

}  // namespace

bool HttpRequestRecord::HasHeader(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& header) { return SameText(header.first, name); });
}

std::string HttpRequestRecord::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (SameText(header.first, name)) return header.second;
  }
  return "";
}

bool HttpRequestRecord::HasQuery(const std::string& name) const { return query.count(name) > 0; }

std::string HttpRequestRecord::Query(const std::string& name) const {
  auto entry = query.find(name);
  return entry == query.end() ? "" : entry->second;
}

HttpReply HttpReply::Text(std::string body, int status) { return Bytes(std::move(body), "text/plain", status); }

HttpReply HttpReply::Json(std::string body, int status) { return Bytes(std::move(body), "application/json", status); }

HttpReply HttpReply::Bytes(std::string body, std::string content_type, int status) {
  HttpReply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.content_type = std::move(content_type);
  return reply;
}

HttpReply HttpReply::Status(int status) { return Bytes("", "text/plain", status); }

HttpReply HttpReply::Redirect(const std::string& location, int status) {
  HttpReply reply = Text("moved", status);
  reply.headers.emplace_back("Location", location);
  return reply;
}

HttpReply HttpReply::Drop(std::chrono::milliseconds delay) {
  HttpReply reply;
  reply.drop_connection = true;
  reply.delay = delay;
  return reply;
}

HttpReply HttpReply::Stall(std::chrono::milliseconds delay, HttpReply then) {
  then.delay = delay;
  return then;
}

HttpReply HttpReply::Trickle(HttpReply reply, size_t bytes, std::chrono::milliseconds gap) {
  reply.trickle_bytes = bytes > 0 ? bytes : 1;
  reply.trickle_gap = gap;
  return reply;
}

HttpReply HttpReply::Chunked(std::string piece, size_t repeats, std::string content_type) {
  HttpReply reply = Bytes(std::move(piece), std::move(content_type));
  reply.chunked = true;
  reply.chunk_repeats = repeats;
  return reply;
}

HttpReply HttpReply::Repeated(std::string piece, size_t length, std::string content_type) {
  HttpReply reply = Bytes(piece.empty() ? std::string(1, '\0') : std::move(piece), std::move(content_type));
  reply.repeated_length = length;
  return reply;
}

struct HttpFakeServer::Impl {
  Scheme scheme = Scheme::kHttp;
  int port = 0;
  std::string tls_dir;
  std::string certificate_path;
  std::string key_path;
  std::unique_ptr<httplib::Server> server;
  std::thread listener;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;  // a request arrived, or the server stops
  bool stopping = false;
  std::vector<HttpRequestRecord> requests;
  std::map<Key, HttpReply> replies;
  std::map<Key, HttpHandler> handlers;
  std::map<Key, std::deque<HttpReply>> queued;
  HttpReply default_reply = HttpReply::Text("not found", 404);
  int in_flight = 0;
  int max_in_flight = 0;

  void MakeCertificate() {
    tls_dir = MakeTempDir();
    if (tls_dir.empty()) Fail("cannot make a directory for the certificate");
    certificate_path = tls_dir + "/cert.pem";
    key_path = tls_dir + "/key.pem";
    std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
                          " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                          key_path + "' -out '" + certificate_path + "' >/dev/null 2>&1";
    if (system(command.c_str()) != 0) Fail("openssl could not make a self-signed certificate");
  }

  HttpRequestRecord Record(const httplib::Request& request) const {
    HttpRequestRecord record;
    record.method = request.method;
    record.path = request.path;
    record.target = request.target;
    record.version = request.version;
    record.query = ParseQuery(request.target);
    for (const auto& header : request.headers) {
      if (!IsPseudoHeader(header.first)) record.headers.emplace_back(header.first, header.second);
    }
    record.body = request.body;
    for (const auto& file : request.files) {
      record.parts.push_back({file.second.name, file.second.filename, file.second.content_type, file.second.content});
    }
    record.arrival = std::chrono::steady_clock::now();
    return record;
  }

  // The scripted answer, chosen under the lock in the same step that records
  // the request: a test that saw the request recorded and then scripts the
  // next reply must not have its reply taken by this request. Leaves
  // `handler` set instead when a handler computes the answer.
  HttpReply ChooseLocked(const HttpRequestRecord& record, HttpHandler* handler) {
    for (const Key& key : {Key{record.method, record.path}, Key{"*", record.path}}) {
      auto one_shot = queued.find(key);
      if (one_shot != queued.end() && !one_shot->second.empty()) {
        HttpReply reply = std::move(one_shot->second.front());
        one_shot->second.pop_front();
        return reply;
      }
    }
    for (const Key& key : {Key{record.method, record.path}, Key{"*", record.path}}) {
      auto found = handlers.find(key);
      if (found != handlers.end()) {
        *handler = found->second;
        return HttpReply();
      }
      auto standing = replies.find(key);
      if (standing != replies.end()) return standing->second;
    }
    return default_reply;
  }

  void Handle(const httplib::Request& request, httplib::Response& response) {
    HttpRequestRecord record = Record(request);
    HttpReply reply;
    HttpHandler handler;
    {
      std::lock_guard<std::mutex> lock(mutex);
      max_in_flight = std::max(max_in_flight, ++in_flight);
      reply = ChooseLocked(record, &handler);
      requests.push_back(record);
    }
    changed.notify_all();
    if (handler) reply = handler(record);
    if (reply.delay.count() > 0) {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait_for(lock, reply.delay, [this] { return stopping; });
    }
    {
      // The exchange ends here for the books: once the connection is cut or
      // the reply written, the client may already start its next request.
      std::lock_guard<std::mutex> lock(mutex);
      --in_flight;
    }
    if (reply.drop_connection) {
      int fd = ConnectionSocket(request);
      if (fd >= 0) shutdown(fd, SHUT_RDWR);
      return;
    }
    response.status = reply.status;
    for (const auto& header : reply.headers) response.set_header(header.first.c_str(), header.second);
    if (reply.trickle_gap.count() > 0) {
      Trickle(response, std::move(reply));
      return;
    }
    if (reply.chunked) {
      Chunked(response, std::move(reply));
      return;
    }
    if (reply.repeated_length > 0) {
      Repeated(response, std::move(reply));
      return;
    }
    response.set_content(reply.body.data(), reply.body.size(), reply.content_type.c_str());
  }

  // httplib asks for the next piece while the client still reads; a client
  // that gave up makes the write fail, which ends the reply.
  void Trickle(httplib::Response& response, HttpReply reply) {
    auto body = std::make_shared<std::string>(std::move(reply.body));
    const size_t piece = reply.trickle_bytes;
    const std::chrono::milliseconds gap = reply.trickle_gap;
    response.set_content_provider(
        body->size(), reply.content_type, [this, body, piece, gap](size_t offset, size_t length, httplib::DataSink& sink) {
          {
            std::unique_lock<std::mutex> lock(mutex);
            if (changed.wait_for(lock, gap, [this] { return stopping; })) return false;
          }
          return sink.write(body->data() + offset, std::min(piece, length));
        });
  }

  // A client that gave up makes the write fail, which ends the reply.
  void Repeated(httplib::Response& response, HttpReply reply) {
    auto piece = std::make_shared<std::string>(std::move(reply.body));
    response.set_content_provider(
        reply.repeated_length, reply.content_type, [this, piece](size_t offset, size_t length, httplib::DataSink& sink) {
          {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return false;
          }
          const size_t start = offset % piece->size();
          return sink.write(piece->data() + start, std::min(length, piece->size() - start));
        });
  }

  // A client that gave up makes the write fail, which ends an endless stream.
  void Chunked(httplib::Response& response, HttpReply reply) {
    auto piece = std::make_shared<std::string>(std::move(reply.body));
    auto sent = std::make_shared<size_t>(0);
    const size_t repeats = reply.chunk_repeats;
    response.set_chunked_content_provider(reply.content_type, [this, piece, sent, repeats](size_t, httplib::DataSink& sink) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) return false;
      }
      if (repeats != 0 && *sent >= repeats) {
        sink.done();
        return true;
      }
      ++*sent;
      return sink.write(piece->data(), piece->size());
    });
  }
};

HttpFakeServer::HttpFakeServer(Scheme scheme, uint16_t port) : impl_(std::make_unique<Impl>()) {
  // A dropped or timed-out connection must not end the test program when a
  // late reply is written into it.
  signal(SIGPIPE, SIG_IGN);
  impl_->scheme = scheme;
  if (scheme == Scheme::kHttps) {
    impl_->MakeCertificate();
    impl_->server = std::make_unique<httplib::SSLServer>(impl_->certificate_path.c_str(), impl_->key_path.c_str());
  } else {
    impl_->server = std::make_unique<httplib::Server>();
  }
  httplib::Server& server = *impl_->server;
  if (!server.is_valid()) Fail("the server could not be set up");
  server.set_keep_alive_timeout(1);
  Impl* impl = impl_.get();
  auto handle = [impl](const httplib::Request& request, httplib::Response& response) { impl->Handle(request, response); };
  server.Get(".*", handle);
  server.Post(".*", handle);
  server.Put(".*", handle);
  server.Patch(".*", handle);
  server.Delete(".*", handle);
  server.Options(".*", handle);

  if (port == 0) {
    impl_->port = server.bind_to_any_port("127.0.0.1");
  } else {
    impl_->port = server.bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (impl_->port <= 0) Fail("cannot listen on 127.0.0.1");
  impl_->listener = std::thread([&server] { server.listen_after_bind(); });
  for (int i = 0; i < 500 && !server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!server.is_running()) Fail("the server did not start");
}

HttpFakeServer::~HttpFakeServer() {
  Stop();
  if (!impl_->tls_dir.empty()) {
    unlink(impl_->certificate_path.c_str());
    unlink(impl_->key_path.c_str());
    rmdir(impl_->tls_dir.c_str());
    zq_test::ForgetScratchDirectory(impl_->tls_dir);
  }
}

void HttpFakeServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->changed.notify_all();
  if (impl_->listener.joinable()) {
    impl_->server->stop();
    impl_->listener.join();
  }
}

uint16_t HttpFakeServer::port() const { return static_cast<uint16_t>(impl_->port); }

std::string HttpFakeServer::url() const {
  return std::string(impl_->scheme == Scheme::kHttps ? "https" : "http") + "://127.0.0.1:" + std::to_string(port());
}

const std::string& HttpFakeServer::certificate_path() const { return impl_->certificate_path; }

void HttpFakeServer::SetReply(const std::string& method, const std::string& path, HttpReply reply) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->handlers.erase({method, path});
  impl_->replies[{method, path}] = std::move(reply);
}

void HttpFakeServer::SetHandler(const std::string& method, const std::string& path, HttpHandler handler) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->replies.erase({method, path});
  impl_->handlers[{method, path}] = std::move(handler);
}

void HttpFakeServer::QueueReply(const std::string& method, const std::string& path, HttpReply reply) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->queued[{method, path}].push_back(std::move(reply));
}

void HttpFakeServer::SetDefaultReply(HttpReply reply) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->default_reply = std::move(reply);
}

std::vector<HttpRequestRecord> HttpFakeServer::Requests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests;
}

std::vector<HttpRequestRecord> HttpFakeServer::RequestsTo(const std::string& path) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<HttpRequestRecord> matching;
  for (const auto& request : impl_->requests) {
    if (request.path == path) matching.push_back(request);
  }
  return matching;
}

size_t HttpFakeServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->requests.size();
}

bool HttpFakeServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requests.size() >= count; });
}

bool HttpFakeServer::WaitForRequestsTo(const std::string& path, size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] {
    return static_cast<size_t>(std::count_if(impl_->requests.begin(), impl_->requests.end(),
                                             [&](const HttpRequestRecord& r) { return r.path == path; })) >= count;
  });
}

void HttpFakeServer::ClearRequests() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->requests.clear();
  impl_->max_in_flight = impl_->in_flight;
}

int HttpFakeServer::MaxConcurrentRequests() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->max_in_flight;
}

}  // namespace zq_test
