#include "backup/backup_identity.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "safety/file_snapshot.h"

namespace {

constexpr const char* kIdentityTitle = "QVCULLDB32 BACKUP IDENTITY";
constexpr size_t kIdentityFileLimit = kPathBufferSize + 256;

// Without the system's random source the id still differs between runs and
// between the backups of one run: the time, the process and a counter mixed.
void FallbackId(int64_t micros, unsigned char* bytes, size_t size) {
  static std::atomic<uint64_t> counter{0};
  uint64_t hash = 1469598103934665603ULL;
  const uint64_t parts[] = {static_cast<uint64_t>(micros), platform::CurrentProcessId(),
                            counter.fetch_add(1)};
  for (size_t i = 0; i < size; ++i) {
    hash ^= parts[i % 3] >> (8 * (i / 3 % 8));
    hash *= 1099511628211ULL;
    bytes[i] = static_cast<unsigned char>(hash >> 56);
  }
}

// "YYYY-MM-DD HH:MM:SS" of a UTC time, computed (the runtimes differ in their calls for it).
void UtcStamp(int64_t seconds, char* stamp, size_t size) {
  const int64_t days = seconds / 86400, rest = seconds % 86400;
  // Days since 1970-01-01 to a civil date (proleptic Gregorian, eras of 400 years).
  const int64_t z = days + 719468, era = z / 146097, doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  FormatBounded(stamp, size, "%04" PRId64 "-%02" PRId64 "-%02" PRId64 " %02" PRId64 ":%02" PRId64
                ":%02" PRId64, year, month, day, rest / 3600, rest / 60 % 60, rest % 60);
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The next CR LF line of text from *at, its end removed; false at the end.
bool NextLine(const char* text, size_t length, size_t* at, char* line, size_t size) {
  if (*at >= length) return false;
  const char* start = text + *at;
  const char* end = static_cast<const char*>(memchr(start, '\n', length - *at));
  if (end == nullptr || end == start || end[-1] != '\r') return false;
  const size_t used = static_cast<size_t>(end - start) - 1;
  if (used >= size || memchr(start, '\0', used) != nullptr) return false;
  memcpy(line, start, used);
  line[used] = '\0';
  *at += used + 2;
  return true;
}

}  // namespace

void NewBackupIdentity(const char* home, BackupIdentity* identity) {
  *identity = {};
  platform::CopyBounded(identity->home.text, sizeof identity->home.text, home);
  const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  identity->begunUtc = micros / 1000000;
  identity->begunMicros = static_cast<uint32_t>(micros % 1000000);
  unsigned char bytes[16];
  if (!platform::RandomBytes(bytes, sizeof bytes)) FallbackId(micros, bytes, sizeof bytes);
  for (size_t i = 0; i < sizeof bytes; ++i) {
    FormatBounded(identity->id + 2 * i, 3, "%02X", bytes[i]);
  }
}

void FormatIdentityText(const BackupIdentity& identity, IdentityText* out) {
  char stamp[32];
  UtcStamp(identity.begunUtc, stamp, sizeof stamp);
  FormatBounded(out->text, sizeof out->text,
                "%s\r\nHOME %s\r\nBEGUN %s UTC\r\nBEGUN-SECONDS %" PRId64 ".%06u\r\nID %s\r\nEND\r\n",
                kIdentityTitle, identity.home.text, stamp, identity.begunUtc,
                identity.begunMicros, identity.id);
}

bool ParseIdentityText(const char* text, size_t length, BackupIdentity* identity,
                       MessageBuffer* reason) {
  *identity = {};
  char line[kPathBufferSize + 16];
  size_t at = 0;
  const auto next = [&](const char* key) {
    if (!NextLine(text, length, &at, line, sizeof line)) return false;
    const size_t keyLength = strlen(key);
    return strncmp(line, key, keyLength) == 0;
  };
  if (!next(kIdentityTitle) || strcmp(line, kIdentityTitle) != 0) {
    return FailWith(reason, "its IDENTITY.TXT has no title");
  }
  if (!next("HOME ") || line[5] == '\0' || !CopyPath(&identity->home, line + 5)) {
    return FailWith(reason, "its IDENTITY.TXT names no home");
  }
  if (!next("BEGUN ")) return FailWith(reason, "its IDENTITY.TXT has no time");
  int64_t seconds = 0;
  unsigned micros = 0;
  int used = 0;
  if (!next("BEGUN-SECONDS ") ||
      sscanf(line, "BEGUN-SECONDS %" SCNd64 ".%6u%n", &seconds, &micros, &used) != 2 ||
      line[used] != '\0' || seconds < 0 || micros > 999999 || strlen(line) != static_cast<size_t>(used)) {
    return FailWith(reason, "its IDENTITY.TXT has no valid time");
  }
  identity->begunUtc = seconds;
  identity->begunMicros = micros;
  if (!next("ID ") || strlen(line) != 3 + kBackupIdSize - 1) {
    return FailWith(reason, "its IDENTITY.TXT has no valid id");
  }
  for (size_t i = 0; i < kBackupIdSize - 1; ++i) {
    if (!IsHexDigit(line[3 + i])) return FailWith(reason, "its IDENTITY.TXT has no valid id");
    identity->id[i] = line[3 + i];
  }
  if (!next("END") || strcmp(line, "END") != 0 || at != length) {
    return FailWith(reason, "its IDENTITY.TXT does not end where it should");
  }
  return true;
}

IdentityState ReadBackupIdentity(const char* dir, BackupIdentity* identity, MessageBuffer* reason) {
  PathBuffer path;
  if (!JoinPath(&path, dir, kIdentityName)) {
    FailWith(reason, "its path is too long");
    return IdentityState::Foreign;
  }
  FILE* stream = nullptr;
  const uint32_t error = platform::OpenRegularForReading(path.text, &stream);
  if (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
    FailWith(reason, "it has no IDENTITY.TXT");
    return IdentityState::Missing;
  }
  if (error == platform::kErrorNotRegularFile) {
    // Only when the name itself says so: a failed look at an open file says nothing.
    platform::EntryKind kind = platform::EntryKind::Missing;
    const bool regular = platform::ExamineEntry(path.text, &kind) != 0 ||
                         kind == platform::EntryKind::RegularFile;
    FailWith(reason, regular ? "its IDENTITY.TXT cannot be examined"
                             : "its IDENTITY.TXT is not a regular file");
    return regular ? IdentityState::Unreadable : IdentityState::Foreign;
  }
  if (error != 0) {
    FailWith(reason, "its IDENTITY.TXT cannot be opened%s", CauseOf(error).text);
    return IdentityState::Unreadable;
  }
  static thread_local char text[kIdentityFileLimit + 1];
  const size_t length = fread(text, 1, sizeof text, stream);
  const bool failed = ferror(stream) != 0;
  fclose(stream);
  if (failed) {
    FailWith(reason, "its IDENTITY.TXT cannot be read");
    return IdentityState::Unreadable;
  }
  if (length > kIdentityFileLimit) {
    FailWith(reason, "its IDENTITY.TXT is too long");
    return IdentityState::Foreign;
  }
  return ParseIdentityText(text, length, identity, reason) ? IdentityState::Read
                                                          : IdentityState::Foreign;
}

bool BegunAfter(const BackupIdentity& a, const BackupIdentity& b) {
  if (a.begunUtc != b.begunUtc) return a.begunUtc > b.begunUtc;
  if (a.begunMicros != b.begunMicros) return a.begunMicros > b.begunMicros;
  return strcmp(a.id, b.id) > 0;
}
