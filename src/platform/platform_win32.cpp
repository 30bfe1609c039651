// Win32 backend of the platform layer: the KERNEL32 calls the program was
// written for, and _getch from the runtime.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <conio.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace platform {

const char kPathSeparator = '\\';
const bool kSingleSlashIsAbsolute = false;
// INVALID_HANDLE_VALUE as an integer, written as a constant so that other files'
// static initializers may use it.
const FileHandle kInvalidHandle = -1;

namespace {

// GetLastError for a call that failed; never 0, which callers read as success.
uint32_t LastErrorOfFailure() {
  DWORD error = GetLastError();
  return error != 0 ? static_cast<uint32_t>(error) : kErrorGenFailure;
}

HANDLE ToHandle(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

// Windows codes come from GetLastError; errno is never mapped here.
uint32_t Win32ErrorFromErrno(int, ErrnoContext, const char*) { return kErrorGenFailure; }

bool RawCommandLine(const char** line) {
  *line = GetCommandLineA();
  return true;
}

bool CurrentDirectory(char* buf, size_t size) {
  if (buf == nullptr || size < 2 || size > MAXDWORD) return false;
  DWORD len = GetCurrentDirectoryA(static_cast<DWORD>(size), buf);
  // 0 is a failure; size or more is the length the buffer would have needed.
  return len >= 1 && len < size;
}

bool GetPathAttributes(const char* path, PathAttributes* out) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
  out->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out->size = out->isDirectory
                  ? 0
                  : (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

uint32_t CreateExclusiveFile(const char* path, FileHandle* handle) {
  HANDLE created = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (created == INVALID_HANDLE_VALUE) {
    *handle = kInvalidHandle;
    return LastErrorOfFailure();
  }
  *handle = reinterpret_cast<FileHandle>(created);
  return 0;
}

uint32_t WriteHandle(FileHandle handle, const void* data, size_t len) {
  const char* bytes = static_cast<const char*>(data);
  while (len > 0) {
    DWORD chunk = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
    DWORD written = 0;
    if (!WriteFile(ToHandle(handle), bytes, chunk, &written, nullptr)) return LastErrorOfFailure();
    // A write that accepts nothing makes no progress: the volume is full.
    if (written == 0) return kErrorDiskFull;
    bytes += written;
    len -= written;
  }
  return 0;
}

bool CloseFileHandle(FileHandle handle) { return CloseHandle(ToHandle(handle)) != 0; }

bool RemoveFile(const char* path) { return DeleteFileA(path) != 0; }

bool FlushToDisk(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool flushed = FlushFileBuffers(file) != 0;
  bool closed = CloseHandle(file) != 0;
  return flushed && closed;
}

bool FlushDirectoryToDisk(const char*) { return true; }

void StartWriteback(FILE*) {}

bool ReplaceFileDurably(const char* from, const char* to, uint32_t* error) {
  // The replaced file's access rules come with the directory; nothing to copy.
  bool moved = MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  uint32_t code = moved ? 0 : LastErrorOfFailure();
  if (error != nullptr) *error = code;
  return moved;
}

uint32_t MakeDirectory(const char* path) {
  return CreateDirectoryA(path, nullptr) ? 0 : LastErrorOfFailure();
}

bool MakeFileOwnerOnly(const char*) { return true; }

bool FreeBytesAvailable(const char* path, uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(path, &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

// ---- Directory search -------------------------------------------------------

namespace {

void FillEntry(const WIN32_FIND_DATAA& data, DirectoryEntry* entry) {
  CopyBounded(entry->name, sizeof entry->name, data.cFileName);
  entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool FindFirstEntry(const char* patternPath, DirectorySearch* search, DirectoryEntry* entry) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(patternPath, &data);
  search->failed = false;
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // No match and no such directory list nothing; anything else fails.
    search->failed = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
                     error != ERROR_NO_MORE_FILES;
    search->state = nullptr;
    return false;
  }
  search->state = find;
  FillEntry(data, entry);
  return true;
}

bool FindNextEntry(DirectorySearch* search, DirectoryEntry* entry) {
  if (search->state == nullptr) return false;
  WIN32_FIND_DATAA data;
  if (!FindNextFileA(static_cast<HANDLE>(search->state), &data)) {
    search->failed = GetLastError() != ERROR_NO_MORE_FILES;
    return false;
  }
  FillEntry(data, entry);
  return true;
}

void EndSearch(DirectorySearch* search) {
  if (search->state == nullptr) return;
  FindClose(static_cast<HANDLE>(search->state));
  search->state = nullptr;
}

// ---- Interrupt clean-up -----------------------------------------------------

namespace {

std::atomic<void (*)()> g_interruptCleanup{nullptr};
std::atomic<bool> g_handlerRegistered{false};

// Runs on a thread the system starts for the event; FALSE passes the event on
// to the next handler, by default the system's, which ends the process.
BOOL WINAPI InterruptHandler(DWORD) {
  void (*cleanup)() = g_interruptCleanup.load();
  if (cleanup != nullptr) cleanup();
  return FALSE;
}

}  // namespace

bool InstallInterruptCleanup(void (*cleanup)()) {
  g_interruptCleanup.store(cleanup);
  // Registered once: a second registration would run the clean-up twice.
  if (g_handlerRegistered.load()) return true;
  if (!SetConsoleCtrlHandler(InterruptHandler, TRUE)) return false;
  g_handlerRegistered.store(true);
  return true;
}

// ---- Console ------------------------------------------------------------------

bool StdoutIsConsole() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  DWORD mode;
  return GetConsoleMode(out, &mode) != 0;
}

int ReadKeyNoEcho() { return _getch(); }

}  // namespace platform

// The program allocates only with new (std::nothrow) and never uses exceptions.
// The static runtime's nothrow forms call the throwing ones inside a try block,
// which links the whole exception machinery into the EXE; these replacements
// answer null from malloc directly. The runtime's delete frees with free.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return malloc(size != 0 ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return malloc(size != 0 ? size : 1);
}
