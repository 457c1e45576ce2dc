#include "base/base64.h"

static const std::string base64_chars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "abcdefghijklmnopqrstuvwxyz"
    "0123456789+/";

std::string base64_encode(const unsigned char* bytes, unsigned int length) {
  std::string out;
  out.reserve(4 * ((static_cast<size_t>(length) + 2) / 3));
  unsigned int i = 0;
  for (; i + 3 <= length; i += 3) {
    unsigned int group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += base64_chars[(group >> 18) & 0x3f];
    out += base64_chars[(group >> 12) & 0x3f];
    out += base64_chars[(group >> 6) & 0x3f];
    out += base64_chars[group & 0x3f];
  }
  unsigned int rest = length - i;
  if (rest > 0) {
    unsigned int group = bytes[i] << 16;
    if (rest == 2) group |= bytes[i + 1] << 8;
    out += base64_chars[(group >> 18) & 0x3f];
    out += base64_chars[(group >> 12) & 0x3f];
    out += rest == 2 ? base64_chars[(group >> 6) & 0x3f] : '=';
    out += '=';
  }
  return out;
}

static int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string base64_decode(const std::string& text) {
  std::string out;
  unsigned int group = 0;
  int count = 0;
  for (unsigned char c : text) {
    int value = base64_value(c);
    if (value < 0) break;  // "=", a line break or anything else ends the text
    group = (group << 6) | static_cast<unsigned int>(value);
    if (++count == 4) {
      out += static_cast<char>((group >> 16) & 0xff);
      out += static_cast<char>((group >> 8) & 0xff);
      out += static_cast<char>(group & 0xff);
      group = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out += static_cast<char>((group >> 4) & 0xff);
  } else if (count == 3) {
    out += static_cast<char>((group >> 10) & 0xff);
    out += static_cast<char>((group >> 2) & 0xff);
  }
  return out;
}
