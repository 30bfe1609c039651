// POSIX backend of the platform layer. Error codes are the Windows codes for the
// same condition, so that every message reads as it does on Windows.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"

namespace platform {

const char kPathSeparator = '/';
const bool kSingleSlashIsAbsolute = true;
const FileHandle kInvalidHandle = -1;

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

uint32_t Win32ErrorFromErrno(int err, ErrnoContext context, const char* path) {
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
      return kErrorDiskFull;
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
    if (written == 0) return kErrorDiskFull;
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

bool FlushToDisk(const char* path) {
  // O_NONBLOCK only keeps a FIFO put in the file's place from hanging the run.
  int fd = OpenRetrying(path, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) return false;
  bool synced = FsyncRetrying(fd) == 0;
  bool closed = close(fd) == 0;
  return synced && closed;
}

namespace {

// Gives `from` the owner, group and permission bits of the file it replaces:
// the user files are private, and a root run must leave them writable by the BBS.
uint32_t TakeOverAccess(const char* from, const struct stat& target) {
  struct stat current;
  if (stat(from, &current) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
  if (current.st_uid != target.st_uid || current.st_gid != target.st_gid) {
    if (chown(from, target.st_uid, target.st_gid) != 0) {
      // An ordinary account may not give files away; the group may still be possible.
      if (errno != EPERM || geteuid() == 0) {
        return Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
      }
      if (current.st_gid != target.st_gid) (void)chown(from, static_cast<uid_t>(-1), target.st_gid);
    }
  }
  // After chown, which may clear set-id bits.
  if (chmod(from, target.st_mode & 07777) != 0) {
    return Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
  }
  return 0;
}

uint32_t SyncDirectory(const char* dir) {
  int fd = OpenRetrying(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, dir);
  uint32_t error = 0;
  if (FsyncRetrying(fd) != 0) error = Win32ErrorFromErrno(errno, ErrnoContext::Other, dir);
  if (close(fd) != 0 && error == 0) error = Win32ErrorFromErrno(errno, ErrnoContext::Other, dir);
  return error;
}

uint32_t ReplaceFile(const char* from, const char* to) {
  struct stat target;
  if (stat(to, &target) == 0) {
    if (S_ISREG(target.st_mode)) {
      uint32_t error = TakeOverAccess(from, target);
      if (error != 0) return error;
    }
  } else if (errno != ENOENT) {
    return Win32ErrorFromErrno(errno, ErrnoContext::Other, to);
  }
  if (rename(from, to) != 0) return Win32ErrorFromErrno(errno, ErrnoContext::Other, from);
  char dir[PATH_MAX];
  if (!ContainingDirectory(to, dir, sizeof dir)) return kErrorFilenameTooLong;
  return SyncDirectory(dir);
}

}  // namespace

bool FlushDirectoryToDisk(const char* path) { return SyncDirectory(path) == 0; }

void StartWriteback(FILE* stream) {
#ifdef __linux__
  sync_file_range(fileno(stream), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)stream;
#endif
}

bool ReplaceFileDurably(const char* from, const char* to, uint32_t* error) {
  uint32_t code = ReplaceFile(from, to);
  if (error != nullptr) *error = code;
  return code == 0;
}

uint32_t MakeDirectory(const char* path) {
  if (mkdir(path, 0700) == 0) return 0;
  return Win32ErrorFromErrno(errno, ErrnoContext::DirectoryCreate, path);
}

bool MakeFileOwnerOnly(const char* path) { return chmod(path, 0600) == 0; }

bool FreeBytesAvailable(const char* path, uint64_t* bytes) {
  struct statvfs vfs;
  if (statvfs(path, &vfs) != 0) return false;
  *bytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
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

bool FindFirstEntry(const char* patternPath, DirectorySearch* search, DirectoryEntry* entry) {
  search->state = nullptr;
  search->failed = false;
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
    return false;
  }
  CopyBounded(state->namePattern, sizeof state->namePattern, namePattern);
  search->state = state.release();
  if (FindNextEntry(search, entry)) return true;
  bool failed = search->failed;
  EndSearch(search);
  search->failed = failed;
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

std::atomic<void (*)()> g_interruptCleanup{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free, "the signal handler reads it");

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void InterruptHandler(int signo) {
  int savedErrno = errno;
  void (*cleanup)() = g_interruptCleanup.load();
  if (cleanup != nullptr) cleanup();
  // End the process by the same signal: it stays blocked until the handler
  // returns and is then delivered with the default action.
  struct sigaction defaultAction;
  memset(&defaultAction, 0, sizeof defaultAction);
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signo, &defaultAction, nullptr);
  raise(signo);
  errno = savedErrno;
}

}  // namespace

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

// ---- Console ------------------------------------------------------------------

bool StdoutIsConsole() { return isatty(STDOUT_FILENO) == 1; }

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
