#include "base/unzip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/log_settings.h"
#include "support/stdout_capture.h"
#include "support/zip_builder.h"

namespace {

using zq_test::ZipBuilder;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() % 7 == 0 ? 0 : random());
  return bytes;
}

// A reader over its own copy of the archive bytes.
struct OpenedArchive {
  explicit OpenedArchive(std::string archive_bytes) : bytes(std::move(archive_bytes)) {
    result = reader.InitZipFile(bytes.data(), static_cast<unsigned>(bytes.size()), names);
  }
  // The entry's bytes, or "<-1>" when extraction fails.
  std::string Extract(const std::string& bare_name) {
    unsigned long long index = 0;
    if (reader.ConvertName(bare_name, &index) != 0) return "<not found>";
    char* content = nullptr;
    int size = -1;
    if (reader.GetFileContent(index, &content, &size) != 0) return "<-1>";
    return std::string(content, static_cast<size_t>(size));
  }

  std::string bytes;
  Unzip reader;
  std::vector<std::string> names;
  int result = -2;
};

unsigned long long IndexOf(Unzip& reader, const std::string& name) {
  unsigned long long index = 999;
  EXPECT_EQ(0, reader.ConvertName(name, &index)) << name;
  return index;
}

TEST(Unzip, EmptyArchiveOpensWithoutEntries) {
  OpenedArchive archive(ZipBuilder().Build());
  EXPECT_EQ(0, archive.result);
  EXPECT_TRUE(archive.names.empty());
  unsigned long long index = 77;
  EXPECT_EQ(1, archive.reader.ConvertName("VersionConfig.json", &index));
  EXPECT_EQ(1, archive.reader.ConvertName("", &index));
  EXPECT_EQ(77u, index);
}

TEST(Unzip, ListsEveryEntryNameInArchiveOrder) {
  OpenedArchive archive(ZipBuilder().Add("z/last", "1").AddDirectory("dir/").Add("top", "2").Build());
  ASSERT_EQ(0, archive.result);
  EXPECT_EQ((std::vector<std::string>{"z/last", "dir/", "top"}), archive.names);
}

TEST(Unzip, LookupSkipsTopLevelAndDirectoryEntries) {
  {
    OpenedArchive archive(
        ZipBuilder().Add("VersionConfig.json", "top").Add("pkg/VersionConfig.json", "nested").Build());
    ASSERT_EQ(0, archive.result);
    EXPECT_EQ(1u, IndexOf(archive.reader, "VersionConfig.json"));
    EXPECT_EQ("nested", archive.Extract("VersionConfig.json"));
  }
  {
    OpenedArchive archive(ZipBuilder().Add("VersionConfig.json", "top").Build());
    ASSERT_EQ(0, archive.result);
    unsigned long long index = 5;
    EXPECT_EQ(1, archive.reader.ConvertName("VersionConfig.json", &index));
    EXPECT_EQ(5u, index);
  }
  {
    OpenedArchive archive(ZipBuilder().AddDirectory("dir/").AddDirectory("a/dir/").Build());
    ASSERT_EQ(0, archive.result);
    unsigned long long index = 5;
    EXPECT_EQ(1, archive.reader.ConvertName("", &index));
    EXPECT_EQ(1, archive.reader.ConvertName("dir", &index));
    EXPECT_EQ(1, archive.reader.ConvertName("dir/", &index));
  }
}

TEST(Unzip, DuplicateBareNamesResolveToTheFirstWholeName) {
  OpenedArchive archive(ZipBuilder().Add("b/x", "from b").Add("a/x", "from a").Add("a/xx", "longer").Build());
  ASSERT_EQ(0, archive.result);
  EXPECT_EQ(1u, IndexOf(archive.reader, "x"));
  EXPECT_EQ("from a", archive.Extract("x"));
  EXPECT_EQ("longer", archive.Extract("xx"));
  unsigned long long index = 0;
  EXPECT_EQ(1, archive.reader.ConvertName("X", &index));  // case-sensitive
  EXPECT_EQ(1, archive.reader.ConvertName("a/x", &index));
}

TEST(Unzip, SameWholeNameTwiceKeepsTheLaterEntry) {
  std::string bytes = ZipBuilder().Add("d/one", "first", ZipBuilder::kStore).Add("d/two", "second").Build();
  // Rename d/two to d/one in the local and central headers (names are not under the CRC).
  for (size_t at = bytes.find("d/two"); at != std::string::npos; at = bytes.find("d/two", at)) {
    bytes.replace(at, 5, "d/one");
  }
  OpenedArchive archive(bytes);
  ASSERT_EQ(0, archive.result);
  EXPECT_EQ((std::vector<std::string>{"d/one", "d/one"}), archive.names);
  EXPECT_EQ(1u, IndexOf(archive.reader, "one"));
  EXPECT_EQ("second", archive.Extract("one"));
}

TEST(Unzip, BytesThatAreNoArchiveAreRefused) {
  zq_test::ScopedLogSettings log(4, 3, "");
  std::string valid = ZipBuilder().Add("pkg/a", RandomBytes(300, 1)).Build();
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"html page", "<html><body>404 Not Found</body></html>"},
      {"half an archive", valid.substr(0, valid.size() / 2)},
      {"last byte missing", valid.substr(0, valid.size() - 1)},
      {"end record only half", valid.substr(valid.size() - 10)},
  };
  for (const Case& c : cases) {
    zq_test::StdoutCapture capture;
    OpenedArchive archive(c.bytes);
    EXPECT_EQ(1, archive.result) << c.name;
    EXPECT_NE(std::string::npos, capture.Text().find("can't open zip from source: ")) << c.name;
    unsigned long long index = 0;
    EXPECT_EQ(1, archive.reader.ConvertName("a", &index)) << c.name;
  }
}

// The bytes of the entry "p/f<size>" of ArchiveOfSizes.
std::string SizedEntryBytes(size_t size) { return RandomBytes(size, static_cast<unsigned>(size)); }

// An archive of one entry "p/f<size>" per size, each of SizedEntryBytes,
// all stored or all deflated.
std::string ArchiveOfSizes(const std::vector<size_t>& sizes, ZipBuilder::Method method) {
  ZipBuilder builder;
  for (size_t size : sizes) builder.Add("p/f" + std::to_string(size), SizedEntryBytes(size), method);
  return builder.Build();
}

TEST(Unzip, ExtractsEveryByteStoredAndDeflated) {
  const std::vector<size_t> sizes = {0, 1, 4, 5, 4097, 70001};
  for (ZipBuilder::Method method : {ZipBuilder::kStore, ZipBuilder::kDeflate}) {
    OpenedArchive archive(ArchiveOfSizes(sizes, method));
    ASSERT_EQ(0, archive.result);
    for (size_t size : sizes) {
      std::string got = archive.Extract("f" + std::to_string(size));
      EXPECT_EQ(size, got.size()) << size << " method " << method;
      EXPECT_TRUE(got == SizedEntryBytes(size)) << size << " method " << method;
    }
  }
}

TEST(Unzip, CorruptedEntryFailsInsteadOfGivingWrongBytes) {
  const std::string payload = RandomBytes(5000, 42);
  {
    std::string bytes = ZipBuilder().Add("p/stored", payload, ZipBuilder::kStore).Build();
    bytes[zq_test::FindStoredData(bytes, payload) + 2500] ^= 0x55;  // the CRC no longer matches
    OpenedArchive archive(bytes);
    ASSERT_EQ(0, archive.result);
    EXPECT_EQ("<-1>", archive.Extract("stored"));
  }
  {
    std::string clean = ZipBuilder().Add("p/deflated", payload).Build();
    std::string bytes = clean;
    // Flip bytes in the middle of the compressed data (it lies between the
    // local header with its name and the central directory).
    size_t data_start = bytes.find("p/deflated") + strlen("p/deflated");
    for (size_t i = 0; i < 8; ++i) bytes[data_start + 200 + i] ^= 0xA5;
    OpenedArchive archive(bytes);
    ASSERT_EQ(0, archive.result);
    EXPECT_EQ("<-1>", archive.Extract("deflated"));
  }
}

// Offset of the central directory record of the (only) entry.
size_t CentralRecord(const std::string& bytes) {
  size_t at = bytes.find(std::string("PK\x01\x02", 4));
  if (at == std::string::npos) ADD_FAILURE() << "no central directory";
  return at;
}

void SetUint32(std::string& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

TEST(Unzip, StatedSizesThatLieAreRefused) {
  const std::string payload = RandomBytes(64, 9);
  struct Case {
    const char* name;
    uint32_t stated_size;
  };
  const Case cases[] = {{"larger than the archive", 100000}, {"a little larger", 66}, {"smaller", 60}};
  for (const Case& c : cases) {
    std::string bytes = ZipBuilder().Add("p/f", payload, ZipBuilder::kStore).Build();
    SetUint32(bytes, CentralRecord(bytes) + 24, c.stated_size);  // uncompressed size
    OpenedArchive archive(bytes);
    ASSERT_EQ(0, archive.result) << c.name;
    EXPECT_EQ("<-1>", archive.Extract("f")) << c.name;
  }
}

TEST(Unzip, EntryAboveTheSizeCapIsRefused) {
  std::string big(static_cast<size_t>(Unzip::kMaxEntrySize) + 1, '\0');
  OpenedArchive archive(ZipBuilder().Add("p/big", big).Add("p/small", "ok").Build());
  big.clear();
  ASSERT_EQ(0, archive.result);
  EXPECT_EQ("<-1>", archive.Extract("big"));
  EXPECT_EQ("ok", archive.Extract("small"));
}

// Everything a stream gives until it says it is done, read `capacity`
// bytes at a time; "<-1>" plus what came before when it fails. The
// number of reads and the largest count one gave go to *reads and *largest.
std::string ReadWhole(Unzip::EntryStream& stream, size_t capacity, size_t* reads = nullptr, size_t* largest = nullptr) {
  std::string whole;
  std::string piece(capacity, '\0');
  for (size_t i = 0; i < 100000; ++i) {
    long long n = stream.Read(&piece[0], capacity);
    if (n < 0) return whole + "<-1>";
    if (n == 0) return whole;
    if (reads != nullptr) ++*reads;
    if (largest != nullptr && static_cast<size_t>(n) > *largest) *largest = static_cast<size_t>(n);
    whole.append(piece, 0, static_cast<size_t>(n));
  }
  return whole + "<endless>";
}

constexpr size_t kPiece = 64 * 1024;

// Sizes around the piece a staging reads, in both methods, read in pieces
// of that size and of a few bytes: every byte once, in order, then the end,
// which stays the end.
TEST(Unzip, EntryStreamGivesEveryByteInPiecesOfAnySize) {
  const std::vector<size_t> sizes = {0, 1, kPiece - 1, kPiece, kPiece + 1, 3 * kPiece + 17};
  for (ZipBuilder::Method method : {ZipBuilder::kStore, ZipBuilder::kDeflate}) {
    OpenedArchive archive(ArchiveOfSizes(sizes, method));
    ASSERT_EQ(0, archive.result);
    for (size_t size : sizes) {
      for (size_t capacity : {kPiece, size_t{7}}) {
        SCOPED_TRACE("size " + std::to_string(size) + " method " + std::to_string(method) + " pieces of " +
                     std::to_string(capacity));
        Unzip::EntryStream stream;
        ASSERT_EQ(0, archive.reader.OpenEntry(IndexOf(archive.reader, "f" + std::to_string(size)), &stream));
        EXPECT_EQ(size, stream.size());
        size_t reads = 0;
        size_t largest = 0;
        std::string got = ReadWhole(stream, capacity, &reads, &largest);
        EXPECT_EQ(size, got.size());
        EXPECT_TRUE(got == SizedEntryBytes(size));
        EXPECT_LE(largest, capacity);
        EXPECT_GE(reads, (size + capacity - 1) / capacity);
        char more[8];
        EXPECT_EQ(0, stream.Read(more, sizeof more)) << stream.error();
      }
    }
  }
}

TEST(Unzip, EntryStreamOpenedAgainStartsOverAtTheFirstByte) {
  const std::string payload = RandomBytes(3 * kPiece, 5);
  OpenedArchive archive(ZipBuilder().Add("p/a", payload).Add("p/b", "other").Build());
  ASSERT_EQ(0, archive.result);
  Unzip::EntryStream stream;
  ASSERT_EQ(0, archive.reader.OpenEntry(IndexOf(archive.reader, "a"), &stream));
  std::string first(kPiece, '\0');
  ASSERT_EQ(static_cast<long long>(kPiece), stream.Read(&first[0], kPiece));
  ASSERT_EQ(0, archive.reader.OpenEntry(IndexOf(archive.reader, "a"), &stream));
  EXPECT_TRUE(ReadWhole(stream, kPiece) == payload);
  // The same stream on another entry.
  ASSERT_EQ(0, archive.reader.OpenEntry(IndexOf(archive.reader, "b"), &stream));
  EXPECT_EQ("other", ReadWhole(stream, kPiece));
}

// A corrupt entry of several pieces: the pieces before the fault may come,
// but the stream never says it is done; it fails, and stays failed.
TEST(Unzip, EntryStreamFailsOnACorruptEntryAfterGivingSomePieces) {
  const std::string payload = RandomBytes(4 * kPiece + 3, 77);
  struct Case {
    const char* name;
    ZipBuilder::Method method;
  };
  for (const Case& c : {Case{"stored, CRC wrong", ZipBuilder::kStore}, Case{"deflated, data broken", ZipBuilder::kDeflate}}) {
    SCOPED_TRACE(c.name);
    std::string bytes = ZipBuilder().Add("p/big", payload, c.method).Build();
    size_t data_start = c.method == ZipBuilder::kStore ? zq_test::FindStoredData(bytes, payload)
                                                       : bytes.find("p/big") + strlen("p/big");
    // Past the first pieces: they come out before the fault is seen.
    size_t at = data_start + (c.method == ZipBuilder::kStore ? 3 * kPiece : (bytes.size() - data_start) * 3 / 4);
    for (size_t i = 0; i < 8; ++i) bytes[at + i] ^= 0xA5;
    OpenedArchive archive(bytes);
    ASSERT_EQ(0, archive.result);
    Unzip::EntryStream stream;
    ASSERT_EQ(0, archive.reader.OpenEntry(IndexOf(archive.reader, "big"), &stream));
    size_t reads = 0;
    std::string got = ReadWhole(stream, kPiece, &reads);
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ("<-1>", got.substr(got.size() - 4));
    EXPECT_GE(reads, 2u) << "the fault is to be found mid-stream";
    EXPECT_FALSE(stream.error().empty());
    char more[8];
    EXPECT_EQ(-1, stream.Read(more, sizeof more));
  }
}

// What an extraction refuses, a stream refuses: when it is opened, or by
// failing before it would say it is done.
TEST(Unzip, EntryStreamRefusesWhatAnExtractionRefuses) {
  const std::string payload = RandomBytes(64, 9);
  struct Case {
    const char* name;
    uint32_t stated_size;
  };
  for (const Case& c : {Case{"larger than the archive", 100000}, Case{"a little larger", 66}, Case{"smaller", 60}}) {
    SCOPED_TRACE(c.name);
    std::string bytes = ZipBuilder().Add("p/f", payload, ZipBuilder::kStore).Build();
    SetUint32(bytes, CentralRecord(bytes) + 24, c.stated_size);
    OpenedArchive archive(bytes);
    ASSERT_EQ(0, archive.result);
    Unzip::EntryStream stream;
    if (archive.reader.OpenEntry(IndexOf(archive.reader, "f"), &stream) == 0) {
      std::string got = ReadWhole(stream, kPiece);
      EXPECT_EQ("<-1>", got.substr(got.size() < 4 ? 0 : got.size() - 4));
      EXPECT_LE(got.size(), c.stated_size + 4u);
    }
    EXPECT_FALSE(stream.error().empty());
  }

  std::string big(static_cast<size_t>(Unzip::kMaxEntrySize) + 1, '\0');
  OpenedArchive capped(ZipBuilder().Add("p/big", big).Build());
  big.clear();
  ASSERT_EQ(0, capped.result);
  Unzip::EntryStream stream;
  EXPECT_EQ(-1, capped.reader.OpenEntry(IndexOf(capped.reader, "big"), &stream));
  EXPECT_NE(std::string::npos, stream.error().find("above the cap")) << stream.error();
  EXPECT_EQ(-1, capped.reader.OpenEntry(5, &stream));
  char byte;
  EXPECT_EQ(-1, stream.Read(&byte, 1));

  Unzip without_archive;
  Unzip::EntryStream never_opened;
  EXPECT_EQ(-1, never_opened.Read(&byte, 1));
  EXPECT_EQ(-1, without_archive.OpenEntry(0, &never_opened));
  EXPECT_EQ(-1, never_opened.Read(&byte, 1));
}

TEST(Unzip, UnknownEntryNumberFails) {
  OpenedArchive archive(ZipBuilder().Add("p/a", "x").Build());
  ASSERT_EQ(0, archive.result);
  char* content = nullptr;
  int size = -7;
  EXPECT_EQ(-1, archive.reader.GetFileContent(5, &content, &size));
  EXPECT_EQ(nullptr, content);
  EXPECT_EQ(-7, size);
}

TEST(Unzip, ReaderWithoutArchiveFailsCleanly) {
  Unzip reader;
  unsigned long long index = 0;
  EXPECT_EQ(1, reader.ConvertName("a", &index));
  char* content = nullptr;
  int size = 0;
  EXPECT_EQ(-1, reader.GetFileContent(0, &content, &size));
}

}  // namespace
