#include "base/json_walk.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "base/json_depth.h"
#include "base/json_member.h"

// Counts what this program allocates with operator new while a walk runs
// (RapidJSON's documents allocate with malloc, the walk's own bookkeeping
// with new), so a test can tell memory that grows with the number of values
// from memory that grows with the depth.
namespace {
std::atomic<bool> g_counting{false};
std::atomic<size_t> g_counted_bytes{0};
}  // namespace

// The replacements sit on malloc and free. Kept out of line: inlined where
// a block came from operator new, the compiler would see that block handed
// to free and take it for a mismatched pair.
[[gnu::noinline]] void* operator new(size_t size) {
  if (g_counting.load(std::memory_order_relaxed)) g_counted_bytes += size;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) std::abort();
  return block;
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, size_t) noexcept { std::free(block); }

namespace {

using zq_camera_service::json::EveryValue;

rapidjson::Document Parsed(const std::string& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  EXPECT_FALSE(document.HasParseError()) << text.substr(0, 80);
  return document;
}

// Bytes allocated with new while `work` runs.
template <typename Work>
size_t AllocatedDuring(Work work) {
  g_counted_bytes = 0;
  g_counting = true;
  work();
  g_counting = false;
  return g_counted_bytes;
}

std::string Repeated(const std::string& part, size_t count, const std::string& separator) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += (i == 0 ? "" : separator) + part;
  return text;
}

TEST(JsonWalk, VisitsEveryValueAndNameInDocumentOrderWithItsLevel) {
  rapidjson::Document document = Parsed("{\"a\":[1,{\"b\":true}],\"c\":{},\"d\":\"x\"}");
  std::vector<std::pair<std::string, int>> seen;
  EXPECT_TRUE(EveryValue(document, [&](const rapidjson::Value& value, int level) {
    std::string what = value.IsString() ? value.GetString()
                       : value.IsInt()  ? std::to_string(value.GetInt())
                       : value.IsBool() ? "true"
                       : value.IsArray() ? "[]"
                                         : "{}";
    seen.emplace_back(what, level);
    return true;
  }));
  const std::vector<std::pair<std::string, int>> expected = {
      {"{}", 1}, {"a", 2}, {"[]", 2}, {"1", 3}, {"{}", 3}, {"b", 4}, {"true", 4},
      {"c", 2},  {"{}", 2}, {"d", 2}, {"x", 2}};
  EXPECT_EQ(expected, seen);
}

TEST(JsonWalk, StopsAtTheFirstValueNotAccepted) {
  rapidjson::Document document = Parsed("[1,2,[3,4],5]");
  std::vector<int> seen;
  EXPECT_FALSE(EveryValue(document, [&](const rapidjson::Value& value, int) {
    if (value.IsInt()) seen.push_back(value.GetInt());
    return !value.IsInt() || value.GetInt() != 3;
  }));
  EXPECT_EQ((std::vector<int>{1, 2, 3}), seen);
  // A scalar root is the only value.
  int visits = 0;
  EXPECT_TRUE(EveryValue(Parsed("\"alone\""), [&](const rapidjson::Value&, int level) {
    ++visits;
    return level == 1;
  }));
  EXPECT_EQ(1, visits);
}

TEST(JsonWalk, MemoryGrowsWithTheDepthNotWithTheNumberOfValues) {
  constexpr size_t kValues = 200000;
  struct Case {
    const char* name;
    std::string text;
    size_t most_bytes;
  };
  const Case cases[] = {
      // One open container, however many values it holds.
      {"flat array", "[" + Repeated("0", kValues, ",") + "]", 256},
      {"flat object", "{" + Repeated("\"k\":1.5", kValues, ",") + "}", 256},
      {"many shallow arrays", "[" + Repeated("[[1,2],[3]]", kValues / 4, ",") + "]", 512},
      // A thousand open containers: about a thousand positions.
      {"deep arrays", std::string(1000, '[') + std::string(1000, ']'), 64 * 1000},
  };
  for (const Case& c : cases) {
    rapidjson::Document document = Parsed(c.text);
    size_t values = 0;
    size_t bytes = AllocatedDuring([&] {
      EveryValue(document, [&](const rapidjson::Value&, int) {
        ++values;
        return true;
      });
    });
    EXPECT_GT(values, 999u) << c.name;
    EXPECT_LE(bytes, c.most_bytes) << c.name << ": " << values << " values";
  }
}

TEST(JsonWalk, ChecksThatRefuseDeepContainersStopDescendingThere) {
  rapidjson::Document deep = Parsed(std::string(300000, '[') + std::string(300000, ']'));
  bool within = true;
  bool passes = true;
  size_t bytes = AllocatedDuring([&] {
    within = zq_camera_service::json::WithinDepth(deep);
    passes = zq_camera_service::json::PassesOutsideChecks(deep, true, zq_camera_service::json::kMaxOutsideDepth);
  });
  EXPECT_FALSE(within);
  EXPECT_FALSE(passes);
  // Two walks, each no deeper than the limit.
  EXPECT_LE(bytes, 2 * 64 * (zq_camera_service::json::kMaxOutsideDepth + 1));
  EXPECT_TRUE(zq_camera_service::json::PassesOutsideChecks(deep, true, 0));
}

}  // namespace
