// The candidate profile: counted candidate by candidate during the purge scan,
// printed as one section before the run's summary.
#include "userdb/selection_profile.h"

#include <cinttypes>
#include <cstring>

#include "base/output.h"
#include "userdb/purge_scan.h"

namespace {

constexpr int64_t kDaysPerYear = 365;

// Counts of the section line up in one column.
void PrintCountLine(const char* label, uint64_t count) {
  Tee("  %-44s%" PRIu64 "\n", label, count);
}

void PrintReasonGroups(const SelectionProfile& profile, const RunOptions& options) {
  // Single reasons first; each group named as its candidates' Reason= text shows it.
  static const struct {
    unsigned reasons;
    const char* name;
  } kGroups[] = {{kReasonDeleted, "already Deleted only:"},
                 {kReasonSec, "/SEC match only:"},
                 {kReasonOld, "/OLD match only:"},
                 {kReasonDeleted | kReasonSec, "already Deleted + /SEC match:"},
                 {kReasonDeleted | kReasonOld, "already Deleted + /OLD match:"},
                 {kReasonSec | kReasonOld, "/SEC match + /OLD match:"},
                 {kReasonDeleted | kReasonSec | kReasonOld,
                  "already Deleted + /SEC match + /OLD match:"}};
  Tee("By reason (each candidate counted once):\n");
  for (const auto& group : kGroups) {
    if (ReasonGroupPossible(options, group.reasons)) {
      PrintCountLine(group.name, profile.byReasons[group.reasons]);
    }
  }
}

void PrintSecurityLevels(const SelectionProfile& profile) {
  Tee("By security level:\n");
  if (profile.candidates == 0) {
    Tee("  (no candidates)\n");
    return;
  }
  for (unsigned index = 0; index < kSecurityLevels; ++index) {
    if (profile.bySecurity[index] == 0) continue;
    char label[24];
    FormatBounded(label, sizeof label, "Sec=%d:", static_cast<int>(index) + kLowestSecurity);
    PrintCountLine(label, profile.bySecurity[index]);
  }
}

void PrintAgeBands(const SelectionProfile& profile) {
  static const char* const kBandNames[kAgeBands] = {
      "Under 1 year (0-364 days):", "1-2 years (365-729 days):", "2-5 years (730-1824 days):",
      "Over 5 years (1825 days or more):", "No valid date:"};
  Tee("By last call:\n");
  for (unsigned band = 0; band < kAgeBands; ++band) {
    PrintCountLine(kBandNames[band], profile.byAgeBand[band]);
  }
}

void PrintTopCandidates(const SelectionProfile& profile) {
  Tee("Highest security among the candidates (at most %u):\n", kTopCandidates);
  if (profile.topCount == 0) Tee("  (no candidates)\n");
  for (unsigned i = 0; i < profile.topCount; ++i) {
    const ProfiledUser& user = profile.top[i];
    Tee("  #%-6" PRIu64 " Name='%s' Sec=%d Last='%s'\n", user.number, user.name, user.security,
        user.lastCallText);
  }
}

}  // namespace

AgeBand AgeBandOf(const LastCallDate& lastCall) {
  if (!lastCall.valid) return AgeBand::NoValidDate;
  if (lastCall.age < kDaysPerYear) return AgeBand::UnderOneYear;
  if (lastCall.age < 2 * kDaysPerYear) return AgeBand::OneToTwoYears;
  if (lastCall.age < 5 * kDaysPerYear) return AgeBand::TwoToFiveYears;
  return AgeBand::OverFiveYears;
}

bool ReasonGroupPossible(const RunOptions& options, unsigned reasons) {
  const bool sec = (reasons & kReasonSec) != 0;
  const bool old = (reasons & kReasonOld) != 0;
  if (reasons == 0 || reasons >= kReasonGroups) return false;
  if (options.delOnly) return !sec && !old;
  if ((sec && !options.secGiven) || (old && !options.oldGiven)) return false;
  return !options.andGiven || sec == old;  // under /AND the two rules select together
}

void NoteCandidate(SelectionProfile* profile, const ProfiledUser& user, unsigned reasons,
                   const LastCallDate& lastCall) {
  profile->candidates += 1;
  if (reasons < kReasonGroups) profile->byReasons[reasons] += 1;
  profile->byAgeBand[static_cast<unsigned>(AgeBandOf(lastCall))] += 1;
  profile->bySecurity[static_cast<int>(user.security) - kLowestSecurity] += 1;
  KeepAmongTop(profile, user);
}

void KeepAmongTop(SelectionProfile* profile, const ProfiledUser& user) {
  unsigned at = profile->topCount;
  while (at > 0 && profile->top[at - 1].security < user.security) --at;
  if (at >= kTopCandidates) return;
  const unsigned kept = profile->topCount < kTopCandidates ? profile->topCount : kTopCandidates - 1;
  memmove(&profile->top[at + 1], &profile->top[at], (kept - at) * sizeof profile->top[0]);
  profile->top[at] = user;
  if (profile->topCount < kTopCandidates) profile->topCount += 1;
}

void PrintSelectionProfile(const SelectionProfile& profile, const RunOptions& options) {
  Tee("\n================== CANDIDATE PROFILE ==================\n");
  Tee("%-46s%" PRIu64 "\n", "Purge candidates:", profile.candidates);
  PrintReasonGroups(profile, options);
  PrintSecurityLevels(profile);
  PrintAgeBands(profile);
  Tee("%-46s%" PRIu64 "\n", "Matched a rule, kept by AllowPurge=NO:", profile.keptByAllowPurge);
  PrintTopCandidates(profile);
}
