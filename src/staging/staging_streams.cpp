// The streams of a staging step.
#include "staging/staging_streams.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/parallel_jobs.h"
#include "base/progress.h"
#include "platform/platform.h"
#include "staging/staging.h"

namespace {

// The first failure names the reason, even when a later open succeeds and changes errno;
// its text is made here, on the step's own thread.
StagingStream* NoteOpened(StagingStreams* streams, StagingStream* stream) {
  if (stream->file == nullptr && streams->firstError == 0) {
    streams->firstError = errno != 0 ? errno : EIO;
    platform::CopyBounded(streams->failure.text, sizeof streams->failure.text,
                          platform::DescribeErrno(streams->firstError).text);
  }
  return stream;
}

void DiscardStagedFiles(const StagingStreams* streams) {
  for (int i = 0; i < streams->count; ++i) {
    if (streams->stream[i].stagedPath != nullptr) DiscardStagedFile(streams->stream[i].stagedPath);
  }
}

}  // namespace

StagingStreams::~StagingStreams() {
  for (int i = 0; i < count; ++i) {
    if (stream[i].file != nullptr) fclose(stream[i].file);
  }
  DiscardStagedFiles(this);
}

StagingStream* OpenStagingInput(StagingStreams* streams, const char* path) {
  StagingStream* stream = &streams->stream[streams->count++];
  errno = 0;
  if (platform::OpenRegularForReading(path, &stream->file) == platform::kErrorNotRegularFile &&
      streams->firstError == 0) {
    streams->firstError = kNotRegularFile;
    FormatBounded(streams->failure.text, sizeof streams->failure.text, "%s is not a regular file",
                  path);
  }
  return NoteOpened(streams, stream);
}

const char* OpenFailureText(const StagingStreams* streams) {
  return streams->failure.text;
}

StagingStream* OpenStagingOutput(StagingStreams* streams, const char* stagedPath,
                                 const char* accessModel) {
  StagingStream* stream = &streams->stream[streams->count++];
  stream->stagedPath = stagedPath;
  errno = 0;
  stream->file = CreateFreshFile({stagedPath, platform::kInvalidHandle}, &stream->identity);
  // The model's access, now, so that it is flushed with the data.
  if (stream->file != nullptr && platform::TakeOverAccess(stream->file, accessModel) != 0) {
    const int err = errno;
    fclose(stream->file);
    stream->file = nullptr;
    DiscardStagedFile(stagedPath);
    errno = err;
  }
  return NoteOpened(streams, stream);
}

void UseStagingBuffer(StagingStream* stream) {
  if (stream->file == nullptr) return;
  stream->buffer.reset(new (std::nothrow) char[kStagingStreamBufferSize]);
  if (stream->buffer) setvbuf(stream->file, stream->buffer.get(), _IOFBF, kStagingStreamBufferSize);
}

bool ReadExactly(StagingStream* stream, void* data, size_t len) {
  if (StepsShouldStop()) return false;
  const size_t got = fread(data, 1, len, stream->file);
  AdvanceProgress(got);
  return got == len;
}

bool WriteStaged(StagingStream* stream, const void* data, size_t len) {
  if (StepsShouldStop() || fwrite(data, 1, len, stream->file) != len) return false;
  PaceWriteback(stream->file, &stream->pacer, len);
  return true;
}

bool FinishStagingStreams(StagingStreams* streams) {
  for (int i = 0; i < streams->count; ++i) {
    StagingStream& stream = streams->stream[i];
    // A failed read-back is kept for SnapshotStagedOutput to report.
    if (stream.stagedPath == nullptr ? ferror(stream.file) != 0
                                     : !FlushToDiskHashing(stream.file, &stream.written)) {
      return false;
    }
  }
  return true;
}

bool SnapshotStagedOutput(StagingStream* stream, FileSnapshot* snapshot) {
  *snapshot = stream->written;
  platform::CopyBounded(snapshot->path.text, sizeof snapshot->path.text, stream->stagedPath);
  snapshot->identity = stream->identity;
  return snapshot->ok;
}

bool CloseStagingStreams(StagingStreams* streams) {
  bool closed = true;
  for (int i = 0; i < streams->count; ++i) {
    closed = fclose(streams->stream[i].file) == 0 && closed;
    streams->stream[i].file = nullptr;
  }
  if (!closed) DiscardStagedFiles(streams);
  streams->count = 0;
  return closed;
}

void DiscardStagedFile(const char* path) {
  RemoveFileOrLink(path);
  UnregisterCleanup(path);
}
