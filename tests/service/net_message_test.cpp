// The transport's record owns its bytes: bodies keep their NUL bytes, copies
// are deep, and lengths never reach past what the record owns.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "service/net_message.h"

namespace {

using zq_camera_service::NetMessage;

static_assert(!std::is_copy_constructible<NetMessage>::value, "a record owning bytes is not copied by accident");
static_assert(!std::is_copy_assignable<NetMessage>::value, "a record owning bytes is not copied by accident");
static_assert(std::is_nothrow_move_constructible<NetMessage>::value, "records move");

const std::string kBinary("a\0b\r\n\xff\0", 7);

TEST(NetMessageTest, NewRecordHasTheDefaults) {
  NetMessage message;
  EXPECT_EQ(0, message.id);
  EXPECT_EQ(0, message.data_len);
  EXPECT_EQ(nullptr, message.data.get());
  EXPECT_EQ("post", message.method);
  EXPECT_EQ("", message.url);
  EXPECT_EQ("", message.header);
  EXPECT_EQ(5, message.timeout);
  EXPECT_FALSE(message.HasReply());
  EXPECT_EQ("", message.Reply());
}

TEST(NetMessageTest, BodyIsStoredWithItsNulAndSentWithoutIt) {
  NetMessage message;
  ASSERT_TRUE(message.SetBody(kBinary));
  EXPECT_EQ(8, message.data_len);
  EXPECT_EQ(kBinary.size(), message.BodyLength());
  EXPECT_EQ(kBinary, std::string(message.data.get(), message.BodyLength()));
  EXPECT_EQ('\0', message.data[7]);

  ASSERT_TRUE(message.SetBody(""));
  EXPECT_EQ(1, message.data_len);
  EXPECT_EQ(0u, message.BodyLength());
}

TEST(NetMessageTest, ReplyBytesAreKeptExactly) {
  NetMessage reply;
  ASSERT_TRUE(reply.SetData(kBinary.data(), kBinary.size()));
  EXPECT_EQ(7, reply.data_len);
  EXPECT_TRUE(reply.HasReply());
  EXPECT_EQ(kBinary, reply.Reply());
  ASSERT_TRUE(reply.SetData(nullptr, 0));
  EXPECT_EQ(0, reply.data_len);
  EXPECT_FALSE(reply.HasReply());
  EXPECT_FALSE(reply.SetData(nullptr, 3));
}

TEST(NetMessageTest, LengthsNeverReachPastTheOwnedBytes) {
  NetMessage message;
  ASSERT_TRUE(message.SetData("abc", 3));
  message.data_len = 1000;  // a caller's mistake
  EXPECT_EQ(3u, message.ReplyLength());
  EXPECT_EQ("abc", message.Reply());
  EXPECT_EQ(3u, message.BodyLength());
  message.data_len = -4;
  EXPECT_EQ(0u, message.ReplyLength());
  EXPECT_EQ(0u, message.BodyLength());
}

TEST(NetMessageTest, CloneIsDeep) {
  NetMessage message;
  message.id = 9;
  message.method = "get";
  message.url = "http://127.0.0.1:1/x";
  message.header = "Content-Type: application/json";
  message.timeout = 500;
  ASSERT_TRUE(message.SetBody(kBinary));
  auto copy = message.Clone();
  message.data[0] = 'Z';
  EXPECT_EQ(9, copy->id);
  EXPECT_EQ("get", copy->method);
  EXPECT_EQ(message.url, copy->url);
  EXPECT_EQ(message.header, copy->header);
  EXPECT_EQ(500, copy->timeout);
  EXPECT_EQ(8, copy->data_len);
  EXPECT_EQ(kBinary, std::string(copy->data.get(), copy->BodyLength()));
}

TEST(NetMessageTest, MoveAndTakeDataLeaveTheSourceEmpty) {
  NetMessage source;
  ASSERT_TRUE(source.SetData("xyz", 3));
  NetMessage moved(std::move(source));
  EXPECT_EQ("xyz", moved.Reply());
  EXPECT_EQ(0, source.data_len);  // NOLINT(bugprone-use-after-move): the moved-from state is specified
  EXPECT_EQ("", source.Reply());

  NetMessage reply;
  ASSERT_TRUE(reply.SetData("old", 3));
  reply.url = "kept";
  reply.TakeData(moved);
  EXPECT_EQ("xyz", reply.Reply());
  EXPECT_EQ("kept", reply.url);
  EXPECT_FALSE(moved.HasReply());
}

TEST(NetMessageTest, ARefusalTravelsWithTheDataAndReleaseHandsTheBytesOver) {
  NetMessage answer;
  answer.over_limit = true;
  NetMessage reply;
  reply.TakeData(answer);
  EXPECT_TRUE(reply.over_limit);
  EXPECT_FALSE(answer.over_limit);
  EXPECT_EQ(0, reply.data_len);

  NetMessage downloaded;
  ASSERT_TRUE(downloaded.SetData("package", 7));
  const char* held = downloaded.data.get();
  size_t length = 0;
  zq_camera_service::ByteBuffer bytes = downloaded.ReleaseData(&length);
  EXPECT_EQ(held, bytes.get()) << "handed over, not copied";
  EXPECT_EQ(7u, length);
  EXPECT_FALSE(downloaded.HasReply());
  EXPECT_EQ(0, downloaded.data_len);
  EXPECT_EQ(nullptr, downloaded.data);
  EXPECT_EQ(nullptr, NetMessage().ReleaseData(&length));
  EXPECT_EQ(0u, length);
}

}  // namespace
