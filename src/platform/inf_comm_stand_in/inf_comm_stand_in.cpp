// Host stand-in of the camera's share-buffer library (see share_buf_control.h
// for the directory layout). Self-contained: it sits below the service's own
// code, as the camera library does, links none of it (the descriptor guard is
// a header) and logs nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "base/unique_fd.h"
#include "platform/inf_comm_stand_in/share_buf_control.h"
#include "platform/inf_share_buf.h"

namespace zq_camera_service {
namespace platform {
namespace share_buf_stand_in {

namespace {

constexpr int kFaceBuffer = 40;
constexpr int kCameraPictureBuffer = 34;
constexpr int kStreamBuffer = 35;
constexpr int kListMode = 2;

struct Handle {
  int buf_id = 0;
  std::string directory;  // "" = no frames at all
  bool list_delivered = false;
  uint64_t last_list_seq = 0;
  bool frame_delivered = false;  // buffer 35: a frame was handed out on this handle
  uint64_t last_frame_seq = 0;
};

constexpr size_t kFrameHeaderSize = 40;

struct State {
  std::mutex mutex;
  std::map<int, Handle> handles;
  int next_handle = 1;
  std::string directory_override;
  int failing_inits = 0;
  std::deque<ScriptedRead> list_script;
  std::deque<ScriptedRead> image_script;
  Counters counters;
};

State& state() {
  // Never destroyed: the service's threads may call in during process exit.
  static State* instance = new State();
  return *instance;
}

int ClampToResult(uint64_t size) { return size > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(size); }

int WriteScripted(const ScriptedRead& read, int capacity, char* buffer) {
  size_t n = read.bytes.size() < static_cast<size_t>(capacity) ? read.bytes.size() : static_cast<size_t>(capacity);
  if (n > 0) memcpy(buffer, read.bytes.data(), n);
  return read.result;
}

// Only regular files are frames. Anything else named like one (a FIFO, a
// device node, a directory, a symbolic link) is never opened: opening a FIFO
// for reading waits for a writer, and the fetch thread calling in would wait
// with it.
bool IsRegularEntry(const std::string& directory, const struct dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_REG;
  struct stat info {};
  return lstat((directory + "/" + entry->d_name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The file opened for reading, and its size, when it is a regular file; no
// descriptor otherwise. The check before the open keeps other kinds of files
// from being opened at all; the open itself neither follows a link nor waits,
// and the check after it catches a file swapped in between.
UniqueFd OpenRegularFile(const std::string& path, uint64_t* size) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return UniqueFd();
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid() || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return UniqueFd();
  *size = static_cast<uint64_t>(info.st_size);
  return fd;
}

// Copies at most `capacity` bytes of the file; its whole size, 0 when it is
// empty, or -1 when it cannot be read (absent, vanished, not a regular file).
int ReadFrameFile(const std::string& path, int capacity, char* buffer) {
  uint64_t size = 0;
  UniqueFd fd = OpenRegularFile(path, &size);
  if (!fd.valid()) return -1;
  size_t wanted = size < static_cast<uint64_t>(capacity) ? static_cast<size_t>(size) : static_cast<size_t>(capacity);
  size_t done = 0;
  while (done < wanted) {
    ssize_t got = read(fd.get(), buffer + done, wanted - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  // A file that shrank under us is handed out as far as it was read.
  if (done < wanted) return ClampToResult(done);
  return ClampToResult(size);
}

// "<decimal>.json" -> true and the number; anything else (temporary files of
// writers, other names) -> false.
bool ParseListName(const char* name, uint64_t* seq) {
  const char* dot = strchr(name, '.');
  if (dot == nullptr || dot == name || strcmp(dot, ".json") != 0) return false;
  uint64_t value = 0;
  for (const char* p = name; p < dot; ++p) {
    if (*p < '0' || *p > '9') return false;
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;  // beyond 64 bits
    value = value * 10 + digit;
  }
  *seq = value;
  return true;
}

// The highest list number above the handle's last one; false when there is none.
bool NewestListAfter(const Handle& handle, uint64_t* seq) {
  const std::string lists = handle.directory + "/40/lists";
  DIR* dir = opendir(lists.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  uint64_t best = 0;
  while (struct dirent* entry = readdir(dir)) {
    uint64_t candidate = 0;
    if (!ParseListName(entry->d_name, &candidate) || !IsRegularEntry(lists, entry)) continue;
    if (handle.list_delivered && candidate <= handle.last_list_seq) continue;
    if (!found || candidate > best) {
      best = candidate;
      found = true;
    }
  }
  closedir(dir);
  *seq = best;
  return found;
}

// "<decimal>" -> true and the number; temporary files of writers and other
// names -> false.
bool ParseFrameName(const char* name, uint64_t* seq) {
  if (*name == '\0') return false;
  uint64_t value = 0;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *seq = value;
  return true;
}

// Buffer 34: the highest frame number (newest). Buffer 35: the lowest frame
// number above the handle's last one (next in stream order).
bool PickFrame(const Handle& handle, uint64_t* seq) {
  const std::string frames = handle.directory + "/" + std::to_string(handle.buf_id) + "/frames";
  DIR* dir = opendir(frames.c_str());
  if (dir == nullptr) return false;
  const bool newest = handle.buf_id == kCameraPictureBuffer;
  bool found = false;
  uint64_t best = 0;
  while (struct dirent* entry = readdir(dir)) {
    uint64_t candidate = 0;
    if (!ParseFrameName(entry->d_name, &candidate) || !IsRegularEntry(frames, entry)) continue;
    if (!newest && handle.frame_delivered && candidate <= handle.last_frame_seq) continue;
    if (!found || (newest ? candidate > best : candidate < best)) {
      best = candidate;
      found = true;
    }
  }
  closedir(dir);
  *seq = best;
  return found;
}

// One read of buffer 34 or 35 on a valid handle.
int ReadFrame(Handle& handle, int capacity, char* buffer) {
  uint64_t seq = 0;
  int n = -1;
  if (!handle.directory.empty() && PickFrame(handle, &seq)) {
    n = ReadFrameFile(FramePath(handle.directory, handle.buf_id, seq), capacity, buffer);
    // A frame that vanished between the listing and the read was not handed out.
    if (n >= 0) {
      handle.frame_delivered = true;
      handle.last_frame_seq = seq;
    }
  }
  if (n <= 0) {
    // No frame: a zeroed header says so (frame length 0).
    memset(buffer, 0, capacity < static_cast<int>(kFrameHeaderSize) ? static_cast<size_t>(capacity) : kFrameHeaderSize);
    return 0;
  }
  return n;
}

Handle* FindHandle(State& s, int handle) {
  auto it = s.handles.find(handle);
  return it == s.handles.end() ? nullptr : &it->second;
}

}  // namespace

std::string FaceListPath(const std::string& directory, uint64_t seq) {
  return directory + "/40/lists/" + std::to_string(seq) + ".json";
}

std::string FaceImagePath(const std::string& directory, uint64_t timestamp, int datatype, int objectID) {
  return directory + "/40/images/" + std::to_string(timestamp) + "_" + std::to_string(datatype) + "_" +
         std::to_string(objectID);
}

std::string FramePath(const std::string& directory, int buf_id, uint64_t seq) {
  return directory + "/" + std::to_string(buf_id) + "/frames/" + std::to_string(seq);
}

void SetDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().directory_override = directory;
}

void FailInits(int count) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().failing_inits = count;
}

void ScriptListReads(std::vector<ScriptedRead> reads) {
  std::lock_guard<std::mutex> lock(state().mutex);
  for (auto& read : reads) state().list_script.push_back(std::move(read));
}

void ScriptImageReads(std::vector<ScriptedRead> reads) {
  std::lock_guard<std::mutex> lock(state().mutex);
  for (auto& read : reads) state().image_script.push_back(std::move(read));
}

Counters GetCounters() {
  std::lock_guard<std::mutex> lock(state().mutex);
  Counters counters = state().counters;
  counters.open_handles = static_cast<int>(state().handles.size());
  return counters;
}

void Reset() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.directory_override.clear();
  s.failing_inits = 0;
  s.list_script.clear();
  s.image_script.clear();
  s.counters = Counters();
}

}  // namespace share_buf_stand_in
}  // namespace platform
}  // namespace zq_camera_service

extern "C" {

int Inf_ShareBufInit(int buf_id, int flag) {
  using namespace zq_camera_service::platform::share_buf_stand_in;
  (void)flag;
  if (buf_id != kFaceBuffer && buf_id != kCameraPictureBuffer && buf_id != kStreamBuffer) return 0;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.failing_inits > 0) {
    --s.failing_inits;
    return 0;
  }
  Handle handle;
  handle.buf_id = buf_id;
  if (!s.directory_override.empty()) {
    handle.directory = s.directory_override;
  } else if (const char* directory = getenv(kDirectoryVariable)) {
    handle.directory = directory;
  }
  if (s.next_handle <= 0) s.next_handle = 1;  // never hand out 0, even after wrapping
  int id = s.next_handle++;
  s.handles[id] = handle;
  ++s.counters.inits;
  return id;
}

int Inf_ShareBufUnInit(int handle) {
  using namespace zq_camera_service::platform::share_buf_stand_in;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.handles.erase(handle) == 0) return -1;
  ++s.counters.uninits;
  return 0;
}

int Inf_ShareBufGetOneFrame_mode2(int handle, int capacity, char* buffer, int mode) {
  using namespace zq_camera_service::platform::share_buf_stand_in;
  if (capacity <= 0 || buffer == nullptr || mode != kListMode) return -1;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Handle* h = FindHandle(s, handle);
  if (h == nullptr || h->buf_id != kFaceBuffer) return -1;
  ++s.counters.list_reads;
  if (!s.list_script.empty()) {
    ScriptedRead read = std::move(s.list_script.front());
    s.list_script.pop_front();
    return WriteScripted(read, capacity, buffer);
  }
  if (h->directory.empty()) return 0;
  uint64_t seq = 0;
  if (!NewestListAfter(*h, &seq)) return 0;
  int n = ReadFrameFile(FaceListPath(h->directory, seq), capacity, buffer);
  // A list that vanished between the listing and the read is simply not new.
  if (n < 0) return 0;
  h->list_delivered = true;
  h->last_list_seq = seq;
  return n;
}

int Inf_ShareBufFindOneFrame(int handle, int capacity, char* buffer, uint64_t timestamp, int datatype,
                             int objectID) {
  using namespace zq_camera_service::platform::share_buf_stand_in;
  if (capacity <= 0 || buffer == nullptr) return -1;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Handle* h = FindHandle(s, handle);
  if (h == nullptr || h->buf_id != kFaceBuffer) return -1;
  ++s.counters.lookup_count;
  if (s.counters.lookups.size() < kMaxRecordedLookups) {
    Lookup lookup;
    lookup.timestamp = timestamp;
    lookup.datatype = datatype;
    lookup.objectID = objectID;
    s.counters.lookups.push_back(lookup);
  }
  if (!s.image_script.empty()) {
    ScriptedRead read = std::move(s.image_script.front());
    s.image_script.pop_front();
    return WriteScripted(read, capacity, buffer);
  }
  if (h->directory.empty()) return 0;
  int n = ReadFrameFile(FaceImagePath(h->directory, timestamp, datatype, objectID), capacity, buffer);
  return n < 0 ? 0 : n;  // absent: never put, or already overwritten
}

int Inf_ShareBufGetCurFrame(int handle, int capacity, char* buffer) {
  using namespace zq_camera_service::platform::share_buf_stand_in;
  if (capacity <= 0 || buffer == nullptr) return -1;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Handle* h = FindHandle(s, handle);
  if (h == nullptr || h->buf_id != kCameraPictureBuffer) return -1;
  ++s.counters.picture_reads;
  return ReadFrame(*h, capacity, buffer);
}

int Inf_ShareBufGetOneFrame(int handle, int capacity, char* buffer) {
  using namespace zq_camera_service::platform::share_buf_stand_in;
  if (capacity <= 0 || buffer == nullptr) return -1;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Handle* h = FindHandle(s, handle);
  if (h == nullptr || h->buf_id != kStreamBuffer) return -1;
  ++s.counters.stream_reads;
  return ReadFrame(*h, capacity, buffer);
}

}  // extern "C"
