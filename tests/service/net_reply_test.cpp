// From libcurl's received text to the caller's reply: the write callback and
// the status/body split of a "post" transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "service/net_reply.h"
#include "service/net_reply_limits.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_camera_service::cutString;
using zq_camera_service::kMaxJsonReplyBytes;
using zq_camera_service::ReceivedText;
using zq_camera_service::writer;

ReceivedText Received(const std::string& text, size_t limit = kMaxJsonReplyBytes) {
  ReceivedText received(limit);
  EXPECT_TRUE(received.Append(text.data(), text.size()));
  return received;
}

struct CutCase {
  const char* name;
  std::string received;
  std::string reply;
  std::string status;  // as logged in "res_code: %s\n"
};

TEST(CutStringTest, ReducesTheReceivedTextToTheReply) {
  const std::string binary_body("\0\x01{}\r\n\r\nHTTP/1.1 404 x\0", 18);
  const CutCase cases[] = {
      {"200 with a body", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", "{}", "200"},
      {"200 with an empty body", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "", "200"},
      {"200 body with NUL bytes and blank lines",
       "HTTP/1.1 200 OK\r\nContent-Type: application/x-protobuf\r\n\r\n" + binary_body, binary_body, "200"},
      {"404 gives its digits", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope", "404", "404"},
      {"201 gives its digits, not the body", "HTTP/1.1 201 Created\r\n\r\n{\"a\":1}", "201", "201"},
      {"302 gives its digits", "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", "302", "302"},
      {"HTTP/1.0 status line 200", "HTTP/1.0 200 OK\r\nServer: old\r\n\r\nbody", "body", "200"},
      {"HTTP/1.0 status line 500", "HTTP/1.0 500 Oops\r\n\r\n", "500", "500"},
      {"200 without a blank line has no body", "HTTP/1.1 200 OK\r\nContent-Length: 2", "", "200"},
      {"status line only", "HTTP/1.1 200 OK", "", "200"},
      {"interim 100 before the answer", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\nok", "ok", "200"},
      {"interim 100 before a 404", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 NF\r\n\r\n", "404", "404"},
      {"empty text", "", "", ""},
      {"short text", "HTTP", "", ""},
      {"protocol name only", "HTTP/1.1", "", ""},
      {"protocol name and blank", "HTTP/1.1 ", "", ""},
      {"status cut short", "HTTP/1.1 20", "20", "20"},
      {"no status line at the start", "junk\r\nHTTP/1.1 200 OK\r\n\r\nbody", "", ""},
  };
  zq_test::ScopedLogSettings logs(4, 3, "");
  for (const CutCase& c : cases) {
    zq_test::StdoutCapture capture;
    ReceivedText text = Received(c.received);
    cutString(text);
    EXPECT_EQ(c.reply, text.View()) << c.name;
    EXPECT_EQ("Service | DEBUG: res_code: " + c.status + "\n", capture.Text()) << c.name;
  }
}

TEST(CutStringTest, KeepsTheBodyInTheBufferItArrivedIn) {
  const std::string body(3000, 'b');
  ReceivedText text = Received("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + body);
  const char* buffer = text.View().data();
  cutString(text);
  EXPECT_EQ(body, text.View());
  EXPECT_EQ(buffer, text.View().data()) << "the body was copied instead of moved to the front";
}

TEST(WriterTest, AppendsEveryByte) {
  ReceivedText out(16);
  char bytes[] = {'a', '\0', 'b'};
  EXPECT_EQ(3u, writer(bytes, 1, 3, &out));
  EXPECT_EQ(std::string("a\0b", 3), out.View());
  EXPECT_EQ(0u, writer(bytes, 1, 0, &out));
  EXPECT_EQ(3u, out.size());
}

TEST(WriterTest, MissingDestinationIsAWriteError) {
  char bytes[] = {'a'};
  EXPECT_NE(1u, writer(bytes, 1, 1, nullptr));
}

TEST(WriterTest, StopsAtTheRequestsLimitAndKeepsNothingMore) {
  const size_t limits[] = {1, 4096, 4097, kMaxJsonReplyBytes};
  for (size_t limit : limits) {
    ReceivedText out(limit);
    std::string chunk(1000, 'a');
    size_t accepted = 0;
    while (accepted + chunk.size() <= limit) {
      ASSERT_EQ(chunk.size(), writer(chunk.data(), 1, chunk.size(), &out)) << limit;
      accepted += chunk.size();
    }
    size_t rest = limit - accepted;
    EXPECT_EQ(rest, writer(chunk.data(), 1, rest, &out)) << "exactly at the limit is accepted: " << limit;
    EXPECT_FALSE(out.over_limit()) << limit;
    EXPECT_EQ(0u, writer(chunk.data(), 1, 1, &out)) << "one byte past it stops the transfer: " << limit;
    EXPECT_TRUE(out.over_limit()) << limit;
    EXPECT_EQ(limit, out.size()) << limit;
    EXPECT_EQ(0u, writer(chunk.data(), 1, 0, &out)) << "once refused, nothing more is taken: " << limit;
  }
}

TEST(ReceivedTextTest, NeverAllocatesPastItsLimit) {
  // Growth is geometric, but the last step is cut to the limit: a reply of
  // the largest allowed size never costs more than the limit in memory.
  ReceivedText out(10000);
  std::string chunk(999, 'x');
  while (out.Append(chunk.data(), chunk.size())) {
    EXPECT_LE(out.capacity(), 10000u);
  }
  EXPECT_EQ(10000u, out.capacity());
  size_t length = 0;
  zq_camera_service::ByteBuffer bytes = out.Release(&length);
  EXPECT_EQ(9990u, length);
  EXPECT_EQ(0u, out.size());
  EXPECT_TRUE(out.View().empty());
}

TEST(ReceivedTextTest, ReleaseHandsOverTheBufferItself) {
  ReceivedText out(100);
  ASSERT_TRUE(out.Append("reply", 5));
  const char* held = out.View().data();
  size_t length = 0;
  zq_camera_service::ByteBuffer bytes = out.Release(&length);
  EXPECT_EQ(held, bytes.get());
  EXPECT_EQ(5u, length);
  EXPECT_EQ(nullptr, ReceivedText(100).Release(&length));
  EXPECT_EQ(0u, length);
}

TEST(ReceivedTextTest, ResetStartsAFreshTransfer) {
  ReceivedText out(2);
  EXPECT_FALSE(out.Append("abc", 3));
  EXPECT_TRUE(out.over_limit());
  out.Reset(8);
  EXPECT_FALSE(out.over_limit());
  EXPECT_TRUE(out.Append("abc", 3));
  EXPECT_EQ("abc", out.View());
}

// How the text is sized: exactly the announced length when the peer gives
// one, doubling within the limit when it does not, and nothing at all for a
// length that could never be kept.
TEST(ReceivedTextTest, IsSizedByTheAnnouncedLengthOrGrowsWithinTheLimit) {
  constexpr size_t kMiB = 1u << 20;
  constexpr size_t kLimit = 64 * kMiB;  // a download's
  struct Case {
    const char* name;
    size_t announced;  // 0: none
    size_t sent;
    size_t capacity;   // at the end
    bool kept;
  };
  const Case cases[] = {
      {"3,000 bytes announced", 3000, 3000, 3000, true},
      {"48 MiB announced", 48 * kMiB, 48 * kMiB, 48 * kMiB, true},
      {"exactly the limit announced", kLimit, kLimit, kLimit, true},
      {"3,000 bytes, no length", 0, 3000, 4096, true},
      {"48 MiB, no length: doubled to the limit, not past it", 0, 48 * kMiB, kLimit, true},
      {"the limit, no length", 0, kLimit, kLimit, true},
  };
  const std::string piece(64 * 1024, 'p');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReceivedText text(kLimit);
    if (c.announced > 0) {
      ASSERT_TRUE(text.Expect(c.announced));
      EXPECT_EQ(c.announced, text.capacity());
    }
    const char* first_buffer = text.View().data();
    size_t largest = 0;
    for (size_t sent = 0; sent < c.sent;) {
      size_t length = std::min(piece.size(), c.sent - sent);
      ASSERT_TRUE(text.Append(piece.data(), length));
      sent += length;
      largest = std::max(largest, text.capacity());
    }
    EXPECT_EQ(c.capacity, text.capacity());
    EXPECT_LE(largest, kLimit);
    EXPECT_EQ(c.sent, text.size());
    if (c.announced > 0) {
      EXPECT_EQ(first_buffer, text.View().data()) << "an announced length is never outgrown";
    }
  }
}

TEST(ReceivedTextTest, AnAnnouncedLengthPastTheLimitIsRefusedBeforeAnyByte) {
  ReceivedText text(1000);
  EXPECT_FALSE(text.Expect(1001));
  EXPECT_TRUE(text.over_limit());
  EXPECT_EQ(0u, text.capacity()) << "nothing is set aside for a reply that cannot be kept";
  EXPECT_FALSE(text.Append("a", 1)) << "once refused, nothing more is taken";

  // What arrived before (a post's status line and headers) counts too.
  ReceivedText post(1000);
  ASSERT_TRUE(post.Append(std::string(400, 'h').data(), 400));
  EXPECT_TRUE(post.Expect(600));
  EXPECT_EQ(1000u, post.capacity());
  ReceivedText fuller(1000);
  ASSERT_TRUE(fuller.Append(std::string(401, 'h').data(), 401));
  EXPECT_FALSE(fuller.Expect(600));
  EXPECT_TRUE(fuller.over_limit());
  EXPECT_FALSE(ReceivedText(1000).Expect(static_cast<size_t>(-1)));
}

TEST(ReceivedTextTest, APeerSendingMoreThanItAnnouncedStillStopsAtTheLimit) {
  ReceivedText text(10000);
  ASSERT_TRUE(text.Expect(100));
  std::string chunk(999, 'x');
  while (text.Append(chunk.data(), chunk.size())) EXPECT_LE(text.capacity(), 10000u);
  EXPECT_TRUE(text.over_limit());
  EXPECT_EQ(9990u, text.size());
}

}  // namespace
