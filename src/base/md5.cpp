#include "base/md5.h"

#include <cstdio>
#include <cstring>
#include <ostream>

MD5::MD5() { init(); }

MD5::MD5(const std::string& text) {
  init();
  update(text.data(), static_cast<unsigned int>(text.size()));
  finalize();
}

void MD5::init() {
  finalized = false;
  bit_count[0] = bit_count[1] = 0;
  hash_state[0] = 0x67452301;
  hash_state[1] = 0xefcdab89;
  hash_state[2] = 0x98badcfe;
  hash_state[3] = 0x10325476;
}

void MD5::decode(uint32_t* output, const unsigned char* input, unsigned int length) {
  for (unsigned int i = 0, j = 0; j < length; ++i, j += 4) {
    output[i] = static_cast<uint32_t>(input[j]) | (static_cast<uint32_t>(input[j + 1]) << 8) |
                (static_cast<uint32_t>(input[j + 2]) << 16) | (static_cast<uint32_t>(input[j + 3]) << 24);
  }
}

void MD5::encode(unsigned char* output, const uint32_t* input, unsigned int length) {
  for (unsigned int i = 0, j = 0; j < length; ++i, j += 4) {
    output[j] = input[i] & 0xff;
    output[j + 1] = (input[i] >> 8) & 0xff;
    output[j + 2] = (input[i] >> 16) & 0xff;
    output[j + 3] = (input[i] >> 24) & 0xff;
  }
}

void MD5::transform(const unsigned char block[64]) {
  uint32_t a = hash_state[0], b = hash_state[1], c = hash_state[2], d = hash_state[3], x[16];
  decode(x, block, 64);

  // Round 1
  FF(a, b, c, d, x[0], 7, 0xd76aa478);   FF(d, a, b, c, x[1], 12, 0xe8c7b756);
  FF(c, d, a, b, x[2], 17, 0x242070db);  FF(b, c, d, a, x[3], 22, 0xc1bdceee);
  FF(a, b, c, d, x[4], 7, 0xf57c0faf);   FF(d, a, b, c, x[5], 12, 0x4787c62a);
  FF(c, d, a, b, x[6], 17, 0xa8304613);  FF(b, c, d, a, x[7], 22, 0xfd469501);
  FF(a, b, c, d, x[8], 7, 0x698098d8);   FF(d, a, b, c, x[9], 12, 0x8b44f7af);
  FF(c, d, a, b, x[10], 17, 0xffff5bb1); FF(b, c, d, a, x[11], 22, 0x895cd7be);
  FF(a, b, c, d, x[12], 7, 0x6b901122);  FF(d, a, b, c, x[13], 12, 0xfd987193);
  FF(c, d, a, b, x[14], 17, 0xa679438e); FF(b, c, d, a, x[15], 22, 0x49b40821);
  // Round 2
  GG(a, b, c, d, x[1], 5, 0xf61e2562);   GG(d, a, b, c, x[6], 9, 0xc040b340);
  GG(c, d, a, b, x[11], 14, 0x265e5a51); GG(b, c, d, a, x[0], 20, 0xe9b6c7aa);
  GG(a, b, c, d, x[5], 5, 0xd62f105d);   GG(d, a, b, c, x[10], 9, 0x02441453);
  GG(c, d, a, b, x[15], 14, 0xd8a1e681); GG(b, c, d, a, x[4], 20, 0xe7d3fbc8);
  GG(a, b, c, d, x[9], 5, 0x21e1cde6);   GG(d, a, b, c, x[14], 9, 0xc33707d6);
  GG(c, d, a, b, x[3], 14, 0xf4d50d87);  GG(b, c, d, a, x[8], 20, 0x455a14ed);
  GG(a, b, c, d, x[13], 5, 0xa9e3e905);  GG(d, a, b, c, x[2], 9, 0xfcefa3f8);
  GG(c, d, a, b, x[7], 14, 0x676f02d9);  GG(b, c, d, a, x[12], 20, 0x8d2a4c8a);
  // Round 3
  HH(a, b, c, d, x[5], 4, 0xfffa3942);   HH(d, a, b, c, x[8], 11, 0x8771f681);
  HH(c, d, a, b, x[11], 16, 0x6d9d6122); HH(b, c, d, a, x[14], 23, 0xfde5380c);
  HH(a, b, c, d, x[1], 4, 0xa4beea44);   HH(d, a, b, c, x[4], 11, 0x4bdecfa9);
  HH(c, d, a, b, x[7], 16, 0xf6bb4b60);  HH(b, c, d, a, x[10], 23, 0xbebfbc70);
  HH(a, b, c, d, x[13], 4, 0x289b7ec6);  HH(d, a, b, c, x[0], 11, 0xeaa127fa);
  HH(c, d, a, b, x[3], 16, 0xd4ef3085);  HH(b, c, d, a, x[6], 23, 0x04881d05);
  HH(a, b, c, d, x[9], 4, 0xd9d4d039);   HH(d, a, b, c, x[12], 11, 0xe6db99e5);
  HH(c, d, a, b, x[15], 16, 0x1fa27cf8); HH(b, c, d, a, x[2], 23, 0xc4ac5665);
  // Round 4
  II(a, b, c, d, x[0], 6, 0xf4292244);   II(d, a, b, c, x[7], 10, 0x432aff97);
  II(c, d, a, b, x[14], 15, 0xab9423a7); II(b, c, d, a, x[5], 21, 0xfc93a039);
  II(a, b, c, d, x[12], 6, 0x655b59c3);  II(d, a, b, c, x[3], 10, 0x8f0ccc92);
  II(c, d, a, b, x[10], 15, 0xffeff47d); II(b, c, d, a, x[1], 21, 0x85845dd1);
  II(a, b, c, d, x[8], 6, 0x6fa87e4f);   II(d, a, b, c, x[15], 10, 0xfe2ce6e0);
  II(c, d, a, b, x[6], 15, 0xa3014314);  II(b, c, d, a, x[13], 21, 0x4e0811a1);
  II(a, b, c, d, x[4], 6, 0xf7537e82);   II(d, a, b, c, x[11], 10, 0xbd3af235);
  II(c, d, a, b, x[2], 15, 0x2ad7d2bb);  II(b, c, d, a, x[9], 21, 0xeb86d391);

  hash_state[0] += a;
  hash_state[1] += b;
  hash_state[2] += c;
  hash_state[3] += d;
  memset(x, 0, sizeof x);
}

void MD5::update(const unsigned char* input, unsigned int length) {
  // Nothing to absorb; also keeps a null range away from memcpy.
  if (length == 0) return;
  unsigned int index = (bit_count[0] / 8) % 64;
  uint32_t added_bits = length << 3;
  if ((bit_count[0] += added_bits) < added_bits) bit_count[1]++;
  bit_count[1] += length >> 29;

  unsigned int free_space = 64 - index;
  unsigned int i = 0;
  if (length >= free_space) {
    memcpy(&buffer[index], input, free_space);
    transform(buffer);
    for (i = free_space; i + 64 <= length; i += 64) transform(&input[i]);
    index = 0;
  }
  memcpy(&buffer[index], &input[i], length - i);
}

void MD5::update(const char* input, unsigned int length) {
  update(reinterpret_cast<const unsigned char*>(input), length);
}

MD5& MD5::finalize() {
  static const unsigned char padding[64] = {0x80};
  if (finalized) return *this;

  unsigned char bits[8];
  encode(bits, bit_count, 8);
  unsigned int index = (bit_count[0] / 8) % 64;
  unsigned int pad_length = index < 56 ? 56 - index : 120 - index;
  update(padding, pad_length);
  update(bits, 8);
  encode(digest, hash_state, 16);

  memset(buffer, 0, sizeof buffer);
  bit_count[0] = bit_count[1] = 0;
  finalized = true;
  return *this;
}

std::string MD5::hexdigest() const {
  if (!finalized) return "";
  char text[33];
  for (int i = 0; i < 16; ++i) snprintf(text + 2 * i, 3, "%02x", digest[i]);
  return std::string(text, 32);
}

std::ostream& operator<<(std::ostream& out, MD5 md5) { return out << md5.hexdigest(); }

std::string md5(std::string text) { return MD5(text).hexdigest(); }
