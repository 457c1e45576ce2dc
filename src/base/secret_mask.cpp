#include "base/secret_mask.h"

#include "base/json_escape.h"

namespace zq_camera_service {

namespace {

void ReplaceAll(std::string& text, const std::string& needle, const std::string& replacement) {
  if (needle.empty()) return;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + replacement.size())) {
    text.replace(at, needle.size(), replacement);
  }
}

}  // namespace

std::string MaskSecret(std::string text, const std::string& secret) {
  static const std::string kMask = "***";
  ReplaceAll(text, secret, kMask);
  // JSON texts (replies turned to text, composed headers) carry the escaped form.
  std::string escaped = json::Escape(secret);
  if (escaped != secret) ReplaceAll(text, escaped, kMask);
  return text;
}

}  // namespace zq_camera_service
