// An HTTP/1.1 server on 127.0.0.1 standing in for the cloud back ends, the
// upgrade host and the log collector. Tests script its replies per method and
// path, and read back every request it received.
//
//   zq_test::HttpFakeServer cloud;                       // free port, plain http
//   cloud.SetReply("POST", "/config/DescribeCommonConfig", zq_test::HttpReply::Json("{...}"));
//   ... point the code at cloud.url() ...
//   ASSERT_TRUE(cloud.WaitForRequests(1, 5s));
//   auto request = cloud.Requests()[0];                  // method, path, query, headers, body bytes
//
// HttpFakeServer::Scheme::kHttps serves https with a self-signed certificate
// made at start (certificate_path() names its PEM file).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zq_test {

// One part of a multipart/form-data body.
struct HttpFormPart {
  std::string name;
  std::string filename;
  std::string content_type;
  std::string content;  // raw bytes
};

struct HttpRequestRecord {
  std::string method;   // "GET", "POST", ...
  std::string path;     // without the query
  std::string target;   // path and query as sent
  std::string version;  // "HTTP/1.1"
  std::multimap<std::string, std::string> query;             // decoded query parameters
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
  // The raw body bytes. A multipart/form-data body is parsed into `parts`
  // instead, and `body` stays empty.
  std::string body;
  std::vector<HttpFormPart> parts;
  std::chrono::steady_clock::time_point arrival;  // when the whole request had been read

  bool HasHeader(const std::string& name) const;       // name compared without case
  std::string Header(const std::string& name) const;   // first value, "" when absent
  bool HasQuery(const std::string& name) const;
  std::string Query(const std::string& name) const;    // first value, "" when absent
};

struct HttpReply {
  int status = 200;
  std::string body;  // raw bytes
  std::string content_type = "text/plain";
  std::vector<std::pair<std::string, std::string>> headers;  // extra headers (Location, ...)
  // Waited before answering; Stop() cuts the wait short.
  std::chrono::milliseconds delay{0};
  // After the delay, the connection is closed without any reply.
  bool drop_connection = false;
  // When not 0, the body goes out `trickle_bytes` at a time with this pause
  // before each piece, as from a server or mirror that trickles; the headers
  // announce the whole length at once. Stop() cuts the pauses short.
  std::chrono::milliseconds trickle_gap{0};
  size_t trickle_bytes = 1;
  // When set, the body goes out with chunked transfer coding, so no length
  // is announced: `body` as one chunk, `chunk_repeats` times over (0: until
  // the client gives up or Stop()), as fast as the client takes it.
  bool chunked = false;
  size_t chunk_repeats = 1;
  // When not 0, the headers announce this length and the body is `body`
  // over and over up to it, made while it is written: a large reply that
  // costs the fake no memory and no copies.
  size_t repeated_length = 0;

  static HttpReply Text(std::string body, int status = 200);
  static HttpReply Json(std::string body, int status = 200);
  static HttpReply Bytes(std::string body, std::string content_type, int status = 200);
  static HttpReply Status(int status);  // empty body
  static HttpReply Redirect(const std::string& location, int status = 302);
  static HttpReply Drop(std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  static HttpReply Stall(std::chrono::milliseconds delay, HttpReply then);  // `then`, answered after `delay`
  // `reply` with its body sent `bytes` at a time, `gap` before each piece.
  static HttpReply Trickle(HttpReply reply, size_t bytes, std::chrono::milliseconds gap);
  // `piece` sent chunked `repeats` times, no length announced; 0 repeats: an endless stream.
  static HttpReply Chunked(std::string piece, size_t repeats, std::string content_type = "application/octet-stream");
  // `length` bytes of `piece` over and over, the length announced.
  static HttpReply Repeated(std::string piece, size_t length, std::string content_type = "application/octet-stream");
};

// Computes the reply from the request (signature checks, echoes, counters...).
// Runs on a server thread; several may run at once when requests overlap.
using HttpHandler = std::function<HttpReply(const HttpRequestRecord&)>;

class HttpFakeServer {
 public:
  enum class Scheme { kHttp, kHttps };

  // Listens on 127.0.0.1:`port` (0: a free port). Aborts the test program
  // when it cannot listen (a fake that is not there would only hide faults).
  explicit HttpFakeServer(Scheme scheme = Scheme::kHttp, uint16_t port = 0);
  ~HttpFakeServer();  // Stop()
  HttpFakeServer(const HttpFakeServer&) = delete;
  HttpFakeServer& operator=(const HttpFakeServer&) = delete;

  uint16_t port() const;
  // "http://127.0.0.1:PORT" (or https), without a trailing slash.
  std::string url() const;
  std::string url(const std::string& path) const { return url() + path; }
  // PEM file of the https certificate (also usable as its CA file); "" for http.
  const std::string& certificate_path() const;

  // Method is "GET", "POST", ... or "*" for any; path is matched exactly,
  // without the query. Later calls replace earlier ones for the same key.
  void SetReply(const std::string& method, const std::string& path, HttpReply reply);
  void SetHandler(const std::string& method, const std::string& path, HttpHandler handler);
  // One-shot replies, answered in order before the standing reply or handler.
  void QueueReply(const std::string& method, const std::string& path, HttpReply reply);
  // Answer to anything unscripted; 404 "not found" unless set.
  void SetDefaultReply(HttpReply reply);

  std::vector<HttpRequestRecord> Requests() const;
  std::vector<HttpRequestRecord> RequestsTo(const std::string& path) const;
  size_t RequestCount() const;
  // Waits until at least `count` requests (to `path`) have arrived.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  bool WaitForRequestsTo(const std::string& path, size_t count, std::chrono::milliseconds timeout) const;
  void ClearRequests();
  // Largest number of requests that were being answered at the same moment.
  int MaxConcurrentRequests() const;

  // Stops listening, cuts delays short and joins the server threads. Idempotent.
  void Stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace zq_test
