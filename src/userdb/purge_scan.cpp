// The purge scan: one pass over QVUSERS.DAT that decides, by the selection
// rules, which users a pack removes, lists them and marks the purge map.
#include "userdb/purge_scan.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/output.h"
#include "base/progress.h"
#include "platform/platform.h"
#include "userdb/selection_profile.h"
#include "userdb/user_records.h"

namespace {

constexpr size_t kScanStreamBufferSize = 65536;
using ReasonText = TextBuffer<128>;

// The selection fields of one user, as shown and judged.
struct ScannedUser {
  uint64_t number;
  unsigned nameLength;
  unsigned timeDateLength;
  char name[kNameCapacity + 1];
  char lastCallText[kTimeDateCapacity + 1];
  int16_t security;
  unsigned allowPurge;
  unsigned deleted;
  LastCallDate lastCall;
};

ScannedUser ReadScannedUser(const UserRecord& record, uint64_t number, int64_t todayDayNumber) {
  ScannedUser user = {};
  user.number = number;
  user.nameLength = UserName(record).length;
  user.timeDateLength = TimeDate(record).length;
  DisplayText(UserName(record), kNameCapacity, user.name);
  DisplayText(TimeDate(record), kTimeDateCapacity, user.lastCallText);
  user.security = Security(record);
  user.allowPurge = AllowPurgeByte(record);
  user.deleted = DeletedByte(record);
  user.lastCall = ParseTimeDate(user.lastCallText, todayDayNumber);
  return user;
}

void PrintUserWarnings(const ScannedUser& user, const RunOptions& options, RunCounters* counters) {
  if (user.nameLength > kNameCapacity) {
    Tee("WARN user %" PRIu64 ": UserName Pascal length exceeds %u; display was truncated.\n",
        user.number, kNameCapacity);
    counters->warnings += 1;
  }
  if (user.timeDateLength > kTimeDateCapacity) {
    Tee("WARN user %" PRIu64 " (%s): TimeDate Pascal length exceeds %u.\n", user.number, user.name,
        kTimeDateCapacity);
    counters->warnings += 1;
  } else if (!user.lastCall.valid && options.oldGiven) {
    Tee("WARN user %" PRIu64 " (%s): TimeDate '%s' is not eligible for /OLD (%s).\n", user.number,
        user.name, user.lastCallText, user.lastCall.reason);
    counters->warnings += 1;
  }
  if (user.allowPurge >= 2 || user.deleted >= 2) {
    Tee("WARN user %" PRIu64
        " (%s): noncanonical Boolean byte AllowPurge=%u Deleted=%u; nonzero treated as TRUE.\n",
        user.number, user.name, user.allowPurge, user.deleted);
    counters->warnings += 1;
  }
}

void CountSelection(unsigned reasons, RunCounters* counters) {
  counters->selected += 1;
  if (reasons & kReasonDeleted) counters->deletedHits += 1;
  if (reasons & kReasonSec) counters->secHits += 1;
  if (reasons & kReasonOld) counters->oldHits += 1;
}

// The reason names joined by " + ", in bit order.
void FormatReasonText(unsigned reasons, ReasonText* out) {
  static const struct {
    unsigned bit;
    const char* name;
  } kNames[] = {{kReasonDeleted, "already Deleted"}, {kReasonSec, "/SEC match"},
                {kReasonOld, "/OLD match"}};
  out->text[0] = '\0';
  size_t used = 0;
  for (const auto& entry : kNames) {
    if (!(reasons & entry.bit)) continue;
    const int written = FormatBounded(out->text + used, sizeof out->text - used, "%s%s",
                                      used == 0 ? "" : " + ", entry.name);
    if (!FormatComplete(written, sizeof out->text - used)) return;
    used += static_cast<size_t>(written);
  }
}

const char* YesNo(unsigned value) {
  return value != 0 ? "YES" : "NO";
}

void PrintSelectedUser(const ScannedUser& user, unsigned reasons, const RunOptions& options,
                       const char* candidateLabel) {
  const bool isUser1 = user.number == 1;
  char head[192];
  if (isUser1) {
    FormatBounded(head, sizeof head, "PROTECTED  #%-6" PRIu64 " Name='%s' Sec=%d Last='%s'",
                  user.number, user.name, user.security, user.lastCallText);
  } else {
    FormatBounded(head, sizeof head, "%s #%-6" PRIu64 " Name='%s' Sec=%d Last='%s'", candidateLabel,
                  user.number, user.name, user.security, user.lastCallText);
  }
  char age[40] = "";
  if (options.oldGiven && user.lastCall.valid) {
    FormatBounded(age, sizeof age, " Age=%" PRId64, user.lastCall.age);
  } else if (options.oldGiven) {
    FormatBounded(age, sizeof age, " Age=INVALID");
  }
  ReasonText reasonText;
  FormatReasonText(reasons, &reasonText);
  const bool bothRules = (reasons & kReasonSec) && (reasons & kReasonOld);
  Tee("%s%s AllowPurge=%s Deleted=%s Reason=%s%s%s\n", head, age, YesNo(user.allowPurge),
      YesNo(user.deleted), reasonText.text, options.andGiven && bothRules ? " [AND]" : "",
      isUser1 ? " [USER #1 WILL NOT BE PURGED]" : "");
}

// A user no rule selected that a rule would have with AllowPurge TRUE.
bool KeptByAllowPurge(const ScannedUser& user, const RunOptions& options) {
  return user.allowPurge == 0 &&
         SelectReasons(options, user.security, true, user.deleted != 0, user.lastCall) != 0;
}

void ProfileCandidate(const ScannedUser& user, unsigned reasons, SelectionProfile* profile) {
  ProfiledUser shown = {};
  shown.number = user.number;
  shown.security = user.security;
  memcpy(shown.name, user.name, sizeof shown.name);
  memcpy(shown.lastCallText, user.lastCallText, sizeof shown.lastCallText);
  NoteCandidate(profile, shown, reasons, user.lastCall);
}

// Counts, marks, profiles and lists one user; user #1 is never marked.
void JudgeUser(const ScannedUser& user, const RunOptions& options, RunCounters* counters,
               const ScanOutputs& outputs, const char* candidateLabel) {
  const unsigned reasons = SelectReasons(options, user.security, user.allowPurge != 0,
                                         user.deleted != 0, user.lastCall);
  if (reasons == 0) {
    counters->retained += 1;
    if (KeptByAllowPurge(user, options)) outputs.profile->keptByAllowPurge += 1;
    return;
  }
  CountSelection(reasons, counters);
  if (user.number == 1) {
    counters->protectedUser1 += 1;
    counters->retained += 1;
  } else {
    counters->purgeCandidates += 1;
    if (outputs.purgeMap != nullptr) outputs.purgeMap[user.number - 1] = 1;
    ProfileCandidate(user, reasons, outputs.profile);
  }
  PrintSelectedUser(user, reasons, options, candidateLabel);
}

void PrintScanHeading(CalendarDate today, bool writeFlag) {
  BeginSection(writeFlag ? "\n==================== PURGE PLAN ====================\n"
                         : "\n==================== PURGE PREVIEW ====================\n");
  Tee("%s date:        %04d-%02d-%02d\n", writeFlag ? "Pack" : "Preview", today.year, today.month,
      today.day);
  Tee("User #1 protection: ENABLED\n");
  Tee("-------------------------------------------------------\n");
}

}  // namespace

void PrintSelectionRules(const RunOptions& options) {
  Tee("\nSelection rules:\n");
  if (options.delOnly) {
    Tee("  Selection mode: /DEL (deleted records only).\n");
    Tee("  Include only users already marked Deleted=TRUE.\n");
    Tee("  /SEC, /OLD, and /AND evaluation: DISABLED by /DEL.\n");
    return;
  }
  Tee("  Always include users already marked Deleted=TRUE.\n");
  if (options.secGiven) {
    Tee("  /SEC=%d: include matching users only when AllowPurge=TRUE.\n",
        static_cast<int>(options.secValue));
  } else {
    Tee("  /SEC: not supplied.\n");
  }
  if (options.oldGiven) {
    Tee("  /OLD=%u: include users at least %u days old only when AllowPurge=TRUE.\n",
        options.oldDays, options.oldDays);
  } else {
    Tee("  /OLD: not supplied.\n");
  }
  if (!options.secGiven || !options.oldGiven) {
    Tee("  Combination rule: N/A - only one or neither optional rule supplied.\n");
  } else if (options.andGiven) {
    Tee("  Combination rule: %s\n", "AND");
    Tee("  /AND: non-deleted users must match both /SEC and /OLD.\n");
  } else {
    Tee("  Combination rule: %s\n", "OR (legacy-compatible)");
    Tee("  Combined /SEC and /OLD rules use OR behavior, matching the original utility.\n");
  }
}

unsigned SelectReasons(const RunOptions& options, int16_t security, bool allowPurge, bool deleted,
                       const LastCallDate& lastCall) {
  unsigned reasons = deleted ? kReasonDeleted : 0;
  if (options.delOnly) return reasons;
  const bool secMatch = options.secGiven && allowPurge &&
                        int64_t{security} == static_cast<int64_t>(options.secValue);
  const bool oldMatch = options.oldGiven && allowPurge && lastCall.valid &&
                        lastCall.age >= static_cast<int64_t>(options.oldDays);
  if (options.andGiven) {
    if (secMatch && oldMatch) reasons |= kReasonSec | kReasonOld;
  } else {
    if (secMatch) reasons |= kReasonSec;
    if (oldMatch) reasons |= kReasonOld;
  }
  return reasons;
}

bool PurgeScan(const char* usersDat, const RunOptions& options, CalendarDate today,
               uint64_t userCount, RunCounters* counters, const ScanOutputs& outputs,
               bool writeFlag) {
  FILE* stream = nullptr;
  const uint32_t openError = platform::OpenRegularForReading(usersDat, &stream);
  if (openError == platform::kErrorNotRegularFile) {
    return ReportError(counters, "ERROR: QVUSERS.DAT is not a regular file: %s\n", usersDat);
  }
  if (openError != 0) {
    return ReportError(counters, "ERROR: cannot open QVUSERS.DAT%s.\n", CauseOf(openError).text);
  }
  // A larger buffer keeps a scan of many thousand 315-byte records cheap; the
  // default is kept when the runtime refuses it.
  char streamBuffer[kScanStreamBufferSize];
  setvbuf(stream, streamBuffer, _IOFBF, sizeof streamBuffer);

  PrintScanHeading(today, writeFlag);
  const int64_t todayDayNumber = DayNumber(today.year, today.month, today.day);
  const char* candidateLabel = writeFlag ? "WILL-PURGE" : "WOULD-PURGE";
  UserRecord record;
  for (uint64_t number = 1; number <= userCount; ++number) {
    const size_t got = fread(record.bytes, 1, kUserRecordSize, stream);
    AdvanceProgress(got);
    if (got != kUserRecordSize) {
      ReportError(counters, "ERROR: short read at QVUSERS.DAT record %" PRIu64 ".\n", number);
      fclose(stream);
      return false;
    }
    const ScannedUser user = ReadScannedUser(record, number, todayDayNumber);
    PrintUserWarnings(user, options, counters);
    JudgeUser(user, options, counters, outputs, candidateLabel);
  }
  fclose(stream);
  return true;
}
