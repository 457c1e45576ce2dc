// The HTTP DNS resolver's two outside inputs: its reply ("addr1;addr2,ttl")
// and the cache file named by $DnsFile.
//
// Input byte 0 picks the form. Odd: the rest is a cache file as some other
// writer may have left it; the list read from it is a piece of its first
// object's text, and an oversized file reads as nothing. Even: the rest is a
// resolver reply, handled as GetIp handles it; an answer is cached only when
// it reads back as itself, and then it does, list and expiry alike (and
// GetIp serves it from the cache while it is fresh); any other answer leaves
// the cache file as it was.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/http_dns_service.h"
#include "support/fuzz_check.h"

using zq_camera_service::HttpDnsService;

namespace {

constexpr int64_t kNow = 1700000000;
const std::string kPreviousCache = "{\n\"BeginTime\":\"1\",\n\"TTL\":\"2\",\n\"IpList\":\"9.9.9.9\",\n}\n";

const std::string& CacheFile() {
  static const std::string path = zq_fuzz::ScratchDirectory("http_dns") + "/dns_cache";
  return path;
}

bool Digits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool Cacheable(const std::string& list) {
  for (char c : list) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\'' || c == '{' || c == '}' || c == '\\') return false;
  }
  return true;
}

uint32_t Wrapped(const std::string& digits) {
  uint32_t value = 0;
  for (char c : digits) value = value * 10u + static_cast<uint32_t>(c - '0');
  return value;
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t end; (end = list.find(';', start)) != std::string::npos; start = end + 1)
    items.push_back(list.substr(start, end - start));
  items.push_back(list.substr(start));
  return items;
}

void CacheFileText(const std::string& text) {
  zq_fuzz::WriteWholeFile(CacheFile(), text);
  int expiry = -12345;
  const std::string list = readIp(CacheFile(), expiry);
  if (text.size() > 64 * 1024) {
    FUZZ_CHECK(list.empty() && expiry == -12345);
    return;
  }
  const size_t close = text.find('}');
  // The tokenizer ends the text with a blank, which a quoted run left open keeps.
  const std::string first_object =
      (close == std::string::npos ? text.substr(0, 1) : text.substr(0, close + 1)) + " ";
  FUZZ_CHECK(list.empty() || first_object.find(list) != std::string::npos);
}

void ResolverReply(const std::string& answer) {
  zq_fuzz::WriteWholeFile(CacheFile(), kPreviousCache);
  const size_t comma = answer.find(',');
  if (answer.empty() || comma == std::string::npos) return;  // GetIp's "no answer"
  const std::string list = answer.substr(0, comma);
  const std::string ttl = answer.substr(comma + 1);

  HttpDnsService service("127.0.0.1:1", [] { return kNow; });
  const std::string begin = service.GetTimeStamp();
  FUZZ_CHECK(begin == std::to_string(kNow));
  service.WriteHttpDnsMap(list, begin, ttl);

  int expiry = 0;
  const std::string cached = readIp(CacheFile(), expiry);
  if (!Digits(ttl) || !Cacheable(list)) {
    FUZZ_CHECK(zq_fuzz::ReadWholeFile(CacheFile()) == kPreviousCache);
    return;
  }
  FUZZ_CHECK(cached == list);
  const uint32_t expected = static_cast<uint32_t>(kNow) + Wrapped(ttl);
  FUZZ_CHECK(static_cast<uint32_t>(expiry) == expected);
  // Fresh: served from the cache, no resolver asked (none listens there).
  if (static_cast<int>(expected) > kNow) FUZZ_CHECK(service.GetIp("example.test") == Split(list));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  setenv("DnsFile", CacheFile().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) {
    CacheFileText(rest);
  } else {
    ResolverReply(rest);
  }
  return 0;
}
