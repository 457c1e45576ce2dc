// The camera library's share-buffer calls, as this service uses them. The
// device links the camera's own libinf_comm.so; host builds link the stand-in
// in platform/inf_comm_stand_in/, which serves frames from a directory.
//
// Handles, capacities and results are signed 32-bit integers. A handle of 0
// means "not open". The read calls write at most `capacity` bytes into
// `buffer`; a result above 0 is the frame's byte count (which the caller must
// compare with the capacity it gave), 0 means "nothing there", below 0 an error.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Opens share buffer `buf_id` (40 faces, 34 camera picture, 35 H.264 stream);
// the handle, or 0 on failure.
int Inf_ShareBufInit(int buf_id, int flag);
// Closes a handle opened by Inf_ShareBufInit.
int Inf_ShareBufUnInit(int handle);

// Face list of buffer 40: the newest list not yet read on this handle.
int Inf_ShareBufGetOneFrame_mode2(int handle, int capacity, char* buffer, int mode);
// Face image of buffer 40 located by the list's query (timestamp, datatype, objectID).
int Inf_ShareBufFindOneFrame(int handle, int capacity, char* buffer, uint64_t timestamp, int datatype,
                             int objectID);

// Frame header of the current frame of buffer 34 (camera picture).
int Inf_ShareBufGetCurFrame(int handle, int capacity, char* buffer);
// Frame header of the next frame of buffer 35 (H.264 stream).
int Inf_ShareBufGetOneFrame(int handle, int capacity, char* buffer);

#ifdef __cplusplus
}
#endif
