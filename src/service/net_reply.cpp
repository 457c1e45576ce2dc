#include "service/net_reply.h"

#include <string_view>

#include "base/log.h"

namespace zq_camera_service {

namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

// The status digits of the status line starting at `at` ("HTTP/1.1 200 OK"):
// up to three characters after the protocol name and one blank. Empty views
// still point into `text`: printf's "%.*s" is undefined for a null pointer
// even with a length of 0.
std::string_view StatusAt(std::string_view text, size_t at) {
  size_t blank = text.find(' ', at);
  size_t line_end = text.find("\r\n", at);
  if (blank == std::string_view::npos || (line_end != std::string_view::npos && blank > line_end)) {
    return text.substr(0, 0);
  }
  std::string_view status = text.substr(blank + 1, 3);
  size_t cut = status.find_first_of("\r\n ");
  if (cut != std::string_view::npos) status = status.substr(0, cut);
  return status;
}

bool StartsWithHttp(std::string_view text, size_t at) { return text.compare(at, 5, "HTTP/") == 0; }

}  // namespace

size_t writer(char* bytes, size_t size, size_t count, ReceivedText* out) {
  if (out == nullptr) return 0;
  if (count != 0 && size > static_cast<size_t>(-1) / count) return 0;
  size_t length = size * count;
  return out->Append(bytes, length) ? length : 0;
}

void cutString(ReceivedText& received) {
  const std::string_view text = received.View();
  // libcurl delivers the header text from the status line on; any "HTTP/"
  // further on may be body bytes, so only the start of each header block counts.
  size_t block = 0;
  std::string_view status = StartsWithHttp(text, 0) ? StatusAt(text, 0) : text.substr(0, 0);
  while (status.size() == 3 && status[0] == '1') {
    size_t end = text.find(kHeaderEnd, block);
    if (end == std::string_view::npos || !StartsWithHttp(text, end + kHeaderEnd.size())) break;
    block = end + kHeaderEnd.size();
    status = StatusAt(text, block);
  }
  zq_print("res_code: %.*s\n", static_cast<int>(status.size()), status.data());
  if (status != "200") {
    received.Assign(status);
    return;
  }
  size_t body = text.find(kHeaderEnd, block);
  // Headers that never end carry no body.
  if (body == std::string_view::npos) {
    received.Keep(0, 0);
    return;
  }
  received.Keep(body + kHeaderEnd.size(), text.size() - body - kHeaderEnd.size());
}

}  // namespace zq_camera_service
