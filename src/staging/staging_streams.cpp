// Stream routines shared by the staging steps.
#include "staging/staging_streams.h"

#include <cerrno>

FILE* OpenStagingStream(const char* path, const char* mode, int* firstError) {
  errno = 0;
  FILE* stream = fopen(path, mode);
  if (stream == nullptr && *firstError == 0) *firstError = errno != 0 ? errno : EIO;
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
