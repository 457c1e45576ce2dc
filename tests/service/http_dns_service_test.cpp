// The HTTP DNS resolver against the loopback HTTP fake: what a look-up
// returns, what the fake was asked and what the cache file holds after it.
#include "service/http_dns_service.h"

#include <gtest/gtest.h>

#include <curl/curl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/http_fake_server.h"
#include "service/net_service.h"
#include "support/files.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using zq_camera_service::HttpDnsService;
using zq_test::HttpFakeServer;
using zq_test::HttpReply;
using Addresses = std::vector<std::string>;

constexpr int64_t kNow = 1600000000;

// Sets (or unsets) $DnsFile for one test and restores it after.
class ScopedDnsFile {
 public:
  explicit ScopedDnsFile(const std::optional<std::string>& path) {
    const char* old = getenv("DnsFile");
    if (old != nullptr) saved_ = old;
    if (path) {
      setenv("DnsFile", path->c_str(), 1);
    } else {
      unsetenv("DnsFile");
    }
  }
  ~ScopedDnsFile() {
    if (saved_) {
      setenv("DnsFile", saved_->c_str(), 1);
    } else {
      unsetenv("DnsFile");
    }
  }

 private:
  std::optional<std::string> saved_;
};

std::string CacheText(const std::string& begin_time, const std::string& ttl, const std::string& ip_list) {
  return "{\n\"BeginTime\":\"" + begin_time + "\",\n\"TTL\":\"" + ttl + "\",\n\"IpList\":\"" + ip_list + "\",\n}\n";
}

class HttpDnsServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    zq_camera_service::NetService::GetInstance()->StartService();
  }

  HttpDnsService MakeService() {
    return HttpDnsService("127.0.0.1:" + std::to_string(fake_.port()), [this] { return now_.load(); });
  }

  std::string CachePath() const { return dir_ / "dns_cache"; }

  // Nothing logged: the printed failure line is compared whole.
  zq_test::ScopedLogSettings logs_{0, 3, ""};
  HttpFakeServer fake_;
  zq_test::TempDir dir_{"zqdns"};
  std::atomic<int64_t> now_{kNow};
};

TEST_F(HttpDnsServiceTest, AsksTheResolverWithTheExactPath) {
  ScopedDnsFile env(std::nullopt);
  fake_.SetReply("GET", "/d", HttpReply::Text("a;b,300"));
  HttpDnsService service = MakeService();
  EXPECT_EQ(0, service.StartService());
  EXPECT_EQ((Addresses{"a", "b"}), service.GetIp("api.example.com"));
  EXPECT_EQ(0, service.StopService());

  const auto requests = fake_.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("GET", requests[0].method);
  EXPECT_EQ("/d?dn=api.example.com.&ttl=1", requests[0].target);
  EXPECT_EQ("api.example.com.", requests[0].Query("dn"));
  EXPECT_EQ("1", requests[0].Query("ttl"));
  EXPECT_EQ("", requests[0].body);
}

TEST_F(HttpDnsServiceTest, ReplyTable) {
  struct Case {
    std::string what;
    HttpReply reply;
    Addresses addresses;
    // Cache file afterwards; "" when none may be written.
    std::string cache;
    bool failure_line;
  };
  const std::string begin = std::to_string(kNow);
  const Case cases[] = {
      {"two addresses", HttpReply::Text("a;b,300"), {"a", "b"}, CacheText(begin, "300", "a;b"), false},
      {"one address", HttpReply::Text("a,60"), {"a"}, CacheText(begin, "60", "a"), false},
      {"comma and ttl alone", HttpReply::Text(",60"), {""}, CacheText(begin, "60", ""), false},
      {"a later comma is part of the ttl", HttpReply::Text("a,60,7"), {"a"}, "", false},
      {"empty reply", HttpReply::Status(200), {}, "", true},
      {"no comma", HttpReply::Text("a;b"), {}, "", true},
      {"connection dropped", HttpReply::Drop(), {}, "", true},
      // A GET reply is taken whatever its status.
      {"error page with a comma", HttpReply::Text("<p>oops, down</p>", 500), {"<p>oops"}, "", false},
      {"ttl with a letter", HttpReply::Text("a,30x"), {"a"}, "", false},
      {"ttl with a line feed", HttpReply::Text("a,30\n"), {"a"}, "", false},
      {"empty ttl", HttpReply::Text("a,"), {"a"}, "", false},
      {"list with a quote", HttpReply::Text("a\"b,60"), {"a\"b"}, "", false},
      {"list with a brace", HttpReply::Text("a}b,60"), {"a}b"}, "", false},
      {"list with a backslash", HttpReply::Text("a\\,60"), {"a\\"}, "", false},
      {"list with a control character", HttpReply::Text("a\tb,60"), {"a\tb"}, "", false},
      {"list with a NUL byte", HttpReply::Text(std::string("a\0b,60", 6)), {std::string("a\0b", 3)}, "", false},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string path = dir_ / ("cache_" + std::to_string(index++));
    ScopedDnsFile env(path);
    fake_.ClearRequests();
    fake_.SetReply("GET", "/d", c.reply);
    HttpDnsService service = MakeService();
    std::string printed;
    {
      zq_test::StdoutCapture capture;
      EXPECT_EQ(c.addresses, service.GetIp("example.com")) << c.what;
      printed = capture.Text();
    }
    EXPECT_EQ(1u, fake_.RequestCount()) << c.what;
    EXPECT_EQ(c.failure_line ? "Http dns request failed\n" : "", printed) << c.what;
    if (c.cache.empty()) {
      EXPECT_FALSE(zq_test::FileExists(path)) << c.what;
    } else {
      EXPECT_EQ(c.cache, zq_test::ReadFile(path)) << c.what;
    }
  }
}

TEST_F(HttpDnsServiceTest, CacheIsFreshUntilBeginTimePlusTtl) {
  ScopedDnsFile env(CachePath());
  zq_test::WriteFile(CachePath(), CacheText("1600000000", "300", "c;d"));
  fake_.SetReply("GET", "/d", HttpReply::Text("e,60"));
  HttpDnsService service = MakeService();

  now_ = 1600000299;
  EXPECT_EQ((Addresses{"c", "d"}), service.GetIp("example.com"));
  // The cache holds the last answer, whatever domain is asked.
  EXPECT_EQ((Addresses{"c", "d"}), service.GetIp("other.example.org"));
  EXPECT_EQ(0u, fake_.RequestCount());

  now_ = 1600000300;
  EXPECT_EQ((Addresses{"e"}), service.GetIp("example.com"));
  EXPECT_EQ(1u, fake_.RequestCount());
  EXPECT_EQ(CacheText("1600000300", "60", "e"), zq_test::ReadFile(CachePath()));

  now_ = 1600000359;
  EXPECT_EQ((Addresses{"e"}), service.GetIp("example.com"));
  EXPECT_EQ(1u, fake_.RequestCount());
}

TEST_F(HttpDnsServiceTest, PreWrittenCacheFilesThatCountAsStale) {
  struct Case {
    std::string what;
    std::string text;
  };
  const Case cases[] = {
      {"past its ttl", CacheText("1599999000", "300", "c")},
      {"exactly at its expiry", CacheText("1599999700", "300", "c")},
      {"no closing brace", "{\n\"BeginTime\":\"1600000000\",\n\"TTL\":\"300\",\n\"IpList\":\"c\",\n"},
      {"members missing", "{\n\"IpList\":\"c\",\n}\n"},
      {"empty file", ""},
      {"not the cache format", "c;d,300"},
      // 32-bit arithmetic: 4294967295 + 2 wraps around to 1.
      {"expiry wraps around", CacheText("4294967295", "2", "c")},
      {"larger than 64 KiB", CacheText("1600000000", "300", "c") + std::string(64 * 1024, ' ')},
  };
  for (const Case& c : cases) {
    ScopedDnsFile env(CachePath());
    zq_test::WriteFile(CachePath(), c.text);
    fake_.ClearRequests();
    fake_.SetReply("GET", "/d", HttpReply::Text("e,60"));
    HttpDnsService service = MakeService();
    EXPECT_EQ((Addresses{"e"}), service.GetIp("example.com")) << c.what;
    EXPECT_EQ(1u, fake_.RequestCount()) << c.what;
    EXPECT_EQ(CacheText(std::to_string(kNow), "60", "e"), zq_test::ReadFile(CachePath())) << c.what;
  }
}

TEST_F(HttpDnsServiceTest, WithoutDnsFileEveryLookUpAsksAndNothingIsWritten) {
  ScopedDnsFile env(std::nullopt);
  fake_.SetReply("GET", "/d", HttpReply::Text("a,300"));
  HttpDnsService service = MakeService();
  EXPECT_EQ((Addresses{"a"}), service.GetIp("example.com"));
  EXPECT_EQ((Addresses{"a"}), service.GetIp("example.com"));
  EXPECT_EQ(2u, fake_.RequestCount());
  service.WriteHttpDnsMap("a", "1600000000", "300");
  EXPECT_FALSE(zq_test::FileExists(CachePath()));
}

TEST_F(HttpDnsServiceTest, MissingCacheFileIsCreatedByTheFirstAnswer) {
  const std::string path = dir_ / "absent";
  ScopedDnsFile env(path);
  fake_.SetReply("GET", "/d", HttpReply::Text("a;b,300"));
  HttpDnsService service = MakeService();
  EXPECT_EQ((Addresses{"a", "b"}), service.GetIp("example.com"));
  EXPECT_EQ(CacheText(std::to_string(kNow), "300", "a;b"), zq_test::ReadFile(path));
  EXPECT_EQ((Addresses{"a", "b"}), service.GetIp("example.com"));
  EXPECT_EQ(1u, fake_.RequestCount());
}

TEST_F(HttpDnsServiceTest, CacheFileThatIsADirectoryOrAFifo) {
  const std::string directory = dir_ / "a_directory";
  ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
  const std::string fifo = dir_ / "a_fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  fake_.SetReply("GET", "/d", HttpReply::Text("a,300"));
  for (const std::string& path : {directory, fifo}) {
    ScopedDnsFile env(path);
    fake_.ClearRequests();
    HttpDnsService service = MakeService();
    // Neither blocks nor caches: every look-up asks again.
    EXPECT_EQ((Addresses{"a"}), service.GetIp("example.com")) << path;
    EXPECT_EQ((Addresses{"a"}), service.GetIp("example.com")) << path;
    EXPECT_EQ(2u, fake_.RequestCount()) << path;
  }
  struct stat info {};
  ASSERT_EQ(0, stat(directory.c_str(), &info));
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  ASSERT_EQ(0, stat(fifo.c_str(), &info));
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(HttpDnsServiceTest, DomainsThatAreNoHostnameSendNothing) {
  ScopedDnsFile env(CachePath());
  zq_test::WriteFile(CachePath(), CacheText("1600000000", "300", "c"));
  fake_.SetReply("GET", "/d", HttpReply::Text("a,300"));
  HttpDnsService service = MakeService();
  const std::string domains[] = {"", "a b", "a/b", "a?x=1", "a&ttl=0", "a#b", "a\nb", "a%2e", std::string("a\0b", 3),
                                 std::string(254, 'a')};
  for (const std::string& domain : domains) {
    zq_test::StdoutCapture capture;
    EXPECT_TRUE(service.GetIp(domain).empty()) << domain;
    EXPECT_EQ("Http dns request failed\n", capture.Text()) << domain;
  }
  EXPECT_EQ(0u, fake_.RequestCount());
  EXPECT_EQ((Addresses{"c"}), service.GetIp("Host-1.example.COM"));
  EXPECT_EQ((Addresses{"c"}), service.GetIp(std::string(253, 'a')));
}

TEST_F(HttpDnsServiceTest, ConcurrentLookUpsEachGetAnAnswer) {
  ScopedDnsFile env(CachePath());
  fake_.SetReply("GET", "/d", HttpReply::Text("a;b,1"));
  HttpDnsService service = MakeService();
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        if (service.GetIp("example.com") == Addresses{"a", "b"}) ++answered;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(40, answered.load());
  EXPECT_EQ(CacheText(std::to_string(kNow), "1", "a;b"), zq_test::ReadFile(CachePath()));
}

TEST(HttpDnsReadIp, ReadsTheCacheFormat) {
  zq_test::TempDir dir("zqdns");
  struct Case {
    std::string what;
    std::string text;
    std::string ip_list;
    int expiry;
  };
  const Case cases[] = {
      {"as written", CacheText("1600000000", "300", "a;b"), "a;b", 1600000300},
      {"members in any order", "{\"TTL\":\"5\",\"IpList\":\"x\",\"BeginTime\":\"10\"}", "x", 15},
      {"only the first object counts", "{\"IpList\":\"x\",\"TTL\":\"1\"}{\"IpList\":\"y\"}", "x", 1},
      {"no closing brace", "{\"IpList\":\"x\",\"TTL\":\"1\"", "", 0},
      {"empty", "", "", 0},
      {"a list with spaces", "{'IpList' : 'a b'}", "a b", 0},
  };
  for (const Case& c : cases) {
    const std::string path = dir / "cache";
    zq_test::WriteFile(path, c.text);
    int expiry = -1;
    EXPECT_EQ(c.ip_list, readIp(path, expiry)) << c.what;
    EXPECT_EQ(c.expiry, expiry) << c.what;
  }
  // A file that is absent or not a regular file leaves the expiry alone.
  int expiry = 77;
  EXPECT_EQ("", readIp(dir / "absent", expiry));
  EXPECT_EQ(77, expiry);
  EXPECT_EQ("", readIp(dir.path(), expiry));
  EXPECT_EQ(77, expiry);
}

TEST(HttpDnsStringToInt, DecimalTextWithoutChecks) {
  EXPECT_EQ(300, StringToInt("300"));
  EXPECT_EQ(0, StringToInt(""));
  EXPECT_EQ(7, StringToInt("007"));
  EXPECT_EQ(1600000300, StringToInt("1600000300"));
  // Wraps in 32 bits.
  EXPECT_EQ(0, StringToInt("4294967296"));
  EXPECT_EQ(-1, StringToInt("4294967295"));
  // Any other character enters with its distance from "0".
  EXPECT_EQ('a' - '0', StringToInt("a"));
  EXPECT_EQ(static_cast<int>(static_cast<uint32_t>(1 * 10) + 0xffu - '0'), StringToInt("1\xff"));
}

}  // namespace
