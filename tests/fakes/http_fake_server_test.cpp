// The loopback HTTP fake that stands in for every HTTP peer: scripting and
// recording, checked with a bare libcurl client so the fake is trusted
// independently of the transport under test.
#include <gtest/gtest.h>

#include <curl/curl.h>

#include <chrono>
#include <string>
#include <thread>

#include "fakes/http_fake_server.h"

namespace {

using namespace std::chrono_literals;
using zq_test::HttpFakeServer;
using zq_test::HttpReply;

size_t Collect(char* bytes, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(bytes, size * count);
  return size * count;
}

struct Answer {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
};

// A plain libcurl exchange; `post_body` null means GET.
Answer Fetch(const std::string& url, const std::string* post_body = nullptr, const char* header = nullptr,
             const std::string& ca_file = "") {
  Answer answer;
  CURL* curl = curl_easy_init();
  curl_slist* headers = header != nullptr ? curl_slist_append(nullptr, header) : nullptr;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  if (headers != nullptr) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (post_body != nullptr) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(post_body->size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post_body->data());
  }
  if (!ca_file.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
  answer.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return answer;
}

TEST(HttpFakeServerTest, RecordsEveryPartOfTheRequest) {
  HttpFakeServer fake;
  fake.SetReply("POST", "/Report/ReportHeartbeat", HttpReply::Json("{\"Code\":0}"));
  const std::string body("{\"a\":1}\0tail", 12);
  Answer answer = Fetch(fake.url("/Report/ReportHeartbeat?company_id=c%201&shop_id=7&flag"), &body,
                        "Content-Type: application/json");
  ASSERT_EQ(CURLE_OK, answer.code);
  EXPECT_EQ(200, answer.status);
  EXPECT_EQ("{\"Code\":0}", answer.body);

  ASSERT_EQ(1u, fake.RequestCount());
  auto request = fake.Requests()[0];
  EXPECT_EQ("POST", request.method);
  EXPECT_EQ("/Report/ReportHeartbeat", request.path);
  EXPECT_EQ("/Report/ReportHeartbeat?company_id=c%201&shop_id=7&flag", request.target);
  EXPECT_EQ("c 1", request.Query("company_id"));
  EXPECT_EQ("7", request.Query("shop_id"));
  EXPECT_TRUE(request.HasQuery("flag"));
  EXPECT_FALSE(request.HasQuery("other"));
  EXPECT_EQ(body, request.body);
  EXPECT_EQ("application/json", request.Header("content-type"));
  EXPECT_FALSE(request.HasHeader("REMOTE_ADDR"));
  EXPECT_LE(request.arrival, std::chrono::steady_clock::now());
}

TEST(HttpFakeServerTest, ScriptsRepliesPerMethodAndPath) {
  HttpFakeServer fake;
  fake.SetReply("GET", "/x", HttpReply::Text("get x"));
  fake.SetReply("*", "/y", HttpReply::Text("any y", 201));
  fake.QueueReply("GET", "/x", HttpReply::Text("first", 500));
  fake.SetHandler("POST", "/x", [](const zq_test::HttpRequestRecord& request) {
    return HttpReply::Text("handled " + request.body);
  });
  const std::string body = "b";
  EXPECT_EQ("first", Fetch(fake.url("/x")).body);
  EXPECT_EQ("get x", Fetch(fake.url("/x")).body);
  EXPECT_EQ("handled b", Fetch(fake.url("/x"), &body).body);
  Answer any = Fetch(fake.url("/y"), &body);
  EXPECT_EQ(201, any.status);
  EXPECT_EQ("any y", any.body);
  Answer unscripted = Fetch(fake.url("/nowhere"));
  EXPECT_EQ(404, unscripted.status);
  fake.SetDefaultReply(HttpReply::Text("fallback", 503));
  EXPECT_EQ(503, Fetch(fake.url("/nowhere")).status);
  EXPECT_EQ(2u, fake.RequestsTo("/nowhere").size());
}

TEST(HttpFakeServerTest, DropsStallsAndWaits) {
  HttpFakeServer fake;
  fake.SetReply("GET", "/drop", HttpReply::Drop());
  EXPECT_EQ(CURLE_GOT_NOTHING, Fetch(fake.url("/drop")).code);

  fake.SetReply("GET", "/slow", HttpReply::Stall(300ms, HttpReply::Text("late")));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("late", Fetch(fake.url("/slow")).body);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  EXPECT_FALSE(fake.WaitForRequests(3, 50ms));
  std::thread late([&] { Fetch(fake.url("/later")); });
  EXPECT_TRUE(fake.WaitForRequestsTo("/later", 1, 5s));
  late.join();
  EXPECT_EQ(1, fake.MaxConcurrentRequests());
}

TEST(HttpFakeServerTest, StopCutsALongStallShort) {
  auto fake = std::make_unique<HttpFakeServer>();
  fake->SetReply("GET", "/stall", HttpReply::Stall(60s, HttpReply::Text("never")));
  std::thread client([&] { Fetch(fake->url("/stall")); });
  ASSERT_TRUE(fake->WaitForRequests(1, 5s));
  auto start = std::chrono::steady_clock::now();
  fake->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  client.join();
}

// Gives up (a write error) once more than `limit` bytes arrived.
struct Capped {
  size_t limit = 0;
  size_t received = 0;
};
size_t CollectCapped(char*, size_t size, size_t count, void* out) {
  Capped* capped = static_cast<Capped*>(out);
  capped->received += size * count;
  return capped->received > capped->limit ? 0 : size * count;
}

TEST(HttpFakeServerTest, ChunkedRepliesAnnounceNoLengthAndMayNeverEnd) {
  HttpFakeServer fake;
  fake.SetReply("GET", "/three", HttpReply::Chunked("abc", 3));
  Answer three = Fetch(fake.url("/three"));
  EXPECT_EQ(CURLE_OK, three.code);
  EXPECT_EQ("abcabcabc", three.body);

  fake.SetReply("GET", "/endless", HttpReply::Chunked(std::string(64 * 1024, 'e'), 0));
  CURL* curl = curl_easy_init();
  Capped capped;
  capped.limit = 8u << 20;
  curl_easy_setopt(curl, CURLOPT_URL, fake.url("/endless").c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectCapped);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &capped);
  EXPECT_EQ(CURLE_WRITE_ERROR, curl_easy_perform(curl));
  curl_off_t announced = 0;
  curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
  EXPECT_EQ(-1, announced);
  curl_easy_cleanup(curl);
  EXPECT_GT(capped.received, capped.limit);
}

TEST(HttpFakeServerTest, RepeatedRepliesAnnounceTheirLengthAndRepeatTheirPiece) {
  HttpFakeServer fake;
  // Lengths short of a piece, a whole number of pieces, and a piece and a bit.
  for (size_t length : {2u, 9u, 11u}) {
    SCOPED_TRACE(length);
    fake.SetReply("GET", "/repeated", HttpReply::Repeated("abc", length));
    Answer answer = Fetch(fake.url("/repeated"));
    EXPECT_EQ(CURLE_OK, answer.code);
    std::string expected;
    while (expected.size() < length) expected += "abc";
    expected.resize(length);
    EXPECT_EQ(expected, answer.body);
  }
}

TEST(HttpFakeServerTest, ParsesMultipartBodiesIntoParts) {
  HttpFakeServer fake;
  fake.SetReply("POST", "/upload/CatchCameraPic", HttpReply::Json("{}"));
  CURL* curl = curl_easy_init();
  curl_mime* mime = curl_mime_init(curl);
  curl_mimepart* part = curl_mime_addpart(mime);
  const std::string picture("\xff\xd8\0jpeg", 7);
  curl_mime_name(part, "file");
  curl_mime_filename(part, "pic.jpg");
  curl_mime_type(part, "image/jpeg");
  curl_mime_data(part, picture.data(), picture.size());
  std::string ignored;
  curl_easy_setopt(curl, CURLOPT_URL, fake.url("/upload/CatchCameraPic").c_str());
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ignored);
  EXPECT_EQ(CURLE_OK, curl_easy_perform(curl));
  curl_mime_free(mime);
  curl_easy_cleanup(curl);

  auto request = fake.Requests().at(0);
  ASSERT_EQ(1u, request.parts.size());
  EXPECT_EQ("file", request.parts[0].name);
  EXPECT_EQ("pic.jpg", request.parts[0].filename);
  EXPECT_EQ("image/jpeg", request.parts[0].content_type);
  EXPECT_EQ(picture, request.parts[0].content);
}

TEST(HttpFakeServerTest, HttpsServesWithItsSelfSignedCertificate) {
  HttpFakeServer fake(HttpFakeServer::Scheme::kHttps);
  fake.SetReply("GET", "/secure", HttpReply::Text("secret"));
  EXPECT_EQ(0u, fake.url().find("https://127.0.0.1:"));
  ASSERT_FALSE(fake.certificate_path().empty());
  Answer trusted = Fetch(fake.url("/secure"), nullptr, nullptr, fake.certificate_path());
  EXPECT_EQ(CURLE_OK, trusted.code);
  EXPECT_EQ("secret", trusted.body);
  Answer untrusted = Fetch(fake.url("/secure"));
  EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, untrusted.code);
  EXPECT_EQ(1u, fake.RequestCount());
}

}  // namespace
