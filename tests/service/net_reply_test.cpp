// From libcurl's received text to the caller's reply: the write callback and
// the status/body split of a "post" transfer.
#include <gtest/gtest.h>

#include <string>

#include "service/net_reply.h"
#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_camera_service::cutString;
using zq_camera_service::kMaxReplyBytes;
using zq_camera_service::writer;

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
    std::string text = c.received;
    EXPECT_EQ(c.reply, cutString(text)) << c.name;
    EXPECT_EQ("Service | DEBUG: res_code: " + c.status + "\n", capture.Text()) << c.name;
  }
}

TEST(WriterTest, AppendsEveryByte) {
  std::string out = "x";
  char bytes[] = {'a', '\0', 'b'};
  EXPECT_EQ(3u, writer(bytes, 1, 3, &out));
  EXPECT_EQ(std::string("xa\0b", 4), out);
  EXPECT_EQ(0u, writer(bytes, 1, 0, &out));
  EXPECT_EQ(4u, out.size());
}

TEST(WriterTest, MissingDestinationIsAWriteError) {
  char bytes[] = {'a'};
  EXPECT_NE(1u, writer(bytes, 1, 1, nullptr));
}

TEST(WriterTest, StopsAtTheReplyCap) {
  zq_test::ScopedLogSettings logs(0, 3, "");
  std::string out(kMaxReplyBytes - 2, 'a');
  char bytes[] = {'b', 'c', 'd'};
  EXPECT_EQ(2u, writer(bytes, 1, 2, &out));  // exactly at the cap: accepted
  EXPECT_EQ(kMaxReplyBytes, out.size());
  EXPECT_NE(1u, writer(bytes, 1, 1, &out));  // one past it: the transfer stops
  EXPECT_EQ(kMaxReplyBytes, out.size());
}

}  // namespace
