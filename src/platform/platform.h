// The operating-system operations QVCULLDB32 needs, in the program's own terms.
// platform_win32.cpp implements them with Win32 calls, platform_posix.cpp with
// POSIX calls; CMake picks one. Nothing outside src/platform/ includes an OS header.
//
// Operations that can fail report a Windows error code (ERROR_*) so that messages
// read the same on both platforms; the POSIX backend maps errno to the code
// Windows gives for the same condition (Win32ErrorFromErrno) and keeps, per
// thread, the errno behind the code it gave last (FailureErrno), so that the
// message can name the system's own cause as well.
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
// ERROR_BAD_FILE_TYPE: the name is a directory, FIFO, device or anything else
// that is not a regular file (OpenRegularForReading).
constexpr uint32_t kErrorNotRegularFile = 222;
constexpr uint32_t kErrorFileTooLarge = 223;

// The separator the program inserts when it joins a directory and a name.
extern const char kPathSeparator;
// True for '\\' and '/', which both count as separators on every platform.
bool IsSeparator(char c);
// Copies source into dest (size bytes), cut to fit; always NUL-terminated.
void CopyBounded(char* dest, size_t size, const char* source);
// True where a path starting with a single '/' is absolute (POSIX).
extern const bool kSingleSlashIsAbsolute;
// True where "C:" begins a path on a drive (Windows); on POSIX it is part of a name.
extern const bool kDriveLetterPaths;

// An open OS file handle (a HANDLE on Windows, a descriptor on POSIX).
using FileHandle = intptr_t;
extern const FileHandle kInvalidHandle;

// What the caller of an errno mapping was doing: the same errno means different
// Windows codes for an exclusive file create and for a directory create.
enum class ErrnoContext { FileCreate, DirectoryCreate, Other };

// Windows code for errno `err` met while working on `path` (POSIX backend only;
// the Windows backend returns GetLastError and never calls this). Noted as this
// thread's last failure.
uint32_t Win32ErrorFromErrno(int err, ErrnoContext context, const char* path);

// The errno behind code when code is the Windows code this thread's last failed
// call gave (POSIX); 0 when none is known, as for a failure no errno explains,
// and always on Windows, where the code is the system's own. Ask before any
// other call fails.
int FailureErrno(uint32_t code);
// The symbolic name of errno err ("EIO"), or null where the system has no list.
const char* ErrnoName(int err);

// The C library's text for errno value err (what strerror gives), made safe to
// call on any thread: POSIX strerror_r; the Windows runtime keeps strerror's
// text per thread.
struct ErrnoText {
  char text[128];
};
ErrnoText DescribeErrno(int err);

// What a Windows error code means, for the end of an error line, the same on
// both platforms: "Windows error 32: another program has the file open".
struct ErrorMeaning {
  char text[112];
};
ErrorMeaning DescribeWindowsError(uint32_t code);

// The Windows code of the C stream call that failed last on this thread (fopen,
// fwrite, fflush, fclose): Windows: the runtime's _doserrno where it set one;
// POSIX: errno as Win32ErrorFromErrno maps it; 0 when none is known. Ask before
// any other call.
uint32_t LastStreamError();

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

// What a name is, its final symbolic link (Windows: reparse point) not followed.
enum class EntryKind { Missing, RegularFile, SymbolicLink, Directory, Other };
// Fills *kind; returns 0, or the Windows error code when the name cannot be examined.
uint32_t ExamineEntry(const char* path, EntryKind* kind);

// How many names the regular file at path has (its hard links), the final
// symbolic link not followed. Returns 0 with *links, or the Windows error code.
uint32_t CountNames(const char* path, uint32_t* links);

// Which file a name led to when the run created it: device and inode on POSIX,
// volume serial number and file index on Windows.
struct FileIdentity {
  uint64_t volume;
  uint64_t index;
};

// Where a new entry goes. With `dir` an open directory (OpenDirectory), POSIX
// makes the last component of `path` inside that directory, whatever the rest of
// the path leads to by then; with kInvalidHandle, or on Windows, `path` itself.
struct NewEntry {
  const char* path;
  FileHandle dir;
};

// Creates a file that did not exist, never through a link, open for reading and
// writing ("w+b"). A stale regular file or symbolic link at the name is removed
// first (the link itself, never its target); a directory, FIFO, device or other
// entry there fails with kErrorAccessDenied. POSIX: O_CREAT|O_EXCL|O_NOFOLLOW,
// mode 0600; Windows: CREATE_NEW. Returns 0 with the stream and its identity, or
// the Windows error code with errno set to the C library's value for the same
// condition (for a directory at the name: EISDIR on POSIX, EACCES on Windows, as
// fopen sets them; for a FIFO or device: EEXIST), on POSIX also the failure's
// errno (FailureErrno) that its error line names.
uint32_t CreateFreshStream(const NewEntry& entry, FILE** stream, FileIdentity* identity);

// Opens an existing regular file for reading ("rb") without ever waiting: a FIFO
// or device at the name is refused through the open descriptor or handle before
// a byte is read (POSIX: O_NONBLOCK open, fstat, then blocking again; Windows:
// GetFileType and the directory attribute). Returns 0 with the stream;
// kErrorNotRegularFile for anything but a regular file; otherwise the Windows
// error code, errno set as fopen sets it for the same condition.
uint32_t OpenRegularForReading(const char* path, FILE** stream);

// Opens the run report to append to it (text mode), creating it when missing,
// never through a link and never anything but a regular file; null, with errno
// set, otherwise. Windows: fopen(path, "a").
FILE* OpenReportForAppend(const char* path);

// Writes stream's buffer and forces the file's data to disk through the stream's
// own descriptor (fsync; Windows FlushFileBuffers). True on success.
bool FlushStreamToDisk(FILE* stream);

// Opens an existing directory (not through a final link) so that entries are made
// in it by NewEntry; Windows holds it open against renaming and deletion. Returns
// 0, or the Windows error code.
uint32_t OpenDirectory(const NewEntry& entry, FileHandle* dir);
// A name through which the entries of dir (OpenDirectory of path) are reached in
// that very directory, whatever is renamed on the way to path later: POSIX
// "/proc/self/fd/N" where the system has it; Windows path itself, the directory
// being held open against renaming and deletion; otherwise path as given.
void DirectoryAnchor(FileHandle dir, const char* path, char* anchor, size_t size);
// Closes what OpenDirectory opened (kInvalidHandle: nothing).
void CloseDirectory(FileHandle dir);

// A Windows security identifier as text ("S-1-5-18"), long enough for any.
constexpr size_t kSidTextSize = 192;
// The most principals recorded as writers of the database file; others are
// left out, which only makes the trust check refuse more.
constexpr uint32_t kMostDatabaseWriters = 16;

// The accounts, besides root (SYSTEM and Administrators) and the running user,
// whose files and directories the program trusts. POSIX: the owner of the live
// QVUSERS.DAT, and its group when that file is writable by its group. Windows:
// the owner of QVUSERS.DAT and every principal its access list lets write it.
struct TrustedAccounts {
  bool known;  // the database file could be examined
  uint32_t owner;
  uint32_t group;
  bool groupMayWrite;
  uint32_t writerCount;
  char writers[kMostDatabaseWriters][kSidTextSize];  // Windows, the owner first
};
// Fills *accounts from the live database file (known false when it cannot be examined).
void TrustedAccountsOf(const char* databaseFile, TrustedAccounts* accounts);

// Why an entry may not hold or lead to a backup, or Trusted.
enum class EntryTrust { Trusted, Missing, WrongKind, SymbolicLink, WrongOwner, OpenToOthers, Unknown };
// Who made an entry untrusted, in words ("Everyone (S-1-1-0)"); empty when the
// reason says it all (POSIX).
struct TrustPrincipal {
  char text[kSidTextSize + 96];
};
// Examines path, a final link not followed, as a directory or a regular file.
// POSIX: it must be owned by root, the running user or accounts.owner; writable
// by group only when that group is accounts' writable group, by others never,
// except a directory with the sticky bit (such as /tmp), where only an entry's
// owner may rename or delete it. Windows: no reparse point, of the wanted kind,
// owned and changeable only as JudgeSecurity allows. *who (may be null) names
// the principal of a refusal.
EntryTrust CheckEntryTrust(const char* path, bool wantDirectory, const TrustedAccounts& accounts,
                           TrustPrincipal* who = nullptr);

// One entry of a Windows access list as the trust check reads it.
struct AccessRule {
  char principal[kSidTextSize];  // the SID as text
  uint32_t mask;                 // the rights, generic ones included
  bool allows;                   // an allow entry (deny entries are not counted on)
  bool inheritOnly;              // for what is made inside, not for the entry itself
};
constexpr uint32_t kMostAccessRules = 64;
// What an entry's security descriptor says, as the trust check reads it.
struct SecurityFacts {
  char owner[kSidTextSize];
  bool hasList;  // false: a null access list, which lets everyone do anything
  uint32_t count;
  bool tooMany;  // more entries than kMostAccessRules: the rest unread
  AccessRule rules[kMostAccessRules];
};
// Rights that let a principal change an entry: write or append (a directory:
// add a file or a folder), delete it or an entry inside, or change its
// permissions or owner.
constexpr uint32_t kChangeRights = 0x2 | 0x4 | 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 |
                                   0x10000000;
// Rights that let a principal write the database file (or give itself that right).
constexpr uint32_t kWriteRights = 0x2 | 0x4 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;
// Records in accounts (writers) the owner of the database file and every
// principal its access list lets write it; a null list records Everyone.
void RecordDatabaseWriters(const SecurityFacts& database, TrustedAccounts* accounts);
// Judges a Windows entry's security (pure, the same on every system): the owner
// and every principal with change rights must be trusted: SYSTEM,
// Administrators, TrustedInstaller, runningUser, or a writer recorded in
// accounts; WrongOwner or OpenToOthers names the first that is not in *who.
// Deny entries are not counted on (they could only take rights away), so the
// judgement errs towards refusing; inherit-only entries do not apply.
EntryTrust JudgeSecurity(const SecurityFacts& entry, const char* runningUser,
                         const TrustedAccounts& accounts, char* who, size_t whoSize);

// Who may write an entry by its POSIX access ACL (the bytes of its
// system.posix_acl_access attribute; the mode's group bits are then the mask):
// OpenToOthers when a named user other than root, runningUser and
// accounts.owner, a named group other than accounts' writable group, the owning
// group fileGroup unless it is that group, or others may write; WrongKind for
// bytes that are no ACL; Trusted otherwise. Pure: the same on every system.
EntryTrust JudgeAccessAcl(const void* bytes, size_t size, uint32_t fileGroup, uint32_t runningUser,
                          const TrustedAccounts& accounts);

// Names that differ only in letter case are one file (Windows).
extern const bool kNamesIgnoreCase;
// The restore program as the sysop types it: QVRESTORE.EXE on Windows, qvrestore on POSIX.
extern const char* const kRestoreProgramName;

// Creates path exclusively (fails with kErrorFileExists when it exists) and
// keeps it open, unshared (Windows: with the right to delete it, for
// RemoveHeldFile); returns 0 and the handle, or the Windows error code.
uint32_t CreateExclusiveFile(const char* path, FileHandle* handle);

// Which file handle holds open; 0, or the Windows error code.
uint32_t IdentifyHandle(FileHandle handle, FileIdentity* identity);

// What a file's own record says of its content, read without reading it: which
// file, its size, its modification time and its change time (POSIX st_ctim,
// Windows ChangeTime: set by the system at every write, rename or attribute
// change, and never set back by a program), in nanoseconds since 1970.
struct FileStamp {
  FileIdentity identity;
  uint64_t size;
  int64_t modifiedNs;
  int64_t changedNs;  // 0: the file system keeps no change time
};
// Of what handle has open; 0, or the Windows error code.
uint32_t StampHandle(FileHandle handle, FileStamp* stamp);
// Of the regular file at path, a final link not followed; 0, kErrorAccessDenied
// for anything but a regular file, or the Windows error code.
uint32_t StampPath(const char* path, FileStamp* stamp);
// True when both stamps name the same file with the same size and times.
bool SameStamp(const FileStamp& a, const FileStamp& b);
// The wall clock now, in nanoseconds since 1970, as change times count.
int64_t WallClockNs();

// What the name path itself (a final link not followed) is, against a file the
// run knows by identity: that regular file, another entry, nothing, or unknown
// (it could not be examined). Async-signal-safe on POSIX.
enum class EntryMatch { Same, Other, Missing, Unknown };
EntryMatch MatchEntry(const char* path, const FileIdentity& identity);

// Deletes the file at path only while it is still the file handle holds open;
// the caller closes handle afterwards (Windows deletes it at that close).
// Replaced: another entry has the name (left alone). Async-signal-safe on POSIX.
enum class HeldRemoval { Removed, Missing, Replaced, Failed };
HeldRemoval RemoveHeldFile(const char* path, FileHandle handle);

// What a run found at a name that some other program may have written (a lock):
// the first bytes of a regular file, read without following a final link and
// never waiting on a FIFO or device, and when it was last written.
struct ForeignFileStart {
  size_t length;     // bytes read, at most the buffer's size
  bool dated;        // modified is known (also when the file could not be read)
  int64_t modified;  // seconds since 1970-01-01 UTC
};
// Returns 0, kErrorAccessDenied for anything but a regular file (a link, a
// directory, a FIFO, a device), kErrorSharingViolation when a program holds it
// open unshared (Windows), or another Windows error code.
uint32_t ReadForeignFileStart(const char* path, char* buffer, size_t size, ForeignFileStart* out);

// This process's id and, when the system tells it, the host's name (buffer of
// size bytes; false when unknown or too long).
uint64_t CurrentProcessId();
bool HostName(char* buffer, size_t size);

// Fills buffer with size bytes from the system's random source (POSIX
// getrandom, Windows rand_s); false when it gives none.
bool RandomBytes(void* buffer, size_t size);

// Whether a process of this host with that id runs now.
enum class ProcessState { Running, Gone, Unknown };
ProcessState ProcessStateOf(uint64_t id);
// The same, and for a running process when it started, in seconds since 1970
// (UTC): Linux /proc/<pid>/stat's start time after the boot time, Windows
// GetProcessTimes. *startKnown is false where the system does not tell.
ProcessState ProcessStartOf(uint64_t id, int64_t* startedAt, bool* startKnown);
// The process's standard output and standard error, and the OS handle under a C stream.
FileHandle StandardOutputHandle();
FileHandle StandardErrorHandle();
FileHandle HandleOfStream(FILE* stream);

// Writes all len bytes to handle; returns 0 or the Windows error code.
// Async-signal-safe on POSIX.
uint32_t WriteHandle(FileHandle handle, const void* data, size_t len);
// The program's own output, standard output or the run report's handle
// (HandleOfStream): plain writes of all len bytes, left alone by the fault
// injection; a failure is not reported, there being nowhere better to tell it.
// Async-signal-safe on POSIX; on Windows safe on the console control thread.
void WriteStandardOutput(const void* data, size_t len);
void WriteOutput(FileHandle handle, const void* data, size_t len);
// How a text line ends in the program's output: "\r\n" on Windows, "\n" on POSIX.
extern const char* const kLineEnd;

// Closes handle; true on success. Async-signal-safe.
bool CloseFileHandle(FileHandle handle);
// Deletes the file at path; true on success. Async-signal-safe.
bool RemoveFile(const char* path);

// Forces a directory's entries to disk (POSIX fsync of the directory; Windows:
// FlushFileBuffers on the directory where the file system allows it).
bool FlushDirectoryToDisk(const char* path);
// The same for the directory that holds the file at path; 0, or the Windows error code.
uint32_t FlushContainingDirectory(const char* path);

// Asks the system to start writing to disk what stream has handed it so far, so
// that the flush to disk that follows waits less. A hint only: nothing is
// reported, and Windows needs nothing.
void StartWriteback(FILE* stream);

// Gives the new file open as stream the permission bits, and where allowed the
// owner and group, of the regular file at model (none there: nothing), before
// its data is flushed, so that they reach the disk with the data (POSIX;
// Windows: a new file has its directory's access rules already). Returns 0, or
// the Windows error code.
uint32_t TakeOverAccess(FILE* stream, const char* model);

// Replaces `to` by `from` (same directory) durably: the rename has reached the
// disk when this returns 0. `from` must still be the regular file `identity`
// names, not a link (kErrorAccessDenied otherwise). On POSIX an existing `to`'s
// permission bits (and, where allowed, owner and group) are taken over first
// where `from` lacks them (TakeOverAccess), flushed before the rename, and the
// containing directory is synced; a failing directory sync fails the replace.
// Windows: see platform_win32.cpp. Returns 0, or the Windows error code.
uint32_t ReplaceFileDurably(const char* from, const char* to, const FileIdentity& identity);

// ReplaceFileDurably without the directory sync: the file's data is on disk and
// the rename made, but only the caller's FlushContainingDirectory, once after a
// series of replacements into one directory, makes the renames durable. When
// replaced is not null it receives the file `to` named, held open (POSIX; else
// kInvalidHandle), so that the space it held is given back at the caller's
// CloseFileHandle instead of inside the rename, and so that the caller can read
// it again (ReadHandleAt) to see whether anything wrote to it meanwhile.
// With stamps (POSIX, when replaced is held): the replaced file's stamps through
// the held handle just before and just after the rename (which sets its change time).
struct ReplacedStamps {
  FileStamp beforeRename;
  FileStamp afterRename;
  bool taken;
};
uint32_t ReplaceFileFlushingLater(const char* from, const char* to, const FileIdentity& identity,
                                  FileHandle* replaced, ReplacedStamps* stamps = nullptr);

// Reads up to len bytes at offset through handle (its file position is not relied
// on); *got is 0 at the end of the file. 0, or the Windows error code.
uint32_t ReadHandleAt(FileHandle handle, uint64_t offset, void* data, size_t len, size_t* got);

// Whether a process other than this one has a file open, as far as the system tells.
enum class HoldState { NotHeld, Held, Unknown };
struct FileHolder {
  HoldState state;
  uint32_t pid;       // Held: the holder's process id; 0 when the system does not name it
  char command[64];   // its command name when pid is set
  bool mapped;        // Held with pid: through a mapping, no descriptor of it
  bool searched;      // the processes were searched for a holder (Linux)
  uint32_t unseen;    // processes whose open files or mappings could not be examined
  uint32_t error;     // Unknown: the Windows error code of the probe; 0 when the system
                      // cannot tell at all (a POSIX system other than Linux)
  int errorErrno;     // the errno behind error (POSIX; see FailureErrno), 0 when none
};
// Fills *holder for the file at path; a missing file is NotHeld. Linux: a write
// lease (F_SETLEASE), granted only while no other descriptor or mapping has the
// file, then /proc/<pid>/fd and /proc/<pid>/maps to name the holder, or to judge
// alone where no lease may be taken. A lease refused as "in use" with no holder
// found is Held all the same, unnamed (fail closed). Windows: an open that shares
// nothing fails with a sharing violation while any other handle reads, writes or
// deletes it; the holder is not named.
void FindOtherHolder(const char* path, FileHolder* holder);

// Waits for about ms milliseconds.
void SleepMilliseconds(uint32_t ms);

// Deletes the file at path and forces its directory's entries to disk; 0, or
// the Windows error code.
uint32_t RemoveFileDurably(const char* path);

// Creates one directory (POSIX mode 0700: a backup tree is for the operator
// alone). Returns 0, or the Windows error code (kErrorAlreadyExists when the
// name exists already).
uint32_t MakeDirectory(const NewEntry& entry);

// Removes an empty directory (never a link, never a directory with entries);
// returns 0, or the Windows error code.
uint32_t RemoveEmptyDirectory(const char* path);

// A lock that ends with its holder: opens or creates the regular file at path
// (never through a link, never waiting on a FIFO or device) and takes it for
// this process until CloseFileHandle or the process's end, emptied for the
// holder's record (WriteHandle). POSIX: flock, and the name must still lead to
// the locked file; Windows: an open that lets others only read. Returns 0 and
// the handle; kErrorSharingViolation while another process holds it;
// kErrorAccessDenied for anything but a regular file; or the Windows error code.
uint32_t TakeFileLock(const char* path, FileHandle* handle);

// One entry of a held directory, looked at without following a link.
struct HeldEntry {
  char name[260];
  EntryKind kind;
  uint64_t volume;  // POSIX st_dev; Windows the volume serial number
  uint64_t size;    // a regular file's size
  bool mountPoint;  // a directory where another file system, or a bind of one, is mounted
                    // (Linux; Windows shows mount points as reparse points, SymbolicLink)
};
// Calls visit for every entry (no "." or "..") of the directory open as dir
// (OpenDirectory of path) until it returns false. 0, or the Windows error code
// when the directory or an entry cannot be examined.
uint32_t ListHeldDirectory(FileHandle dir, const char* path,
                           bool (*visit)(const HeldEntry& entry, void* context), void* context);
// True when the directory name inside the directory open as dir is a mount
// point (see HeldEntry); Windows: false, its mount points being reparse points.
bool IsMountPointIn(FileHandle dir, const char* name);
// Removes the entry name of the directory open as dir (OpenDirectory of path):
// the file or link itself, or the empty directory, never what a link leads to
// (POSIX unlinkat; Windows an open of the entry itself, marked for deletion).
// 0, or the Windows error code.
uint32_t RemoveEntryIn(FileHandle dir, const char* path, const char* name, bool isDirectory);

// Free bytes available to the caller on the volume holding path.
bool FreeBytesAvailable(const char* path, uint64_t* bytes);
// Which volume holds the directory at path, equal for two directories on one
// volume: POSIX st_dev; Windows the volume serial number. False when unknown.
bool VolumeOf(const char* path, uint64_t* volume);

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
  uint32_t error;  // when failed: the Windows code (0: none known)
  int sysError;    // when failed on POSIX: the errno behind it (0: none)
};
// Starts the search; false when nothing matches, the directory does not exist, or
// (with failed set) the directory cannot be listed.
bool FindFirstEntry(const char* patternPath, DirectorySearch* search, DirectoryEntry* entry);
// Next matching entry; false at the end, or (with failed set) on a failure.
bool FindNextEntry(DirectorySearch* search, DirectoryEntry* entry);
// Ends the search and frees what it held.
void EndSearch(DirectorySearch* search);

// From HoldInterrupts on, an interrupt neither runs the clean-up nor ends the
// process: it is remembered (Windows: the console handler waits). ReleaseInterrupts
// ends the hold when none came; once one has come, the hold lasts until
// EndByHeldInterrupt, so that the run can finish its work and its report first.
void HoldInterrupts();
void ReleaseInterrupts();
// True once an interrupt came during a hold. Async-signal-safe.
bool InterruptWasHeld();
// True from HoldInterrupts until the hold ends.
bool HoldingInterrupts();
// Ends a hold: an interrupt that came during it now has the effect it would have
// had without the hold (the clean-up, then the end of the process, stdio flushed
// first). Returns when none came.
void DeliverHeldInterrupt();
// Ends the process as the held interrupt would have (POSIX: by its signal;
// Windows: with STATUS_CONTROL_C_EXIT); returns when none was held.
void EndByHeldInterrupt();

// Registers cleanup to run on Ctrl+C, Ctrl+Break, console close, logoff and
// shutdown (POSIX: SIGINT, SIGTERM, SIGHUP, SIGQUIT). cleanup must only call
// CloseFileHandle, RemoveFile and make plain stores; afterwards the process
// ends as it would have without the handler (on POSIX by the same signal; a
// signal the process was started to ignore, as under nohup, stays ignored).
// Registering twice is harmless.
bool InstallInterruptCleanup(void (*cleanup)());

// From the start of each program: a write to a pipe nobody reads any more (the
// console piped to a reader that quit) or past the file-size limit fails with
// its error instead of ending the process (POSIX: SIGPIPE and SIGXFSZ ignored),
// so the run ends through its own error paths and clean-up.
void KeepRunningOnWriteFailures();

// True when standard output, or standard error, is a console (not redirected to
// a file or pipe).
bool StdoutIsConsole();
bool StderrIsConsole();

// Runs work(context) on the calling thread and on up to extraThreads more at
// once, and returns when every run has returned. The extra threads get small
// stacks and share the allocator's arena, so that a run that fits in a memory
// limit on one thread fits with them too. The extra threads run below
// the caller's priority (Linux and Windows), so that the caller's own share,
// the longest, keeps a core. A thread the system refuses is not started: the
// runs that did start share the work.
void RunOnThreads(void (*work)(void*), void* context, unsigned extraThreads);

// Waits for one key press without echo and returns it; EOF (-1) when there is
// no terminal to read from (POSIX).
int ReadKeyNoEcho();

}  // namespace platform
