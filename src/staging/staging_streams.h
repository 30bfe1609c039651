// Stream routines shared by the staging steps: every staged file is built
// through stdio streams opened side by side with the live files they replace.
#pragma once

#include <cstddef>
#include <cstdio>

// stdio buffer given to the streams of a rebuild: fewer, larger system calls
// when user and LMR files are large.
constexpr size_t kStagingStreamBufferSize = 65536;

// Opens path in mode. A failure keeps its errno in *firstError unless an earlier
// open of the same step already failed, so that the message names the first
// reason even when a later open succeeds and changes errno.
FILE* OpenStagingStream(const char* path, const char* mode, int* firstError);

// Creates (or truncates) the staged file that will replace an existing live
// file, private to its owner until the commit gives it the live file's access.
FILE* CreateReplacementStream(const char* path, int* firstError);

// Gives a freshly opened stream the buffer (kStagingStreamBufferSize bytes),
// which must outlive the stream. Without it the stream keeps its own buffer.
void UseStagingBuffer(FILE* stream, char* buffer);

// Failure paths: closes *stream when it is open, ignoring the result.
void CloseIfOpen(FILE** stream);

// Closes *stream (which must be open) and clears it; false when fclose failed.
bool CloseStream(FILE** stream);

// Exactly len bytes, or false.
bool ReadExactly(FILE* stream, void* data, size_t len);
bool WriteExactly(FILE* stream, const void* data, size_t len);
