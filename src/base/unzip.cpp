#include "base/unzip.h"

#include <cstdio>
#include <new>

#include "base/log.h"

namespace {

// A whole-entry extraction asks for a few bytes a call; the stream never
// reads past the stated end, so a size that lies cannot make it write past
// the buffer.
constexpr size_t kReadStep = 4;

}  // namespace

Unzip::Unzip() = default;

Unzip::~Unzip() {
  if (source) {
    zq_print("~Unzip 111\n");
    archive.reset();
    zq_print("~Unzip 222\n");
    zq_print("~Unzip 333\n");
    source.reset();
    zq_print("~Unzip 444\n");
  }
  if (content_buffer) {
    zq_print("~Unzip 555\n");
    content_buffer.reset();
    zq_print("~Unzip 666\n");
  }
  zq_print("~Unzip end\n");
}

int Unzip::InitZipFile(const void* data, unsigned int len, std::vector<std::string>& names) {
  zq_print("111\n");
  names.clear();
  zq_print("222\n");
  if (source) return 1;  // one archive per reader

  zip_error_t error;
  zip_error_init(&error);
  // freep 0: the bytes stay the caller's; libzip reads them in place.
  source.reset(zip_source_buffer_create(data, len, 0, &error));
  if (!source) {
    zq_print("can't create source: %s\n", zip_error_strerror(&error));
    zip_error_fini(&error);
    return 1;
  }
  zq_print("333\n");
  archive.reset(zip_open_from_source(source.get(), 0, &error));
  if (!archive) {
    zq_print("can't open zip from source: %s\n", zip_error_strerror(&error));
    source.reset();
    zip_error_fini(&error);
    return 1;
  }
  zip_error_fini(&error);
  zq_print("444\n");
  // The archive owns one reference and drops it when discarded; ours keeps
  // the source until the reader goes.
  zip_source_keep(source.get());
  archive_length = len;
  zq_print("555\n");

  zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  if (count < 0) {
    zq_print("%s: cannot get number of entries\n", zip_strerror(archive.get()));
    return 1;
  }
  zq_print("666\n");
  for (zip_int64_t i = 0; i < count; ++i) {
    const char* name = zip_get_name(archive.get(), static_cast<zip_uint64_t>(i), 0);
    if (name == nullptr) {
      zq_print("%s: cannot get name of entry %lld\n", zip_strerror(archive.get()), static_cast<long long>(i));
      names.clear();
      name_index.clear();
      return 1;
    }
    zq_print("zip [%d] name:%s\n", static_cast<int>(i), name);
    names.push_back(name);
    name_index[name] = static_cast<uint64_t>(i);
  }
  for (const auto& entry : name_index) {
    const std::string& full = entry.first;
    size_t slash = full.rfind('/');
    // Top-level entries and directory entries never match.
    if (slash == std::string::npos || slash + 1 == full.size()) continue;
    // In ascending order of whole name: the first of a bare name stays.
    bare_name_index.emplace(full.substr(slash + 1), entry.second);
  }
  zq_print("777\n");
  return 0;
}

int Unzip::ConvertName(std::string name, unsigned long long* index) {
  auto found = bare_name_index.find(name);
  if (found == bare_name_index.end()) return 1;
  *index = found->second;
  return 0;
}

bool Unzip::StatEntry(unsigned long long index, zip_stat_t* stat, std::string* error) {
  if (!archive) {
    *error = "no archive";
    return false;
  }
  zip_stat_init(stat);
  if (zip_stat_index(archive.get(), index, 0, stat) != 0) {
    *error = zip_strerror(archive.get());
    return false;
  }
  const zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE;
  if ((stat->valid & needed) != needed) {
    *error = "entry sizes unknown";
    return false;
  }
  // The sizes come from the archive itself: a stored entry cannot be larger
  // than the archive, nor can any entry's compressed data.
  bool stored = (stat->valid & ZIP_STAT_COMP_METHOD) != 0 && stat->comp_method == ZIP_CM_STORE;
  if (stat->size > kMaxEntrySize) {
    *error = "entry of " + std::to_string(stat->size) + " bytes, above the cap of " + std::to_string(kMaxEntrySize);
    return false;
  }
  if (stat->comp_size > archive_length || (stored && stat->size > archive_length)) {
    *error = "entry size out of bounds";
    return false;
  }
  return true;
}

int Unzip::GetEntrySize(unsigned long long index, unsigned long long* size, std::string* error) {
  zip_stat_t stat;
  if (!StatEntry(index, &stat, error)) return -1;
  *size = stat.size;
  return 0;
}

int Unzip::OpenEntry(unsigned long long index, EntryStream* stream) {
  stream->file_.reset();
  stream->size_ = 0;
  stream->given_ = 0;
  stream->ended_ = true;
  zip_stat_t stat;
  std::string error;
  if (!StatEntry(index, &stat, &error)) {
    stream->error_ = error;
    return -1;
  }
  stream->file_.reset(zip_fopen_index(archive.get(), index, 0));
  if (!stream->file_) {
    stream->error_ = zip_strerror(archive.get());
    return -1;
  }
  stream->size_ = stat.size;
  stream->ended_ = false;
  stream->error_.clear();
  return 0;
}

long long Unzip::EntryStream::Fail(const std::string& reason) {
  error_ = reason;
  file_.reset();
  ended_ = true;
  return -1;
}

long long Unzip::EntryStream::Read(char* buffer, size_t capacity) {
  if (ended_) return error_.empty() ? 0 : -1;
  if (buffer == nullptr || capacity == 0) return Fail("no room to read into");
  if (given_ < size_) {
    // Never past the stated end, whatever the entry really holds.
    uint64_t want = size_ - given_ < capacity ? size_ - given_ : capacity;
    zip_int64_t n = zip_fread(file_.get(), buffer, want);
    if (n < 0) return Fail(zip_file_strerror(file_.get()));
    if (n == 0) return Fail("entry shorter than its stated size");
    given_ += static_cast<uint64_t>(n);
    return n;
  }
  // libzip checks the CRC when it reaches the end of the data, which only a
  // read past the last byte does; that read goes to a byte of its own.
  char beyond;
  zip_int64_t n = zip_fread(file_.get(), &beyond, 1);
  if (n != 0) return Fail(n < 0 ? zip_file_strerror(file_.get()) : "entry longer than its stated size");
  int closed = zip_fclose(file_.release());
  if (closed != 0) {
    zip_error_t close_error;
    zip_error_init_with_code(&close_error, closed);
    std::string reason = zip_error_strerror(&close_error);
    zip_error_fini(&close_error);
    return Fail(reason);
  }
  ended_ = true;
  return 0;
}

bool Unzip::Extract(unsigned long long index, uint64_t* size, std::string* error) {
  if (content_buffer) {
    zq_print("free\n");
    content_buffer.reset();
    zq_print("free\n");
  }
  zip_stat_t stat;
  if (!StatEntry(index, &stat, error)) return false;
  zq_print("data_size:%d\n", static_cast<int>(stat.size));
  // A large entry gets pages of its own, handed back to the system when the
  // next extraction or the reader lets it go.
  content_buffer = zq_camera_service::ByteBuffer(stat.size + 1);
  if (!content_buffer) {
    *error = "no memory";
    return false;
  }
  zq_print("config file size=[%lli] comp_size=[%lli]\n", static_cast<long long>(stat.size),
           static_cast<long long>(stat.comp_size));

  EntryStream stream;
  if (OpenEntry(index, &stream) != 0) {
    *error = stream.error();
    return false;
  }
  uint64_t filled = 0;
  while (filled < stat.size) {
    long long n = stream.Read(content_buffer.get() + filled, kReadStep);
    if (n <= 0) {
      *error = n < 0 ? stream.error() : "entry shorter than its stated size";
      return false;
    }
    filled += static_cast<uint64_t>(n);
  }
  zq_print("1111\n");
  char beyond;
  long long end = stream.Read(&beyond, 1);
  zq_print("2222\n");
  if (end != 0) {
    *error = end < 0 ? stream.error() : "entry longer than its stated size";
    return false;
  }
  content_buffer[stat.size] = '\0';
  *size = stat.size;
  return true;
}

int Unzip::GetFileContent(unsigned long long index, char** content, int* size) {
  uint64_t extracted = 0;
  std::string error;
  if (!Extract(index, &extracted, &error)) {
    fprintf(stderr, "can't open file at index': %s\n", error.c_str());
    // Nothing half-read is left for a later caller to mistake for the entry.
    content_buffer.reset();
    return -1;
  }
  *content = content_buffer.get();
  *size = static_cast<int>(extracted);
  return 0;
}
