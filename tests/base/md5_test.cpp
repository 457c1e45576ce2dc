#include "base/md5.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

TEST(Md5, Rfc1321Suite) {
  const std::pair<std::string, std::string> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [text, digest] : suite) EXPECT_EQ(digest, md5(text)) << text;
}

TEST(Md5, PadBoundaries) {
  // Lengths whose padding is 1, 64, 57, 56 and 55 bytes long.
  const std::pair<size_t, std::string> cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"}, {56, "3b0c8ac703f828b04c6c197006d17218"},
      {63, "b06521f39153d618550606be297466d5"}, {64, "014842d480b571495a4a0363793f7367"},
      {65, "c743a45e0d2e6a95cb859adae0248435"},
  };
  for (const auto& [length, digest] : cases) EXPECT_EQ(digest, md5(std::string(length, 'a'))) << length;
}

TEST(Md5, OneMillionA) {
  EXPECT_EQ("7707d6ae4e027c70eea2a935c2296f21", md5(std::string(1000000, 'a')));
}

TEST(Md5, ChunkedUpdatesEqualOneShot) {
  std::string message;
  for (int i = 0; i < 1000; ++i) message += static_cast<char>((i * 37) & 0xff);
  const std::string expected = md5(message);
  for (size_t chunk : {1u, 3u, 63u, 64u, 65u, 127u, 999u}) {
    MD5 context;
    for (size_t at = 0; at < message.size(); at += chunk) {
      size_t n = std::min(chunk, message.size() - at);
      context.update(message.data() + at, static_cast<unsigned int>(n));
    }
    EXPECT_EQ(expected, context.finalize().hexdigest()) << chunk;
  }
}

TEST(Md5, FinalizeOnceAndUnfinishedGivesEmpty) {
  MD5 context;
  context.update("abc", 3);
  EXPECT_EQ("", context.hexdigest());
  context.finalize();
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", context.hexdigest());
  context.finalize();
  context.update("more", 4);
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", context.hexdigest());
  std::ostringstream out;
  out << context;
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", out.str());
}

TEST(Md5, EmptyUpdatesChangeNothing) {
  MD5 context;
  context.update(static_cast<const unsigned char*>(nullptr), 0);
  context.update("ab", 2);
  context.update(static_cast<const char*>(nullptr), 0);
  context.update("c", 1);
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", context.finalize().hexdigest());
  MD5 empty;
  empty.update(static_cast<const unsigned char*>(nullptr), 0);
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", empty.finalize().hexdigest());
}

TEST(Md5, NulBytesInsideAreHashed) {
  EXPECT_EQ("93b885adfe0da089cdf634904fd59f71", md5(std::string("\0", 1)));
  EXPECT_NE(md5(std::string("a\0b", 3)), md5("a"));
}

}  // namespace
