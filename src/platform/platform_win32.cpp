// Win32 backend of the platform layer: the KERNEL32 calls the program was
// written for, and _getch from the runtime.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
// rand_s, the runtime's call into the system's random source.
#define _CRT_RAND_S
#include <conio.h>
#include <process.h>
#include <windows.h>

#include <sddl.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/interrupt_state.h"
#include "platform/platform.h"
#include "platform/win32_fault_injection.h"

namespace platform {

const char kPathSeparator = '\\';
const bool kSingleSlashIsAbsolute = false;
const bool kDriveLetterPaths = true;
// INVALID_HANDLE_VALUE as an integer, written as a constant so that other files'
// static initializers may use it.
const FileHandle kInvalidHandle = -1;
const bool kNamesIgnoreCase = true;
const char* const kRestoreProgramName = "QVRESTORE.EXE";

namespace {

// GetLastError for a call that failed; never 0, which callers read as success.
uint32_t LastErrorOfFailure() {
  DWORD error = GetLastError();
  return error != 0 ? static_cast<uint32_t>(error) : kErrorGenFailure;
}

HANDLE ToHandle(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// A scanner, an indexer or a backup agent opens a file for a moment; meanwhile
// an open for writing, a rename or a delete fails with a sharing violation or
// access denied. Such a call is tried again for about two seconds, the waits
// growing, before its failure stands.
constexpr DWORD kBriefHoldWaitsMs[] = {20, 40, 80, 160, 320, 500, 700};

bool IsBriefHoldError(uint32_t error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

// call returns 0 or a Windows error code.
template <typename Call>
uint32_t RetryBriefHolds(Call call) {
  uint32_t error = call();
  for (DWORD wait : kBriefHoldWaitsMs) {
    if (!IsBriefHoldError(error)) break;
    Sleep(wait);
    error = call();
  }
  return error;
}

}  // namespace

// Windows codes come from GetLastError; errno is never mapped here.
uint32_t Win32ErrorFromErrno(int, ErrnoContext, const char*) { return kErrorGenFailure; }

int FailureErrno(uint32_t) { return 0; }

const char* ErrnoName(int) { return nullptr; }

ErrnoText DescribeErrno(int err) {
  ErrnoText out{};
  // The runtime's strerror fills a buffer of the calling thread's own.
  CopyBounded(out.text, sizeof out.text, strerror(err));
  return out;
}

bool RawCommandLine(const char** line) {
  *line = GetCommandLineA();
  return true;
}

bool CurrentDirectory(char* buf, size_t size) {
  if (buf == nullptr || size < 2 || size > MAXDWORD) return false;
  DWORD len = QV_WIN32_CALL(GetCurrentDirectoryA)(static_cast<DWORD>(size), buf);
  // 0 is a failure; size or more is the length the buffer would have needed.
  return len >= 1 && len < size;
}

bool GetPathAttributes(const char* path, PathAttributes* out) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!QV_WIN32_CALL(GetFileAttributesExA)(path, GetFileExInfoStandard, &data)) return false;
  out->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out->size = out->isDirectory
                  ? 0
                  : (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

uint32_t CreateExclusiveFile(const char* path, FileHandle* handle) {
  HANDLE created = QV_WIN32_CALL(CreateFileA)(path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (created == INVALID_HANDLE_VALUE) {
    *handle = kInvalidHandle;
    return LastErrorOfFailure();
  }
  *handle = reinterpret_cast<FileHandle>(created);
  return 0;
}

FileHandle StandardOutputHandle() {
  return reinterpret_cast<FileHandle>(QV_WIN32_CALL(GetStdHandle)(STD_OUTPUT_HANDLE));
}

FileHandle StandardErrorHandle() {
  return reinterpret_cast<FileHandle>(QV_WIN32_CALL(GetStdHandle)(STD_ERROR_HANDLE));
}

FileHandle HandleOfStream(FILE* stream) {
  return stream != nullptr ? static_cast<FileHandle>(_get_osfhandle(_fileno(stream)))
                           : kInvalidHandle;
}

const char* const kLineEnd = "\r\n";

void WriteOutput(FileHandle handle, const void* data, size_t len) {
  const char* bytes = static_cast<const char*>(data);
  while (len > 0) {
    const DWORD chunk = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
    DWORD written = 0;
    if (!WriteFile(ToHandle(handle), bytes, chunk, &written, nullptr) || written == 0) return;
    bytes += written;
    len -= written;
  }
}

void WriteStandardOutput(const void* data, size_t len) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) {
    WriteOutput(reinterpret_cast<FileHandle>(out), data, len);
  }
}

uint32_t WriteHandle(FileHandle handle, const void* data, size_t len) {
  const char* bytes = static_cast<const char*>(data);
  while (len > 0) {
    DWORD chunk = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
    DWORD written = 0;
    if (!QV_WIN32_CALL(WriteFile)(ToHandle(handle), bytes, chunk, &written, nullptr))
      return LastErrorOfFailure();
    // A write that accepts nothing makes no progress: the volume is full.
    if (written == 0) return kErrorDiskFull;
    bytes += written;
    len -= written;
  }
  return 0;
}

bool CloseFileHandle(FileHandle handle) {
  return QV_WIN32_CALL(CloseHandle)(ToHandle(handle)) != 0;
}

bool RemoveFile(const char* path) { return QV_WIN32_CALL(DeleteFileA)(path) != 0; }

// ---- Entries, fresh files and directories -----------------------------------

namespace {

bool IsMissingError(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

EntryKind KindOfAttributes(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::SymbolicLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::Directory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::Other;
  return EntryKind::RegularFile;
}

bool IsPlainDirectory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES &&
         KindOfAttributes(attributes) == EntryKind::Directory;
}

// errno for a Windows code, as the runtime's own fopen sets it, so that messages
// made with strerror read as they did when fopen made the file.
int ErrnoFromWin32(uint32_t code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENOENT;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    default:
      return EIO;
  }
}

// errno for strerror's texts, and the code itself where LastStreamError looks
// for a failed runtime call's cause (a sharing violation is no plain EACCES).
uint32_t FailWithErrno(uint32_t code) {
  errno = ErrnoFromWin32(code);
  *__doserrno() = code;
  return code;
}

// Identity and attributes of what handle has open.
uint32_t IdentityOf(HANDLE handle, FileIdentity* identity, DWORD* attributes) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!QV_WIN32_CALL(GetFileInformationByHandle)(handle, &info)) return LastErrorOfFailure();
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  *attributes = info.dwFileAttributes;
  return 0;
}

// FILETIME-style 100 ns ticks since 1601 as nanoseconds since 1970.
int64_t NanosecondsOfTicks(int64_t ticks) {
  return ticks == 0 ? 0 : (ticks - 116444736000000000LL) * 100;
}

// The stamp of what file has open, and its attributes. The times and the
// attributes come first: they are the handle's own, while the identity asks the
// volume for its serial, which costs far more (under Wine, a trip to the mount
// manager), so a file of the wrong kind is refused before it is asked.
uint32_t StampAndAttributes(HANDLE file, FileStamp* stamp, DWORD* attributes) {
  FILE_BASIC_INFO basic;
  LARGE_INTEGER size;
  if (!QV_WIN32_CALL(GetFileInformationByHandleEx)(file, FileBasicInfo, &basic, sizeof basic) ||
      !QV_WIN32_CALL(GetFileSizeEx)(file, &size)) {
    return LastErrorOfFailure();
  }
  *attributes = basic.FileAttributes;
  DWORD ignored = 0;
  const uint32_t error = IdentityOf(file, &stamp->identity, &ignored);
  if (error != 0) return error;
  stamp->size = static_cast<uint64_t>(size.QuadPart);
  stamp->modifiedNs = NanosecondsOfTicks(basic.LastWriteTime.QuadPart);
  stamp->changedNs = NanosecondsOfTicks(basic.ChangeTime.QuadPart);
  return 0;
}

}  // namespace

uint32_t StampHandle(FileHandle handle, FileStamp* stamp) {
  DWORD attributes = 0;
  return StampAndAttributes(reinterpret_cast<HANDLE>(handle), stamp, &attributes);
}

uint32_t StampPath(const char* path, FileStamp* stamp) {
  HANDLE file = QV_WIN32_CALL(CreateFileA)(
      path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastErrorOfFailure();
  DWORD attributes = 0;
  uint32_t error = StampAndAttributes(file, stamp, &attributes);
  if (error == 0 && KindOfAttributes(attributes) != EntryKind::RegularFile) {
    error = kErrorAccessDenied;
  }
  QV_WIN32_CALL(CloseHandle)(file);
  return error;
}

int64_t WallClockNs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return NanosecondsOfTicks(static_cast<int64_t>(
      (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime));
}

namespace {

// Removes a stale file or link at path: the link itself, never what it leads to.
// A directory or device there is refused.
uint32_t ClearStaleEntry(const char* path) {
  DWORD attributes = QV_WIN32_CALL(GetFileAttributesA)(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return IsMissingError(GetLastError()) ? 0 : LastErrorOfFailure();
  }
  // kErrorAccessDenied is what the runtime's fopen answers for a directory too
  // (errno EACCES), so the message reads as before.
  EntryKind kind = KindOfAttributes(attributes);
  if (kind == EntryKind::Directory || kind == EntryKind::Other) return kErrorAccessDenied;
  // A directory symbolic link or junction is removed as a directory; on Windows
  // both calls remove the reparse point and leave its target alone. (Wine shows a
  // Unix link to a file as that file and removes a link's target instead.)
  bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                     ? QV_WIN32_CALL(RemoveDirectoryA)(path) != 0
                     : QV_WIN32_CALL(DeleteFileA)(path) != 0;
  return removed ? 0 : LastErrorOfFailure();
}

// Gives a created file's handle a C stream; on failure the file is closed and deleted.
uint32_t StreamOfNewFile(HANDLE file, const char* path, FILE** stream) {
  int fd = QV_WIN32_CALL(_open_osfhandle)(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (fd == -1) {
    QV_WIN32_CALL(CloseHandle)(file);
    QV_WIN32_CALL(DeleteFileA)(path);
    return kErrorTooManyOpenFiles;
  }
  *stream = QV_WIN32_CALL(_fdopen)(fd, "w+b");
  if (*stream != nullptr) return 0;
  _close(fd);  // closes the handle too
  QV_WIN32_CALL(DeleteFileA)(path);
  return kErrorTooManyOpenFiles;
}

}  // namespace

uint32_t LastStreamError() {
  // The runtime keeps the system's code of its last failed call beside errno,
  // and never clears it: believed only when errno says the same.
  const uint32_t code = static_cast<uint32_t>(*__doserrno());
  if (code != 0 && ErrnoFromWin32(code) == errno) return code;
  switch (errno) {
    case 0:
      return 0;
    case ENOSPC:
      return kErrorDiskFull;
    case EACCES:
      return kErrorAccessDenied;
    case ENOENT:
      return kErrorFileNotFound;
    case EEXIST:
      return kErrorFileExists;
    case EMFILE:
      return kErrorTooManyOpenFiles;
    default:
      return kErrorGenFailure;
  }
}


uint32_t ExamineEntry(const char* path, EntryKind* kind) {
  *kind = EntryKind::Missing;
  DWORD attributes = QV_WIN32_CALL(GetFileAttributesA)(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return IsMissingError(GetLastError()) ? 0 : LastErrorOfFailure();
  }
  *kind = KindOfAttributes(attributes);
  return 0;
}

uint32_t CountNames(const char* path, uint32_t* links) {
  // No access asked and every sharing allowed: a holder of the file is not disturbed.
  HANDLE file = QV_WIN32_CALL(CreateFileA)(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastErrorOfFailure();
  // The standard information needs no access right, and no trip to the volume.
  FILE_STANDARD_INFO info;
  uint32_t error = 0;
  if (QV_WIN32_CALL(GetFileInformationByHandleEx)(file, FileStandardInfo, &info, sizeof info)) {
    *links = info.NumberOfLinks;
  } else {
    error = LastErrorOfFailure();
  }
  QV_WIN32_CALL(CloseHandle)(file);
  return error;
}

uint32_t CreateFreshStream(const NewEntry& entry, FILE** stream, FileIdentity* identity) {
  *stream = nullptr;
  uint32_t error = ClearStaleEntry(entry.path);
  if (error != 0) return FailWithErrno(error);
  // CREATE_NEW fails on any name that exists, a link put there since included;
  // the reparse-point flag keeps even that from ever being followed. Unshared:
  // nothing else opens the file while the run writes it.
  HANDLE file =
      QV_WIN32_CALL(CreateFileA)(entry.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FailWithErrno(LastErrorOfFailure());
  DWORD attributes;
  error = IdentityOf(file, identity, &attributes);
  if (error != 0) {
    QV_WIN32_CALL(CloseHandle)(file);
    QV_WIN32_CALL(DeleteFileA)(entry.path);
    return FailWithErrno(error);
  }
  error = StreamOfNewFile(file, entry.path, stream);
  return error == 0 ? 0 : FailWithErrno(error);
}

namespace {

// A disk file that is no directory: pipes, consoles and other devices are refused.
uint32_t CheckRegular(HANDLE file) {
  if (QV_WIN32_CALL(GetFileType)(file) != FILE_TYPE_DISK) return kErrorNotRegularFile;
  FILE_BASIC_INFO basic;
  if (!QV_WIN32_CALL(GetFileInformationByHandleEx)(file, FileBasicInfo, &basic, sizeof basic)) {
    return LastErrorOfFailure();
  }
  return (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? kErrorNotRegularFile : 0;
}

}  // namespace

uint32_t OpenRegularForReading(const char* path, FILE** stream) {
  *stream = nullptr;
  // Shared as the runtime's fopen shares a file it reads.
  HANDLE file = QV_WIN32_CALL(CreateFileA)(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FailWithErrno(LastErrorOfFailure());
  const uint32_t error = CheckRegular(file);
  if (error != 0) {
    QV_WIN32_CALL(CloseHandle)(file);
    return FailWithErrno(error);
  }
  const int fd =
      QV_WIN32_CALL(_open_osfhandle)(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd == -1) {
    QV_WIN32_CALL(CloseHandle)(file);
    return FailWithErrno(kErrorTooManyOpenFiles);
  }
  *stream = QV_WIN32_CALL(_fdopen)(fd, "rb");
  if (*stream != nullptr) return 0;
  _close(fd);  // closes the handle too
  return FailWithErrno(kErrorTooManyOpenFiles);
}

uint32_t IdentifyHandle(FileHandle handle, FileIdentity* identity) {
  DWORD attributes;
  return IdentityOf(ToHandle(handle), identity, &attributes);
}

EntryMatch MatchEntry(const char* path, const FileIdentity& identity) {
  // Reading attributes needs no share with a program that holds the file unshared.
  HANDLE file = QV_WIN32_CALL(CreateFileA)(
      path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return IsMissingError(GetLastError()) ? EntryMatch::Missing : EntryMatch::Unknown;
  }
  FileIdentity found;
  DWORD attributes;
  const uint32_t error = IdentityOf(file, &found, &attributes);
  QV_WIN32_CALL(CloseHandle)(file);
  if (error != 0) return EntryMatch::Unknown;
  return KindOfAttributes(attributes) == EntryKind::RegularFile &&
                 found.volume == identity.volume && found.index == identity.index
             ? EntryMatch::Same
             : EntryMatch::Other;
}

HeldRemoval RemoveHeldFile(const char* path, FileHandle handle) {
  // Held unshared, the file cannot be renamed or deleted by another program
  // (Wine lets a Unix process do it: hence the look at the name first). The
  // held file itself is marked, so its close deletes it and nothing else.
  FileIdentity held;
  DWORD attributes;
  if (IdentityOf(ToHandle(handle), &held, &attributes) != 0) return HeldRemoval::Failed;
  EntryMatch match = MatchEntry(path, held);
  // Held so, the file keeps its name: one not found is looked for once more
  // before the file is called gone, or a lock would be left behind unnamed.
  if (match == EntryMatch::Missing &&
      (QV_WIN32_CALL(GetFileAttributesA)(path) != INVALID_FILE_ATTRIBUTES ||
       !IsMissingError(GetLastError()))) {
    match = MatchEntry(path, held);
  }
  switch (match) {
    case EntryMatch::Same:
      break;
    case EntryMatch::Missing:
      return HeldRemoval::Missing;
    case EntryMatch::Other:
      return HeldRemoval::Replaced;
    default:
      return HeldRemoval::Failed;
  }
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  const uint32_t error = RetryBriefHolds([&] {
    return QV_WIN32_CALL(SetFileInformationByHandle)(ToHandle(handle), FileDispositionInfo,
                                                     &disposition, sizeof disposition)
               ? 0
               : LastErrorOfFailure();
  });
  return error == 0 ? HeldRemoval::Removed : HeldRemoval::Failed;
}

namespace {

// FILETIME (100 ns since 1601) as seconds since 1970.
int64_t UnixSeconds(const FILETIME& time) {
  const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000u) - 11644473600LL;
}

}  // namespace

uint32_t ReadForeignFileStart(const char* path, char* buffer, size_t size, ForeignFileStart* out) {
  *out = {};
  // Looked at before it is opened: opening a device can act on it.
  // The attributes and the time can be read even when a program holds the file unshared.
  WIN32_FILE_ATTRIBUTE_DATA named;
  if (!QV_WIN32_CALL(GetFileAttributesExA)(path, GetFileExInfoStandard, &named))
    return LastErrorOfFailure();
  if (KindOfAttributes(named.dwFileAttributes) != EntryKind::RegularFile) return kErrorAccessDenied;
  out->dated = true;
  out->modified = UnixSeconds(named.ftLastWriteTime);
  HANDLE file = QV_WIN32_CALL(CreateFileA)(
      path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastErrorOfFailure();
  BY_HANDLE_FILE_INFORMATION info;
  uint32_t error = 0;
  if (!QV_WIN32_CALL(GetFileInformationByHandle)(file, &info)) {
    error = LastErrorOfFailure();
  } else if (KindOfAttributes(info.dwFileAttributes) != EntryKind::RegularFile ||
             QV_WIN32_CALL(GetFileType)(file) != FILE_TYPE_DISK) {
    error = kErrorAccessDenied;
  }
  while (error == 0 && out->length < size) {
    const size_t left = size - out->length;
    DWORD got = 0;
    if (!QV_WIN32_CALL(ReadFile)(file, buffer + out->length,
                                 left > 65536 ? 65536 : static_cast<DWORD>(left), &got, nullptr)) {
      error = LastErrorOfFailure();
    }
    if (got == 0) break;
    out->length += got;
  }
  QV_WIN32_CALL(CloseHandle)(file);
  return error;
}

uint64_t CurrentProcessId() { return GetCurrentProcessId(); }

bool HostName(char* buffer, size_t size) {
  DWORD length = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  return size >= 2 && QV_WIN32_CALL(GetComputerNameA)(buffer, &length) && length > 0;
}

bool RandomBytes(void* buffer, size_t size) {
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  for (size_t i = 0; i < size; i += 4) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) return false;
    for (size_t k = 0; k < 4 && i + k < size; ++k) bytes[i + k] = static_cast<unsigned char>(value >> (8 * k));
  }
  return true;
}

ProcessState ProcessStateOf(uint64_t id) {
  if (id == 0 || id > MAXDWORD) return ProcessState::Unknown;
  HANDLE process = QV_WIN32_CALL(OpenProcess)(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                              FALSE, static_cast<DWORD>(id));
  if (process == nullptr) {
    // No such process; access denied means it runs under another account.
    const DWORD error = GetLastError();
    return error == ERROR_INVALID_PARAMETER ? ProcessState::Gone
           : error == ERROR_ACCESS_DENIED   ? ProcessState::Running
                                            : ProcessState::Unknown;
  }
  // A handle can outlive its process: it must not have ended.
  const DWORD wait = QV_WIN32_CALL(WaitForSingleObject)(process, 0);
  QV_WIN32_CALL(CloseHandle)(process);
  return wait == WAIT_TIMEOUT    ? ProcessState::Running
         : wait == WAIT_OBJECT_0 ? ProcessState::Gone
                                 : ProcessState::Unknown;
}

ProcessState ProcessStartOf(uint64_t id, int64_t* startedAt, bool* startKnown) {
  *startKnown = false;
  *startedAt = 0;
  const ProcessState state = ProcessStateOf(id);
  if (state != ProcessState::Running) return state;
  HANDLE process = QV_WIN32_CALL(OpenProcess)(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                              static_cast<DWORD>(id));
  if (process == nullptr) return state;
  FILETIME created, exited, kernel, user;
  if (QV_WIN32_CALL(GetProcessTimes)(process, &created, &exited, &kernel, &user)) {
    *startedAt = UnixSeconds(created);
    *startKnown = true;
  }
  QV_WIN32_CALL(CloseHandle)(process);
  return state;
}

// Windows keeps its own links out of reach of ordinary accounts; the report is
// opened as it always was.
FILE* OpenReportForAppend(const char* path) {
  // The report is written through its handle (WriteOutput), whose position
  // must be the end: the runtime's append mode moves it only for its own writes.
  FILE* report = fopen(path, "a");
  if (report == nullptr) return nullptr;
  LARGE_INTEGER end{};
  if (!SetFilePointerEx(ToHandle(HandleOfStream(report)), end, nullptr, FILE_END)) {
    FailWithErrno(LastErrorOfFailure());
    fclose(report);
    return nullptr;
  }
  return report;
}

bool FlushStreamToDisk(FILE* stream) {
  if (fflush(stream) != 0) return false;
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (file != INVALID_HANDLE_VALUE && QV_WIN32_CALL(FlushFileBuffers)(file)) return true;
  // Kept where LastStreamError finds a failed runtime call's cause.
  FailWithErrno(file == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : LastErrorOfFailure());
  return false;
}

uint32_t OpenDirectory(const NewEntry& entry, FileHandle* dir) {
  *dir = kInvalidHandle;
  // Without FILE_SHARE_DELETE nobody can rename or remove the directory while it
  // is held, so the entries made by name land where the program checked.
  HANDLE handle = QV_WIN32_CALL(CreateFileA)(
      entry.path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastErrorOfFailure();
  FileIdentity identity;
  DWORD attributes;
  uint32_t error = IdentityOf(handle, &identity, &attributes);
  // The name is looked at too: Wine opens the target of a Unix symbolic link
  // even with FILE_FLAG_OPEN_REPARSE_POINT, but reports the link by name.
  if (error == 0 && !(IsPlainDirectory(attributes) &&
                      IsPlainDirectory(QV_WIN32_CALL(GetFileAttributesA)(entry.path)))) {
    error = kErrorAccessDenied;
  }
  if (error != 0) {
    QV_WIN32_CALL(CloseHandle)(handle);
    return error;
  }
  *dir = reinterpret_cast<FileHandle>(handle);
  return 0;
}

void DirectoryAnchor(FileHandle, const char* path, char* anchor, size_t size) {
  CopyBounded(anchor, size, path);
}

void CloseDirectory(FileHandle dir) {
  if (dir != kInvalidHandle) QV_WIN32_CALL(CloseHandle)(ToHandle(dir));
}

uint32_t RemoveEmptyDirectory(const char* path) {
  return QV_WIN32_CALL(RemoveDirectoryA)(path) ? 0 : LastErrorOfFailure();
}

namespace {

// This file defines the nothrow allocation itself (below), so it allocates with
// malloc and frees with free directly.
struct FreeMemory {
  void operator()(void* memory) const { free(memory); }
};
template <class T>
using HeapBlock = std::unique_ptr<T, FreeMemory>;

// The SID as text ("S-1-5-18"); false when it cannot be converted.
bool SidText(PSID sid, char* text) {
  char* converted = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidA(sid, &converted)) return false;
  CopyBounded(text, kSidTextSize, converted);
  LocalFree(converted);
  return true;
}

// One access entry into *rule; false for a kind the check cannot read (an
// object entry, found only in directory services), which is then refused.
bool ReadAccessRule(const ACE_HEADER* header, AccessRule* rule) {
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      rule->allows = true;
      break;
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      rule->allows = false;
      break;
    default:
      return false;
  }
  // The allowed, denied and callback entries share this layout.
  const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  rule->mask = ace->Mask;
  rule->inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
  return SidText(const_cast<DWORD*>(&ace->SidStart), rule->principal);
}

bool ReadAccessList(const ACL* list, SecurityFacts* facts) {
  for (DWORD i = 0; i < list->AceCount; ++i) {
    if (facts->count == kMostAccessRules) {
      facts->tooMany = true;
      return true;
    }
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(list), i, &ace)) return false;
    if (!ReadAccessRule(static_cast<const ACE_HEADER*>(ace), &facts->rules[facts->count])) {
      facts->tooMany = true;  // unreadable: judged as open
      return true;
    }
    ++facts->count;
  }
  return true;
}

// The owner and access list of path (a final link not followed by the caller's
// kind check first); false when they cannot be read.
bool ReadSecurityFacts(const char* path, SecurityFacts* facts) {
  *facts = {};
  DWORD size = 4096;
  HeapBlock<unsigned char> buffer;
  for (int attempt = 0; attempt < 3; ++attempt) {
    buffer.reset(static_cast<unsigned char*>(malloc(size)));
    if (!buffer) return false;
    DWORD needed = 0;
    if (QV_WIN32_CALL(GetFileSecurityA)(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        buffer.get(), size, &needed)) {
      break;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= size || attempt == 2) return false;
    size = needed;
  }
  PSECURITY_DESCRIPTOR descriptor = buffer.get();
  PSID owner = nullptr;
  BOOL ownerDefaulted = FALSE;
  BOOL present = FALSE;
  BOOL listDefaulted = FALSE;
  PACL list = nullptr;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &list, &listDefaulted)) {
    return false;
  }
  if (owner != nullptr && !SidText(owner, facts->owner)) return false;
  facts->hasList = present && list != nullptr;
  return !facts->hasList || ReadAccessList(list, facts);
}

bool RunningUserSid(char* text) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  const bool read = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                    SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, text);
  CloseHandle(token);
  return read;
}

// "DOMAIN\name (S-...)", or the SID alone when it names no known account.
void NamePrincipal(const char* sidText, TrustPrincipal* who) {
  CopyBounded(who->text, sizeof who->text, sidText);
  PSID sid = nullptr;
  if (!ConvertStringSidToSidA(sidText, &sid)) return;
  char name[128];
  char domain[128];
  DWORD nameSize = sizeof name;
  DWORD domainSize = sizeof domain;
  SID_NAME_USE use;
  if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
    snprintf(who->text, sizeof who->text, "%s%s%s (%s)", domain, domain[0] != '\0' ? "\\" : "",
             name, sidText);
  }
  LocalFree(sid);
}

}  // namespace

void TrustedAccountsOf(const char* databaseFile, TrustedAccounts* accounts) {
  *accounts = {};
  HeapBlock<SecurityFacts> facts(static_cast<SecurityFacts*>(calloc(1, sizeof(SecurityFacts))));
  if (!facts || !ReadSecurityFacts(databaseFile, facts.get())) return;
  accounts->known = true;
  RecordDatabaseWriters(*facts, accounts);
}

// A link or junction could lead the backup anywhere; an entry others may change
// could be replaced under it.
EntryTrust CheckEntryTrust(const char* path, bool wantDirectory, const TrustedAccounts& accounts,
                           TrustPrincipal* who) {
  if (who != nullptr) who->text[0] = '\0';
  EntryKind kind;
  if (ExamineEntry(path, &kind) != 0) return EntryTrust::Unknown;
  switch (kind) {
    case EntryKind::Missing:
      return EntryTrust::Missing;
    case EntryKind::SymbolicLink:
      return EntryTrust::SymbolicLink;
    case EntryKind::Directory:
      if (!wantDirectory) return EntryTrust::WrongKind;
      break;
    case EntryKind::RegularFile:
      if (wantDirectory) return EntryTrust::WrongKind;
      break;
    default:
      return EntryTrust::WrongKind;
  }
  HeapBlock<SecurityFacts> facts(static_cast<SecurityFacts*>(calloc(1, sizeof(SecurityFacts))));
  char running[kSidTextSize];
  if (!facts || !ReadSecurityFacts(path, facts.get()) || !RunningUserSid(running)) {
    return EntryTrust::Unknown;
  }
  char principal[kSidTextSize];
  const EntryTrust trust = JudgeSecurity(*facts, running, accounts, principal, sizeof principal);
  if (trust != EntryTrust::Trusted && who != nullptr && principal[0] != '\0') {
    NamePrincipal(principal, who);
  }
  return trust;
}

// ---- Durable replace ----------------------------------------------------------
//
// What ReplaceFileDurably guarantees on Windows, and where that ends:
// - The staged file's data reached the disk before the replace (FlushStreamToDisk).
// - MOVEFILE_WRITE_THROUGH only matters for a move done as copy and delete (to
//   another volume), which a replace in the same directory never is. A rename on
//   one volume is a metadata change: NTFS records it in its journal, so after a
//   crash the name shows the old file or the new one, never a mix.
// - FlushFileBuffers on the moved file, through a handle opened by its new name,
//   forces its data and metadata and, on NTFS, the journal holding the rename.
// - FlushFileBuffers on the containing directory (a handle with FILE_ADD_FILE,
//   the right the rename itself needed, and FILE_FLAG_BACKUP_SEMANTICS) forces
//   the directory's entries where the file system supports it. Where it does not
//   (FAT and some network redirectors answer ERROR_INVALID_FUNCTION,
//   ERROR_INVALID_PARAMETER or ERROR_NOT_SUPPORTED; some refuse the open with
//   ERROR_ACCESS_DENIED), the file flush is all there is and the replace still
//   succeeds; any other failure (a real I/O error) fails it. Wine flushes the
//   directory and answers success.
// - FAT has no journal: a crash during the rename can leave the directory with
//   both names or neither, for CHKDSK to repair. Over a network share the server decides when
//   the data and the rename reach its disk; a flush only asks it to.

namespace {

// The directory that holds path's last component: "." for a bare name, "C:."
// for "C:NAME", and a root keeps its separator ("C:\", "\").
bool ContainingDirectory(const char* path, char* dir, size_t size) {
  size_t nameStart = strlen(path);
  while (nameStart > 0 && !IsSeparator(path[nameStart - 1]) && path[nameStart - 1] != ':') {
    --nameStart;
  }
  size_t dirLen = nameStart;
  const char* suffix = ".";
  if (nameStart > 0 && path[nameStart - 1] != ':') {
    suffix = "";
    dirLen = nameStart - 1;
    if (dirLen == 0 || path[dirLen - 1] == ':') ++dirLen;
  }
  if (dirLen > INT_MAX) return false;
  int written = snprintf(dir, size, "%.*s%s", static_cast<int>(dirLen), path, suffix);
  return written >= 0 && static_cast<size_t>(written) < size;
}

// Wide paths of the rename by handle, in WCHARs with the terminator.
constexpr DWORD kMaxWidePath = 1100;

// Answers of file systems that cannot flush a directory on its own (see above).
bool IsUnsupportedDirectoryFlush(uint32_t error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER ||
         error == ERROR_NOT_SUPPORTED || error == ERROR_ACCESS_DENIED;
}

uint32_t FlushDirectory(const char* path) {
  HANDLE dir = QV_WIN32_CALL(CreateFileA)(
      path, FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  uint32_t error = 0;
  if (dir == INVALID_HANDLE_VALUE) {
    error = LastErrorOfFailure();
  } else {
    if (!QV_WIN32_CALL(FlushFileBuffers)(dir)) error = LastErrorOfFailure();
    QV_WIN32_CALL(CloseHandle)(dir);
  }
  return IsUnsupportedDirectoryFlush(error) ? 0 : error;
}

// Flushes the directory that holds path.
uint32_t FlushContainingDirectoryOf(const char* path) {
  char dir[1024];
  if (!ContainingDirectory(path, dir, sizeof dir)) return kErrorFilenameTooLong;
  return FlushDirectory(dir);
}

// The NT name of a Win32 path, as a rename by handle takes it: \??\C:\DIR\NAME,
// \??\UNC\HOST\SHARE\NAME. (A bare name is meant as the file's own directory,
// but Wine takes it from the current directory.) Returns the length in WCHARs, 0
// on failure.
DWORD NtPathOf(const char* path, WCHAR* out, DWORD size) {
  WCHAR wide[kMaxWidePath];
  WCHAR full[kMaxWidePath];
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, kMaxWidePath) == 0) {
    return 0;
  }
  const DWORD len = GetFullPathNameW(wide, kMaxWidePath, full, nullptr);
  if (len == 0 || len >= kMaxWidePath) return 0;
  const WCHAR* rest = full;
  const WCHAR* prefix = L"\\??\\";
  if (wcsncmp(full, L"\\\\?\\", 4) == 0 || wcsncmp(full, L"\\\\.\\", 4) == 0) {
    rest = full + 4;
  } else if (wcsncmp(full, L"\\\\", 2) == 0) {
    prefix = L"\\??\\UNC\\";
    rest = full + 2;
  }
  const int written = _snwprintf(out, size, L"%ls%ls", prefix, rest);
  return written > 0 && static_cast<DWORD>(written) < size ? static_cast<DWORD>(written) : 0;
}

// Renames what file has open (opened from `from`, with DELETE access) to `to`,
// replacing a file there; only within one directory.
uint32_t RenameWithinDirectory(HANDLE file, const char* from, const char* to) {
  char fromDir[1024];
  char toDir[1024];
  if (!ContainingDirectory(from, fromDir, sizeof fromDir) ||
      !ContainingDirectory(to, toDir, sizeof toDir)) {
    return kErrorFilenameTooLong;
  }
  if (strcmp(fromDir, toDir) != 0) return ERROR_NOT_SAME_DEVICE;
  alignas(FILE_RENAME_INFO) unsigned char buffer[sizeof(FILE_RENAME_INFO) +
                                                 kMaxWidePath * sizeof(WCHAR)] = {};
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  const DWORD chars = NtPathOf(to, info->FileName, kMaxWidePath);
  if (chars == 0) return kErrorFilenameTooLong;
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = chars * sizeof(WCHAR);
  const DWORD size = static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + info->FileNameLength);
  return QV_WIN32_CALL(SetFileInformationByHandle)(file, FileRenameInfo, info, size)
             ? 0
             : LastErrorOfFailure();
}

// Opens path itself (a reparse point is not followed) with the given access,
// only when it is still the regular file `identity` names.
uint32_t OpenSameFile(const char* path, DWORD access, const FileIdentity& identity, HANDLE* file) {
  uint32_t error = RetryBriefHolds([&] {
    *file = QV_WIN32_CALL(CreateFileA)(
        path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return *file == INVALID_HANDLE_VALUE ? LastErrorOfFailure() : 0;
  });
  if (error != 0) return error;
  FileIdentity found;
  DWORD attributes;
  error = IdentityOf(*file, &found, &attributes);
  if (error == 0 && (KindOfAttributes(attributes) != EntryKind::RegularFile ||
                     found.volume != identity.volume || found.index != identity.index)) {
    error = kErrorAccessDenied;
  }
  if (error != 0) {
    QV_WIN32_CALL(CloseHandle)(*file);
    *file = INVALID_HANDLE_VALUE;
  }
  return error;
}

}  // namespace

// The replaced file's access rules come with the directory; nothing to copy.
uint32_t TakeOverAccess(FILE*, const char*) { return 0; }

uint32_t ReplaceFileDurably(const char* from, const char* to, const FileIdentity& identity) {
  const uint32_t error = ReplaceFileFlushingLater(from, to, identity, nullptr);
  return error != 0 ? error : FlushContainingDirectoryOf(to);
}

uint32_t ReplaceFileFlushingLater(const char* from, const char* to, const FileIdentity& identity,
                                  FileHandle* replaced, ReplacedStamps* stamps) {
  // No replaced file stays open across a rename here: nothing to stamp.
  if (stamps != nullptr) stamps->taken = false;
  // A replaced file held open would make the move fail, so none is held and the
  // commit cannot read a replaced file again to see whether something wrote to it
  // after the final gate. What Windows gives instead: the gate's open that shares
  // nothing proved that no other handle had the file; a writer that opens it
  // after the gate and still holds it makes this move fail (NTFS replaces only a
  // file no other handle has open), and the commit rolls back. A writer that
  // opened, wrote and closed between the gate's hash and this move is not seen.
  //
  // The move goes through a handle on the checked file, so it moves that file and
  // no other put at its name meanwhile, and the flush after it uses the same
  // handle: no second open that a reader not sharing write access could refuse.
  // The replaced file's access rules come with the directory; nothing to copy.
  if (replaced != nullptr) *replaced = kInvalidHandle;
  HANDLE file;
  uint32_t error = OpenSameFile(from, DELETE | GENERIC_WRITE, identity, &file);
  if (error != 0) return error;
  error = RetryBriefHolds([&] { return RenameWithinDirectory(file, from, to); });
  if (error == 0 && !QV_WIN32_CALL(FlushFileBuffers)(file)) error = LastErrorOfFailure();
  QV_WIN32_CALL(CloseHandle)(file);
  return error;
}

bool FlushDirectoryToDisk(const char* path) { return FlushDirectory(path) == 0; }

uint32_t FlushContainingDirectory(const char* path) { return FlushContainingDirectoryOf(path); }

uint32_t RemoveFileDurably(const char* path) {
  const uint32_t error =
      RetryBriefHolds([&] { return QV_WIN32_CALL(DeleteFileA)(path) ? 0 : LastErrorOfFailure(); });
  if (error != 0) return error;
  return FlushContainingDirectoryOf(path);
}

uint32_t ReadHandleAt(FileHandle handle, uint64_t offset, void* data, size_t len, size_t* got) {
  *got = 0;
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  const DWORD chunk = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
  if (!QV_WIN32_CALL(ReadFile)(ToHandle(handle), data, chunk, &read, &at)) {
    // Reading at or past the end is the end, not a failure.
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    return LastErrorOfFailure();
  }
  *got = read;
  return 0;
}

void SleepMilliseconds(uint32_t ms) { Sleep(ms); }

// An open that shares nothing fails while any other handle may read, write or
// delete the file, whichever process holds it and whatever it shares (a node
// shares reading and writing with the other nodes); an open for attributes only
// does not count, as it cannot touch the data. Windows does not say which process
// holds it without the Restart Manager, which the EXE does not import.
void FindOtherHolder(const char* path, FileHolder* holder) {
  *holder = FileHolder{};
  HANDLE file = QV_WIN32_CALL(CreateFileA)(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    QV_WIN32_CALL(CloseHandle)(file);
    return;
  }
  const uint32_t error = LastErrorOfFailure();
  // Only regular files are read as database files; anything else fails their checks.
  PathAttributes attributes;
  if (IsMissingError(error) || (GetPathAttributes(path, &attributes) && attributes.isDirectory)) {
    return;
  }
  holder->state = error == ERROR_SHARING_VIOLATION ? HoldState::Held : HoldState::Unknown;
  if (holder->state == HoldState::Unknown) holder->error = error;
}

void StartWriteback(FILE*) {}

uint32_t MakeDirectory(const NewEntry& entry) {
  return QV_WIN32_CALL(CreateDirectoryA)(entry.path, nullptr) ? 0 : LastErrorOfFailure();
}

uint32_t TakeFileLock(const char* path, FileHandle* handle) {
  *handle = kInvalidHandle;
  // Others may read the holder's record; any open for writing or deleting fails
  // with a sharing violation until the holder's handle is closed, by it or by
  // the system when the holder ends.
  HANDLE file = QV_WIN32_CALL(CreateFileA)(
      path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastErrorOfFailure();
  // A lock this call made and could not take is removed again; one another run
  // made is left.
  const bool made = GetLastError() != ERROR_ALREADY_EXISTS;
  FileIdentity identity;
  DWORD attributes;
  uint32_t error = IdentityOf(file, &identity, &attributes);
  if (error == 0 && (KindOfAttributes(attributes) != EntryKind::RegularFile ||
                     QV_WIN32_CALL(GetFileType)(file) != FILE_TYPE_DISK)) {
    error = kErrorAccessDenied;
  }
  if (error == 0 && !QV_WIN32_CALL(SetEndOfFile)(file)) error = LastErrorOfFailure();
  if (error != 0) {
    if (made) (void)RemoveHeldFile(path, reinterpret_cast<FileHandle>(file));
    QV_WIN32_CALL(CloseHandle)(file);
    return error;
  }
  *handle = reinterpret_cast<FileHandle>(file);
  return 0;
}

namespace {

// Opens an entry itself, a reparse point never followed, for examining and, with
// DELETE, for removing.
HANDLE OpenEntryItself(const char* path, DWORD access) {
  return QV_WIN32_CALL(CreateFileA)(path, access,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr);
}

bool JoinEntry(const char* dir, const char* name, char* out, size_t size) {
  const size_t used = strlen(dir);
  const bool separated = used > 0 && IsSeparator(dir[used - 1]);
  return snprintf(out, size, "%s%s%s", dir, separated ? "" : "\\", name) < static_cast<int>(size);
}

}  // namespace

uint32_t ListHeldDirectory(FileHandle dir, const char* path,
                           bool (*visit)(const HeldEntry& entry, void* context), void* context) {
  // The directory is held open without delete sharing, so that the name path
  // leads to it while it is listed.
  (void)dir;
  char pattern[1100];
  if (!JoinEntry(path, "*", pattern, sizeof pattern)) return kErrorFilenameTooLong;
  WIN32_FIND_DATAA data;
  HANDLE search = QV_WIN32_CALL(FindFirstFileA)(pattern, &data);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : LastErrorOfFailure();
  }
  uint32_t error = 0;
  bool stopped = false;
  do {
    if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0) continue;
    HeldEntry entry = {};
    char full[1400];
    if (strlen(data.cFileName) >= sizeof entry.name ||
        !JoinEntry(path, data.cFileName, full, sizeof full)) {
      error = kErrorFilenameTooLong;
      break;
    }
    HANDLE item = OpenEntryItself(full, FILE_READ_ATTRIBUTES);
    if (item == INVALID_HANDLE_VALUE) {
      error = LastErrorOfFailure();
      break;
    }
    FileIdentity identity;
    DWORD attributes;
    error = IdentityOf(item, &identity, &attributes);
    LARGE_INTEGER size = {};
    if (error == 0 && KindOfAttributes(attributes) == EntryKind::RegularFile &&
        !QV_WIN32_CALL(GetFileSizeEx)(item, &size)) {
      error = LastErrorOfFailure();
    }
    QV_WIN32_CALL(CloseHandle)(item);
    if (error != 0) break;
    CopyBounded(entry.name, sizeof entry.name, data.cFileName);
    // Wine reports a Unix symbolic link by name only.
    entry.kind = KindOfAttributes(attributes | (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT));
    entry.volume = identity.volume;
    entry.size = entry.kind == EntryKind::RegularFile ? static_cast<uint64_t>(size.QuadPart) : 0;
    stopped = !visit(entry, context);
  } while (!stopped && QV_WIN32_CALL(FindNextFileA)(search, &data));
  // A listing that broke off is never taken for one that ended.
  if (error == 0 && !stopped && GetLastError() != ERROR_NO_MORE_FILES) error = LastErrorOfFailure();
  QV_WIN32_CALL(FindClose)(search);
  return error;
}

bool IsMountPointIn(FileHandle, const char*) { return false; }

uint32_t RemoveEntryIn(FileHandle dir, const char* path, const char* name, bool isDirectory) {
  (void)dir;
  char full[1400];
  if (!JoinEntry(path, name, full, sizeof full)) return kErrorFilenameTooLong;
  HANDLE item = OpenEntryItself(full, DELETE | FILE_READ_ATTRIBUTES);
  if (item == INVALID_HANDLE_VALUE) return LastErrorOfFailure();
  FileIdentity identity;
  DWORD attributes;
  uint32_t error = IdentityOf(item, &identity, &attributes);
  const EntryKind kind = KindOfAttributes(attributes);
  if (error == 0 && (isDirectory ? kind != EntryKind::Directory
                                 : kind == EntryKind::Directory)) {
    error = kErrorAccessDenied;
  }
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = TRUE;
  if (error == 0 && !QV_WIN32_CALL(SetFileInformationByHandle)(item, FileDispositionInfo,
                                                               &disposition, sizeof disposition)) {
    error = LastErrorOfFailure();
  }
  QV_WIN32_CALL(CloseHandle)(item);
  return error;
}

bool FreeBytesAvailable(const char* path, uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!QV_WIN32_CALL(GetDiskFreeSpaceExA)(path, &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

bool VolumeOf(const char* path, uint64_t* volume) {
  HANDLE dir = QV_WIN32_CALL(CreateFileA)(path, FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr);
  if (dir == INVALID_HANDLE_VALUE) return false;
  FileIdentity identity;
  DWORD attributes;
  const uint32_t error = IdentityOf(dir, &identity, &attributes);
  QV_WIN32_CALL(CloseHandle)(dir);
  if (error != 0) return false;
  *volume = identity.volume;
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
  HANDLE find = QV_WIN32_CALL(FindFirstFileA)(patternPath, &data);
  search->failed = false;
  search->error = 0;
  search->sysError = 0;
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // No match and no such directory list nothing; anything else fails.
    search->failed = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
                     error != ERROR_NO_MORE_FILES;
    if (search->failed) search->error = error;
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
  if (!QV_WIN32_CALL(FindNextFileA)(static_cast<HANDLE>(search->state), &data)) {
    const DWORD error = GetLastError();
    search->failed = error != ERROR_NO_MORE_FILES;
    if (search->failed) search->error = error;
    return false;
  }
  FillEntry(data, entry);
  return true;
}

void EndSearch(DirectorySearch* search) {
  if (search->state == nullptr) return;
  QV_WIN32_CALL(FindClose)(static_cast<HANDLE>(search->state));
  search->state = nullptr;
}

// ---- Interrupt clean-up -----------------------------------------------------

namespace {

namespace state = interrupt_state;

// The console handler runs on a thread the system starts for each event; the
// interrupt state (interrupt_state.h) orders it against the run's threads.
std::atomic<void (*)()> g_interruptCleanup{nullptr};
std::atomic<bool> g_handlerRegistered{false};

// Parks the calling thread until ExitProcess ends it with the rest. A console
// close (CTRL_CLOSE_EVENT) is held only about 5 seconds, and logoff and shutdown
// only as long as the system's own time-out: then the system ends the process
// anyway, as a power loss would.
[[noreturn]] void WaitForProcessEnd() {
  for (;;) Sleep(INFINITE);
}

void RunInterruptCleanup() {
  void (*cleanup)() = g_interruptCleanup.load();
  if (cleanup != nullptr) cleanup();
}

// FALSE passes the event on to the next handler, by default the system's, which
// ends the process with STATUS_CONTROL_C_EXIT. A held event's thread waits, so
// that the run can finish and report before EndByHeldInterrupt ends it.
BOOL WINAPI InterruptHandler(DWORD type) {
  // Event codes are above 0; CTRL_C_EVENT is 0.
  if (state::ClaimInterrupt(static_cast<int>(type) + 1) != state::Claim::CleanUp) {
    WaitForProcessEnd();
  }
  RunInterruptCleanup();
  return FALSE;
}

// Registered once: a second registration would run the clean-up twice.
bool RegisterInterruptHandler() {
  if (g_handlerRegistered.load()) return true;
  if (!QV_WIN32_CALL(SetConsoleCtrlHandler)(InterruptHandler, TRUE)) return false;
  g_handlerRegistered.store(true);
  return true;
}

}  // namespace

bool InstallInterruptCleanup(void (*cleanup)()) {
  g_interruptCleanup.store(cleanup);
  return RegisterInterruptHandler();
}

void HoldInterrupts() {
  // Without the handler the system would end the process at once.
  RegisterInterruptHandler();
  // An event's clean-up began first: the lock and the staged files are going and
  // the process is ending. Renaming live files now would do so unguarded.
  if (!state::BeginHold()) WaitForProcessEnd();
}

void ReleaseInterrupts() { state::EndUnusedHold(); }

bool InterruptWasHeld() { return state::HeldEvent() != 0; }

bool HoldingInterrupts() { return state::Holding(); }

void DeliverHeldInterrupt() {
  // Held: the event's thread waits; the clean-up it would have run runs here.
  if (state::EndHoldTakingEvent() == 0) return;
  fflush(nullptr);
  RunInterruptCleanup();
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void EndByHeldInterrupt() {
  if (!InterruptWasHeld()) return;
  // ExitProcess writes no stream buffers; the report and the console get theirs.
  fflush(nullptr);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Windows has no signal for a write to a closed pipe or past a size limit: the
// write fails with its error already.
void KeepRunningOnWriteFailures() {}

// ---- Console ------------------------------------------------------------------

bool StdoutIsConsole() {
  HANDLE out = QV_WIN32_CALL(GetStdHandle)(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  DWORD mode;
  return QV_WIN32_CALL(GetConsoleMode)(out, &mode) != 0;
}

bool StderrIsConsole() {
  HANDLE err = QV_WIN32_CALL(GetStdHandle)(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return false;
  DWORD mode;
  return QV_WIN32_CALL(GetConsoleMode)(err, &mode) != 0;
}

int ReadKeyNoEcho() { return _getch(); }

// ---- Threads ------------------------------------------------------------------

namespace {

struct ThreadStart {
  void (*work)(void*);
  void* context;
};

// A helper's stack, reserved: its deepest step (a hash with its 32 KiB buffer,
// a message formatted for the report) needs well under 64 KiB, and a 32-bit
// process's address space is small.
constexpr unsigned kHelperStackSize = 256 * 1024;

// _beginthreadex rather than CreateThread: the thread uses the C runtime's streams.
unsigned __stdcall RunThreadStart(void* start) {
  const ThreadStart* s = static_cast<const ThreadStart*>(start);
  s->work(s->context);
  return 0;
}

}  // namespace

void RunOnThreads(void (*work)(void*), void* context, unsigned extraThreads) {
  constexpr unsigned kMostThreads = 16;
  HANDLE threads[kMostThreads];
  ThreadStart start{work, context};
  unsigned started = 0;
  while (started < extraThreads && started < kMostThreads) {
    const uintptr_t thread = _beginthreadex(nullptr, kHelperStackSize, RunThreadStart, &start,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == 0) break;
    threads[started++] = reinterpret_cast<HANDLE>(thread);
    // Helpers yield to the calling thread, whose work is the longest.
    SetThreadPriority(threads[started - 1], THREAD_PRIORITY_BELOW_NORMAL);
  }
  work(context);
  for (unsigned i = 0; i < started; ++i) {
    WaitForSingleObject(threads[i], INFINITE);
    CloseHandle(threads[i]);
  }
}

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
