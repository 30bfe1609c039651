// QVLINK.BSY: created exclusively, held open for the whole run, removed at the end
// or by the interrupt clean-up, and known by its identity: a lock file this run
// did not create, even one put at the same name meanwhile, is never touched.
#include "base/interrupt_hold.h"
#include "safety/shared_lock.h"

#include <cinttypes>
#include <cstring>
#include <cstdio>
#include <ctime>

#include "base/cleanup_registry.h"
#include "base/paths.h"
#include "base/run_options.h"
#include "platform/platform.h"

namespace {

// The two fixed lines, which other tools may show; the third names the run.
constexpr char kLockContent[] =
    "QVCULLDB32 0.4.0-beta1\r\nShared Quorvex maintenance lock\r\n";
constexpr size_t kLockReadLimit = 512;  // far more than any lock line
constexpr size_t kHostSize = 64;

// The path of the last attempt, the clean-up slot of the held lock (-1 when
// none) and the identity of the file this run created: the slot holds the open
// handle, and whoever takes the slot back, the release or the interrupt
// clean-up, alone deletes it and closes it.
PathBuffer g_lockPath;
int g_lockSlot = -1;
platform::FileIdentity g_lockIdentity{};
char g_ownRecord[160] = "";

LockResult CreateRegisterAndWrite(const char* startStamp, MessageBuffer* reason) {
  platform::FileHandle handle = platform::kInvalidHandle;
  const uint32_t createError = platform::CreateExclusiveFile(g_lockPath.text, &handle);
  if (createError == platform::kErrorFileExists || createError == platform::kErrorAlreadyExists) {
    return LockResult::AlreadyExists;
  }
  if (createError != 0) {
    FailWith(reason, "CreateFile failed%s.", CauseOf(createError).text);
    return LockResult::Failed;
  }
  const uint32_t identityError = platform::IdentifyHandle(handle, &g_lockIdentity);
  const CauseText identityCause = CauseOf(identityError);
  g_lockSlot = identityError == 0 ? RegisterCleanup(g_lockPath.text, handle) : -1;
  if (g_lockSlot < 0) {  // the table always has room for the lock, taken first
    platform::CloseFileHandle(handle);
    platform::RemoveFile(g_lockPath.text);
    if (identityError != 0) {
      FailWith(reason, "could not identify the lock file%s.", identityCause.text);
    } else {
      FailWith(reason, "could not install Ctrl+C lock cleanup handler.");
    }
    return LockResult::Failed;
  }
  char host[kHostSize];
  if (!platform::HostName(host, sizeof host)) platform::CopyBounded(host, sizeof host, "?");
  FormatBounded(g_ownRecord, sizeof g_ownRecord, "Held by process %" PRIu64 " on host %s since %s",
                platform::CurrentProcessId(), host, startStamp);
  char content[sizeof kLockContent + sizeof g_ownRecord + 2];
  const int length =
      FormatBounded(content, sizeof content, "%s%s\r\n", kLockContent, g_ownRecord);
  const uint32_t writeError =
      FormatComplete(length, sizeof content)
          ? platform::WriteHandle(handle, content, static_cast<size_t>(length))
          : platform::kErrorGenFailure;
  if (writeError != 0) {
    const CauseText writeCause = CauseOf(writeError);
    ReleaseSharedLock();
    FailWith(reason, "could not initialize lock file%s.", writeCause.text);
    return LockResult::Failed;
  }
  return LockResult::Acquired;
}

}  // namespace

LockResult AcquireSharedLock(const char* path, const char* startStamp, MessageBuffer* reason) {
  // One lock per run: a second attempt must not repoint the state at another file.
  if (SharedLockOwned()) return LockResult::AlreadyExists;
  if (!CopyPath(&g_lockPath, path)) {
    FailWith(reason, "lock path is too long.");
    return LockResult::Failed;
  }
  if (!InstallCleanupOnInterrupt()) {
    FailWith(reason, "could not install Ctrl+C lock cleanup handler.");
    return LockResult::Failed;
  }
  // Interrupts wait from the lock's creation until it is registered and written:
  // one in between would leave an empty lock that blocks every later run.
  const InterruptHold hold;
  return CreateRegisterAndWrite(startStamp, reason);
}

LockRelease ReleaseSharedLock() {
  const int slot = g_lockSlot;
  g_lockSlot = -1;
  switch (ReleaseCleanupSlot(slot)) {
    case platform::HeldRemoval::Removed:
      return LockRelease::Released;
    case platform::HeldRemoval::Replaced:
      return LockRelease::Replaced;
    default:
      return LockRelease::Failed;
  }
}

bool IsSharedLockHeld() {
  return SharedLockOwned() &&
         platform::MatchEntry(g_lockPath.text, g_lockIdentity) == platform::EntryMatch::Same;
}

bool SharedLockOwned() { return CleanupSlotHeld(g_lockSlot); }

LockCheck CheckSharedLock() {
  if (!SharedLockOwned()) return LockCheck::Lost;
  switch (platform::MatchEntry(g_lockPath.text, g_lockIdentity)) {
    case platform::EntryMatch::Same:
      return LockCheck::Held;
    case platform::EntryMatch::Unknown:
      return LockCheck::Unknown;
    default:
      return LockCheck::Lost;
  }
}

const char* SharedLockPath() { return g_lockPath.text; }

const char* OwnRunRecord() { return g_ownRecord; }

// ---- A lock found at the path ---------------------------------------------------

namespace {

// Line `index` (from 0) of what was read, without its line end; false when absent.
bool LineOf(const char* text, size_t length, int index, const char** line, size_t* lineLength) {
  size_t start = 0;
  for (int n = 0; n < index; ++n) {
    const void* end = memchr(text + start, '\n', length - start);
    if (end == nullptr) return false;
    start = static_cast<size_t>(static_cast<const char*>(end) - text) + 1;
  }
  if (start >= length) return false;
  const void* end = memchr(text + start, '\n', length - start);
  size_t stop = end == nullptr ? length : static_cast<size_t>(static_cast<const char*>(end) - text);
  if (stop > start && text[stop - 1] == '\r') --stop;
  *line = text + start;
  *lineLength = stop - start;
  return true;
}

// The line as it may be printed: anything but printable ASCII becomes '?', and
// it is cut to fit.
void PrintableCopy(const char* line, size_t length, char* out, size_t size) {
  size_t n = 0;
  for (; n < length && n + 1 < size; ++n) {
    const unsigned char c = static_cast<unsigned char>(line[n]);
    out[n] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  out[n] = '\0';
}

// A cursor over one line of the lock, for the checks of the holder line.
struct LineReader {
  const char* at;
  const char* end;
};

bool Take(LineReader* r, const char* text) {
  const size_t length = strlen(text);
  if (static_cast<size_t>(r->end - r->at) < length || memcmp(r->at, text, length) != 0) {
    return false;
  }
  r->at += length;
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHostCharacter(char c) {
  return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
         c == '.' || c == '_';
}

}  // namespace

// "Held by process N on host NAME since YYYY-MM-DD HH:MM:SS", every field checked.
bool ParseRunRecord(const char* line, size_t length, RunRecord* holder) {
  LineReader r{line, line + length};
  if (!Take(&r, "Held by process ")) return false;
  holder->process = 0;
  int digits = 0;
  for (; r.at < r.end && IsDigit(*r.at) && digits < 10; ++r.at, ++digits) {
    holder->process = holder->process * 10 + static_cast<uint64_t>(*r.at - '0');
  }
  if (digits == 0 || holder->process == 0 || !Take(&r, " on host ")) return false;
  size_t hostLength = 0;
  for (; r.at < r.end && IsHostCharacter(*r.at) && hostLength + 1 < sizeof holder->host; ++r.at) {
    holder->host[hostLength++] = *r.at;
  }
  holder->host[hostLength] = '\0';
  if (hostLength == 0 || !Take(&r, " since ") || r.end - r.at != 19) return false;
  for (int i = 0; i < 19; ++i) {
    const char c = r.at[i];
    const char expected = "0000-00-00 00:00:00"[i];
    if (expected == '0' ? !IsDigit(c) : c != expected) return false;
    holder->since[i] = c;
  }
  holder->since[19] = '\0';
  return true;
}

namespace {

bool SameHostName(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;
    const char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

void PrintLockAge(const platform::ForeignFileStart& found) {
  if (!found.dated) return;
  const time_t written = static_cast<time_t>(found.modified);
  char stamp[32] = "at an unknown time";
  const struct tm* local = localtime(&written);
  if (local != nullptr) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local);
  const int64_t age = static_cast<int64_t>(time(nullptr)) - found.modified;
  if (age < 0) {
    Tee("Lock age:            unknown - last written %s, later than this computer's clock\n",
        stamp);
    return;
  }
  const int64_t minutes = age / 60;
  const int64_t days = minutes / 1440;
  const int hours = static_cast<int>(minutes / 60 % 24);
  const int rest = static_cast<int>(minutes % 60);
  if (days > 0) {
    Tee("Lock age:            %" PRId64 " d %d h %02d min (last written %s)\n", days, hours, rest,
        stamp);
  } else {
    Tee("Lock age:            %d h %02d min (last written %s)\n", hours, rest, stamp);
  }
}

// The recorded local start time in seconds since 1970; false when it is no time.
bool RecordedStart(const char* since, int64_t* at) {
  struct tm fields {};
  if (sscanf(since, "%4d-%2d-%2d %2d:%2d:%2d", &fields.tm_year, &fields.tm_mon, &fields.tm_mday,
             &fields.tm_hour, &fields.tm_min, &fields.tm_sec) != 6) {
    return false;
  }
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  fields.tm_isdst = -1;
  const time_t seconds = mktime(&fields);
  if (seconds == static_cast<time_t>(-1)) return false;
  *at = static_cast<int64_t>(seconds);
  return true;
}

// A run records the clock just after it starts, to the second: its process
// started at most a little before the record (a slow start under Wine), never after.
constexpr int64_t kStartBeforeRecord = 120;
constexpr int64_t kStartAfterRecord = 2;

}  // namespace

RecordedRunJudgement JudgeRecordedRun(const RunRecord& record) {
  char host[kHostSize];
  if (!platform::HostName(host, sizeof host) || !SameHostName(host, record.host)) {
    return {RecordedRun::OtherHost, 0};
  }
  if (record.process == platform::CurrentProcessId()) return {RecordedRun::OwnId, 0};
  int64_t startedAt = 0;
  bool startKnown = false;
  switch (platform::ProcessStartOf(record.process, &startedAt, &startKnown)) {
    case platform::ProcessState::Gone:
      return {RecordedRun::Ended, 0};
    case platform::ProcessState::Unknown:
      return {RecordedRun::Unknown, 0};
    case platform::ProcessState::Running:
      break;
  }
  int64_t recorded = 0;
  if (!startKnown || !RecordedStart(record.since, &recorded)) return {RecordedRun::Unknown, 0};
  if (startedAt < recorded - kStartBeforeRecord || startedAt > recorded + kStartAfterRecord) {
    return {RecordedRun::IdReused, startedAt};
  }
  return {RecordedRun::Live, startedAt};
}

const char* RecordedRunText(const RecordedRunJudgement& judgement, char* buffer, size_t size) {
  switch (judgement.state) {
    case RecordedRun::Live:
      return "ACTIVE - the process with that id runs on this host and started when the record "
             "says: that run goes on. Let it finish.";
    case RecordedRun::Ended:
      return "STALE - that process no longer runs on this host.";
    case RecordedRun::OwnId:
      return "STALE - that process id is this run's own: the run that recorded it has ended.";
    case RecordedRun::IdReused: {
      const time_t started = static_cast<time_t>(judgement.startedAt);
      char stamp[32] = "at another time";
      const struct tm* local = localtime(&started);
      if (local != nullptr) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local);
      FormatBounded(buffer, size,
                    "STALE - a process with that id runs, but it started %s, not when the record "
                    "says: the id was reused.",
                    stamp);
      return buffer;
    }
    case RecordedRun::OtherHost:
      return "made on another host: whether that run goes on cannot be checked from here; ask "
             "there before removing anything.";
    case RecordedRun::Unknown:
      break;
  }
  return "unknown - this host cannot tell whether that run goes on.";
}

namespace {

bool IsStale(RecordedRun state) {
  return state == RecordedRun::Ended || state == RecordedRun::OwnId ||
         state == RecordedRun::IdReused;
}

// For a lock of this program: who holds it and whether that run still goes on here.
LockRefusal DescribeHolder(const char* path, const char* line, size_t length) {
  RunRecord holder;
  if (!ParseRunRecord(line, length, &holder)) {
    Tee("Lock held by:        not recorded (a lock of an earlier version, or a damaged one)\n");
    return LockRefusal::Other;
  }
  const RecordedRunJudgement judgement = JudgeRecordedRun(holder);
  if (judgement.state == RecordedRun::OtherHost) {
    Tee("Lock held by:        process %" PRIu64 " on host %s since %s\n", holder.process,
        holder.host, holder.since);
  } else {
    Tee("Lock held by:        process %" PRIu64 " on this host since %s\n", holder.process,
        holder.since);
  }
  char text[160];
  Tee("Lock status:         %s\n", RecordedRunText(judgement, text, sizeof text));
  if (IsStale(judgement.state)) {
    Tee("To remove it safely: make sure no Quorvex maintenance tool is running, delete only %s, "
        "then run again.\n", path);
    return LockRefusal::Stale;
  }
  return judgement.state == RecordedRun::Live ? LockRefusal::RunGoesOn : LockRefusal::Other;
}

// Another tool's lock carries no record this program can judge: the sysop
// decides, and is told how to remove it without harm.
void SayHowToRemoveForeignLock(const char* tool, const char* path) {
  Tee("To remove it safely: let %s finish; only when it runs on no node or machine, delete "
      "only %s, then run again.\n", tool, path);
}

}  // namespace

LockRefusal DescribeFoundLock(const char* path) {
  char text[kLockReadLimit];
  platform::ForeignFileStart found;
  const uint32_t error = platform::ReadForeignFileStart(path, text, sizeof text, &found);
  PrintLockAge(found);
  if (error == platform::kErrorSharingViolation) {
    Tee("Lock file:           held open by a running program; its content cannot be read.\n");
    return LockRefusal::RunGoesOn;
  }
  if (error == platform::kErrorAccessDenied) {
    Tee("Lock file:           not a regular file; not read.\n");
    return LockRefusal::Other;
  }
  if (error != 0) {
    Tee("Lock file:           cannot be read%s.\n", CauseOf(error).text);
    return LockRefusal::Other;
  }
  const char* line = nullptr;
  size_t length = 0;
  char tool[80];
  if (!LineOf(text, found.length, 0, &line, &length) || length == 0) {
    Tee("Lock written by:     not named (the lock file's first line is empty)\n");
    SayHowToRemoveForeignLock("any Quorvex maintenance tool", path);
    return LockRefusal::Other;
  }
  PrintableCopy(line, length, tool, sizeof tool);
  Tee("Lock written by:     %s\n", tool);
  const size_t nameLength = strlen(kProgramName);
  const bool ours = length > nameLength && memcmp(line, kProgramName, nameLength) == 0 &&
                    line[nameLength] == ' ';
  if (!ours) {
    SayHowToRemoveForeignLock(tool, path);
    return LockRefusal::Other;
  }
  if (!LineOf(text, found.length, 2, &line, &length)) length = 0;
  return DescribeHolder(path, line, length);
}
