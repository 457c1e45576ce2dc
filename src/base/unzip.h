// Reads a ZIP archive held in memory (libzip over the caller's bytes, never
// copied): lists the entries, finds one by its bare file name, and extracts
// one entry at a time into a buffer the reader owns or reads it in pieces
// of the caller's size, so that a large file is never held whole.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <zip.h>

#include "base/byte_buffer.h"

class Unzip {
 private:
  struct ZipFileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
  };

 public:
  // One entry read from its first byte to its last, a piece at a time. It
  // gives exactly the size the archive states, and says the entry is
  // complete only once libzip has checked it whole (its CRC): bytes handed
  // out before a fault must be thrown away. Used while its Unzip lives.
  class EntryStream {
   public:
    EntryStream() = default;
    EntryStream(const EntryStream&) = delete;
    EntryStream& operator=(const EntryStream&) = delete;

    // Up to `capacity` next bytes into `buffer`: their count; 0 once every
    // stated byte was given and the entry checked intact; -1 on a fault
    // (short, long or corrupt entry, nothing opened), with the reason in
    // error(). After 0 or -1 it stays there.
    long long Read(char* buffer, size_t capacity);
    // The uncompressed size the archive states.
    uint64_t size() const { return size_; }
    const std::string& error() const { return error_; }

   private:
    friend class Unzip;
    // Records the fault and lets the entry go; -1.
    long long Fail(const std::string& reason);

    std::unique_ptr<zip_file_t, ZipFileClose> file_;
    uint64_t size_ = 0;
    uint64_t given_ = 0;
    bool ended_ = true;
    std::string error_ = "no entry opened";
  };

  // Largest entry extracted: a package file far larger than this is a
  // corrupt or hostile archive, not a software file of the device.
  static constexpr uint64_t kMaxEntrySize = 64ull * 1024 * 1024;

  Unzip();
  ~Unzip();
  Unzip(const Unzip&) = delete;
  Unzip& operator=(const Unzip&) = delete;

  // Opens the archive over `data` (kept alive and unchanged by the caller
  // until this object goes) and fills `names` with every entry name;
  // 0, or 1 on any failure.
  int InitZipFile(const void* data, unsigned int len, std::vector<std::string>& names);
  // The entry number of the first entry (by ascending name) inside a
  // directory of the archive whose text after the last "/" is `name`;
  // 0, or 1 when none matches (`*index` untouched).
  int ConvertName(std::string name, unsigned long long* index);
  // Extracts the entry; 0 with the bytes (valid until the next call or the
  // destruction) and their count, -1 when the entry cannot be read whole and
  // intact (unknown, too large, short, corrupt, failed CRC).
  int GetFileContent(unsigned long long index, char** content, int* size);
  // The uncompressed size the archive states for the entry, checked as an
  // extraction checks it (within kMaxEntrySize, consistent with the
  // archive's length), without extracting anything: 0, or -1 with the
  // reason in *error.
  int GetEntrySize(unsigned long long index, unsigned long long* size, std::string* error);
  // Starts `stream` at the first byte of the entry (again, when it was
  // reading one), checked as an extraction checks it: 0, or -1 with the
  // reason in stream->error().
  int OpenEntry(unsigned long long index, EntryStream* stream);

 private:
  struct SourceFree {
    void operator()(zip_source_t* source) const { zip_source_free(source); }
  };
  struct ArchiveDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
  };

  // Extraction behind GetFileContent; false with the reason in *error.
  bool Extract(unsigned long long index, uint64_t* size, std::string* error);
  // The entry's information, with sizes an extraction can trust.
  bool StatEntry(unsigned long long index, zip_stat_t* stat, std::string* error);

  // Declared before `archive`: the archive goes first, then our reference
  // on the source.
  std::unique_ptr<zip_source_t, SourceFree> source;
  std::unique_ptr<zip_t, ArchiveDiscard> archive;
  std::map<std::string, uint64_t> name_index;
  // Bare name -> the entry ConvertName gives for it (the first of that bare
  // name in name_index's order), built once when the archive is opened: a
  // package of n records is then looked up in n steps, not n times n.
  std::unordered_map<std::string, uint64_t> bare_name_index;
  zq_camera_service::ByteBuffer content_buffer;
  unsigned int archive_length = 0;
};
