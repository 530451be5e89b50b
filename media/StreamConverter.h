// The container layer of recordings. The calls keep the recording code's contract: SC_Init
// true when ready, SC_OpenFile 0 on success with the handle stored, SC_InputData 0 on success,
// SC_FinishFile then SC_CloseFile when closing, SC_Uninit after closing or a failed open.
//
// Format 3 is MP4 (Mp4Writer), format 11 our PVF (PvfWriter). SC_OpenFile creates the file at
// once (never over an existing one; a missing folder fails the open); everything after that
// is written by the file's own writer thread (ContainerThread), so SC_InputData never waits on
// the disk and SC_FinishFile / SC_CloseFile return at once while the file is completed in the
// background. SC_WaitFinished waits for those completions (at exit).
//
// Threads: SC_InputData on the capture thread; the other calls on the thread that owns the
// recording. A handle is used by one thread at a time.
#pragma once

#include <cstdint>
#include <deque>

#include "media/EncodedFrameRing.h"

constexpr int kScFormatMp4 = 3;
constexpr int kScFormatPvf = 11;

// SC_InputData's answers besides 0: this or an earlier frame was lost, or the file has
// failed for good (disk full, or writes failing for a second) and the recording should end.
constexpr int kScFrameLost = -1;
constexpr int kScFailed = -2;

bool SC_Init();
int SC_OpenFile(int format, const char* path, int pathLength, void** handle);
// The same, with the recording's start (seconds since 1970, the camera clock) as the file's
// creation time (SC_OpenFile uses the computer's clock) and, when not null, a UTF-8 comment an
// MP4 carries in its metadata (what raised an alarm recording).
int SC_OpenFileAt(int format, const char* path, int pathLength, int64_t creationTime,
                  const char* comment, void** handle);
// Takes the arrival time from the monotonic clock now.
int SC_InputData(void* handle, const unsigned char* data, int length);
// `arrivalUs`: when the frame reached the program (monotonic clock, microseconds); the file's
// timestamps come from it, so playback lasts as long as the recording did.
int SC_InputDataAt(void* handle, const unsigned char* data, int length, int64_t arrivalUs);
// Frames encoded before the recording started (oldest first, the first a key frame), each with
// its own arrival time, go into the file ahead of every frame SC_InputDataAt hands over; the
// first of them is the file's time zero, so its duration grows by them. Moved to the file's
// writer thread, never written here. Before the first SC_InputDataAt only.
void SC_InputHeldFrames(void* handle, std::deque<Media::HeldFrame> frames);
void SC_FinishFile(void* handle);
void SC_CloseFile(void* handle);
void SC_Uninit();
// Waits until every closed file is complete on disk.
void SC_WaitFinished();
// Microseconds of the monotonic clock SC_InputDataAt expects.
int64_t SC_MonotonicUs();
