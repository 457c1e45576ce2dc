// Resolves a domain through an HTTP DNS resolver (a plain HTTP GET answered
// with "addr1;addr2,ttl") instead of the system resolver, and keeps the last
// answer in the cache file named by $DnsFile while its time to live lasts.
//
// No service id and no component creates it: a caller constructs it, starts
// it (nothing to start) and calls GetIp.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "service/base_service.h"

namespace zq_camera_service {

class HttpDnsService : public BaseService {
 public:
  // Current Unix time in seconds; tests pass their own.
  using Clock = std::function<int64_t()>;

  // The resolver's "host" or "host:port". Loopback by default, so nothing
  // leaves the device unless a resolver is configured.
  explicit HttpDnsService(std::string resolver_host = "127.0.0.1", Clock clock = Clock());

  int StartService() override;
  int StopService() override;

  // The domain's addresses, from the cache while it is fresh, else from the
  // resolver; empty when the resolver gave no answer.
  std::vector<std::string> GetIp(const std::string& domain);
  // Current Unix time in seconds as decimal text; also kept in last_time.
  std::string GetTimeStamp();
  // Rewrites the cache file named by $DnsFile with the three values.
  void WriteHttpDnsMap(std::string ip_list, const std::string& begin_time, const std::string& ttl);

  // The URL asked for `domain`.
  std::string RequestUrl(const std::string& domain) const;

 private:
  std::string resolver_host;
  Clock clock;
  std::mutex cache_lock;
  std::atomic<int32_t> last_time{0};
};

}  // namespace zq_camera_service

// Reads the cache file at `path`: returns its IP list and sets `expiry` to
// BeginTime + TTL. A file that is absent, not a regular file or larger than
// 64 KiB gives "" and leaves `expiry` alone.
std::string readIp(const std::string& path, int& expiry);
// Decimal text to number without checks, wrapping in unsigned 32 bits.
int StringToInt(std::string text);
