// What the purge candidates are made of, gathered during the purge scan: a long
// list of candidates is judged by its groups (by reason, security level and
// last-call age), by the users AllowPurge kept, and by the candidates of the
// highest security, where an account that should not go stands out.
#pragma once

#include <cstdint>

#include "base/run_options.h"
#include "userdb/last_call_date.h"
#include "userdb/user_records.h"

// Indexed by the PurgeReason bits (1 to 7); index 0 stays unused.
constexpr unsigned kReasonGroups = 8;
// One counter for every value of the signed 16-bit Security field.
constexpr unsigned kSecurityLevels = 65536;
constexpr int kLowestSecurity = -32768;
constexpr unsigned kTopCandidates = 10;

// Last-call age bands, in days: years of 365 days, the same days /OLD counts.
enum class AgeBand { UnderOneYear, OneToTwoYears, TwoToFiveYears, OverFiveYears, NoValidDate };
constexpr unsigned kAgeBands = 5;

// One candidate as the top list shows it.
struct ProfiledUser {
  uint64_t number;
  int16_t security;
  char name[kNameCapacity + 1];
  char lastCallText[kTimeDateCapacity + 1];
};

// Fixed in size whatever the number of users (the security counters are
// 32-bit: QVUSERS.DAT holds fewer than 2^32 records of 315 bytes). Only
// candidates (users other than #1 that a pack removes) are counted, so that
// every breakdown adds up to the candidates; keptByAllowPurge counts users.
struct SelectionProfile {
  uint64_t candidates;
  uint64_t byReasons[kReasonGroups];
  uint64_t byAgeBand[kAgeBands];
  uint64_t keptByAllowPurge;  // not selected, but a rule matched them apart from AllowPurge
  uint32_t bySecurity[kSecurityLevels];  // index: security - kLowestSecurity
  unsigned topCount;
  ProfiledUser top[kTopCandidates];  // highest security first; ties in user order
};

AgeBand AgeBandOf(const LastCallDate& lastCall);

// Whether a candidate can have exactly these reasons under the run's rules.
bool ReasonGroupPossible(const RunOptions& options, unsigned reasons);

// Counts one candidate; users must come in user-number order.
void NoteCandidate(SelectionProfile* profile, const ProfiledUser& user, unsigned reasons,
                   const LastCallDate& lastCall);

// Keeps user among the kTopCandidates of the highest security: a later user of
// a level already listed goes after it, and one below a full list stays out.
void KeepAmongTop(SelectionProfile* profile, const ProfiledUser& user);

// The section printed before a run's summary.
void PrintSelectionProfile(const SelectionProfile& profile, const RunOptions& options);
