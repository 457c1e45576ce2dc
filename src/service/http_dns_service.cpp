#include "service/http_dns_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/fd_write.h"
#include "base/unique_fd.h"
#include "base/zq_json_parser.h"
#include "service/net_helper.h"

namespace zq_camera_service {

// The cache file is five short lines; anything larger is not ours.
constexpr off_t kMaxCacheFileSize = 64 * 1024;

namespace {

// Longest domain name DNS can carry.
constexpr size_t kMaxDomainLength = 253;

bool IsHostname(const std::string& domain) {
  if (domain.empty() || domain.size() > kMaxDomainLength) return false;
  for (char c : domain) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '-' && c != '.') return false;
  }
  return true;
}

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The list is written between double quotes of the cache file: a quote,
// brace or backslash there (or a line break) would make the file read back
// as other members or as another list.
bool FitsCacheFile(const std::string& ip_list) {
  for (char c : ip_list) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return false;
    if (c == '"' || c == '\'' || c == '{' || c == '}' || c == '\\') return false;
  }
  return true;
}

std::vector<std::string> SplitAtSemicolons(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(';', start);
    if (end == std::string::npos) {
      items.push_back(text.substr(start));
      return items;
    }
    items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

int64_t WallClockSeconds() {
  struct timeval now {};
  gettimeofday(&now, nullptr);
  return static_cast<int64_t>(now.tv_sec);
}

}  // namespace

HttpDnsService::HttpDnsService(std::string resolver_host, Clock clock)
    : resolver_host(std::move(resolver_host)), clock(clock ? std::move(clock) : Clock(WallClockSeconds)) {}

int HttpDnsService::StartService() { return 0; }

int HttpDnsService::StopService() { return 0; }

std::string HttpDnsService::RequestUrl(const std::string& domain) const {
  return "http://" + resolver_host + "/d?dn=" + domain + ".&ttl=1";
}

std::vector<std::string> HttpDnsService::GetIp(const std::string& domain) {
  // The domain goes into the request URL as it stands.
  if (!IsHostname(domain)) {
    puts("Http dns request failed");
    return {};
  }
  {
    std::lock_guard<std::mutex> lock(cache_lock);
    const char* cache_file = getenv("DnsFile");
    if (cache_file != nullptr) {
      int expiry = 0;
      const std::string cached = readIp(cache_file, expiry);
      GetTimeStamp();
      if (last_time.load() < expiry) return SplitAtSemicolons(cached);
    }
  }

  NetMessage request;
  request.method = "get";
  request.url = RequestUrl(domain);
  NetMessage reply;
  NetHelper::GetInstance()->SendSyncMessage(request, reply);
  const std::string_view answer = reply.ReplyView();
  // "addr1;addr2,ttl": a reply without its comma is no answer.
  const size_t comma = answer.find(',');
  if (answer.empty() || comma == std::string_view::npos) {
    puts("Http dns request failed");
    return {};
  }
  const std::string ip_list(answer.substr(0, comma));
  const std::string ttl(answer.substr(comma + 1));
  const std::string begin_time = GetTimeStamp();
  std::vector<std::string> addresses = SplitAtSemicolons(ip_list);
  WriteHttpDnsMap(ip_list, begin_time, ttl);
  return addresses;
}

std::string HttpDnsService::GetTimeStamp() {
  const int64_t seconds = clock();
  last_time.store(static_cast<int32_t>(seconds));
  return std::to_string(seconds);
}

void HttpDnsService::WriteHttpDnsMap(std::string ip_list, const std::string& begin_time, const std::string& ttl) {
  // Only an answer that reads back as itself is kept.
  if (!AllDigits(ttl) || !AllDigits(begin_time) || !FitsCacheFile(ip_list)) return;
  std::lock_guard<std::mutex> lock(cache_lock);
  const char* cache_file = getenv("DnsFile");
  if (cache_file == nullptr) return;
  // Non-blocking, so that a FIFO in its place cannot hold the caller.
  UniqueFd fd(::open(cache_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644));
  if (!fd.valid()) return;
  const std::string text = "{\n\"BeginTime\":\"" + begin_time + "\",\n\"TTL\":\"" + ttl + "\",\n\"IpList\":\"" + ip_list +
                           "\",\n}\n";
  WriteAll(fd.get(), text.data(), text.size());
}

}  // namespace zq_camera_service

std::string readIp(const std::string& path, int& expiry) {
  using zq_camera_service::UniqueFd;
  // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return "";
  struct stat info {};
  if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > zq_camera_service::kMaxCacheFileSize) return "";
  std::string text(static_cast<size_t>(info.st_size), '\0');
  size_t filled = 0;
  while (filled < text.size()) {
    const ssize_t n = ::read(fd.get(), &text[filled], text.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  text.resize(filled);

  // Only the first object counts; a text without "}" keeps its first character.
  const size_t close = text.find('}');
  text.resize(close == std::string::npos ? std::min<size_t>(text.size(), 1) : close + 1);

  const ZQJson::Value cache = ZQJson::Parser::parse(text);
  const std::string ip_list = cache["IpList"].asString();
  const std::string begin_time = cache["BeginTime"].asString();
  const std::string ttl = cache["TTL"].asString();
  expiry = static_cast<int>(static_cast<uint32_t>(StringToInt(begin_time)) + static_cast<uint32_t>(StringToInt(ttl)));
  return ip_list;
}

int StringToInt(std::string text) {
  uint32_t value = 0;
  for (char c : text) value = value * 10u + static_cast<unsigned char>(c) - static_cast<uint32_t>('0');
  return static_cast<int>(value);
}
