// The sample BBS that the write-run scenarios pack, the transcript text the
// program prints for it, the packed database it must leave, and the checks
// that hold after every write run.
//
// The sample: 40 users, three LMR files of 9999 slots, pointer records whose
// bytes after the name differ from the user records', and these records:
//   #1          Deleted (protected: listed, never purged)
//   #5 #12 #17 #31 #40   Deleted
//   #9 #26 #35  Security 77, AllowPurge TRUE (purged by /SEC=77)
//   #20         Security 77, AllowPurge FALSE (kept)
//   #9          a name holding a TAB and the byte 0xE9
//   #12         Security -5, TimeDate "01/02/03"
//   #26         an empty CallingFrom
// so that "/SEC=77" purges kPackPurged and keeps user #1.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

constexpr int kPackSec = 77;
// The users a /SEC=77 run purges, and how many stay.
extern const std::vector<uint32_t> kPackPurged;
constexpr unsigned kPackRetained = 32;

struct PackSample {
  ScratchDir scratch;
  SamplePaths paths;  // home, WORK and MESSAGE on this host
};

// The fixture's spec; the caller may change it before WritePackSample.
SampleSpec PackSpec();
// Writes the sample beneath scratch/BBS and applies the record changes above.
bool WritePackSample(const SampleSpec& spec, PackSample* sample, std::string* error);

// A path as the program prints it: host path in the program's own form.
std::string Shown(const std::string& hostPath);

// The run's clock, read from its "Started:" line: "YYYY-MM-DD", "HH:MM:SS" and
// the backup-directory stamp "YYYYMMDD-HHMMSS". Empty when the line is missing.
std::string RunDate(const RunResult& run);
std::string RunTime(const RunResult& run);
std::string RunStamp(const RunResult& run);

// What every write run of the sample prints up to and including the purge
// plan: the header (program name and args on the command-line line), the
// paths, the offline warning, SAFETY, FILE VALIDATION, the selection rules
// (secRule < 0: no /SEC, only Deleted users) and the plan lines, computed from
// the live QVUSERS.DAT as it is now. Clock fields as NormaliseClock leaves them.
std::string ExpectedOpening(const PackSample& sample, const std::vector<std::string>& args,
                            int secRule);

// The staging banner and the lines of the staged user files and every LMR
// file; a run that stages everything goes on with kStagingPassTail.
std::string ExpectedStaging(const PackSample& sample, unsigned retained);
extern const char* const kStagingPassTail;

// The whole transcript of a /SEC=77 pack of the sample that succeeds with its
// backup beneath shownRoot (as the program prints it). Call before the run.
std::string ExpectedPackTranscript(const PackSample& sample, const std::vector<std::string>& args,
                                   const std::string& shownRoot);

struct SummaryCounts {
  uint64_t users = 0;
  uint64_t selected = 0;
  unsigned purged = 0;    // "Purged/committed"
  unsigned retained = 0;  // "Retained after pack"
  uint64_t protectedUser1 = 0;
  uint64_t deletedHits = 0;
  uint64_t secHits = 0;
  uint64_t warnings = 0;
  uint64_t errors = 0;
};
// The summary section of a write run: the counters, then backupLines (from its
// leading empty line through any "Rollback status:" line), the result status
// line and the exit code.
std::string ExpectedSummary(const SummaryCounts& counts, const std::string& backupLines,
                            const std::string& status, int exitCode);
// The counters of a /SEC=77 run of the sample; a failed run shows 0 purged and
// the scan's retained count.
SummaryCounts PackCounts(bool succeeded, uint64_t errors);

extern const char* const kStatusSuccess;
extern const char* const kStatusFailed;
extern const char* const kLockReleased;

// DisplayText of a Pascal field of a record: at most capacity characters, bytes
// below 0x20 and 0x7F shown as '.'.
std::string Display(const std::string& record, unsigned offset, unsigned capacity);
// The audit-log block a pack appends for the purged users of dat.
std::string ExpectedAuditBlock(const std::string& dat, const std::vector<uint32_t>& purged,
                               const std::string& date, const std::string& time);

// Every file of the live database (WORK and MESSAGE) with its bytes, by path
// relative to home; the run report and backup roots are not part of it.
std::map<std::string, std::string> LiveDatabase(const PackSample& sample);
// Files below root whose names end in ".QVCNEW", relative to root.
std::vector<std::string> StagedFilesBelow(const std::string& root);
