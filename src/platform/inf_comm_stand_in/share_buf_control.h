// Stand-in of the camera's share-buffer library for host builds.
//
// Frames come from the directory named by ZQ_SHAREBUF_DIR (read when a handle
// is opened); without it every read finds nothing:
//   <dir>/40/lists/<seq>.json                         face lists, <seq> decimal
//   <dir>/40/images/<timestamp>_<datatype>_<objectID>  face images
//   <dir>/34/frames/<seq>                              camera pictures
//   <dir>/35/frames/<seq>                              H.264 frames
// A face-list read hands out the list with the highest <seq> above the last
// one handed out on that handle (the newest, once). Picture and H.264 frame
// files hold the 40-byte frame header followed by the frame data: a picture
// read (Inf_ShareBufGetCurFrame) hands out the newest frame of 34, every time;
// a stream read (Inf_ShareBufGetOneFrame) the lowest frame of 35 above the
// last one handed out on that handle. Without a frame both zero the header
// (frame length 0) and return 0. Writers put files in place
// atomically (write elsewhere, then rename), as the camera software swaps whole
// frames. A frame larger than the capacity is cut to the capacity and its full
// size is returned, so the caller can tell. Only regular files are frames:
// anything else named like one (a FIFO, a device, a directory, a symbolic
// link) is skipped without being opened, so no call ever waits on it.
//
// The control calls below script faults for in-process tests; they take
// effect on the next library calls of any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zq_camera_service {
namespace platform {
namespace share_buf_stand_in {

constexpr const char* kDirectoryVariable = "ZQ_SHAREBUF_DIR";

std::string FaceListPath(const std::string& directory, uint64_t seq);
std::string FaceImagePath(const std::string& directory, uint64_t timestamp, int datatype, int objectID);
// A frame file of buffer 34 or 35.
std::string FramePath(const std::string& directory, int buf_id, uint64_t seq);

// One scripted outcome of a read call: `bytes` are written into the caller's
// buffer (cut to its capacity), then `result` is returned.
struct ScriptedRead {
  int result = 0;
  std::string bytes;
};

struct Lookup {
  uint64_t timestamp = 0;
  int datatype = 0;
  int objectID = 0;
};

// Lookups recorded one by one; a process that runs for long (the demo) keeps
// only this many, while lookup_count goes on counting.
constexpr size_t kMaxRecordedLookups = 1024;

struct Counters {
  int inits = 0;       // successful opens
  int uninits = 0;     // successful closes
  int open_handles = 0;
  int list_reads = 0;  // face-list reads on a valid handle
  uint64_t lookup_count = 0;  // face-image lookups on a valid handle
  // The first kMaxRecordedLookups of them since the last Reset, in call order.
  std::vector<Lookup> lookups;
  int picture_reads = 0;  // buffer 34 reads on a valid handle
  int stream_reads = 0;   // buffer 35 reads on a valid handle
};

// Handles opened from now on read this directory instead of $ZQ_SHAREBUF_DIR;
// "" goes back to the environment.
void SetDirectory(const std::string& directory);
// The next `count` opens fail (result 0).
void FailInits(int count);
// The next face-list reads (one entry each) return these instead of reading files.
void ScriptListReads(std::vector<ScriptedRead> reads);
// The next face-image lookups (one entry each) return these instead of reading files.
void ScriptImageReads(std::vector<ScriptedRead> reads);
Counters GetCounters();
// Clears scripts, counters and the directory override; open handles stay open.
void Reset();

}  // namespace share_buf_stand_in
}  // namespace platform
}  // namespace zq_camera_service
