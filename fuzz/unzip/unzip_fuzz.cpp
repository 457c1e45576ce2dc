// The in-memory ZIP reader over arbitrary bytes (a downloaded upgrade
// package before any check). What must hold: opening gives 0 or 1; every
// entry listed can be asked for and either comes out whole within the size
// bound, the same bytes every time, or is refused; an index past the list is
// refused; a name lookup that succeeds names an entry of that bare name.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/unzip.h"
#include "support/fuzz_check.h"

namespace {

// Entries extracted per input: enough to reach every code path, few enough
// that an archive of thousands of entries stays fast.
constexpr size_t kEntriesChecked = 8;

std::string BareName(const std::string& name) { return name.substr(name.rfind('/') + 1); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zq_fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> original(data, data + size);
  Unzip archive;
  std::vector<std::string> names;
  const int opened = archive.InitZipFile(data, static_cast<unsigned int>(size), names);
  FUZZ_CHECK(opened == 0 || opened == 1);
  if (opened != 0) return 0;

  for (size_t i = 0; i < names.size() && i < kEntriesChecked; ++i) {
    char* content = nullptr;
    int length = -1;
    const int result = archive.GetFileContent(i, &content, &length);
    FUZZ_CHECK(result == 0 || result == -1);
    if (result != 0) continue;
    FUZZ_CHECK(length >= 0 && static_cast<uint64_t>(length) <= Unzip::kMaxEntrySize);
    FUZZ_CHECK(length == 0 || content != nullptr);
    const std::string first(content == nullptr ? "" : std::string(content, static_cast<size_t>(length)));
    char* again = nullptr;
    int again_length = -1;
    FUZZ_CHECK(archive.GetFileContent(i, &again, &again_length) == 0);
    FUZZ_CHECK(again_length == length && (length == 0 || memcmp(again, first.data(), first.size()) == 0));

    const std::string bare = BareName(names[i]);
    unsigned long long found = ~0ull;
    if (archive.ConvertName(bare, &found) == 0) {
      FUZZ_CHECK(found < names.size());
      FUZZ_CHECK(BareName(names[found]) == bare);
    } else {
      FUZZ_CHECK(found == ~0ull);
    }
  }
  char* content = nullptr;
  int length = 0;
  FUZZ_CHECK(archive.GetFileContent(names.size(), &content, &length) == -1);
  // The reader never writes into the caller's bytes.
  FUZZ_CHECK(size == 0 || memcmp(original.data(), data, size) == 0);
  return 0;
}
