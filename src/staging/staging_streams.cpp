// The streams of a staging step.
#include "staging/staging_streams.h"

#include <cstring>
#include <new>

#include "base/cleanup_registry.h"
#include "base/output.h"
#include "base/parallel_jobs.h"
#include "base/progress.h"
#include "platform/platform.h"
#include "staging/staging.h"

namespace {

// The first failure names the reason, even when a later open fails otherwise; its text
// is made here, on the step's own thread, right after the call that failed with error.
void NoteFailure(StagingStreams* streams, uint32_t error) {
  if (streams->failed) return;
  streams->failed = true;
  platform::CopyBounded(streams->failure.text, sizeof streams->failure.text,
                        CauseOf(error != 0 ? error : platform::kErrorGenFailure).text);
}

StagingStream* NoteOpened(StagingStreams* streams, StagingStream* stream, uint32_t error) {
  if (stream->file == nullptr) NoteFailure(streams, error);
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
  const uint32_t error = platform::OpenRegularForReading(path, &stream->file);
  if (error == platform::kErrorNotRegularFile && !streams->failed) {
    streams->failed = true;
    FormatBounded(streams->failure.text, sizeof streams->failure.text,
                  ": %s is not a regular file", path);
  }
  return NoteOpened(streams, stream, error);
}

const char* OpenFailureText(const StagingStreams* streams) {
  return streams->failure.text;
}

StagingStream* OpenStagingOutput(StagingStreams* streams, const char* stagedPath,
                                 const char* accessModel) {
  StagingStream* stream = &streams->stream[streams->count++];
  stream->stagedPath = stagedPath;
  uint32_t error = platform::CreateFreshStream({stagedPath, platform::kInvalidHandle},
                                               &stream->file, &stream->identity);
  // The model's access, now, so that it is flushed with the data.
  if (error == 0) error = platform::TakeOverAccess(stream->file, accessModel);
  if (error != 0 && stream->file != nullptr) {
    // Named before the clean-up's calls can fail otherwise.
    NoteFailure(streams, error);
    fclose(stream->file);
    stream->file = nullptr;
    DiscardStagedFile(stagedPath);
  }
  return NoteOpened(streams, stream, error);
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
