#include "base/file_line.h"

#include <cstdio>
#include <memory>

namespace zq_camera_service {

namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

}  // namespace

bool ReadFileLine(const std::string& path, int index, size_t max_length, std::string* line) {
  if (line == nullptr || index < 0) return false;
  std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "r"));
  if (!file) return false;
  std::string text;
  int current = 0;
  bool any = false;  // a character of the wanted line was read (or its line break)
  for (int c = getc(file.get()); c != EOF; c = getc(file.get())) {
    if (current == index) {
      any = true;
      if (c == '\n') break;
      if (text.size() < max_length) text.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      ++current;
    }
  }
  if (!any) return false;
  *line = text;
  return true;
}

}  // namespace zq_camera_service
