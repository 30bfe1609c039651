// File identity by size and FNV-1a 64-bit hash, and the shared file routines.
#include "safety/file_snapshot.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/output.h"
#include "platform/platform.h"

uint64_t Fnv1a64Update(uint64_t hash, const unsigned char* data, size_t len) {
  uint64_t h = hash;
  for (size_t i = 0; i < len; ++i) {
    h ^= data[i];
    h *= kFnvPrime;
  }
  return h;
}

bool HashFileFnv1a64(const char* path, uint64_t* size, uint64_t* hash) {
  FILE* stream = fopen(path, "rb");
  if (stream == nullptr) return false;

  // One fixed buffer: files of any size hash in constant memory.
  unsigned char buffer[kCopyBufferSize];
  uint64_t running = kFnvOffsetBasis;
  uint64_t count = 0;
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, stream)) != 0) {
    running = Fnv1a64Update(running, buffer, got);
    count += got;
  }
  const bool readError = ferror(stream) != 0;
  fclose(stream);
  if (readError) return false;

  *size = count;
  *hash = running;
  return true;
}

bool TakeSnapshot(const char* path, FileSnapshot* snapshot) {
  *snapshot = {};
  platform::CopyBounded(snapshot->path.text, sizeof snapshot->path.text, path);
  // A path cut to fit would name another file: such a snapshot stays unusable.
  if (strlen(path) >= sizeof snapshot->path.text) return false;
  snapshot->ok = HashFileFnv1a64(path, &snapshot->size, &snapshot->hash);
  return snapshot->ok;
}

bool FileMatchesSnapshot(const char* path, const FileSnapshot* snapshot) {
  uint64_t size = 0;
  uint64_t hash = 0;
  return snapshot->ok && HashFileFnv1a64(path, &size, &hash) && size == snapshot->size &&
         hash == snapshot->hash;
}

bool SnapshotMatches(const FileSnapshot* snapshot) {
  return FileMatchesSnapshot(snapshot->path.text, snapshot);
}

bool CheckSnapshot(const FileSnapshot* snapshot, const char* name, const char* format,
                   RunCounters* counters) {
  return SnapshotMatches(snapshot) || ReportError(counters, format, name);
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

void RemoveIfRegularFile(const char* path) {
  if (IsRegularFile(path)) platform::RemoveFile(path);
}

bool FlushFileToDisk(const char* path) {
  return platform::FlushToDisk(path);
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

// Copies every byte of source to destination; false on a read error or short write.
static bool CopyStream(FILE* source, FILE* destination, unsigned char* buffer) {
  size_t got;
  WritebackPacer pacer{};
  while ((got = fread(buffer, 1, kCopyBufferSize, source)) != 0) {
    if (fwrite(buffer, 1, got, destination) != got) return false;
    PaceWriteback(destination, &pacer, got);
  }
  return ferror(source) == 0;
}

bool CopyFileVerified(const char* source, const char* destination, const FileSnapshot* expected) {
  FILE* in = fopen(source, "rb");
  if (in == nullptr) return false;
  FILE* out = fopen(destination, "wb");
  if (out == nullptr) {
    fclose(in);
    return false;
  }
  // Every copy (backup, staged audit log, restore) holds private data and is
  // its owner's alone until a replace gives it the live file's access; best effort.
  platform::MakeFileOwnerOnly(destination);
  // Both buffers outlive the streams, which are closed before the function returns.
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kCopyBufferSize]);
  std::unique_ptr<char[]> streamBuffer(new (std::nothrow) char[kCopyStreamBufferSize]);
  if (!buffer) {
    fclose(in);
    fclose(out);
    RemoveIfRegularFile(destination);
    return false;
  }
  // A refused (or unavailable) buffer only costs speed: the stream keeps its own.
  if (streamBuffer) setvbuf(out, streamBuffer.get(), _IOFBF, kCopyStreamBufferSize);

  bool written = CopyStream(in, out, buffer.get());
  if (fflush(out) != 0) written = false;
  if (fclose(in) != 0) written = false;
  if (fclose(out) != 0) written = false;
  if (!written || !FlushFileToDisk(destination)) {
    RemoveIfRegularFile(destination);
    return false;
  }
  // A copy that differs stays in place for the operator to inspect.
  return FileMatchesSnapshot(destination, expected);
}
