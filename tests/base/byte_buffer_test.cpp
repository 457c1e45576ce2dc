// The growable byte array behind replies and extracted entries: what it
// keeps when it grows, when it is pages of its own, and that growing those
// pages never holds the bytes twice.
#include "base/byte_buffer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>

#include "support/build_kind.h"
#include "support/proc_figures.h"

namespace {

using zq_camera_service::ByteBuffer;

constexpr size_t kMiB = 1u << 20;

void Fill(ByteBuffer& buffer, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) buffer[i] = static_cast<char>(i * 7 + i / 4096);
}

// The first index where the pattern of Fill differs; `to` when none does.
size_t FirstDifference(const ByteBuffer& buffer, size_t to) {
  for (size_t i = 0; i < to; ++i) {
    if (buffer[i] != static_cast<char>(i * 7 + i / 4096)) return i;
  }
  return to;
}

TEST(ByteBufferTest, GrowingKeepsTheBytesAcrossEverySizeClass) {
  struct Step {
    size_t capacity;
    bool mapped;
  };
  // Heap to heap, heap to pages, pages to pages.
  const Step steps[] = {{100, false}, {5000, false}, {ByteBuffer::kMapThreshold - 1, false},
                        {ByteBuffer::kMapThreshold, true}, {3 * kMiB + 5, true}, {17 * kMiB, true}};
  ByteBuffer buffer;
  EXPECT_FALSE(buffer);
  EXPECT_EQ(nullptr, buffer);
  size_t filled = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.capacity);
    ASSERT_TRUE(buffer.Grow(step.capacity, filled));
    EXPECT_GE(buffer.capacity(), step.capacity);
    EXPECT_EQ(step.mapped, buffer.mapped());
    if (step.mapped) {
      EXPECT_EQ(0u, buffer.capacity() % static_cast<size_t>(sysconf(_SC_PAGESIZE)));
    } else {
      EXPECT_EQ(step.capacity, buffer.capacity()) << "heap arrays are exactly as asked";
    }
    EXPECT_EQ(filled, FirstDifference(buffer, filled));
    Fill(buffer, filled, step.capacity);
    filled = step.capacity;
  }
  // Asking for less changes nothing.
  const char* held = buffer.get();
  EXPECT_TRUE(buffer.Grow(10, 10));
  EXPECT_EQ(held, buffer.get());
  EXPECT_EQ(filled, FirstDifference(buffer, filled));
}

TEST(ByteBufferTest, OnlyTheKeptBytesAreCarriedOver) {
  ByteBuffer buffer(64);
  memset(buffer.get(), 'a', 64);
  ASSERT_TRUE(buffer.Grow(2 * kMiB, 10));
  EXPECT_EQ(std::string(10, 'a'), std::string(buffer.get(), 10));
}

TEST(ByteBufferTest, MovesHandTheArrayOverAndResetFreesIt) {
  ByteBuffer first(3 * kMiB);
  ASSERT_TRUE(first);
  const char* held = first.get();
  ByteBuffer second(std::move(first));
  EXPECT_EQ(nullptr, first);
  EXPECT_EQ(0u, first.capacity());
  EXPECT_EQ(held, second.get());
  EXPECT_TRUE(second.mapped());
  ByteBuffer third(100);
  third = std::move(second);
  EXPECT_EQ(held, third.get());
  EXPECT_FALSE(second.mapped());
  third.reset();
  EXPECT_EQ(nullptr, third);
  EXPECT_EQ(0u, third.capacity());
  EXPECT_FALSE(third.mapped());
  EXPECT_EQ(nullptr, ByteBuffer(0));
}

// What a download relies on: room that is never written takes no memory,
// and growing a large array moves its pages instead of copying them into a
// second array beside the first.
TEST(ByteBufferTest, LargeArraysCostOnlyTheirWrittenPagesAlsoWhileGrowing) {
  if (zq_test::kSanitizerBuild || zq_test::kUnderEmulator) {
    GTEST_SKIP() << "a sanitizer's shadow memory or an emulator's own says nothing of the program's";
  }
  const long before = zq_test::ResidentKib(getpid());
  ByteBuffer buffer(64 * kMiB);
  ASSERT_TRUE(buffer);
  EXPECT_LT(zq_test::ResidentKib(getpid()) - before, 4 * 1024) << "64 MiB of room, none of it written";

  ByteBuffer growing(16 * kMiB);
  Fill(growing, 0, 16 * kMiB);
  if (!zq_test::ResetPeakResident(getpid())) GTEST_SKIP() << "the peak resident set cannot be reset here";
  const long filled = zq_test::ResidentKib(getpid());
  ASSERT_TRUE(growing.Grow(32 * kMiB, 16 * kMiB));
  ASSERT_TRUE(growing.Grow(48 * kMiB, 16 * kMiB));
  const long peak = zq_test::PeakResidentKib(getpid());
  EXPECT_LT(peak - filled, 4 * 1024) << "the 16 MiB written were held twice while growing";
  EXPECT_EQ(16 * kMiB, FirstDifference(growing, 16 * kMiB));
}

}  // namespace
