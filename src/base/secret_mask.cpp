#include "base/secret_mask.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "base/json_escape.h"

namespace zq_camera_service {

namespace {

constexpr size_t kMaskLength = std::char_traits<char>::length(kSecretMaskText);

// A stretch [start, end) of the text covered by occurrences of secrets.
struct Run {
  size_t start;
  size_t end;
};

}  // namespace

SecretMask::SecretMask(std::initializer_list<std::string_view> secrets) {
  for (std::string_view secret : secrets) {
    if (secret.empty()) continue;
    std::string raw(secret);
    // JSON texts (replies turned to text, composed headers) carry the escaped form.
    std::string escaped = json::Escape(raw);
    Add(std::move(raw));
    Add(std::move(escaped));
  }
}

void SecretMask::Add(std::string text) {
  for (const Needle& needle : needles_) {
    if (needle.text == text) return;
  }
  Needle needle;
  needle.fallback.assign(text.size(), 0);
  for (size_t i = 1, k = 0; i < text.size(); ++i) {
    while (k > 0 && text[i] != text[k]) k = needle.fallback[k - 1];
    if (text[i] == text[k]) ++k;
    needle.fallback[i] = k;
  }
  longest_ = std::max(longest_, text.size());
  starts_[static_cast<unsigned char>(text[0])] = true;
  needle.text = std::move(text);
  needles_.push_back(std::move(needle));
}

std::string SecretMask::Apply(std::string_view text, size_t limit) const {
  if (needles_.empty()) return std::string(text.substr(0, limit));

  std::string out;
  out.reserve(std::min(text.size(), limit));
  std::vector<size_t> matched(needles_.size(), 0);  // characters of each needle matched so far
  // Covered stretches not yet written out: a later occurrence may still
  // reach back into them, by less than the longest needle.
  std::deque<Run> pending;
  size_t written = 0;  // text before this position is in `out`

  // How much of the text before `final_end` is plain, and writes out
  // everything before it: no occurrence found later can start there.
  auto plain_up_to = [&](size_t final_end) {
    return pending.empty() ? final_end : std::min(final_end, pending.front().start);
  };
  auto append = [&](const char* bytes, size_t length) {
    if (out.size() < limit) out.append(bytes, std::min(length, limit - out.size()));
  };
  auto write_up_to = [&](size_t final_end) {
    while (!pending.empty() && pending.front().end <= final_end) {
      append(text.data() + written, pending.front().start - written);
      append(kSecretMaskText, kMaskLength);
      written = pending.front().end;
      pending.pop_front();
    }
    size_t plain_end = plain_up_to(final_end);
    if (plain_end > written) {
      append(text.data() + written, plain_end - written);
      written = plain_end;
    }
  };
  // Where each needle's first character occurs next, at or after a
  // position: while no needle is partly matched, the text up to the nearest
  // of them cannot hold an occurrence and is skipped in one step.
  std::vector<size_t> next_start(needles_.size(), 0);
  auto skip_from = [&](size_t at) {
    size_t nearest = text.size();
    for (size_t n = 0; n < needles_.size(); ++n) {
      if (next_start[n] < at) {
        const void* found = memchr(text.data() + at, needles_[n].text[0], text.size() - at);
        next_start[n] = found == nullptr ? text.size() : static_cast<const char*>(found) - text.data();
      }
      nearest = std::min(nearest, next_start[n]);
    }
    return nearest;
  };

  for (size_t i = 0; i < text.size(); ++i) {
    if (!starts_[static_cast<unsigned char>(text[i])] && pending.empty() &&
        std::all_of(matched.begin(), matched.end(), [](size_t k) { return k == 0; })) {
      i = skip_from(i);
      if (i == text.size()) break;
    }
    const char c = text[i];
    for (size_t n = 0; n < needles_.size(); ++n) {
      const Needle& needle = needles_[n];
      size_t& k = matched[n];
      while (k > 0 && c != needle.text[k]) k = needle.fallback[k - 1];
      if (c != needle.text[k]) continue;
      if (++k < needle.text.size()) continue;
      // An occurrence ends here; it joins every pending stretch it overlaps.
      Run run{i + 1 - k, i + 1};
      while (!pending.empty() && pending.back().end > run.start) {
        run.start = std::min(run.start, pending.back().start);
        pending.pop_back();
      }
      pending.push_back(run);
      k = needle.fallback[k - 1];
    }
    // Occurrences found later end past i, so they start after i + 1 - longest.
    if (i + 2 <= longest_) continue;
    const size_t final_end = i + 2 - longest_;
    const size_t plain_end = plain_up_to(final_end);
    const size_t final_size = out.size() + (plain_end > written ? plain_end - written : 0);
    if (final_size >= limit) {
      write_up_to(final_end);
      break;
    }
    if (!pending.empty() && pending.front().end <= final_end) write_up_to(final_end);
  }
  write_up_to(text.size());
  return out;
}

std::string MaskSecret(std::string_view text, const std::string& secret, size_t limit) {
  return SecretMask({secret}).Apply(text, limit);
}

}  // namespace zq_camera_service
