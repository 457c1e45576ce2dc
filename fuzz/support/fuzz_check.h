// What every fuzz target shares: a check that stops the run with the broken
// property (libFuzzer then keeps the input as a crash), quiet logging, and
// scratch directories that live as long as the fuzzing process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "base/log.h"

#define FUZZ_CHECK(condition)                                                                  \
  do {                                                                                         \
    if (!(condition)) {                                                                        \
      fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);         \
      abort();                                                                                 \
    }                                                                                          \
  } while (0)

namespace zq_fuzz {

// Log lines of the code under test would drown the fuzzer's own output.
inline void QuietLogs() {
  g_zq_log_config = 0;
  g_zq_log_record_type = 0;
  g_zq_log_record_url.clear();
}

// A fresh directory under $TMPDIR (or /tmp), kept for the process's life:
// a fuzzing process is ended by its time limit or a finding, never cleanly.
inline std::string ScratchDirectory(const char* tag) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zq_fuzz_" + tag + "_XXXXXX";
  char* made = mkdtemp(&pattern[0]);
  if (made == nullptr) {
    perror("mkdtemp");
    abort();
  }
  return pattern;
}

// The whole file, or "" when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    abort();
  }
}

}  // namespace zq_fuzz
