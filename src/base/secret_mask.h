// Masking of secrets in log texts: a line built around the cloud key (a
// signature pre-image, a reply, a composed header) must not carry the key to
// any sink (console, file or collector).
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace zq_camera_service {

// What the log shows in place of a secret.
constexpr const char* kSecretMaskText = "***";

// One or more secrets to mask, each as it stands and as it reads inside a
// JSON string. Masking is one pass over the text, whatever the secrets hold
// and however often they occur: the secret comes from the cloud, the text
// from any peer, and neither may make a log line cost more than its length.
class SecretMask {
 public:
  // Empty secrets mask nothing.
  SecretMask(std::initializer_list<std::string_view> secrets);

  // `text` with every character that belongs to an occurrence of a secret
  // hidden: each run of overlapping occurrences reads "***" once, so no part
  // of a secret shows, not even where occurrences overlap. At most `limit`
  // characters of the result are built (a log line keeps 999).
  std::string Apply(std::string_view text, size_t limit = std::string::npos) const;

 private:
  struct Needle {
    std::string text;
    // Length of the longest proper prefix of text[0..i] that is also its
    // suffix: where matching goes on after a mismatch, so no character of
    // the text is looked at twice.
    std::vector<size_t> fallback;
  };
  void Add(std::string text);

  std::vector<Needle> needles_;
  size_t longest_ = 0;
  std::array<bool, 256> starts_{};  // the needles' first characters
};

// `text` with every occurrence of `secret`, as it stands and as it reads
// inside a JSON string, replaced by "***", at most `limit` characters of it.
// An empty secret masks nothing.
std::string MaskSecret(std::string_view text, const std::string& secret, size_t limit = std::string::npos);

}  // namespace zq_camera_service
