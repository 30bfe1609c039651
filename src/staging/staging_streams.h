// The streams of a staging step: the live files it reads and the staged files it
// writes beside them, each with its own stdio buffer and writeback pacing.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "base/output.h"
#include "base/paths.h"
#include "safety/file_snapshot.h"

// stdio buffer given to the streams of a rebuild: fewer, larger system calls
// when user and LMR files are large.
constexpr size_t kStagingStreamBufferSize = 65536;
constexpr int kMaxStagingStreams = 4;

struct StagingStream {
  FILE* file = nullptr;
  const char* stagedPath = nullptr;  // an output's staged file; null for an input
  platform::FileIdentity identity = {};  // an output's file, as created
  std::unique_ptr<char[]> buffer;    // released only after the stream is closed
  WritebackPacer pacer = {};
  FileSnapshot written = {};  // an output's size and hash, read back when it was finished
};

// The streams of one step, in the order they were opened, inputs first. A step
// that ends without CloseStagingStreams abandons them: every open stream is
// closed, ignoring the result, and every staged file is removed.
struct StagingStreams {
  StagingStream stream[kMaxStagingStreams];
  int count = 0;
  bool failed = false;  // an open failed
  // Why the first failed, to end its message: ": <path> is not a regular file", or its
  // cause (CauseOf).
  TextBuffer<kPathBufferSize + 256> failure = {};

  StagingStreams() = default;
  StagingStreams(const StagingStreams&) = delete;
  StagingStreams& operator=(const StagingStreams&) = delete;
  ~StagingStreams();
};

// Opens a live file for reading, only a regular file and never waiting on
// anything else; the result's file is null when the open failed.
StagingStream* OpenStagingInput(StagingStreams* streams, const char* path);

// Why the first open of the step failed, for its message.
const char* OpenFailureText(const StagingStreams* streams);

// Creates a staged file afresh, never through a link, with the access of the
// file at accessModel: the live file it is to replace, or the one whose access
// a new file is to share (private to its owner when there is none). The
// result's file is null when the create failed.
StagingStream* OpenStagingOutput(StagingStreams* streams, const char* stagedPath,
                                 const char* accessModel);

// Gives an open stream a kStagingStreamBufferSize buffer; without one (out of
// memory, or refused) the stream keeps its own.
void UseStagingBuffer(StagingStream* stream);

// Exactly len bytes, or false. A write also paces the stream's writeback.
bool ReadExactly(StagingStream* stream, void* data, size_t len);
bool WriteStaged(StagingStream* stream, const void* data, size_t len);

// No input had a read error and every output reached the disk; false otherwise.
// Each output is read back for its hash through its own stream while its data
// is on the way to the disk, before the flush waits for it.
bool FinishStagingStreams(StagingStreams* streams);

// The hash of a finished output into *snapshot (path and identity included);
// false when reading it back failed.
bool SnapshotStagedOutput(StagingStream* stream, FileSnapshot* snapshot);

// Closes every stream, whatever happens to the first ones; when one fails,
// every staged file of the step is removed.
bool CloseStagingStreams(StagingStreams* streams);
