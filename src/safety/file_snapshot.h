// File identity by size and FNV-1a 64-bit hash, and the small file routines that
// every writing phase shares.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/paths.h"
#include "base/run_counters.h"
#include "platform/platform.h"

constexpr uint64_t kFnvOffsetBasis = 0xCBF29CE484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001B3ULL;
constexpr size_t kCopyBufferSize = 32768;

// A file's stamp as the run read it: taken through the reading handle just
// before the reading. Settled when a later write must move it: its change time
// older than the clock's last tick before it was taken, or its modification
// time older than its change time (a write in the change's tick moves that).
struct ReadStamp {
  platform::FileStamp stamp;
  bool taken;
  bool settled;
};

struct FileSnapshot {
  PathBuffer path;
  uint64_t size;  // bytes read while hashing
  uint64_t hash;  // FNV-1a 64 of the whole content
  bool ok;        // opened and read to the end without error
  // For a file the run wrote: which file it created, so that a rename moves
  // that file and nothing put in its place.
  platform::FileIdentity identity;
  // Why a copy (CopyFileVerified) failed: the Windows code of the failed call, 0
  // when none failed (the copy differs from the file) or none is known.
  uint32_t error;
  // While the file keeps this stamp (settled) it holds what was read.
  ReadStamp read;
};

// The pre-pack snapshots of the three live WORK files.
struct LiveSnapshots {
  FileSnapshot whosOn;
  FileSnapshot usersDat;
  FileSnapshot usersPtr;
};

// Continues an FNV-1a 64 hash over len bytes.
uint64_t Fnv1a64Update(uint64_t hash, const unsigned char* data, size_t len);

// Size and hash of the whole file; false on failure (size and hash then untouched).
bool HashFileFnv1a64(const char* path, uint64_t* size, uint64_t* hash);

// Size and hash of the whole file open at handle, read from its start through
// the handle (not by name), also copied into copyTo when it is not null; false
// on a read or write failure.
bool ReadHeldFile(platform::FileHandle handle, uint64_t* size, uint64_t* hash, FILE* copyTo);

// Clears *snapshot, records path and hashes the file; returns snapshot->ok. A
// path over 1023 characters is recorded cut short and not hashed (ok false).
bool TakeSnapshot(const char* path, FileSnapshot* snapshot);

// True when the file at path has exactly the snapshot's size and hash (the
// snapshot's own path is not used: it may name a staged file moved away).
bool FileMatchesSnapshot(const char* path, const FileSnapshot* snapshot);

// The same, stamping the file through the handle that reads it (before the
// reading) into *seen when it matches; *seen is left as it was when it does not.
bool FileMatchesSnapshotStamping(const char* path, const FileSnapshot* snapshot, ReadStamp* seen);

// Stamps what handle has open, judging whether the stamp is settled.
bool TakeReadStamp(platform::FileHandle handle, ReadStamp* read);

// A change time whose fractions of a second are kept is set from a clock that
// ticks at least every 16 ms; one kept to the second (or two) may lag 2 s.
int64_t ChangeTimeMarginNs(int64_t changedNs);

// True when the file at path still has the settled stamp the run took when it
// last read it (identity, size, modification and change time): nothing can
// have written to it since, so its content is what was read then. Nothing is read.
bool StampStillSettled(const char* path, const ReadStamp& lastRead);

// The fresh look a state line is checked with: Same when the file at path still
// has the stamp the run took when it last read it (identity, size, modification
// and change time; nothing is read), or, when the stamp moved or none was
// taken, still has the content the snapshot records (read again).
enum class FreshLook { Same, Changed, Unreadable };
FreshLook FileStillAsRead(const char* path, const FileSnapshot* snapshot,
                          const ReadStamp& lastRead);

// Starts the disk writing of a file being written once per mebibyte, so that
// its flush to disk, which must follow, finds most of the data already written.
struct WritebackPacer {
  uint64_t unhinted;  // bytes written since the last hint
};
void PaceWriteback(FILE* stream, WritebackPacer* pacer, size_t written);

// Exists and is not a directory.
bool IsRegularFile(const char* path);

// The name itself is a symbolic link (whatever it leads to).
bool IsSymbolicLink(const char* path);

// Same test; fills *size when true.
bool GetRegularFileSize(const char* path, uint64_t* size);

// Deletes the file or link (the link itself, never its target) at path; any
// other entry (a directory, a FIFO) is left alone. Only names the run made, or
// must make afresh, are given here. The result of the delete is ignored.
void RemoveFileOrLink(const char* path);

// Creates a new file the run writes, never through a link (see
// platform::CreateFreshStream); null on failure, with errno telling why.
FILE* CreateFreshFile(const platform::NewEntry& entry, platform::FileIdentity* identity);

// Hashes what stream holds from its start (a stream open for reading and
// writing); fills size, hash and ok, leaving the stream at its end.
bool HashStream(FILE* stream, FileSnapshot* snapshot);

// Finishes a written stream (open for reading and writing): its data handed to
// the system and its writing to disk started, then hashed back through the
// stream into *snapshot (ok says whether that worked) while the disk works,
// then flushed to disk through its own descriptor. True when the data is on disk.
bool FlushToDiskHashing(FILE* stream, FileSnapshot* snapshot);

// A written file finished: flushed to disk through its own descriptor, hashed
// through it (FlushToDiskHashing), closed. Fills *snapshot (path, identity, size, hash); false when any
// step failed. The stream is closed either way.
bool SealWrittenFile(FILE* stream, const char* path, const platform::FileIdentity& identity,
                     FileSnapshot* snapshot);

// Writes the whole NUL-terminated text with one fwrite.
bool WriteString(FILE* stream, const char* text);

// Copies every byte of source to destination, pacing its writeback; false on a
// read error or a short write.
bool CopyStream(FILE* source, FILE* destination);

// Copies source into a new file at destination, flushes it to disk and proves it
// equal to expected by size and hash; *copy describes the new file. I/O failures
// remove the destination; a mismatch leaves it in place. Prints nothing.
bool CopyFileVerified(const char* source, const platform::NewEntry& destination,
                      const FileSnapshot* expected, FileSnapshot* copy);
