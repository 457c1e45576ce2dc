#include "service/ipc_message.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/log_settings.h"
#include "support/stdout_capture.h"

namespace {

using zq_camera_service::IpcMessage;

// Little-endian words written by hand, independent of the code under test.
std::string Word(int64_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xff);
  return bytes;
}

std::string Frame(const std::string& body, int64_t header_size = 40, int64_t body_size = -1, int64_t body_type = 1) {
  if (body_size == -1) body_size = static_cast<int64_t>(body.size());
  return Word(header_size) + Word(body_size) + Word(body_type) + Word(1) + Word(1) + Word(1) + std::string(16, '\0') +
         body;
}

TEST(IpcMessageTest, RequestFrameLayoutIsLittleEndianWithFixedWords) {
  IpcMessage message;
  ASSERT_EQ(0, message.SetJsonRequest("5", "{}", 2));
  EXPECT_EQ("5", message.request_id);
  ASSERT_EQ(42, message.size);
  const unsigned char expected[42] = {40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0,
                                      0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '{', '}'};
  EXPECT_EQ(0, memcmp(expected, message.data.get(), sizeof expected));

  IpcMessage empty_body;
  ASSERT_EQ(0, empty_body.SetJsonRequest("6", nullptr, 0));
  EXPECT_EQ(40, empty_body.size);
  EXPECT_EQ(Frame(""), std::string(empty_body.data.get(), 40));
}

TEST(IpcMessageTest, RequestLongerThanABlockIsRefused) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  std::string body(1048576 - 40 + 1, 'b');
  IpcMessage message;
  EXPECT_EQ(-1, message.SetJsonRequest("1", body.data(), body.size()));
  EXPECT_EQ(0, message.size);
  EXPECT_EQ(nullptr, message.data);
  EXPECT_EQ(0, message.SetJsonRequest("1", body.data(), body.size() - 1));
  EXPECT_EQ(1048576, message.size);
}

TEST(IpcMessageTest, ParseRawDataTable) {
  const std::string reply_7 = "{\"Response\":{\"RequestId\":\"7\"}}";
  std::string padded = Frame(reply_7);
  padded.resize(1048576, '\0');
  struct Case {
    const char* name;
    std::string raw;
    int count;  // -1: the raw bytes' length
    int result;
    std::string request_id;
    std::string log;
  };
  const Case cases[] = {
      {"valid reply", Frame(reply_7), -1, 0, "7", "INFO: begin read header size 40 30\n"},
      {"header size 41", Frame(reply_7, 41), -1, -1, "",
       "INFO: begin read header size 41 30\nERROR: Parse raw data failed with head size not correct!\n"},
      {"zero-padded 1 MiB reply", padded, -1, -2, "",
       "INFO: begin read header size 40 30\nERROR: Parse raw data failed with head and body size != size!\n"},
      {"body type 2", Frame(reply_7, 40, -1, 2), -1, -3, "",
       "INFO: begin read header size 40 30\nERROR: Non json type not support\n"},
      {"negative body size", Frame(reply_7, 40, -10), -1, -2, "",
       "INFO: begin read header size 40 -10\nERROR: Parse raw data failed with head and body size != size!\n"},
      {"body size that overflows 32 bits", Frame(reply_7, 40, INT_MAX), -1, -2, "",
       "INFO: begin read header size 40 2147483647\nERROR: Parse raw data failed with head and body size != size!\n"},
      {"most negative body size", Frame(reply_7, 40, INT_MIN), -1, -2, "",
       "INFO: begin read header size 40 -2147483648\nERROR: Parse raw data failed with head and body size != size!\n"},
      {"count below the header", Frame("").substr(0, 39), -1, -1, "",
       "ERROR: Parse raw data failed with head size not correct!\n"},
      {"count zero", "", -1, -1, "", "ERROR: Parse raw data failed with head size not correct!\n"},
      {"count negative", Frame(reply_7), -5, -1, "", "ERROR: Parse raw data failed with head size not correct!\n"},
      {"count above a block", padded + "x", -1, -2, "",
       "ERROR: Parse raw data failed with head and body size != size!\n"},
      {"no Response member", Frame("{\"RequestId\":\"7\"}"), -1, 0, "", "INFO: begin read header size 40 17\n"},
      {"Response not an object", Frame("{\"Response\":\"7\"}"), -1, 0, "", "INFO: begin read header size 40 16\n"},
      {"numeric id", Frame("{\"Response\":{\"RequestId\":7}}"), -1, 0, "", "INFO: begin read header size 40 28\n"},
      {"invalid JSON", Frame("{\"Response\":{\"RequestId\":\"7\""), -1, 0, "",
       "INFO: begin read header size 40 28\n"},
      {"trailing garbage", Frame(reply_7 + "xx"), -1, 0, "", "INFO: begin read header size 40 32\n"},
      {"array body", Frame("[1]"), -1, 0, "", "INFO: begin read header size 40 3\n"},
      {"empty body", Frame(""), -1, 0, "", "INFO: begin read header size 40 0\n"},
      // The camera software may write its texts in another encoding than UTF-8.
      {"text in another encoding", Frame("{\"Response\":{\"RequestId\":\"7\",\"Name\":\"\xD6\xD0\xCE\xC4\"}}"), -1, 0,
       "7", "INFO: begin read header size 40 44\n"},
      // Only the id is read: a number no double holds costs the reply nothing.
      {"number beyond the double range", Frame("{\"Response\":{\"RequestId\":\"7\",\"Height\":24E308}}"), -1, 0,
       "7", "INFO: begin read header size 40 46\n"},
      {"id with a NUL byte", Frame(std::string("{\"Response\":{\"RequestId\":\"a\\u0000b\"}}")), -1, 0,
       std::string("a\0b", 3), "INFO: begin read header size 40 37\n"},
  };
  for (const Case& c : cases) {
    zq_test::ScopedLogSettings settings(4, 3, "");
    // Exactly as many bytes as the count, so a read past it trips the sanitizer.
    std::vector<char> raw(c.raw.begin(), c.raw.end());
    int count = c.count == -1 ? static_cast<int>(raw.size()) : c.count;
    IpcMessage message;
    std::string log;
    {
      zq_test::StdoutCapture capture;
      EXPECT_EQ(c.result, message.ParseRawData(raw.data(), count)) << c.name;
      log = capture.Text();
    }
    std::string expected_log;
    size_t start = 0;
    for (size_t end = c.log.find('\n'); end != std::string::npos; start = end + 1, end = c.log.find('\n', start)) {
      expected_log += "Service | " + c.log.substr(start, end - start + 1);
    }
    EXPECT_EQ(expected_log, log) << c.name;
    EXPECT_EQ(c.request_id, message.request_id) << c.name;
    if (c.result == 0) {
      ASSERT_EQ(count, message.size) << c.name;
      EXPECT_EQ(0, memcmp(raw.data(), message.data.get(), static_cast<size_t>(count))) << c.name;
    } else {
      EXPECT_EQ(0, message.size) << c.name;
      EXPECT_EQ(nullptr, message.data) << c.name;
    }
  }
}

TEST(IpcMessageTest, BodyIsParsedByItsLengthOnly) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  // The count ends the frame; what follows it in memory is not part of it.
  std::string raw = Frame("{\"Response\":{\"RequestId\":\"7\"}}") + "}}}garbage";
  IpcMessage message;
  EXPECT_EQ(0, message.ParseRawData(raw.data(), static_cast<int>(raw.size()) - 10));
  EXPECT_EQ("7", message.request_id);
}

TEST(IpcMessageTest, FailedParseLeavesAnEarlierFrameAndSuccessReplacesIt) {
  zq_test::ScopedLogSettings quiet(0, 3, "");
  std::string first = Frame("{\"Response\":{\"RequestId\":\"1\"}}");
  IpcMessage message;
  ASSERT_EQ(0, message.ParseRawData(first.data(), static_cast<int>(first.size())));
  const char* held = message.data.get();

  std::string bad = Frame("{}", 41);
  EXPECT_EQ(-1, message.ParseRawData(bad.data(), static_cast<int>(bad.size())));
  EXPECT_EQ("1", message.request_id);
  EXPECT_EQ(static_cast<int>(first.size()), message.size);
  EXPECT_EQ(held, message.data.get());

  std::string second = Frame("{\"Response\":{}}");
  EXPECT_EQ(0, message.ParseRawData(second.data(), static_cast<int>(second.size())));
  EXPECT_EQ("", message.request_id) << "a frame without id must not keep the old one";
  EXPECT_EQ(second, std::string(message.data.get(), message.size));
}

TEST(IpcMessageTest, BodyIsSlicedOnlyFromAFrameThatPassesTheChecks) {
  const char* body = nullptr;
  size_t length = 0;
  IpcMessage none;
  EXPECT_FALSE(none.GetBody(&body, &length));

  IpcMessage good;
  ASSERT_EQ(0, good.SetJsonRequest("1", "{\"a\":1}", 7));
  ASSERT_TRUE(good.GetBody(&body, &length));
  EXPECT_EQ("{\"a\":1}", std::string(body, length));

  struct Case {
    const char* name;
    std::string frame;
  };
  const Case cases[] = {
      {"body size past the frame", Frame("{}", 40, 1000)},
      {"negative body size", Frame("{}", 40, -2)},
      {"header size 41", Frame("{}", 41)},
      {"body type 2", Frame("{}", 40, -1, 2)},
      {"shorter than a header", Frame("").substr(0, 20)},
  };
  for (const Case& c : cases) {
    IpcMessage message;
    message.data.reset(new char[c.frame.size()]);
    memcpy(message.data.get(), c.frame.data(), c.frame.size());
    message.size = static_cast<int32_t>(c.frame.size());
    EXPECT_FALSE(message.GetBody(&body, &length)) << c.name;
  }
}

TEST(IpcMessageTest, CloneIsDeep) {
  IpcMessage original;
  ASSERT_EQ(0, original.SetJsonRequest("9", "{}", 2));
  IpcMessage copy = original.Clone();
  EXPECT_EQ("9", copy.request_id);
  ASSERT_EQ(original.size, copy.size);
  EXPECT_NE(original.data.get(), copy.data.get());
  EXPECT_EQ(0, memcmp(original.data.get(), copy.data.get(), static_cast<size_t>(copy.size)));
  EXPECT_EQ(nullptr, IpcMessage().Clone().data);
}

}  // namespace
