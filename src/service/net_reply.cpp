#include "service/net_reply.h"

#include "base/log.h"

namespace zq_camera_service {

namespace {

const std::string kHeaderEnd = "\r\n\r\n";

// The status digits of the status line starting at `at` ("HTTP/1.1 200 OK"):
// up to three characters after the protocol name and one blank.
std::string StatusAt(const std::string& text, size_t at) {
  size_t blank = text.find(' ', at);
  size_t line_end = text.find("\r\n", at);
  if (blank == std::string::npos || (line_end != std::string::npos && blank > line_end)) return "";
  std::string status = text.substr(blank + 1, 3);
  size_t cut = status.find_first_of("\r\n ");
  if (cut != std::string::npos) status.resize(cut);
  return status;
}

bool StartsWithHttp(const std::string& text, size_t at) { return text.compare(at, 5, "HTTP/") == 0; }

}  // namespace

size_t writer(char* bytes, size_t size, size_t count, std::string* out) {
  if (out == nullptr) return 0;
  size_t length = size * count;
  if (length > kMaxReplyBytes - out->size()) {
    zq_error("Reply larger than %zu bytes, transfer stopped\n", kMaxReplyBytes);
    return 0;
  }
  out->append(bytes, length);
  return length;
}

std::string cutString(std::string& text) {
  // libcurl delivers the header text from the status line on; any "HTTP/"
  // further on may be body bytes, so only the start of each header block counts.
  size_t block = 0;
  std::string status = StartsWithHttp(text, 0) ? StatusAt(text, 0) : "";
  while (status.size() == 3 && status[0] == '1') {
    size_t end = text.find(kHeaderEnd, block);
    if (end == std::string::npos || !StartsWithHttp(text, end + kHeaderEnd.size())) break;
    block = end + kHeaderEnd.size();
    status = StatusAt(text, block);
  }
  zq_print("res_code: %s\n", status.c_str());
  if (status != "200") return status;
  size_t body = text.find(kHeaderEnd, block);
  // Headers that never end carry no body.
  if (body == std::string::npos) return "";
  return text.substr(body + kHeaderEnd.size());
}

}  // namespace zq_camera_service
