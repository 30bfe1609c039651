// POSIX backend of the platform layer. Error codes are the Windows codes for the
// same condition, so that every message reads as it does on Windows.
#include <dirent.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <sys/statvfs.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "platform/interrupt_state.h"
#include "platform/platform.h"

namespace platform {

const char kPathSeparator = '/';
const bool kSingleSlashIsAbsolute = true;
const bool kDriveLetterPaths = false;
const FileHandle kInvalidHandle = -1;
const bool kNamesIgnoreCase = false;
const char* const kRestoreProgramName = "qvrestore";

namespace {

// Splits the first len characters of path after their last separator: the
// directory part goes into dir (size bytes; "." when there is no separator, "/"
// for a name directly under the root) and the index where the name starts is
// returned. -1 when the directory does not fit.
long SplitDirectory(const char* path, size_t len, char* dir, size_t size) {
  size_t nameStart = len;
  while (nameStart > 0 && !IsSeparator(path[nameStart - 1])) --nameStart;
  const char* source = nameStart == 0 ? "." : path;
  size_t dirLen = nameStart <= 1 ? 1 : nameStart - 1;
  if (dirLen >= size) return -1;
  memcpy(dir, source, dirLen);
  dir[dirLen] = '\0';
  return static_cast<long>(nameStart);
}

// The directory that holds path's last component (trailing separators ignored).
bool ContainingDirectory(const char* path, char* dir, size_t size) {
  size_t len = strlen(path);
  while (len > 1 && IsSeparator(path[len - 1])) --len;
  return SplitDirectory(path, len, dir, size) >= 0;
}

bool IsExistingDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows reports ERROR_PATH_NOT_FOUND when a directory on the way is missing
// and ERROR_FILE_NOT_FOUND when only the last component is.
uint32_t NotFoundError(const char* path) {
  if (path == nullptr) return kErrorFileNotFound;
  char dir[PATH_MAX];
  if (!ContainingDirectory(path, dir, sizeof dir)) return kErrorPathNotFound;
  return IsExistingDirectory(dir) ? kErrorFileNotFound : kErrorPathNotFound;
}

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int FsyncRetrying(int fd) {
  int rc;
  do {
    rc = fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool FitsDescriptor(FileHandle handle) { return handle >= 0 && handle <= INT_MAX; }

}  // namespace

namespace {

// The Windows code a call of this thread failed with last and the errno behind it
// (0: none), for the end of its error line (FailureErrno).
struct LastFailure {
  uint32_t code;
  int err;
};
thread_local LastFailure t_lastFailure{};

// A failure the program judged itself, with the errno the C library gives for
// the same condition, or 0 where none does (a write that made no progress):
// its line then names the Windows code alone.
uint32_t FailedWith(uint32_t code, int err) {
  t_lastFailure = {code, err};
  return code;
}

uint32_t FailedWithoutErrno(uint32_t code) { return FailedWith(code, 0); }

uint32_t MapErrno(int err, ErrnoContext context, const char* path) {
  switch (err) {
    case EEXIST:
      return context == ErrnoContext::FileCreate ? kErrorFileExists : kErrorAlreadyExists;
    case ENOENT:
    case ENOTDIR:
      return NotFoundError(path);
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case EFBIG:
      return kErrorFileTooLarge;
    case EROFS:
      return kErrorWriteProtect;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EBUSY:
      return kErrorSharingViolation;
    case EMFILE:
      return kErrorTooManyOpenFiles;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace

uint32_t Win32ErrorFromErrno(int err, ErrnoContext context, const char* path) {
  return FailedWith(MapErrno(err, context, path), err);
}

int FailureErrno(uint32_t code) {
  const LastFailure last = t_lastFailure;
  return code != 0 && last.code == code ? last.err : 0;
}

const char* ErrnoName(int err) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  return strerrorname_np(err);
#else
  (void)err;
  return nullptr;
#endif
}

uint32_t LastStreamError() {
  return errno == 0 ? 0 : Win32ErrorFromErrno(errno, ErrnoContext::Other, nullptr);
}

namespace {

// GNU strerror_r returns the text, which need not be in the buffer; the POSIX
// one returns 0 and fills the buffer.
[[maybe_unused]] void KeepErrnoText(const char* text, ErrnoText* out) {
  if (text != out->text) CopyBounded(out->text, sizeof out->text, text);
}
[[maybe_unused]] void KeepErrnoText(int result, ErrnoText* out) {
  if (result != 0) CopyBounded(out->text, sizeof out->text, "Unknown error");
}

}  // namespace

ErrnoText DescribeErrno(int err) {
  ErrnoText out{};
  KeepErrnoText(strerror_r(err, out.text, sizeof out.text), &out);
  return out;
}

bool RawCommandLine(const char** line) {
  if (line != nullptr) *line = nullptr;
  return false;
}

bool CurrentDirectory(char* buf, size_t size) {
  if (buf == nullptr || size < 2) return false;
  if (getcwd(buf, size) == nullptr) return false;
  size_t len = strlen(buf);
  return len >= 1 && len < size;
}

bool GetPathAttributes(const char* path, PathAttributes* out) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  // Only a regular file is a file: a FIFO or device must never be opened as data.
  bool regular = S_ISREG(st.st_mode);
  out->isDirectory = !regular;
  out->size = regular ? static_cast<uint64_t>(st.st_size) : 0;
  return true;
}

uint32_t CreateExclusiveFile(const char* path, FileHandle* handle) {
  *handle = kInvalidHandle;
  int fd = OpenRetrying(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Win32ErrorFromErrno(errno, ErrnoContext::FileCreate, path);
  *handle = fd;
  return 0;
}

FileHandle StandardOutputHandle() { return STDOUT_FILENO; }

const char* const kLineEnd = "\n";

void WriteOutput(FileHandle handle, const void* data, size_t len) {
  if (!FitsDescriptor(handle)) return;
  const char* bytes = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t written = write(static_cast<int>(handle), bytes, len);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    len -= static_cast<size_t>(written);
  }
}

void WriteStandardOutput(const void* data, size_t len) { WriteOutput(STDOUT_FILENO, data, len); }

FileHandle StandardErrorHandle() { return STDERR_FILENO; }

FileHandle HandleOfStream(FILE* stream) { return stream != nullptr ? fileno(stream) : kInvalidHandle; }

uint32_t WriteHandle(FileHandle handle, const void* data, size_t len) {
  if (!FitsDescriptor(handle)) return Win32ErrorFromErrno(EBADF, ErrnoContext::Other, nullptr);
  const char* bytes = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t written = write(static_cast<int>(handle), bytes, len);
    if (written < 0) {
      if (errno == EINTR) continue;
      return Win32ErrorFromErrno(errno, ErrnoContext::Other, nullptr);
    }
    // A write that accepts nothing makes no progress: the volume is full.
    if (written == 0) return FailedWithoutErrno(kErrorDiskFull);
    bytes += written;
    len -= static_cast<size_t>(written);
  }
  return 0;
}

bool CloseFileHandle(FileHandle handle) {
  if (!FitsDescriptor(handle)) return false;
  return close(static_cast<int>(handle)) == 0;
}

bool RemoveFile(const char* path) { return unlink(path) == 0; }

uint32_t ExamineEntry(const char* path, EntryKind* kind) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    *kind = EntryKind::Missing;
    return errno == ENOENT ? 0 : Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  }
  *kind = S_ISREG(st.st_mode)   ? EntryKind::RegularFile
          : S_ISLNK(st.st_mode) ? EntryKind::SymbolicLink
          : S_ISDIR(st.st_mode) ? EntryKind::Directory
                                : EntryKind::Other;
  return 0;
}

uint32_t CountNames(const char* path, uint32_t* links) {
  struct stat st;
  if (lstat(path, &st) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  *links = st.st_nlink > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(st.st_nlink);
  return 0;
}

namespace {

// The descriptor and name that NewEntry places an entry at.
struct EntryAt {
  int dir;
  const char* name;
};

EntryAt Locate(const NewEntry& entry) {
  if (entry.dir == kInvalidHandle || !FitsDescriptor(entry.dir)) return {AT_FDCWD, entry.path};
  const char* name = entry.path + strlen(entry.path);
  while (name > entry.path && !IsSeparator(name[-1])) --name;
  return {static_cast<int>(entry.dir), name};
}

// Clears the name for a new file: a stale file or link goes (the link itself);
// anything else stays and fails the create, so that nothing is written into it.
uint32_t ClearStaleEntry(const EntryAt& at, const char* path) {
  struct stat st;
  if (fstatat(at.dir, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : Win32ErrorFromErrno(errno, ErrnoContext::FileCreate, path);
  }
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
    return FailedWith(kErrorAccessDenied, errno);
  }
  if (unlinkat(at.dir, at.name, 0) != 0 && errno != ENOENT) {
    return Win32ErrorFromErrno(errno, ErrnoContext::FileCreate, path);
  }
  return 0;
}

FileIdentity IdentityOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool SameIdentity(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

}  // namespace

uint32_t CreateFreshStream(const NewEntry& entry, FILE** stream, FileIdentity* identity) {
  *stream = nullptr;
  const EntryAt at = Locate(entry);
  uint32_t error = ClearStaleEntry(at, entry.path);
  if (error != 0) return error;
  int fd;
  do {
    fd = openat(at.dir, at.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Win32ErrorFromErrno(errno, ErrnoContext::FileCreate, entry.path);
  struct stat st;
  FILE* opened = fstat(fd, &st) == 0 ? fdopen(fd, "w+b") : nullptr;
  if (opened == nullptr) {
    const int err = errno;
    close(fd);
    unlinkat(at.dir, at.name, 0);
    errno = err;
    return Win32ErrorFromErrno(err, ErrnoContext::Other, entry.path);
  }
  *identity = IdentityOf(st);
  *stream = opened;
  return 0;
}

namespace {

// Refuses what is not a regular file; otherwise clears O_NONBLOCK, which was
// only there for the open, so that reads wait for the disk as they should.
uint32_t CheckRegularAndBlock(int fd, const char* path) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  if (!S_ISREG(st.st_mode)) return FailedWithoutErrno(kErrorNotRegularFile);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  }
  return 0;
}

}  // namespace

uint32_t OpenRegularForReading(const char* path, FILE** stream) {
  *stream = nullptr;
  // A device is not even opened when the name shows it already: some act on open.
  struct stat st;
  if (stat(path, &st) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  if (!S_ISREG(st.st_mode)) return FailedWithoutErrno(kErrorNotRegularFile);
  const int fd = OpenRetrying(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
  if (fd < 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  uint32_t error = CheckRegularAndBlock(fd, path);
  if (error == 0) {
    *stream = fdopen(fd, "rb");
    if (*stream != nullptr) return 0;
    error = Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  }
  const int err = errno;
  close(fd);
  errno = err;
  return error;
}

namespace {

int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

FileStamp StampOf(const struct stat& st) {
  return {IdentityOf(st), static_cast<uint64_t>(st.st_size), Nanoseconds(st.st_mtim),
          Nanoseconds(st.st_ctim)};
}

}  // namespace

uint32_t StampHandle(FileHandle handle, FileStamp* stamp) {
  struct stat st;
  if (!FitsDescriptor(handle) || fstat(static_cast<int>(handle), &st) != 0) {
    return Win32ErrorFromErrno(errno, ErrnoContext::Other, nullptr);
  }
  *stamp = StampOf(st);
  return 0;
}

uint32_t StampPath(const char* path, FileStamp* stamp) {
  struct stat st;
  if (lstat(path, &st) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  if (!S_ISREG(st.st_mode)) return FailedWithoutErrno(kErrorAccessDenied);
  *stamp = StampOf(st);
  return 0;
}

int64_t WallClockNs() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

uint32_t IdentifyHandle(FileHandle handle, FileIdentity* identity) {
  struct stat st;
  if (!FitsDescriptor(handle) || fstat(static_cast<int>(handle), &st) != 0) {
    return Win32ErrorFromErrno(errno, ErrnoContext::Other, nullptr);
  }
  *identity = IdentityOf(st);
  return 0;
}

EntryMatch MatchEntry(const char* path, const FileIdentity& identity) {
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT ? EntryMatch::Missing : EntryMatch::Unknown;
  return S_ISREG(st.st_mode) && SameIdentity(IdentityOf(st), identity) ? EntryMatch::Same
                                                                       : EntryMatch::Other;
}

HeldRemoval RemoveHeldFile(const char* path, FileHandle handle) {
  // The identity comes from the open descriptor, which also keeps the file's
  // inode number from being given to a file created meanwhile. POSIX has no
  // "unlink only if": a file put at the name between the lstat and the unlink
  // (two system calls apart) would be removed in its place.
  struct stat held;
  if (!FitsDescriptor(handle) || fstat(static_cast<int>(handle), &held) != 0) {
    return HeldRemoval::Failed;
  }
  switch (MatchEntry(path, IdentityOf(held))) {
    case EntryMatch::Same:
      return unlink(path) == 0 ? HeldRemoval::Removed : HeldRemoval::Failed;
    case EntryMatch::Missing:
      return HeldRemoval::Missing;
    case EntryMatch::Other:
      return HeldRemoval::Replaced;
    default:
      return HeldRemoval::Failed;
  }
}

uint32_t ReadForeignFileStart(const char* path, char* buffer, size_t size, ForeignFileStart* out) {
  *out = {};
  // Looked at before it is opened: opening a device can act on it.
  struct stat named;
  if (lstat(path, &named) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  if (!S_ISREG(named.st_mode)) return FailedWithoutErrno(kErrorAccessDenied);
  out->dated = true;
  out->modified = static_cast<int64_t>(named.st_mtime);
  const int fd = OpenRetrying(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
  if (fd < 0) {
    return errno == ELOOP ? kErrorAccessDenied
                          : Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  }
  struct stat st;
  uint32_t error = 0;
  if (fstat(fd, &st) != 0) {
    error = Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  } else if (!S_ISREG(st.st_mode) || !SameIdentity(IdentityOf(st), IdentityOf(named))) {
    error = kErrorAccessDenied;
  }
  while (error == 0 && out->length < size) {
    const ssize_t got = read(fd, buffer + out->length, size - out->length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
    if (got <= 0) break;
    out->length += static_cast<size_t>(got);
  }
  close(fd);
  return error;
}

uint64_t CurrentProcessId() { return static_cast<uint64_t>(getpid()); }

bool HostName(char* buffer, size_t size) {
  if (size < 2 || gethostname(buffer, size) != 0) return false;
  // A name cut to fit may come without its NUL: it is no use then.
  return memchr(buffer, '\0', size) != nullptr && buffer[0] != '\0';
}

bool RandomBytes(void* buffer, size_t size) {
  char* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = getrandom(bytes, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

ProcessState ProcessStateOf(uint64_t id) {
  // 0 and negative numbers name process groups: never passed to kill.
  if (id == 0 || id > static_cast<uint64_t>(INT_MAX)) return ProcessState::Unknown;
  if (kill(static_cast<pid_t>(id), 0) == 0) return ProcessState::Running;
  if (errno == ESRCH) return ProcessState::Gone;
  // EPERM: it runs, under another account.
  return errno == EPERM ? ProcessState::Running : ProcessState::Unknown;
}

#ifdef __linux__
namespace {

// The first bytes of a small /proc file, NUL-terminated; false when unreadable.
bool ReadProcText(const char* path, char* text, size_t size) {
  const int fd = OpenRetrying(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t n = read(fd, text, size - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  return true;
}

// Seconds since 1970 at which the system started (/proc/stat's btime).
bool BootTime(int64_t* bootedAt) {
  char text[8192];
  if (!ReadProcText("/proc/stat", text, sizeof text)) return false;
  const char* line = strstr(text, "\nbtime ");
  long long seconds = 0;
  if (line == nullptr || sscanf(line + 7, "%lld", &seconds) != 1 || seconds <= 0) return false;
  *bootedAt = seconds;
  return true;
}

// Field 22 of /proc/<pid>/stat (clock ticks after boot); the command name in
// field 2 may hold blanks and parentheses, so the fields are counted from its last ')'.
bool ProcessStartTicks(uint64_t id, unsigned long long* ticks) {
  char path[64];
  char text[1024];
  snprintf(path, sizeof path, "/proc/%llu/stat", static_cast<unsigned long long>(id));
  if (!ReadProcText(path, text, sizeof text)) return false;
  const char* at = strrchr(text, ')');
  if (at == nullptr) return false;
  ++at;
  for (int field = 3; field < 22; ++field) {
    while (*at == ' ') ++at;
    while (*at != ' ' && *at != '\0') ++at;
  }
  return sscanf(at, " %llu", ticks) == 1;
}

}  // namespace
#endif

ProcessState ProcessStartOf(uint64_t id, int64_t* startedAt, bool* startKnown) {
  *startKnown = false;
  *startedAt = 0;
  const ProcessState state = ProcessStateOf(id);
#ifdef __linux__
  unsigned long long ticks = 0;
  int64_t bootedAt = 0;
  const long perSecond = sysconf(_SC_CLK_TCK);
  if (state == ProcessState::Running && perSecond > 0 && ProcessStartTicks(id, &ticks) &&
      BootTime(&bootedAt)) {
    *startedAt = bootedAt + static_cast<int64_t>(ticks / static_cast<unsigned long long>(perSecond));
    *startKnown = true;
  }
#endif
  return state;
}

FILE* OpenReportForAppend(const char* path) {
  // O_NONBLOCK only keeps a FIFO put in the report's place from hanging the run.
  const int fd = OpenRetrying(
      path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  FILE* stream = nullptr;
  if (fstat(fd, &st) == 0) {
    if (S_ISREG(st.st_mode)) {
      stream = fdopen(fd, "a");
    } else {
      errno = EISDIR;
    }
  }
  if (stream == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return stream;
}

bool FlushStreamToDisk(FILE* stream) {
  return fflush(stream) == 0 && FsyncRetrying(fileno(stream)) == 0;
}

uint32_t OpenDirectory(const NewEntry& entry, FileHandle* dir) {
  *dir = kInvalidHandle;
  const EntryAt at = Locate(entry);
  int fd;
  do {
    fd = openat(at.dir, at.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, entry.path);
  *dir = fd;
  return 0;
}

void CloseDirectory(FileHandle dir) {
  if (dir != kInvalidHandle && FitsDescriptor(dir)) close(static_cast<int>(dir));
}

void DirectoryAnchor(FileHandle dir, const char* path, char* anchor, size_t size) {
  CopyBounded(anchor, size, path);
  char link[64];
  struct stat viaLink;
  struct stat held;
  if (dir == kInvalidHandle || !FitsDescriptor(dir)) return;
  snprintf(link, sizeof link, "/proc/self/fd/%d", static_cast<int>(dir));
  // Only where the link leads to the held directory itself.
  if (stat(link, &viaLink) == 0 && fstat(static_cast<int>(dir), &held) == 0 &&
      viaLink.st_dev == held.st_dev && viaLink.st_ino == held.st_ino) {
    CopyBounded(anchor, size, link);
  }
}

uint32_t RemoveEmptyDirectory(const char* path) {
  return rmdir(path) == 0 ? 0 : Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
}

void TrustedAccountsOf(const char* databaseFile, TrustedAccounts* accounts) {
  *accounts = {};
  struct stat st;
  if (stat(databaseFile, &st) != 0) return;
  accounts->known = true;
  accounts->owner = st.st_uid;
  accounts->group = st.st_gid;
  accounts->groupMayWrite = (st.st_mode & S_IWGRP) != 0;
}

EntryTrust CheckEntryTrust(const char* path, bool wantDirectory, const TrustedAccounts& accounts,
                           TrustPrincipal* who) {
  if (who != nullptr) who->text[0] = '\0';
  struct stat st;
  if (lstat(path, &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? EntryTrust::Missing : EntryTrust::Unknown;
  }
  if (S_ISLNK(st.st_mode)) return EntryTrust::SymbolicLink;
  if (wantDirectory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) return EntryTrust::WrongKind;
  if (st.st_uid != 0 && st.st_uid != geteuid() && !(accounts.known && st.st_uid == accounts.owner)) {
    return EntryTrust::WrongOwner;
  }
  // In a sticky directory nobody but an entry's owner may rename or delete it,
  // and every entry on a trusted path is itself checked for its owner.
  if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) return EntryTrust::Trusted;
  // With an access ACL the mode's group bits are only its mask: the ACL says who may write.
  unsigned char acl[4 + 8 * 64];
  const ssize_t aclSize = lgetxattr(path, "system.posix_acl_access", acl, sizeof acl);
  if (aclSize < 0 && errno == ERANGE) return EntryTrust::OpenToOthers;  // more entries than anyone needs
  if (aclSize < 0 && errno != ENODATA && errno != ENOTSUP) return EntryTrust::Unknown;
  if (aclSize > 0) {
    const EntryTrust byAcl = JudgeAccessAcl(acl, static_cast<size_t>(aclSize), st.st_gid, geteuid(), accounts);
    return byAcl == EntryTrust::WrongKind ? EntryTrust::Unknown : byAcl;
  }
  const bool groupTrusted = accounts.known && accounts.groupMayWrite && st.st_gid == accounts.group;
  if ((st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && !groupTrusted)) {
    return EntryTrust::OpenToOthers;
  }
  return EntryTrust::Trusted;
}

namespace {

// Gives the file open at fd (now as `current`) the owner, group and permission
// bits of `target`, the file it is to replace: the user files are private, and
// a root run must leave them writable by the BBS. Changes only what differs.
uint32_t CopyAccess(int fd, const struct stat& current, const struct stat& target,
                    const char* from) {
  if (current.st_uid != target.st_uid || current.st_gid != target.st_gid) {
    if (fchown(fd, target.st_uid, target.st_gid) != 0) {
      // An ordinary account may not give files away; the group may still be possible.
      if (errno != EPERM || geteuid() == 0) {
        return Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
      }
      if (current.st_gid != target.st_gid) (void)fchown(fd, static_cast<uid_t>(-1), target.st_gid);
    }
  }
  // After chown, which may clear set-id bits.
  struct stat now;
  if (fstat(fd, &now) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
  if ((now.st_mode & 07777) != (target.st_mode & 07777) &&
      fchmod(fd, target.st_mode & 07777) != 0) {
    return Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
  }
  return 0;
}

bool SameAccess(const struct stat& a, const struct stat& b) {
  return a.st_uid == b.st_uid && a.st_gid == b.st_gid && (a.st_mode & 07777) == (b.st_mode & 07777);
}

// Opens `from` without following a link and proves it is the regular file the
// run made; then, when a regular `to` exists, gives it `to`'s access. The file
// normally has it from its creation (TakeOverAccess); one whose access had to
// change here is flushed again, so that the access is on disk before the rename.
uint32_t PrepareReplacement(const char* from, const struct stat* target,
                            const FileIdentity& identity) {
  const int fd = OpenRetrying(from, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
  if (fd < 0) {
    return errno == ELOOP ? kErrorAccessDenied : Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
  }
  struct stat current;
  struct stat changed;
  uint32_t error = 0;
  if (fstat(fd, &current) != 0) {
    error = Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
  } else if (!S_ISREG(current.st_mode) || !SameIdentity(IdentityOf(current), identity)) {
    error = kErrorAccessDenied;
  } else if (target != nullptr && !SameAccess(current, *target)) {
    error = CopyAccess(fd, current, *target, from);
    if (error == 0 && (fstat(fd, &changed) != 0 ||
                       (!SameAccess(current, changed) && FsyncRetrying(fd) != 0))) {
      error = Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
    }
  }
  if (close(fd) != 0 && error == 0) error = Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
  return error;
}

uint32_t SyncDirectory(const char* dir) {
  int fd = OpenRetrying(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, dir);
  uint32_t error = 0;
  if (FsyncRetrying(fd) != 0) error = Win32ErrorFromErrno(errno, ErrnoContext::Other, dir);
  if (close(fd) != 0 && error == 0) error = Win32ErrorFromErrno(errno, ErrnoContext::Other, dir);
  return error;
}

// Syncs the directory that holds path.
uint32_t SyncContainingDirectory(const char* path) {
  char dir[PATH_MAX];
  if (!ContainingDirectory(path, dir, sizeof dir)) return FailedWithoutErrno(kErrorFilenameTooLong);
  return SyncDirectory(dir);
}

}  // namespace

uint32_t TakeOverAccess(FILE* stream, const char* model) {
  struct stat target;
  if (lstat(model, &target) != 0) {
    return errno == ENOENT ? 0 : Win32ErrorFromErrno(errno, ErrnoContext::Other, model);
  }
  struct stat current;
  const int fd = fileno(stream);
  if (!S_ISREG(target.st_mode)) return 0;
  if (fstat(fd, &current) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, model);
  return SameAccess(current, target) ? 0 : CopyAccess(fd, current, target, model);
}

uint32_t ReplaceFileFlushingLater(const char* from, const char* to, const FileIdentity& identity,
                                  FileHandle* replaced, ReplacedStamps* stamps) {
  if (replaced != nullptr) *replaced = kInvalidHandle;
  if (stamps != nullptr) stamps->taken = false;
  struct stat target;
  const bool replacing = lstat(to, &target) == 0;
  if (!replacing && errno != ENOENT) return Win32ErrorFromErrno(errno, ErrnoContext::Other, to);
  const bool regular = replacing && S_ISREG(target.st_mode);
  const uint32_t error = PrepareReplacement(from, regular ? &target : nullptr, identity);
  if (error != 0) return error;
  // Held open, the replaced file gives its blocks back at the caller's close, not in the rename.
  const int held = regular && replaced != nullptr
                       ? open(to, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)
                       : -1;
  const bool stamping = held >= 0 && stamps != nullptr &&
                        StampHandle(held, &stamps->beforeRename) == 0;
  if (rename(from, to) != 0) {
    const uint32_t renameError = Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
    if (held >= 0) close(held);
    return renameError;
  }
  if (stamping) stamps->taken = StampHandle(held, &stamps->afterRename) == 0;
  if (replaced != nullptr) *replaced = held >= 0 ? held : kInvalidHandle;
  return 0;
}

uint32_t ReplaceFileDurably(const char* from, const char* to, const FileIdentity& identity) {
  const uint32_t error = ReplaceFileFlushingLater(from, to, identity, nullptr);
  return error != 0 ? error : SyncContainingDirectory(to);
}

bool FlushDirectoryToDisk(const char* path) { return SyncDirectory(path) == 0; }

uint32_t FlushContainingDirectory(const char* path) { return SyncContainingDirectory(path); }

uint32_t RemoveFileDurably(const char* path) {
  if (unlink(path) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  return SyncContainingDirectory(path);
}

uint32_t ReadHandleAt(FileHandle handle, uint64_t offset, void* data, size_t len, size_t* got) {
  *got = 0;
  if (!FitsDescriptor(handle) || offset > static_cast<uint64_t>(INT64_MAX)) {
    return Win32ErrorFromErrno(EBADF, ErrnoContext::Other, nullptr);
  }
  ssize_t n;
  do {
    n = pread(static_cast<int>(handle), data, len, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, nullptr);
  *got = static_cast<size_t>(n);
  return 0;
}

void SleepMilliseconds(uint32_t ms) {
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// ---- Other processes holding a file open --------------------------------------

#ifdef __linux__
namespace {

enum class LeaseAnswer { NoOtherOpen, OpenElsewhere, NotAvailable };

// A write lease is granted only while no other descriptor, in any process, has
// the file open; it is given back at once. The kernel signals a lease holder
// with SIGIO when another open breaks the lease, which by default would end the
// run: the run uses no SIGIO of its own, so it is ignored from the first probe.
LeaseAnswer ProbeLease(const char* path) {
  static std::atomic<bool> sigioIgnored{false};
  if (!sigioIgnored.exchange(true)) signal(SIGIO, SIG_IGN);
  const int fd = OpenRetrying(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (fd < 0) return LeaseAnswer::NotAvailable;
  LeaseAnswer answer = LeaseAnswer::NoOtherOpen;
  if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
    answer = errno == EAGAIN ? LeaseAnswer::OpenElsewhere : LeaseAnswer::NotAvailable;
  } else {
    fcntl(fd, F_SETLEASE, F_UNLCK);
  }
  close(fd);
  return answer;
}

// What /proc shows of the descriptors and mappings that lead to one file.
struct ProcSearch {
  uint32_t pid;  // the first other process found holding it
  char command[64];
  bool mapped;      // that process has it mapped, with no descriptor of it
  uint32_t unseen;  // processes whose descriptors or mappings could not be listed
  bool selfHolds;
};

// One line of /proc/<pid>/maps ("start-end perms offset major:minor inode path")
// against the file; the device numbers are hexadecimal.
bool MapsLineIsFile(const char* line, const struct stat& file) {
  unsigned int devMajor = 0;
  unsigned int devMinor = 0;
  unsigned long long inode = 0;
  if (sscanf(line, "%*s %*s %*s %x:%x %llu", &devMajor, &devMinor, &inode) != 3) return false;
  return inode != 0 && inode == file.st_ino && devMajor == major(file.st_dev) &&
         devMinor == minor(file.st_dev);
}

// 1 when a mapping listed in mapsPath (/proc/<pid>/maps) is of the file, 0 when
// none is, -1 (errno set) when they cannot be read. A process that mapped the
// file and closed its descriptor still writes to it through the mapping.
int MappingsLeadTo(const char* mapsPath, const struct stat& file) {
  const int fd = OpenRetrying(mapsPath, O_RDONLY | O_CLOEXEC, 0);
  FILE* maps = fd >= 0 ? fdopen(fd, "r") : nullptr;
  if (maps == nullptr) {
    const int saved = errno;
    if (fd >= 0) close(fd);
    errno = saved;
    return -1;
  }
  char line[4096];
  int found = 0;
  bool lineStart = true;
  while (found == 0 && fgets(line, sizeof line, maps) != nullptr) {
    // Only a line's start holds the numbers: the rest of a long path is skipped.
    if (lineStart) found = MapsLineIsFile(line, file) ? 1 : 0;
    lineStart = strchr(line, '\n') != nullptr;
  }
  const bool failed = ferror(maps) != 0;
  fclose(maps);
  if (failed && found == 0) {
    errno = EIO;
    return -1;
  }
  return found;
}

// 1 when a descriptor under fdDir (/proc/<pid>/fd) leads to the file, 0 when
// none does, -1 (errno set) when they cannot be listed.
int DescriptorsLeadTo(const char* fdDir, const struct stat& file) {
  const int dirFd = OpenRetrying(fdDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  DIR* dir = dirFd >= 0 ? fdopendir(dirFd) : nullptr;
  if (dir == nullptr) {
    const int saved = errno;
    if (dirFd >= 0) close(dirFd);
    errno = saved;
    return -1;
  }
  int found = 0;
  while (found == 0) {
    const struct dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    struct stat target;  // the descriptor's file: /proc's links are followed
    found = entry->d_name[0] != '.' && fstatat(dirFd, entry->d_name, &target, 0) == 0 &&
            target.st_dev == file.st_dev && target.st_ino == file.st_ino;
  }
  closedir(dir);
  return found;
}

void ReadCommandName(unsigned long pid, char* command, size_t size) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%lu/comm", pid);
  command[0] = '\0';
  const int fd = OpenRetrying(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return;
  const ssize_t n = read(fd, command, size - 1);
  close(fd);
  size_t len = n > 0 ? static_cast<size_t>(n) : 0;
  while (len > 0 && (command[len - 1] == '\n' || command[len - 1] == '\0')) --len;
  command[len] = '\0';
}

// Every process's descriptors against the file (device and inode).
void SearchProc(const struct stat& file, ProcSearch* search) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    search->unseen = 1;
    return;
  }
  const unsigned long self = static_cast<unsigned long>(getpid());
  for (const struct dirent* entry = readdir(proc); entry != nullptr; entry = readdir(proc)) {
    char* end = nullptr;
    const unsigned long pid = strtoul(entry->d_name, &end, 10);
    if (pid == 0 || *end != '\0') continue;
    char procPath[64];
    snprintf(procPath, sizeof procPath, "/proc/%lu/fd", pid);
    int holds = DescriptorsLeadTo(procPath, file);
    bool mapped = false;
    if (holds == 0) {
      snprintf(procPath, sizeof procPath, "/proc/%lu/maps", pid);
      holds = MappingsLeadTo(procPath, file);
      mapped = holds > 0;
    }
    // A process that ended meanwhile holds nothing.
    if (holds < 0 && errno != ENOENT && errno != ESRCH) ++search->unseen;
    if (holds <= 0) continue;
    if (pid == self) {
      search->selfHolds = true;
    } else if (search->pid == 0) {
      search->pid = static_cast<uint32_t>(pid);
      search->mapped = mapped;
      ReadCommandName(pid, search->command, sizeof search->command);
    }
  }
  closedir(proc);
}

}  // namespace
#endif

void FindOtherHolder(const char* path, FileHolder* holder) {
  *holder = FileHolder{};
  struct stat file;
  if (stat(path, &file) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return;
    holder->state = HoldState::Unknown;
    holder->error = Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
    holder->errorErrno = FailureErrno(holder->error);
    return;
  }
  // Only regular files are read as database files; anything else fails their checks.
  if (!S_ISREG(file.st_mode)) return;
#ifdef __linux__
  const LeaseAnswer lease = ProbeLease(path);
  if (lease == LeaseAnswer::NoOtherOpen) return;
  ProcSearch search{};
  SearchProc(file, &search);
  holder->searched = true;
  if (search.pid != 0) {
    holder->state = HoldState::Held;
    holder->pid = search.pid;
    holder->mapped = search.mapped;
    CopyBounded(holder->command, sizeof holder->command, search.command);
    return;
  }
  // The system says another descriptor or mapping has the file, and it is not
  // this process's own: a holder /proc does not show (another PID namespace, a
  // hidden /proc, another account's process) holds it all the same.
  if (lease == LeaseAnswer::OpenElsewhere && !search.selfHolds) {
    holder->state = HoldState::Held;
    holder->unseen = search.unseen;
    return;
  }
  // Every process seen, and none but this one holds it.
  if (search.unseen == 0) return;
  holder->state = HoldState::Unknown;
  holder->unseen = search.unseen;
#else
  holder->state = HoldState::Unknown;
#endif
}

void StartWriteback(FILE* stream) {
#ifdef __linux__
  sync_file_range(fileno(stream), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)stream;
#endif
}


uint32_t MakeDirectory(const NewEntry& entry) {
  const EntryAt at = Locate(entry);
  if (mkdirat(at.dir, at.name, 0700) == 0) return 0;
  return Win32ErrorFromErrno(errno, ErrnoContext::DirectoryCreate, entry.path);
}

uint32_t TakeFileLock(const char* path, FileHandle* handle) {
  *handle = kInvalidHandle;
  // A holder that releases the lock removes its name first: whoever opened that
  // file before then holds a lock on a name that is gone, and opens again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    // Made exclusively when missing, so that a lock this call made and could not
    // take is removed again, and one another run made is left.
    const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    bool made = true;
    int fd = OpenRetrying(path, flags | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST) {
      made = false;
      fd = OpenRetrying(path, flags, 0);
      if (fd < 0 && errno == ENOENT) continue;
    }
    if (fd < 0) {
      return errno == ELOOP ? kErrorAccessDenied
                            : Win32ErrorFromErrno(errno, ErrnoContext::FileCreate, path);
    }
    struct stat held;
    struct stat named;
    uint32_t error = 0;
    bool gone = false;
    if (fstat(fd, &held) != 0) {
      error = Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
    } else if (!S_ISREG(held.st_mode)) {
      error = kErrorAccessDenied;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      error = errno == EWOULDBLOCK ? kErrorSharingViolation
                                   : Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
    } else if (lstat(path, &named) != 0) {
      gone = errno == ENOENT;
      if (!gone) error = Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
    } else if (!SameIdentity(IdentityOf(named), IdentityOf(held))) {
      gone = true;
    } else if (ftruncate(fd, 0) != 0) {
      error = Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
    }
    if (gone) {
      close(fd);
      continue;
    }
    if (error != 0) {
      if (made) (void)RemoveHeldFile(path, fd);
      close(fd);
      return error;
    }
    *handle = fd;
    return 0;
  }
  return FailedWithoutErrno(kErrorSharingViolation);
}

namespace {

EntryKind KindOfMode(mode_t mode) {
  return S_ISREG(mode)   ? EntryKind::RegularFile
         : S_ISLNK(mode) ? EntryKind::SymbolicLink
         : S_ISDIR(mode) ? EntryKind::Directory
                         : EntryKind::Other;
}

}  // namespace

namespace {

// A bind mount of the same file system keeps its device number: only the
// system's mount-root attribute tells it (Linux 5.8 and later; before that, the
// device number alone).
bool IsMountRoot(int dir, const char* name) {
#ifdef STATX_ATTR_MOUNT_ROOT
  struct statx st;
  if (statx(dir, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &st) == 0 &&
      (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
#endif
  (void)dir;
  (void)name;
  return false;
}

}  // namespace

uint32_t ListHeldDirectory(FileHandle dir, const char* path,
                           bool (*visit)(const HeldEntry& entry, void* context), void* context) {
  if (!FitsDescriptor(dir)) return FailedWithoutErrno(kErrorAccessDenied);
  // Its own descriptor, read from the start: the held one keeps its place.
  const int listed = openat(static_cast<int>(dir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listed < 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  DIR* stream = fdopendir(listed);
  if (stream == nullptr) {
    close(listed);
    return Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
  }
  uint32_t error = 0;
  for (;;) {
    errno = 0;
    const struct dirent* found = readdir(stream);
    if (found == nullptr) {
      if (errno != 0) error = Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
      break;
    }
    if (strcmp(found->d_name, ".") == 0 || strcmp(found->d_name, "..") == 0) continue;
    HeldEntry entry = {};
    struct stat st;
    if (strlen(found->d_name) >= sizeof entry.name) {
      error = kErrorFilenameTooLong;
      break;
    }
    if (fstatat(static_cast<int>(dir), found->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      error = Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
      break;
    }
    CopyBounded(entry.name, sizeof entry.name, found->d_name);
    entry.kind = KindOfMode(st.st_mode);
    entry.volume = static_cast<uint64_t>(st.st_dev);
    entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    entry.mountPoint = S_ISDIR(st.st_mode) && IsMountRoot(static_cast<int>(dir), found->d_name);
    if (!visit(entry, context)) break;
  }
  closedir(stream);
  return error;
}

bool IsMountPointIn(FileHandle dir, const char* name) {
  return FitsDescriptor(dir) && IsMountRoot(static_cast<int>(dir), name);
}

uint32_t RemoveEntryIn(FileHandle dir, const char* path, const char* name, bool isDirectory) {
  if (!FitsDescriptor(dir)) return FailedWithoutErrno(kErrorAccessDenied);
  return unlinkat(static_cast<int>(dir), name, isDirectory ? AT_REMOVEDIR : 0) == 0
             ? 0
             : Win32ErrorFromErrno(errno, ErrnoContext::Other, path);
}

bool FreeBytesAvailable(const char* path, uint64_t* bytes) {
  struct statvfs vfs;
  if (statvfs(path, &vfs) != 0) return false;
  *bytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
  return true;
}

bool VolumeOf(const char* path, uint64_t* volume) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  *volume = static_cast<uint64_t>(st.st_dev);
  return true;
}

// ---- Directory search -------------------------------------------------------

namespace {

struct PosixSearch {
  DIR* dir;
  char namePattern[260];
};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive match of name against a pattern of literal characters, '?'
// (any one character) and '*' (any run, possibly empty).
bool MatchesPattern(const char* pattern, const char* name) {
  const char* star = nullptr;  // last '*' seen, to fall back to on a mismatch
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern != '\0' && (*pattern == '?' || LowerAscii(*pattern) == LowerAscii(*name))) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

// True when `name` should be listed as a directory (anything but a regular file).
// An entry that cannot be examined is listed as a file, so that the program's own
// checks meet it and stop rather than pass it over.
bool EntryIsDirectory(DIR* dir, const char* name) {
  struct stat st;
  if (fstatat(dirfd(dir), name, &st, 0) != 0) return false;
  return !S_ISREG(st.st_mode);
}

}  // namespace

// Why a listing failed, for the caller's error line.
static void NoteSearchFailure(DirectorySearch* search, int err, const char* dir) {
  search->sysError = err;
  search->error = Win32ErrorFromErrno(err, ErrnoContext::Other, dir);
}

bool FindFirstEntry(const char* patternPath, DirectorySearch* search, DirectoryEntry* entry) {
  search->state = nullptr;
  search->failed = false;
  search->error = 0;
  search->sysError = 0;
  char dirPath[PATH_MAX];
  long nameStart = SplitDirectory(patternPath, strlen(patternPath), dirPath, sizeof dirPath);
  if (nameStart < 0) return false;
  const char* namePattern = patternPath + nameStart;
  if (strlen(namePattern) >= sizeof(PosixSearch::namePattern)) return false;

  std::unique_ptr<PosixSearch> state(new (std::nothrow) PosixSearch());
  // Out of memory is a failed listing, never an empty one.
  search->failed = !state;
  if (!state) return false;
  state->dir = opendir(dirPath);
  if (state->dir == nullptr) {
    // A missing directory lists nothing; one that exists but cannot be read fails.
    // A "missing" answer is believed only when the directory is really not there:
    // an empty listing of an existing MESSAGE directory would let a pack renumber
    // the users and leave every LMR file in the old numbering.
    const int openError = errno;
    search->failed =
        (openError != ENOENT && openError != ENOTDIR) || IsExistingDirectory(dirPath);
    if (search->failed) NoteSearchFailure(search, openError, dirPath);
    return false;
  }
  CopyBounded(state->namePattern, sizeof state->namePattern, namePattern);
  search->state = state.release();
  if (FindNextEntry(search, entry)) return true;
  const DirectorySearch ended = *search;
  EndSearch(search);
  search->failed = ended.failed;
  search->error = ended.error;
  search->sysError = ended.sysError;
  return false;
}

bool FindNextEntry(DirectorySearch* search, DirectoryEntry* entry) {
  PosixSearch* state = static_cast<PosixSearch*>(search->state);
  if (state == nullptr) return false;
  for (;;) {
    errno = 0;
    const struct dirent* found = readdir(state->dir);
    if (found == nullptr) {
      search->failed = errno != 0;
      if (search->failed) NoteSearchFailure(search, errno, nullptr);
      return false;
    }
    if (!MatchesPattern(state->namePattern, found->d_name)) continue;
    CopyBounded(entry->name, sizeof entry->name, found->d_name);
    entry->isDirectory = EntryIsDirectory(state->dir, found->d_name);
    return true;
  }
}

void EndSearch(DirectorySearch* search) {
  PosixSearch* state = static_cast<PosixSearch*>(search->state);
  if (state == nullptr) return;
  closedir(state->dir);
  delete state;
  search->state = nullptr;
}

// ---- Interrupt clean-up -----------------------------------------------------

namespace {

namespace state = interrupt_state;

std::atomic<void (*)()> g_interruptCleanup{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free, "the signal handler reads it");

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Ends the process by signo with its default action: it stays blocked while a
// handler runs and is delivered when the handler returns.
void RaiseWithDefaultAction(int signo) {
  struct sigaction defaultAction;
  memset(&defaultAction, 0, sizeof defaultAction);
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signo, &defaultAction, nullptr);
  raise(signo);
}

void RunInterruptCleanup() {
  void (*cleanup)() = g_interruptCleanup.load();
  if (cleanup != nullptr) cleanup();
}

// Outside a handler: the streams get their buffers first (the default action
// writes none), then the signal ends the process.
[[noreturn]] void EndBySignal(int signo) {
  fflush(nullptr);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  sigaddset(&unblocked, signo);
  pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
  RaiseWithDefaultAction(signo);
  _exit(128 + signo);  // not reached: the signal ends the process
}

// Another thread is cleaning up and ends the process with its signal.
[[noreturn]] void WaitForProcessEnd() {
  for (;;) pause();
}

void InterruptHandler(int signo) {
  const int savedErrno = errno;
  if (state::ClaimInterrupt(signo) == state::Claim::CleanUp) {
    RunInterruptCleanup();
    RaiseWithDefaultAction(signo);
  }
  errno = savedErrno;
}

}  // namespace

void HoldInterrupts() {
  // A clean-up under way removes the lock and the staged files: nothing may
  // be renamed over a live file now.
  if (!state::BeginHold()) WaitForProcessEnd();
}

bool HoldingInterrupts() { return state::Holding(); }

void DeliverHeldInterrupt() {
  const int signo = state::EndHoldTakingEvent();
  if (signo == 0) return;
  // What the handler would have done: the clean-up, then the end.
  fflush(nullptr);
  RunInterruptCleanup();
  EndBySignal(signo);
}

void ReleaseInterrupts() { state::EndUnusedHold(); }

bool InterruptWasHeld() { return state::HeldEvent() != 0; }

void EndByHeldInterrupt() {
  const int signo = state::HeldEvent();
  if (signo != 0) EndBySignal(signo);
}

bool InstallInterruptCleanup(void (*cleanup)()) {
  g_interruptCleanup.store(cleanup);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = InterruptHandler;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  // One clean-up at a time, whichever of the signals comes.
  for (int signo : kInterruptSignals) sigaddset(&action.sa_mask, signo);
  for (int signo : kInterruptSignals) {
    struct sigaction previous;
    if (sigaction(signo, nullptr, &previous) != 0) return false;
    // A signal the process was started to ignore (nohup, background job) stays
    // ignored: without the handler it would not have ended the process either.
    if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler == SIG_IGN) continue;
    if (sigaction(signo, &action, nullptr) != 0) return false;
  }
  return true;
}

void KeepRunningOnWriteFailures() {
  // A pipe with no reader left (the console piped to a pager that quit) and a
  // file past the size limit (ulimit -f) then fail the write with EPIPE or
  // EFBIG, and the run ends through its own error paths and clean-up.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

// ---- Console ------------------------------------------------------------------

bool StdoutIsConsole() { return isatty(STDOUT_FILENO) == 1; }

bool StderrIsConsole() { return isatty(STDERR_FILENO) == 1; }

// ---- Threads ------------------------------------------------------------------

namespace {

struct ThreadStart {
  void (*work)(void*);
  void* context;
#ifdef __linux__
  cpu_set_t allowed;  // the process's CPUs, given back to a helper placed elsewhere
  bool placed;
#endif
};

// Helpers yield to the calling thread, whose work is the longest.
constexpr int kHelperNiceness = 10;

// A helper's stack. Its deepest step (a hash with its 32 KiB buffer, a message
// formatted for the report) needs well under 64 KiB; the system's default (8 MiB
// from ulimit -s, per thread) would spend the address space that a run under a
// memory limit lacks.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr size_t kHelperStackSize = size_t{4} << 20;  // the sanitizers keep much more there
#else
constexpr size_t kHelperStackSize = size_t{256} * 1024;
#endif

// What one more helper costs in address space: its stack and what its step
// holds at once (at most four stream buffers and a copy or slot buffer, under
// 1 MiB); and the room kept for the calling thread's own step.
constexpr uint64_t kHelperAddressSpace = kHelperStackSize + (uint64_t{1} << 20);
constexpr uint64_t kCallerAddressSpace = uint64_t{1} << 20;

// The process's mapped address space (Linux: /proc/self/statm, in pages).
bool AddressSpaceInUse(uint64_t* bytes) {
  const int fd = OpenRetrying("/proc/self/statm", O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  char text[64];
  const ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return false;
  text[got] = '\0';
  unsigned long long pages = 0;
  if (sscanf(text, "%llu", &pages) != 1) return false;
  *bytes = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return true;
}

// How many of the wanted helpers fit in what the address-space limit (ulimit
// -v) leaves besides the caller's own step, so that a run that fits on one
// thread fits with helpers too; under a limit whose use cannot be read, none.
unsigned HelpersThatFit(unsigned wanted) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  uint64_t used = 0;
  if (!AddressSpaceInUse(&used) || used + kCallerAddressSpace >= limit.rlim_cur) return 0;
  const uint64_t fit = (limit.rlim_cur - used - kCallerAddressSpace) / kHelperAddressSpace;
  return fit < wanted ? static_cast<unsigned>(fit) : wanted;
}

// A helper's stack is mapped for it and unmapped once it has been joined (glibc
// would keep a finished thread's stack mapped for reuse, out of the reach of the
// steps that follow); its lowest page is a guard, so that an overflow ends the
// process instead of writing over other memory. Null when the system refuses.
void* MapHelperStack() {
  void* stack = mmap(nullptr, kHelperStackSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return nullptr;
  if (mprotect(stack, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_NONE) != 0) {
    munmap(stack, kHelperStackSize);
    return nullptr;
  }
  return stack;
}

// Every thread allocates from the one main arena. glibc would give each helper
// an arena of its own, reserving 64 MiB of address space apiece, so that a run
// fitting under ulimit -v on one thread failed with helpers; a helper allocates
// a few buffers per step, so the threads hardly ever wait for one another.
void ShareOneAllocatorArena() {
#ifdef __GLIBC__
  mallopt(M_ARENA_MAX, 1);
#endif
}

void* RunThreadStart(void* start) {
  const ThreadStart* s = static_cast<const ThreadStart*>(start);
#ifdef __linux__
  // Linux gives each thread its own nice value; elsewhere it would be the process's.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kHelperNiceness);
  if (s->placed) pthread_setaffinity_np(pthread_self(), sizeof s->allowed, &s->allowed);
#endif
  s->work(s->context);
  return nullptr;
}

// Starts helpers on a CPU other than the caller's: left to itself, Linux often
// queues a new thread behind its busy creator for a millisecond or more before
// moving it to an idle CPU. Each helper gives itself every CPU back once running.
void PlaceAwayFromCaller(pthread_attr_t* attributes, ThreadStart* start) {
#ifdef __linux__
  start->placed = false;
  const int here = sched_getcpu();
  if (here < 0 || sched_getaffinity(0, sizeof start->allowed, &start->allowed) != 0 ||
      CPU_COUNT(&start->allowed) < 2 || !CPU_ISSET(here, &start->allowed)) {
    return;
  }
  cpu_set_t elsewhere = start->allowed;
  CPU_CLR(here, &elsewhere);
  start->placed = pthread_attr_setaffinity_np(attributes, sizeof elsewhere, &elsewhere) == 0;
#else
  (void)attributes;
  (void)start;
#endif
}

}  // namespace

void RunOnThreads(void (*work)(void*), void* context, unsigned extraThreads) {
  constexpr unsigned kMostThreads = 16;
  pthread_t threads[kMostThreads];
  void* stacks[kMostThreads];
  ThreadStart start{};
  start.work = work;
  start.context = context;
  ShareOneAllocatorArena();
  const unsigned wanted = HelpersThatFit(extraThreads < kMostThreads ? extraThreads : kMostThreads);
  pthread_attr_t attributes;
  unsigned started = 0;
  if (wanted > 0 && pthread_attr_init(&attributes) == 0) {
    PlaceAwayFromCaller(&attributes, &start);
    while (started < wanted && (stacks[started] = MapHelperStack()) != nullptr) {
      if (pthread_attr_setstack(&attributes, stacks[started], kHelperStackSize) != 0 ||
          pthread_create(&threads[started], &attributes, RunThreadStart, &start) != 0) {
        munmap(stacks[started], kHelperStackSize);
        break;
      }
      ++started;
    }
    pthread_attr_destroy(&attributes);
  }
  work(context);
  for (unsigned i = 0; i < started; ++i) {
    pthread_join(threads[i], nullptr);
    munmap(stacks[i], kHelperStackSize);
  }
}

int ReadKeyNoEcho() {
  int fd = OpenRetrying("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY, 0);
  bool opened = fd >= 0;
  if (!opened) fd = STDIN_FILENO;
  struct termios saved;
  if (tcgetattr(fd, &saved) != 0) {
    if (opened) close(fd);
    return EOF;
  }
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  int key = EOF;
  if (tcsetattr(fd, TCSANOW, &raw) == 0) {
    unsigned char byte;
    ssize_t got;
    do {
      got = read(fd, &byte, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1) key = byte;
    // TCSAFLUSH drops the rest of a multi-byte key (an arrow key's escape
    // sequence), so that one key press answers exactly one prompt.
    tcsetattr(fd, TCSAFLUSH, &saved);
  }
  if (opened) close(fd);
  return key;
}

}  // namespace platform
