// The received text of a POST transfer (status line, headers, body) reduced to
// the reply the caller sees.
//
// Input byte 0 picks the form: odd, the rest is the whole received text; even,
// the rest is "<header lines>\0<body>" and the target builds a 200 answer
// (after an optional "100 Continue" block) around it, whose reply must be the
// body exactly.
#include <cstdint>
#include <string>

#include "service/net_reply.h"
#include "support/fuzz_check.h"

using zq_camera_service::cutString;
using zq_camera_service::ReceivedText;
using zq_camera_service::writer;

namespace {

// The reply cutString makes of `text`, as the caller would receive it.
std::string ReplyOf(const std::string& text) {
  ReceivedText received(text.size());
  FUZZ_CHECK(received.Append(text.data(), text.size()));
  cutString(received);
  return std::string(received.View());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool whole = (data[0] & 1) != 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);

  // What libcurl hands the write callback arrives whole, in any slicing.
  // A limit of all but the last byte: every slice is taken until the one
  // that would pass it, and nothing of that one is kept.
  ReceivedText received(rest.size());
  ReceivedText short_of_it(rest.empty() ? 0 : rest.size() - 1);
  size_t step = 1 + data[0] % 7;
  for (size_t at = 0; at < rest.size(); at += step) {
    const size_t n = std::min(step, rest.size() - at);
    FUZZ_CHECK(writer(const_cast<char*>(rest.data() + at), 1, n, &received) == n);
    const bool fits = at + n < rest.size();
    FUZZ_CHECK((writer(const_cast<char*>(rest.data() + at), 1, n, &short_of_it) == n) == fits);
  }
  FUZZ_CHECK(received.View() == rest);
  FUZZ_CHECK(rest.empty() || short_of_it.over_limit());
  FUZZ_CHECK(short_of_it.size() <= short_of_it.limit());
  FUZZ_CHECK(writer(const_cast<char*>(rest.data()), 1, rest.size(), nullptr) == 0);

  if (whole) {
    const std::string reply = ReplyOf(rest);
    if (rest.compare(0, 5, "HTTP/") != 0) {
      FUZZ_CHECK(reply.empty());
      return 0;
    }
    // Either the body after a header block (a suffix behind "\r\n\r\n"), or
    // at most three status characters that are not "200".
    const bool is_body = reply.size() <= rest.size() && rest.size() - reply.size() >= 4 &&
                         rest.compare(rest.size() - reply.size() - 4, 4, "\r\n\r\n") == 0 &&
                         rest.compare(rest.size() - reply.size(), reply.size(), reply) == 0 &&
                         rest.find(" 200") != std::string::npos;
    FUZZ_CHECK(is_body || (reply.size() <= 3 && reply != "200" && reply.find_first_of("\r\n ") == std::string::npos));
    return 0;
  }

  const size_t split = rest.find('\0');
  std::string headers = rest.substr(0, split);
  const std::string body = split == std::string::npos ? std::string() : rest.substr(split + 1);
  // Header lines cannot hold an empty line (it would end the block).
  for (size_t at = headers.find("\r\n\r\n"); at != std::string::npos; at = headers.find("\r\n\r\n"))
    headers.erase(at, 2);
  while (!headers.empty() && (headers.back() == '\r' || headers.back() == '\n')) headers.pop_back();
  while (!headers.empty() && (headers.front() == '\r' || headers.front() == '\n')) headers.erase(0, 1);
  std::string text = (data[0] & 2) != 0 ? "HTTP/1.1 100 Continue\r\n\r\n" : "";
  text += "HTTP/1.1 200 OK\r\n" + headers + (headers.empty() ? "" : "\r\n") + "\r\n" + body;
  FUZZ_CHECK(ReplyOf(text) == body);

  // The same header block with another final status gives its three digits.
  std::string refused = "HTTP/1.1 503 Busy\r\n" + headers + (headers.empty() ? "" : "\r\n") + "\r\n" + body;
  FUZZ_CHECK(ReplyOf(refused) == "503");
  return 0;
}
