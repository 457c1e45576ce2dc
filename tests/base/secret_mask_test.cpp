#include "base/secret_mask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/json_escape.h"
#include "support/proc_figures.h"

namespace {

using zq_camera_service::MaskSecret;
using zq_camera_service::SecretMask;
using zq_camera_service::json::Escape;

TEST(MaskSecret, ReplacesEveryOccurrenceRawAndEscaped) {
  struct Case {
    std::string text;
    std::string secret;
    std::string masked;
  };
  const Case cases[] = {
      {"Key=abc&Mac=m&TimeStamp=1", "abc", "Key=***&Mac=m&TimeStamp=1"},
      {"abcabc", "abc", "******"},
      {"\"Key\": \"q\\\"uote\"", "q\"uote", "\"Key\": \"***\""},
      {"raw q\"uote and \"q\\\"uote\"", "q\"uote", "raw *** and \"***\""},
      {"nothing here", "abc", "nothing here"},
      {"empty secret masks nothing", "", "empty secret masks nothing"},
      // A mask that contains the secret must not be masked again.
      {"**", "*", "******"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.masked, MaskSecret(c.text, c.secret)) << c.text;
}

TEST(MaskSecret, OverlapsAndSecretsThatLookLikeTheMask) {
  struct Case {
    const char* name;
    std::string text;
    std::string secret;
    std::string masked;
  };
  const Case cases[] = {
      // Overlapping occurrences hide as one stretch: no part of the key shows.
      {"self-overlapping key", "ababab", "abab", "***"},
      {"overlap in the middle of a text", "<aaa>", "aa", "<***>"},
      {"adjacent occurrences stay apart", "k1k1", "k1", "******"},
      {"a near miss is left alone", "abaXbab", "abab", "abaXbab"},
      {"key at both ends", "keymiddlekey", "key", "***middle***"},
      // A key that reads like the mask: replaced once, never looped over.
      {"key equal to the mask", "a***b", "***", "a***b"},
      {"key equal to the mask, overlapping", "******", "***", "***"},
      {"key holding a star", "x*y*", "*y", "x****"},
      {"empty key", "any text ***", "", "any text ***"},
      {"empty text", "", "key", ""},
      {"text shorter than the key", "ke", "key", "ke"},
      // The escaped form of a key with a quote, a backslash and a control
      // character, as it reads inside a JSON text.
      {"escaped form", "{\"Key\":\"a\\\"b\\\\c\\n\"}", "a\"b\\c\n", "{\"Key\":\"***\"}"},
      {"raw and escaped forms side by side", "a\"a\\\"", "a\"", "******"},
      {"raw form inside the escaped one", "\\\"x", "\"x", "***"},
      {"NUL bytes are text like any other", std::string("x\0key\0", 6), "key", std::string("x\0***\0", 6)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.masked, MaskSecret(c.text, c.secret)) << c.name;
}

TEST(SecretMask, SeveralSecretsInOnePass) {
  const SecretMask mask({"new-key", "old-key", ""});
  EXPECT_EQ("signed with *** for ***, then *** again", mask.Apply("signed with old-key for new-key, then old-key again"));
  // Two keys overlapping each other hide as one stretch.
  const SecretMask overlapping({"abc", "cde"});
  EXPECT_EQ("x***y", overlapping.Apply("xabcdey"));
  EXPECT_EQ("plain", SecretMask({}).Apply("plain"));
}

TEST(SecretMask, LimitCutsTheResultButNeverShowsPartOfAKey) {
  const std::string text = "0123456789key-in-the-middle and more text after it";
  const SecretMask mask({"key-in-the-middle"});
  const std::string whole = mask.Apply(text);
  EXPECT_EQ("0123456789*** and more text after it", whole);
  for (size_t limit = 0; limit <= whole.size() + 3; ++limit) {
    EXPECT_EQ(whole.substr(0, limit), mask.Apply(text, limit)) << limit;
  }
  // A cut that falls inside an occurrence shows the mask's start, not the key's.
  EXPECT_EQ("0123456789*", mask.Apply(text, 11));
  EXPECT_EQ("0123", SecretMask({}).Apply(text, 4));
}

// The meaning of masking, spelt out slowly: every occurrence of every form
// of every secret, sorted; occurrences sharing a character join; each
// joined stretch is written as one mask.
std::string MaskSlowly(const std::string& text, const std::vector<std::string>& secrets) {
  std::vector<std::pair<size_t, size_t>> found;  // [start, end)
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    for (const std::string& form : {secret, Escape(secret)}) {
      for (size_t at = text.find(form); at != std::string::npos; at = text.find(form, at + 1)) {
        found.emplace_back(at, at + form.size());
      }
    }
  }
  std::sort(found.begin(), found.end());
  std::string out;
  size_t written = 0;
  for (size_t i = 0; i < found.size();) {
    size_t start = found[i].first;
    size_t end = found[i].second;
    for (++i; i < found.size() && found[i].first < end; ++i) end = std::max(end, found[i].second);
    out += text.substr(written, start - written) + "***";
    written = end;
  }
  return out + text.substr(written);
}

TEST(SecretMask, AgreesWithMaskingSpeltOutSlowly) {
  // Small alphabets make overlaps, near misses and escaped forms frequent.
  std::mt19937 random(20240611);
  const std::string alphabet = "ab\"\\*";
  auto word = [&](size_t most) {
    std::string text(random() % (most + 1), ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    return text;
  };
  for (int round = 0; round < 3000; ++round) {
    const std::string text = word(40);
    const std::vector<std::string> secrets = {word(4), word(3)};
    const std::string expected = MaskSlowly(text, secrets);
    const SecretMask mask({secrets[0], secrets[1]});
    ASSERT_EQ(expected, mask.Apply(text)) << "text [" << text << "] secrets [" << secrets[0] << "] [" << secrets[1] << "]";
    const size_t limit = random() % (expected.size() + 2);
    ASSERT_EQ(expected.substr(0, limit), mask.Apply(text, limit)) << "limit " << limit << " text [" << text << "]";
  }
}

// Best of several runs: a busy machine can only make a run slower.
template <typename Work>
double BestSeconds(Work work) {
  // CPU time of this thread, not the clock: on a busy machine the thread
  // waits for a core, and waits say nothing about the work.
  double best = 1e9;
  for (int run = 0; run < 5; ++run) {
    double start = zq_test::ThreadCpuSeconds();
    work();
    best = std::min(best, zq_test::ThreadCpuSeconds() - start);
  }
  return best;
}

TEST(SecretMask, TimeGrowsWithTheTextNotWithItsSquare) {
  // The key "x" in a text of nothing but "x": every character is masked and
  // the result triples, the worst case of masking by repeated replacement.
  const std::string small(512 * 1024, 'x');
  const std::string large(2 * 1024 * 1024, 'x');
  const SecretMask mask({"x"});
  size_t small_size = 0;
  size_t large_size = 0;
  double small_time = BestSeconds([&] { small_size = mask.Apply(small).size(); });
  double large_time = BestSeconds([&] { large_size = mask.Apply(large).size(); });
  EXPECT_EQ(3 * small.size(), small_size);
  EXPECT_EQ(3 * large.size(), large_size);
  // Four times the text: four times the work when linear, sixteen when
  // quadratic. The bound sits between, well clear of the cache and memory
  // effects that make a larger text cost somewhat more per byte on a busy
  // machine or under a sanitizer.
  EXPECT_LT(large_time, 8 * small_time + 0.005) << "512 KiB: " << small_time << " s, 2 MiB: " << large_time << " s";
}

TEST(SecretMask, LongKeysCostNoMoreThanShortOnes) {
  // A key of many "x" and a final "y" against a text of "x": matching
  // character by character from every position would cost the key's length
  // at each of them.
  const std::string text(2 * 1024 * 1024, 'x');
  const SecretMask short_key({"xy"});
  const SecretMask long_key({std::string(64 * 1024, 'x') + "y"});
  double short_time = BestSeconds([&] { EXPECT_EQ(text.size(), short_key.Apply(text).size()); });
  double long_time = BestSeconds([&] { EXPECT_EQ(text.size(), long_key.Apply(text).size()); });
  EXPECT_LT(long_time, 5 * short_time + 0.005) << "short key: " << short_time << " s, long key: " << long_time << " s";
}

TEST(JsonEscape, EscapesWhatJsonNeedsAndNothingElse) {
  EXPECT_EQ("plain-text 12:43/x", Escape("plain-text 12:43/x"));
  EXPECT_EQ("a\\\"b\\\\c\\n\\t\\u0001", Escape("a\"b\\c\n\t\x01"));
  EXPECT_EQ("nul\\u0000inside", Escape(std::string("nul\0inside", 10)));
  EXPECT_EQ("", Escape(""));
}

}  // namespace
