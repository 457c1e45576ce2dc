// MD5 message digest (RFC 1321), incremental, as lower-case hexadecimal.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

class MD5 {
 public:
  MD5();
  explicit MD5(const std::string& text);

  void update(const unsigned char* input, unsigned int length);
  void update(const char* input, unsigned int length);
  MD5& finalize();
  // 32 lower-case hexadecimal characters; "" until finalize() has run.
  std::string hexdigest() const;

 private:
  void init();
  void transform(const unsigned char block[64]);
  static void decode(uint32_t* output, const unsigned char* input, unsigned int length);
  static void encode(unsigned char* output, const uint32_t* input, unsigned int length);

  static uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
  static uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
  static uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
  static uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }
  static uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
  static void FF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + F(b, c, d) + x + ac, s) + b;
  }
  static void GG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + G(b, c, d) + x + ac, s) + b;
  }
  static void HH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + H(b, c, d) + x + ac, s) + b;
  }
  static void II(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int s, uint32_t ac) {
    a = rotate_left(a + I(b, c, d) + x + ac, s) + b;
  }

  bool finalized = false;
  unsigned char buffer[64] = {};
  uint32_t bit_count[2] = {};   // message length in bits, low word first
  uint32_t hash_state[4] = {};  // A, B, C, D
  unsigned char digest[16] = {};
};

std::ostream& operator<<(std::ostream& out, MD5 md5);
std::string md5(std::string text);
