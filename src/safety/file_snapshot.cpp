// File identity by size and FNV-1a 64-bit hash, and the shared file routines.
#include "safety/file_snapshot.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/output.h"
#include "base/parallel_jobs.h"
#include "base/progress.h"
#include "platform/platform.h"

uint64_t Fnv1a64Update(uint64_t hash, const unsigned char* data, size_t len) {
  uint64_t h = hash;
  for (size_t i = 0; i < len; ++i) {
    h ^= data[i];
    h *= kFnvPrime;
  }
  return h;
}

namespace {

// Hashes the rest of stream in one fixed buffer, so files of any size hash in
// constant memory; false on a read error.
bool HashRest(FILE* stream, uint64_t* size, uint64_t* hash) {
  unsigned char buffer[kCopyBufferSize];
  uint64_t running = kFnvOffsetBasis;
  uint64_t count = 0;
  size_t got;
  while (!StepsShouldStop() && (got = fread(buffer, 1, sizeof buffer, stream)) != 0) {
    running = Fnv1a64Update(running, buffer, got);
    count += got;
    AdvanceProgress(got);
  }
  if (ferror(stream) != 0 || StepsShouldStop()) return false;
  *size = count;
  *hash = running;
  return true;
}

}  // namespace

namespace {

// Hashes the file, stamping it first through the stream's handle when stamp is not null.
bool HashFileStamping(const char* path, uint64_t* size, uint64_t* hash, ReadStamp* stamp) {
  FILE* stream = nullptr;
  if (platform::OpenRegularForReading(path, &stream) != 0) return false;
  if (stamp != nullptr && !TakeReadStamp(platform::HandleOfStream(stream), stamp)) {
    fclose(stream);
    return false;
  }
  uint64_t count = 0;
  uint64_t running = 0;
  const bool read = HashRest(stream, &count, &running);
  fclose(stream);
  if (!read) return false;
  *size = count;
  *hash = running;
  return true;
}

}  // namespace

bool HashFileFnv1a64(const char* path, uint64_t* size, uint64_t* hash) {
  return HashFileStamping(path, size, hash, nullptr);
}

bool ReadHeldFile(platform::FileHandle handle, uint64_t* size, uint64_t* hash, FILE* copyTo) {
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kCopyBufferSize]);
  if (!buffer) return false;
  uint64_t count = 0;
  uint64_t running = kFnvOffsetBasis;
  for (;;) {
    size_t got = 0;
    if (StepsShouldStop() ||
        platform::ReadHandleAt(handle, count, buffer.get(), kCopyBufferSize, &got) != 0) {
      return false;
    }
    if (got == 0) break;
    if (copyTo != nullptr && fwrite(buffer.get(), 1, got, copyTo) != got) return false;
    running = Fnv1a64Update(running, buffer.get(), got);
    count += got;
  }
  *size = count;
  *hash = running;
  return true;
}

bool HashStream(FILE* stream, FileSnapshot* snapshot) {
  snapshot->ok = fseek(stream, 0, SEEK_SET) == 0 &&
                 HashRest(stream, &snapshot->size, &snapshot->hash);
  return snapshot->ok;
}

FILE* CreateFreshFile(const platform::NewEntry& entry, platform::FileIdentity* identity) {
  FILE* stream = nullptr;
  if (platform::CreateFreshStream(entry, &stream, identity) != 0) return nullptr;
  return stream;
}

bool FlushToDiskHashing(FILE* stream, FileSnapshot* snapshot) {
  if (fflush(stream) != 0) return false;
  platform::StartWriteback(stream);
  HashStream(stream, snapshot);
  return platform::FlushStreamToDisk(stream);
}

bool SealWrittenFile(FILE* stream, const char* path, const platform::FileIdentity& identity,
                     FileSnapshot* snapshot) {
  *snapshot = {};
  platform::CopyBounded(snapshot->path.text, sizeof snapshot->path.text, path);
  snapshot->identity = identity;
  const bool flushed = FlushToDiskHashing(stream, snapshot);
  const bool closed = fclose(stream) == 0;
  snapshot->ok = flushed && snapshot->ok && closed && strlen(path) < sizeof snapshot->path.text;
  return snapshot->ok;
}

bool TakeSnapshot(const char* path, FileSnapshot* snapshot) {
  *snapshot = {};
  platform::CopyBounded(snapshot->path.text, sizeof snapshot->path.text, path);
  // A path cut to fit would name another file: such a snapshot stays unusable.
  if (strlen(path) >= sizeof snapshot->path.text) return false;
  snapshot->ok = HashFileStamping(path, &snapshot->size, &snapshot->hash, &snapshot->read);
  return snapshot->ok;
}

bool FileMatchesSnapshot(const char* path, const FileSnapshot* snapshot) {
  uint64_t size = 0;
  uint64_t hash = 0;
  return snapshot->ok && HashFileFnv1a64(path, &size, &hash) && size == snapshot->size &&
         hash == snapshot->hash;
}

bool FileMatchesSnapshotStamping(const char* path, const FileSnapshot* snapshot, ReadStamp* seen) {
  uint64_t size = 0;
  uint64_t hash = 0;
  ReadStamp read{};
  const bool matches = snapshot->ok && HashFileStamping(path, &size, &hash, &read) &&
                       size == snapshot->size && hash == snapshot->hash;
  // Only a reading that found the snapshot's content vouches for the stamp.
  if (matches) *seen = read;
  return matches;
}

int64_t ChangeTimeMarginNs(int64_t changedNs) {
  constexpr int64_t kSecond = 1000000000LL;
  return changedNs % kSecond != 0 ? 50 * 1000000LL : 2 * kSecond + kSecond / 10;
}

bool TakeReadStamp(platform::FileHandle handle, ReadStamp* read) {
  *read = {};
  const int64_t before = platform::WallClockNs();
  if (platform::StampHandle(handle, &read->stamp) != 0) return false;
  const int64_t changed = read->stamp.changedNs;
  read->taken = true;
  // A later write moves the change time once the clock has ticked past it; one
  // in the same tick still moves the modification time when that is older than
  // the change (a file renamed into place after it was written).
  read->settled = changed != 0 && (changed < before - ChangeTimeMarginNs(changed) ||
                                   read->stamp.modifiedNs < changed);
  return true;
}

bool StampStillSettled(const char* path, const ReadStamp& lastRead) {
  platform::FileStamp now{};
  // An unsettled stamp may hide a write in the tick it was taken in.
  return lastRead.taken && lastRead.settled && platform::StampPath(path, &now) == 0 &&
         platform::SameStamp(now, lastRead.stamp);
}

FreshLook FileStillAsRead(const char* path, const FileSnapshot* snapshot,
                          const ReadStamp& lastRead) {
  platform::FileStamp now{};
  if (lastRead.taken && platform::StampPath(path, &now) == 0 &&
      platform::SameStamp(now, lastRead.stamp)) {
    return FreshLook::Same;
  }
  // Moved (a write, a rename, an attribute change) or unknown: only the content tells.
  uint64_t size = 0;
  uint64_t hash = 0;
  if (!snapshot->ok || !HashFileFnv1a64(path, &size, &hash)) return FreshLook::Unreadable;
  return size == snapshot->size && hash == snapshot->hash ? FreshLook::Same : FreshLook::Changed;
}

bool GetRegularFileSize(const char* path, uint64_t* size) {
  platform::PathAttributes attributes;
  if (!platform::GetPathAttributes(path, &attributes) || attributes.isDirectory) return false;
  *size = attributes.size;
  return true;
}

bool IsRegularFile(const char* path) {
  uint64_t size;
  return GetRegularFileSize(path, &size);
}

bool IsSymbolicLink(const char* path) {
  platform::EntryKind kind = platform::EntryKind::Missing;
  return platform::ExamineEntry(path, &kind) == 0 && kind == platform::EntryKind::SymbolicLink;
}

void RemoveFileOrLink(const char* path) {
  platform::EntryKind kind = platform::EntryKind::Missing;
  // A name that cannot be looked at is deleted all the same: a delete removes a
  // link itself, never its target, and refuses a directory.
  const bool examined = platform::ExamineEntry(path, &kind) == 0;
  if (!examined || kind == platform::EntryKind::RegularFile ||
      kind == platform::EntryKind::SymbolicLink) {
    platform::RemoveFile(path);
  }
}

bool WriteString(FILE* stream, const char* text) {
  const size_t length = strlen(text);
  return fwrite(text, 1, length, stream) == length;
}

// The copy's stream hands the system one large write where the copy loop gives it
// many 32768-byte blocks: the same bytes, for less work per byte.
static constexpr size_t kCopyStreamBufferSize = 262144;

void PaceWriteback(FILE* stream, WritebackPacer* pacer, size_t written) {
  constexpr uint64_t kWritebackStep = 1048576;
  pacer->unhinted += written;
  if (pacer->unhinted < kWritebackStep) return;
  pacer->unhinted = 0;
  platform::StartWriteback(stream);
}

bool CopyStream(FILE* source, FILE* destination) {
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kCopyBufferSize]);
  if (!buffer) return false;
  size_t got;
  WritebackPacer pacer{};
  while ((got = fread(buffer.get(), 1, kCopyBufferSize, source)) != 0) {
    AdvanceProgress(got);
    if (StepsShouldStop() || fwrite(buffer.get(), 1, got, destination) != got) return false;
    PaceWriteback(destination, &pacer, got);
  }
  return ferror(source) == 0;
}

bool CopyFileVerified(const char* source, const platform::NewEntry& destination,
                      const FileSnapshot* expected, FileSnapshot* copy) {
  *copy = {};
  FILE* in = nullptr;
  copy->error = platform::OpenRegularForReading(source, &in);
  if (copy->error != 0) return false;
  platform::FileIdentity identity{};
  FILE* out = CreateFreshFile(destination, &identity);
  if (out == nullptr) {
    copy->error = platform::LastStreamError();
    fclose(in);
    return false;
  }
  // The buffer outlives the stream, which is closed before the function returns.
  std::unique_ptr<char[]> streamBuffer(new (std::nothrow) char[kCopyStreamBufferSize]);
  // A refused (or unavailable) buffer only costs speed: the stream keeps its own.
  if (streamBuffer) setvbuf(out, streamBuffer.get(), _IOFBF, kCopyStreamBufferSize);

  bool written = CopyStream(in, out);
  if (fclose(in) != 0) written = false;
  // The cause is taken where the failure is met, before the clean-up's calls.
  if (!written) {
    copy->error = platform::LastStreamError();
    fclose(out);
  }
  if (written && !SealWrittenFile(out, destination.path, identity, copy)) {
    copy->error = platform::LastStreamError();
    written = false;
  }
  if (!written) {
    RemoveFileOrLink(destination.path);
    return false;
  }
  // A copy that differs stays in place for the operator to inspect.
  return copy->size == expected->size && copy->hash == expected->hash && expected->ok;
}
