// The operating-system operations QVCULLDB32 needs, in the program's own terms.
// platform_win32.cpp implements them with Win32 calls, platform_posix.cpp with
// POSIX calls; CMake picks one. Nothing outside src/platform/ includes an OS header.
//
// Operations that can fail report a Windows error code (ERROR_*) so that messages
// such as "CreateFile failed with Windows error %lu." read the same on both
// platforms; the POSIX backend maps errno to the code Windows gives for the same
// condition (Win32ErrorFromErrno).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

// Windows error codes the program reports or tests for.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorWriteProtect = 19;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorFilenameTooLong = 206;

// The separator the program inserts when it joins a directory and a name.
extern const char kPathSeparator;
// True for '\\' and '/', which both count as separators on every platform.
bool IsSeparator(char c);
// Copies source into dest (size bytes), cut to fit; always NUL-terminated.
void CopyBounded(char* dest, size_t size, const char* source);
// True where a path starting with a single '/' is absolute (POSIX).
extern const bool kSingleSlashIsAbsolute;

// An open OS file handle (a HANDLE on Windows, a descriptor on POSIX).
using FileHandle = intptr_t;
extern const FileHandle kInvalidHandle;

// What the caller of an errno mapping was doing: the same errno means different
// Windows codes for an exclusive file create and for a directory create.
enum class ErrnoContext { FileCreate, DirectoryCreate, Other };

// Windows code for errno `err` met while working on `path` (POSIX backend only;
// the Windows backend returns GetLastError and never calls this).
uint32_t Win32ErrorFromErrno(int err, ErrnoContext context, const char* path);

// Windows: sets *line to GetCommandLineA (may be null) and returns true.
// POSIX: no raw command line exists; returns false and the caller copies argv.
bool RawCommandLine(const char** line);

// Current directory into buf (size bytes); true only for 1 to size-1 characters.
bool CurrentDirectory(char* buf, size_t size);

struct PathAttributes {
  bool isDirectory;  // also set for anything that is not a regular file (FIFO, device, ...)
  uint64_t size;     // size of a regular file; 0 otherwise
};
// True when the path exists (following links); fills *out.
bool GetPathAttributes(const char* path, PathAttributes* out);

// Creates path exclusively (fails with kErrorFileExists when it exists) and
// keeps it open, unshared; returns 0 and the handle, or the Windows error code.
uint32_t CreateExclusiveFile(const char* path, FileHandle* handle);
// Writes all len bytes to handle; returns 0 or the Windows error code.
uint32_t WriteHandle(FileHandle handle, const void* data, size_t len);
// Closes handle; true on success. Async-signal-safe.
bool CloseFileHandle(FileHandle handle);
// Deletes the file at path; true on success. Async-signal-safe.
bool RemoveFile(const char* path);

// Reopens an already closed file for writing and forces its data to disk.
bool FlushToDisk(const char* path);

// Forces a directory's entries to disk (POSIX fsync of the directory; Windows
// needs nothing: its file-system metadata is journaled and the commit writes through).
bool FlushDirectoryToDisk(const char* path);

// Asks the system to start writing to disk what stream has handed it so far, so
// that the flush to disk that follows waits less. A hint only: nothing is
// reported, and Windows needs nothing.
void StartWriteback(FILE* stream);

// Replaces `to` by `from` (same directory) durably: the rename has reached the
// disk when this returns true. On POSIX `from` first takes over the permission
// bits (and, where allowed, owner and group) of an existing `to`, and the
// containing directory is synced; a failing directory sync fails the replace.
bool ReplaceFileDurably(const char* from, const char* to, uint32_t* error);

// Creates one directory (POSIX mode 0700: a backup tree is for the operator
// alone). Returns 0, or the Windows error code (kErrorAlreadyExists when the
// name exists already).
uint32_t MakeDirectory(const char* path);

// Restricts a file the program created to its owner (POSIX mode 0600; nothing on
// Windows, where the file inherits the directory's access rules). True on success.
bool MakeFileOwnerOnly(const char* path);

// Free bytes available to the caller on the volume holding path.
bool FreeBytesAvailable(const char* path, uint64_t* bytes);

// Directory search against a pattern path "DIR<sep>QVMSG*.LMR". POSIX lists DIR
// and keeps names that match the pattern case-insensitively; the program applies
// its own name check to every entry on both platforms.
struct DirectoryEntry {
  char name[260];
  bool isDirectory;  // also set for anything that is not a regular file
};
struct DirectorySearch {
  void* state;
  // Set when a search call returned false because listing failed, rather than
  // because nothing (more) matched: a partial listing must never pass for a whole one.
  bool failed;
};
// Starts the search; false when nothing matches, the directory does not exist, or
// (with failed set) the directory cannot be listed.
bool FindFirstEntry(const char* patternPath, DirectorySearch* search, DirectoryEntry* entry);
// Next matching entry; false at the end, or (with failed set) on a failure.
bool FindNextEntry(DirectorySearch* search, DirectoryEntry* entry);
// Ends the search and frees what it held.
void EndSearch(DirectorySearch* search);

// Registers cleanup to run on Ctrl+C, Ctrl+Break, console close, logoff and
// shutdown (POSIX: SIGINT, SIGTERM, SIGHUP, SIGQUIT). cleanup must only call
// CloseFileHandle, RemoveFile and make plain stores; afterwards the process
// ends as it would have without the handler (on POSIX by the same signal; a
// signal the process was started to ignore, as under nohup, stays ignored).
// Registering twice is harmless.
bool InstallInterruptCleanup(void (*cleanup)());

// True when standard output is a console (not redirected to a file or pipe).
bool StdoutIsConsole();

// Waits for one key press without echo and returns it; EOF (-1) when there is
// no terminal to read from (POSIX).
int ReadKeyNoEcho();

}  // namespace platform
