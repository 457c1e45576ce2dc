// Hostile texts of 1 MiB must parse within fixed time and memory. This test
// binary counts the bytes held through operator new, so the peak of one parse
// can be measured.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "base/zq_json_parser.h"

namespace {

std::atomic<long long> g_live_bytes{0};
std::atomic<long long> g_peak_bytes{0};

void* CountedAllocate(size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) return nullptr;
  long long live = g_live_bytes.fetch_add(static_cast<long long>(malloc_usable_size(block))) +
                   static_cast<long long>(malloc_usable_size(block));
  long long peak = g_peak_bytes.load();
  while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live)) {
  }
  return block;
}

void CountedFree(void* block) {
  if (block == nullptr) return;
  g_live_bytes.fetch_sub(static_cast<long long>(malloc_usable_size(block)));
  std::free(block);
}

}  // namespace

void* operator new(size_t size) {
  void* block = CountedAllocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new[](size_t size) {
  void* block = CountedAllocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void operator delete(void* block) noexcept { CountedFree(block); }
void operator delete[](void* block) noexcept { CountedFree(block); }
void operator delete(void* block, size_t) noexcept { CountedFree(block); }
void operator delete[](void* block, size_t) noexcept { CountedFree(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { CountedFree(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { CountedFree(block); }

namespace {

constexpr size_t kTextSize = 1 << 20;
// Generous for sanitizer builds; an unbounded descent (a stack and a token
// copy per level) needs far more of both.
constexpr auto kTimeBudget = std::chrono::seconds(20);
constexpr long long kMemoryBudget = 200LL << 20;

std::string Repeat(const std::string& piece) {
  std::string text;
  text.reserve(kTextSize + piece.size());
  while (text.size() < kTextSize) text += piece;
  text.resize(kTextSize);
  return text;
}

TEST(ZQJsonParserBudget, HostileTextsParseWithinTimeAndMemory) {
  struct Case {
    std::string what;
    std::string text;
    ZQJson::VALUE_TYPE type;
  };
  const Case cases[] = {
      {"1 MiB of {", std::string(kTextSize, '{'), ZQJson::VALUE_NONE},
      {"deep keyed objects", Repeat("{\"a\":"), ZQJson::VALUE_NONE},
      {"one wide object", "{" + Repeat("\"k\":1,"), ZQJson::VALUE_NONE},
      {"quotes", std::string(kTextSize, '"'), ZQJson::VALUE_STRING},
      {"many chunks", Repeat("{ "), ZQJson::VALUE_NONE},
  };
  for (const Case& c : cases) {
    const long long before = g_live_bytes.load();
    g_peak_bytes.store(before);
    const auto start = std::chrono::steady_clock::now();
    ZQJson::VALUE_TYPE type;
    {
      const ZQJson::Value value = ZQJson::Parser::parse(c.text);
      type = value.getType();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const long long peak = g_peak_bytes.load() - before;
    EXPECT_EQ(c.type, type) << c.what;
    EXPECT_LT(elapsed, kTimeBudget) << c.what;
    EXPECT_LT(peak, kMemoryBudget) << c.what << ": peak " << (peak >> 20) << " MiB";
    EXPECT_GT(peak, static_cast<long long>(kTextSize)) << c.what << ": the counter saw the parse";
    // Everything the parse held was released.
    EXPECT_EQ(before, g_live_bytes.load()) << c.what;
    std::printf("%s: %lld ms, peak %lld KiB\n", c.what.c_str(),
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
                peak >> 10);
  }
}

}  // namespace
