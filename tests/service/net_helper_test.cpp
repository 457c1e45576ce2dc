// Whole exchanges through NetHelper::SendSyncMessage and the HTTP worker,
// against the loopback fake: what callers get back and what went on the wire.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/http_fake_server.h"
#include "service/net_helper.h"
#include "service/net_reply.h"
#include "service/net_service.h"
#include "support/child_process.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/loopback.h"
#include "support/ports.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::NetHelper;
using zq_camera_service::NetMessage;
using zq_camera_service::NetService;
using zq_test::HttpFakeServer;
using zq_test::HttpReply;

NetMessage Request(const std::string& method, const std::string& url, const std::string& body = "",
                   const std::string& header = "") {
  NetMessage request;
  request.method = method;
  request.url = url;
  request.header = header;
  if (method == "post") request.SetBody(body);
  return request;
}

constexpr size_t kLargeBody = 600 * 1024;

class NetHelperTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    NetService::GetInstance()->StartService();
  }

  // One exchange; the reply record as the caller sees it.
  NetMessage Exchange(NetMessage& request) {
    NetMessage reply;
    EXPECT_EQ(0, NetHelper::GetInstance()->SendSyncMessage(request, reply));
    return reply;
  }
  NetMessage Exchange(NetMessage&& request) { return Exchange(request); }

  zq_test::ScopedLogSettings logs_{4, 3, ""};
  HttpFakeServer fake_;
};

struct ReplyCase {
  const char* name;
  std::string method;
  HttpReply answer;
  std::string reply;  // "" means no reply (data_len 0)
};

TEST_F(NetHelperTest, RepliesFollowTheReplyRules) {
  const std::string binary("\0zq\0\xff\r\n\r\n\x01", 10);
  const ReplyCase cases[] = {
      {"post 200 with bytes", "post", HttpReply::Bytes(binary, "application/x-protobuf"), binary},
      {"post 200 with json", "post", HttpReply::Json("{\"Code\":0}"), "{\"Code\":0}"},
      {"post 200 empty", "post", HttpReply::Status(200), ""},
      {"post 404", "post", HttpReply::Text("missing", 404), "404"},
      {"post 201", "post", HttpReply::Json("{\"a\":1}", 201), "201"},
      {"post 204", "post", HttpReply::Status(204), "204"},
      {"post 302", "post", HttpReply::Redirect("/elsewhere"), "302"},
      {"post 500", "post", HttpReply::Text("broken", 500), "500"},
      {"get 200", "get", HttpReply::Bytes(binary, "application/zip"), binary},
      {"get 500 page", "get", HttpReply::Text("<html>error page</html>", 500), "<html>error page</html>"},
      {"get 404 empty", "get", HttpReply::Status(404), ""},
      {"get 302 not followed", "get", HttpReply::Redirect("/elsewhere"), "moved"},
  };
  for (const ReplyCase& c : cases) {
    fake_.SetReply("*", "/answer", c.answer);
    NetMessage reply = Exchange(Request(c.method, fake_.url("/answer"), "{}", "Content-Type: application/json"));
    EXPECT_EQ(c.reply, reply.Reply()) << c.name;
    EXPECT_EQ(static_cast<int32_t>(c.reply.size()), reply.data_len) << c.name;
  }
  EXPECT_TRUE(fake_.RequestsTo("/elsewhere").empty()) << "a redirect was followed";
  EXPECT_EQ(sizeof cases / sizeof cases[0], fake_.RequestCount());
}

TEST_F(NetHelperTest, PostSendsTheBodyBytesAndTheHeaderLine) {
  const std::string body("\0face\0\x80\xff", 8);
  fake_.SetReply("POST", "/zarnu/retailapi/facedetect", HttpReply::Text("ok"));
  NetMessage request = Request("post", fake_.url("/zarnu/retailapi/facedetect?company_id=c1&shop_id=7"), body,
                               "Content-Type: application/x-protobuf");
  EXPECT_EQ("ok", Exchange(request).Reply());

  ASSERT_EQ(1u, fake_.RequestCount());
  const auto got = fake_.Requests()[0];
  EXPECT_EQ("POST", got.method);
  EXPECT_EQ("HTTP/1.1", got.version);
  EXPECT_EQ("c1", got.Query("company_id"));
  EXPECT_EQ("7", got.Query("shop_id"));
  EXPECT_EQ(body, got.body);
  EXPECT_EQ("8", got.Header("Content-Length"));
  EXPECT_EQ("application/x-protobuf", got.Header("Content-Type"));
  EXPECT_FALSE(got.HasHeader("Expect"));
}

TEST_F(NetHelperTest, GetSendsNoBodyAndNoExtraHeader) {
  fake_.SetReply("GET", "/package.zip", HttpReply::Text("zip"));
  NetMessage request = Request("get", fake_.url("/package.zip"));
  request.header = "Content-Type: application/json";
  ASSERT_TRUE(request.SetBody("ignored"));
  EXPECT_EQ("zip", Exchange(request).Reply());
  const auto got = fake_.Requests().at(0);
  EXPECT_EQ("GET", got.method);
  EXPECT_EQ("", got.body);
  EXPECT_FALSE(got.HasHeader("Content-Type"));
}

TEST_F(NetHelperTest, PostWithoutBodyBytesSendsAnEmptyBody) {
  fake_.SetReply("POST", "/empty", HttpReply::Text("ok"));
  const int32_t lengths[] = {1, 0, -5};
  for (int32_t length : lengths) {
    NetMessage request = Request("post", fake_.url("/empty"), "");
    request.data_len = length;
    if (length <= 0) request.data.reset();
    EXPECT_EQ("ok", Exchange(request).Reply()) << length;
  }
  ASSERT_EQ(3u, fake_.RequestCount());
  for (const auto& got : fake_.Requests()) {
    EXPECT_EQ("", got.body);
    EXPECT_EQ("0", got.Header("Content-Length"));
  }
}

TEST_F(NetHelperTest, IdsCountUpAndTheReplyRecordKeepsItsOtherFields) {
  fake_.SetReply("POST", "/id", HttpReply::Text("ok"));
  NetMessage first = Request("post", fake_.url("/id"), "1");
  NetMessage second = Request("post", fake_.url("/id"), "2");
  NetMessage reply;
  reply.url = "untouched";
  reply.SetData("stale", 5);
  ASSERT_EQ(0, NetHelper::GetInstance()->SendSyncMessage(first, reply));
  EXPECT_EQ("ok", reply.Reply());
  ASSERT_EQ(0, NetHelper::GetInstance()->SendSyncMessage(second, reply));
  EXPECT_GT(first.id, 0);
  EXPECT_EQ(first.id + 1, second.id);
  EXPECT_EQ("untouched", reply.url);
}

TEST_F(NetHelperTest, RefusedConnectionGivesNoReplyAndBothErrorLines) {
  std::string url = "http://127.0.0.1:" + std::to_string(zq_test::FreeTcpPort()) + "/auth";
  zq_test::StdoutCapture capture;
  NetMessage reply = Exchange(Request("post", url, "{}"));
  EXPECT_EQ(0, reply.data_len);
  std::string out = capture.Text();
  EXPECT_NE(std::string::npos, out.find("Service | ERROR: Net Error 7 Left retry count 0 |  " + url + "\n")) << out;
  EXPECT_NE(std::string::npos, out.find("Service | ERROR: Retry failed " + url + "\n")) << out;
}

TEST_F(NetHelperTest, StalledPeerGivesNoReplyAfterTheTimeout) {
  fake_.SetReply("POST", "/slow", HttpReply::Stall(4s, HttpReply::Text("late")));
  NetMessage request = Request("post", fake_.url("/slow"), "{}");
  request.timeout = 1;
  auto start = std::chrono::steady_clock::now();
  zq_test::StdoutCapture capture;
  NetMessage reply = Exchange(request);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(0, reply.data_len);
  EXPECT_GE(elapsed, 900ms);
  EXPECT_LT(elapsed, 3s);
  EXPECT_NE(std::string::npos, capture.Text().find("Net Error 28 Left retry count 0 |  " + request.url + "\n"));
}

TEST_F(NetHelperTest, TimeoutOfZeroOrLessMeansFiveSeconds) {
  fake_.SetReply("GET", "/slow", HttpReply::Stall(8s, HttpReply::Text("late")));
  NetMessage request = Request("get", fake_.url("/slow"));
  request.timeout = 0;
  auto start = std::chrono::steady_clock::now();
  NetMessage reply = Exchange(request);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(0, reply.data_len);
  EXPECT_GE(elapsed, 4500ms);
  EXPECT_LT(elapsed, 7s);
}

TEST_F(NetHelperTest, DroppedConnectionGivesNoReply) {
  const char* methods[] = {"post", "get"};
  fake_.SetReply("*", "/drop", HttpReply::Drop());
  for (const char* method : methods) {
    NetMessage reply = Exchange(Request(method, fake_.url("/drop"), "{}"));
    EXPECT_EQ(0, reply.data_len) << method;
  }
  EXPECT_EQ(2u, fake_.RequestCount());
}

struct LimitCase {
  const char* name;
  std::string method;
  size_t limit;
  size_t body;        // bytes the peer sends
  bool replied;       // whether the caller gets them
};

TEST_F(NetHelperTest, RepliesPastTheRequestsLimitAreRefusedWithOneLine) {
  using zq_camera_service::kMaxDownloadReplyBytes;
  using zq_camera_service::kMaxJsonReplyBytes;
  // A "post" receives its status line and headers too, within the same limit.
  const LimitCase cases[] = {
      {"json reply well within", "post", kMaxJsonReplyBytes, 200 * 1024, true},
      {"json reply past the default limit", "post", kMaxJsonReplyBytes, kMaxJsonReplyBytes + 1, false},
      {"json reply of megabytes", "post", kMaxJsonReplyBytes, 4 * 1024 * 1024, false},
      {"get exactly at its limit", "get", 1000, 1000, true},
      {"get one past its limit", "get", 1000, 1001, false},
      {"download of megabytes", "get", kMaxDownloadReplyBytes, 3 * 1024 * 1024, true},
  };
  for (const LimitCase& c : cases) {
    fake_.SetReply("*", "/big", HttpReply::Bytes(std::string(c.body, 'z'), "application/json"));
    NetMessage request = Request(c.method, fake_.url("/big"), "{}");
    if (c.limit != kMaxJsonReplyBytes) request.max_reply_bytes = c.limit;
    zq_test::StdoutCapture capture;
    NetMessage reply = Exchange(request);
    std::string out = capture.Text();
    EXPECT_EQ(!c.replied, reply.over_limit) << c.name;
    if (c.replied) {
      EXPECT_EQ(static_cast<int32_t>(c.body), reply.data_len) << c.name;
      EXPECT_EQ(std::string::npos, out.find("refused")) << c.name;
      continue;
    }
    EXPECT_EQ(0, reply.data_len) << c.name;
    std::string line = "Service | ERROR: Reply of " + std::to_string(c.body) + " bytes refused, at most " +
                       std::to_string(c.limit) + " allowed: " + request.url + "\n";
    EXPECT_EQ(1u, zq_test::CountOccurrences(out, line)) << c.name << "\n" << out;
    EXPECT_EQ(1u, zq_test::CountOccurrences(out, "Service | ERROR: ")) << c.name << "\n" << out;
  }
}

// A peer that answers without a length: the body runs until it closes.
class UnannouncedLengthPeer {
 public:
  explicit UnannouncedLengthPeer(std::string body) : body_(std::move(body)) {
    listener_ = zq_test::ListenOnLoopback(&port_);
    thread_ = std::thread([this] {
      for (int answered = 0; answered < 2; ++answered) {
        zq_test::UniqueFd peer = zq_test::AcceptWithin(listener_.get(), 10s);
        if (!peer.valid()) return;
        zq_test::ReadBytes(peer.get(), 4096, 200ms);
        std::string answer = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body_;
        if (send(peer.get(), answer.data(), answer.size(), MSG_NOSIGNAL) < 0) return;
      }
    });
  }
  ~UnannouncedLengthPeer() { thread_.join(); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/stream"; }

 private:
  std::string body_;
  uint16_t port_ = 0;
  zq_test::UniqueFd listener_;
  std::thread thread_;
};

TEST_F(NetHelperTest, ReplyWithoutAnnouncedLengthIsRefusedAtTheLimit) {
  UnannouncedLengthPeer peer(std::string(5000, 'c'));
  NetMessage request = Request("get", peer.url());
  request.max_reply_bytes = 4096;
  zq_test::StdoutCapture capture;
  EXPECT_EQ(0, Exchange(request).data_len);
  EXPECT_NE(std::string::npos,
            capture.Text().find("Service | ERROR: Reply of more than 4096 bytes refused: " + request.url + "\n"))
      << capture.Text();
  request.max_reply_bytes = 5000;
  EXPECT_EQ(5000, Exchange(request).data_len);
}

// The announced length decides before the body comes: a reply that could
// never be kept is refused at its headers (a peer that sends it a byte a
// second would otherwise hold the exchange until the time-out), and one
// that can arrives into an array of exactly its length.
TEST_F(NetHelperTest, AnnouncedLengthSizesTheReplyOrRefusesItBeforeItsBody) {
  fake_.SetReply("GET", "/slow", HttpReply::Trickle(HttpReply::Bytes(std::string(10000, 's'), "application/zip"), 1, 1s));
  NetMessage request = Request("get", fake_.url("/slow"));
  request.max_reply_bytes = 4096;
  zq_test::StdoutCapture capture;
  NetMessage refused = Exchange(request);
  EXPECT_EQ(0, refused.data_len);
  EXPECT_TRUE(refused.over_limit);
  std::string out = capture.Text();
  EXPECT_EQ(1u, zq_test::CountOccurrences(
                    out, "Service | ERROR: Reply of 10000 bytes refused, at most 4096 allowed: " + request.url + "\n"))
      << out;
  EXPECT_EQ(std::string::npos, out.find("Net Error")) << "refused, not timed out:\n" << out;

  const size_t sizes[] = {3000, 3u << 20};
  for (size_t size : sizes) {
    fake_.SetReply("GET", "/sized", HttpReply::Bytes(std::string(size, 'a'), "application/zip"));
    NetMessage sized = Request("get", fake_.url("/sized"));
    sized.max_reply_bytes = zq_camera_service::kMaxDownloadReplyBytes;
    NetMessage reply = Exchange(sized);
    EXPECT_EQ(static_cast<int32_t>(size), reply.data_len) << size;
    EXPECT_FALSE(reply.over_limit);
    EXPECT_EQ(size, reply.data.capacity()) << "doubling would have left " << size << " bytes in a larger array";
  }
}

TEST_F(NetHelperTest, ALimitIsCarriedWithTheRequestNotLeftBehind) {
  // A refused exchange changes nothing for the next one.
  fake_.SetReply("POST", "/huge", HttpReply::Bytes(std::string(kLargeBody, 'h'), "application/json"));
  fake_.SetReply("POST", "/small", HttpReply::Json("{\"Code\":0}"));
  EXPECT_EQ(0, Exchange(Request("post", fake_.url("/huge"), "{}")).data_len);
  EXPECT_EQ("{\"Code\":0}", Exchange(Request("post", fake_.url("/small"), "{}")).Reply());
  NetMessage copy = Request("post", fake_.url("/huge"), "{}");
  copy.max_reply_bytes = kLargeBody + 4096;
  EXPECT_EQ(static_cast<int32_t>(kLargeBody), Exchange(copy).data_len);
}

TEST_F(NetHelperTest, InvalidMessagesAreAnsweredAtOnceAndTheNextExchangeWorks) {
  zq_test::StdoutCapture capture;
  NetMessage reply = Exchange(Request("post", "", "{}"));
  EXPECT_EQ(0, reply.data_len);
  EXPECT_EQ(-1, NetService::GetInstance()->PostMessage(nullptr));
  EXPECT_EQ(2u, zq_test::CountOccurrences(capture.Text(), "Service | ERROR: Post failed for invalid data\n"));

  fake_.SetReply("POST", "/next", HttpReply::Text("fine"));
  EXPECT_EQ("fine", Exchange(Request("post", fake_.url("/next"), "{}")).Reply());
}

TEST_F(NetHelperTest, OtherProtocolsAreRefused) {
  zq_test::TempDir dir;
  zq_test::WriteFile(dir / "secret", "secret");
  const std::string urls[] = {"file://" + dir.path() + "/secret", "ftp://127.0.0.1:1/x", "gopher://127.0.0.1:1/"};
  for (const std::string& url : urls) {
    EXPECT_EQ(0, Exchange(Request("get", url)).data_len) << url;
  }
}

TEST_F(NetHelperTest, HttpsPeerWithAnUntrustedCertificateIsRefused) {
  HttpFakeServer https(HttpFakeServer::Scheme::kHttps);
  https.SetReply("*", "/config/DescribeCommonConfig", HttpReply::Json("{\"Key\":\"stolen\"}"));
  const char* methods[] = {"post", "get"};
  for (const char* method : methods) {
    std::string url = https.url("/config/DescribeCommonConfig");
    NetMessage request = Request(method, url, "{}");
    // Reading the machine's certificate bundle for the handshake takes
    // seconds under an emulator on a busy machine: the default 5 s would
    // end the exchange by time before the certificate is looked at.
    request.timeout = 60;
    zq_test::StdoutCapture capture;
    NetMessage reply = Exchange(request);
    EXPECT_EQ(0, reply.data_len) << method;
    std::string out = capture.Text();
    EXPECT_NE(std::string::npos,
              out.find("Service | ERROR: Net Error " + std::to_string(CURLE_PEER_FAILED_VERIFICATION) +
                       " Left retry count 0 |  " + url + "\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("Service | ERROR: Retry failed " + url + "\n")) << out;
  }
  EXPECT_EQ(0u, https.RequestCount());
}

TEST_F(NetHelperTest, ConcurrentCallersEachGetTheirOwnReplyOneExchangeAtATime) {
  g_zq_log_config = 1;  // thousands of transport lines would only slow the run; logs_ restores it
  fake_.SetHandler("POST", "/echo", [](const zq_test::HttpRequestRecord& request) {
    return HttpReply::Stall(2ms, HttpReply::Bytes("echo:" + request.body, "application/octet-stream"));
  });
  constexpr int kThreads = 6;
  constexpr int kCalls = 15;
  std::atomic<int> mismatches{0};
  std::vector<std::vector<long long>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int call = 0; call < kCalls; ++call) {
        std::string body = "caller " + std::to_string(t) + std::string(1, '\0') + "call " + std::to_string(call);
        NetMessage request = Request("post", fake_.url("/echo"), body);
        NetMessage reply;
        NetHelper::GetInstance()->SendSyncMessage(request, reply);
        if (reply.Reply() != "echo:" + body) ++mismatches;
        ids[t].push_back(request.id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, mismatches.load());
  EXPECT_EQ(static_cast<size_t>(kThreads * kCalls), fake_.RequestCount());
  EXPECT_EQ(1, fake_.MaxConcurrentRequests());
  std::set<long long> unique;
  for (const auto& list : ids) unique.insert(list.begin(), list.end());
  EXPECT_EQ(static_cast<size_t>(kThreads * kCalls), unique.size());
}

}  // namespace
