#include "support/wire_bytes.h"

#include <cstdio>
#include <memory>

#include "support/files.h"

namespace zq_test {

std::string Hex(const std::string& bytes) {
  std::string text;
  char digits[4];
  for (unsigned char byte : bytes) {
    snprintf(digits, sizeof digits, "%s%02X", text.empty() ? "" : " ", byte);
    text += digits;
  }
  return text;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

std::string DecodeRaw(const std::string& bytes) {
  TempDir dir;
  WriteFile(dir / "message.bin", bytes);
  std::string command = std::string(ZQ_PROTOC) + " --decode_raw < '" + (dir / "message.bin") + "' 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return "popen failed";
  std::string decoded;
  char chunk[512];
  size_t n = 0;
  while ((n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0) decoded.append(chunk, n);
  return decoded;
}

}  // namespace zq_test
