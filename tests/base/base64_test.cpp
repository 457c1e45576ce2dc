#include "base/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Encode(const std::string& bytes) {
  return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned int>(bytes.size()));
}

TEST(Base64, Rfc4648Vectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(encoded, Encode(plain)) << plain;
    EXPECT_EQ(plain, base64_decode(encoded)) << encoded;
  }
}

TEST(Base64, HighBitBytesAndNulRoundTrip) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  std::string encoded = Encode(bytes);
  EXPECT_EQ(4u * ((bytes.size() + 2) / 3), encoded.size());
  EXPECT_EQ(bytes, base64_decode(encoded));
  EXPECT_EQ("AP8A", Encode(std::string("\x00\xff\x00", 3)));
  EXPECT_EQ("+/8=", Encode("\xfb\xff"));
}

TEST(Base64, DecodeStopsAtFirstCharacterOutsideTheAlphabet) {
  struct Case {
    std::string text;
    std::string bytes;
  };
  const Case cases[] = {
      {"Zm9v\nYmFy", "foo"},       // wrapped text: only up to the line break
      {"Zm9v YmFy", "foo"},        // blank
      {"=Zm9v", ""},               // starts with the pad
      {"Zm8=Zm9v", "fo"},          // stops at the first "="
      {"Zm8", "fo"},               // pad not needed
      {"Zg", "f"},                 // two characters: one byte
      {"Z", ""},                   // a single left-over character: nothing
      {"Zm9vYg-_", "foob"},        // URL-safe characters are outside the alphabet
  };
  for (const Case& c : cases) EXPECT_EQ(c.bytes, base64_decode(c.text)) << c.text;
}

}  // namespace
