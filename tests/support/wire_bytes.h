// Byte strings for wire-format checks: hexadecimal views and protoc's own
// decoding, which reads the bytes without our generated classes.
#pragma once

#include <string>

namespace zq_test {

// "0A 02 43 31": upper-case pairs separated by single blanks.
std::string Hex(const std::string& bytes);
// The bytes of hexadecimal pairs; blanks between pairs are skipped.
std::string FromHex(const std::string& hex);
// What `protoc --decode_raw` prints for `bytes` (its errors included).
std::string DecodeRaw(const std::string& bytes);

}  // namespace zq_test
