// Stream routines shared by the staging steps.
#include "staging/staging_streams.h"

#include <cerrno>

#include "platform/platform.h"

FILE* OpenStagingStream(const char* path, const char* mode, int* firstError) {
  errno = 0;
  FILE* stream = fopen(path, mode);
  if (stream == nullptr && *firstError == 0) *firstError = errno != 0 ? errno : EIO;
  return stream;
}

FILE* CreateReplacementStream(const char* path, int* firstError) {
  FILE* stream = OpenStagingStream(path, "wb", firstError);
  // The user files hold private data: the copy must not be readable by others
  // while the run stages it (or after a crash). Best effort: a refused change
  // leaves the default mode, and the commit gives the file the live file's mode.
  if (stream != nullptr) platform::MakeFileOwnerOnly(path);
  return stream;
}

void UseStagingBuffer(FILE* stream, char* buffer) {
  // A refused buffer only costs speed: the stream then keeps its default one.
  setvbuf(stream, buffer, _IOFBF, kStagingStreamBufferSize);
}

void CloseIfOpen(FILE** stream) {
  if (*stream == nullptr) return;
  fclose(*stream);
  *stream = nullptr;
}

bool CloseStream(FILE** stream) {
  const bool closed = fclose(*stream) == 0;
  *stream = nullptr;
  return closed;
}

bool ReadExactly(FILE* stream, void* data, size_t len) {
  return fread(data, 1, len, stream) == len;
}

bool WriteExactly(FILE* stream, const void* data, size_t len) {
  return fwrite(data, 1, len, stream) == len;
}
