// The sample BBS that the write-run scenarios pack, the transcript text the
// program prints for it (built from the pieces of transcript.h), the packed
// database it must leave, and the checks that hold after every write run.
//
// The sample: 40 users, three LMR files of 9999 slots, pointer records whose
// bytes after the name differ from the user records', and these records:
//   #1                   Deleted (protected: listed, never purged)
//   #5 #12 #17 #31 #40   Deleted
//   #9 #26 #35           Security 77, AllowPurge TRUE (purged by /SEC=77)
//   #20                  Security 77, AllowPurge FALSE (kept)
//   #9                   a name holding a TAB and the byte 0xE9
//   #12                  Security -5, TimeDate "01/02/03"
//   #26                  an empty CallingFrom
// so that "/SEC=77" purges kPackPurged and keeps user #1.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "transcript.h"

constexpr int kPackSec = 77;
constexpr uint32_t kPackUsers = 40;
constexpr unsigned kPackConferences = 3;
// The users a /SEC=77 run purges, and how many stay.
extern const std::vector<uint32_t> kPackPurged;
constexpr unsigned kPackRetained = 32;

struct PackSample {
  ScratchDir scratch;
  SamplePaths paths;  // home, WORK and MESSAGE on this host
};

// The fixture's recipe; the caller may change it before MakePackSample.
SampleRecipe PackRecipe();
// Writes the sample beneath scratch/BBS and applies the record changes above;
// a failure fails the test. Wine is started first, outside any run.
void MakePackSample(const SampleRecipe& recipe, PackSample* sample);
// The switches of the fixture's pack.
extern const std::vector<std::string> kPackArgs;

// Runs the program in the sample's home and checks what holds after every
// write run, whatever its outcome: console and report agree, no staged file
// and no lock file remain. Returns the run; its transcript is
// CheckedTranscript's.
RunResult RunWrite(const PackSample& sample, const std::vector<std::string>& args);

// The run's clock, read from its "Started:" line: "YYYY-MM-DD", "HH:MM:SS" and
// the backup-directory stamp "YYYYMMDD-HHMMSS". Empty when the line is missing.
std::string RunDate(const RunResult& run);
std::string RunTime(const RunResult& run);
std::string RunStamp(const RunResult& run);

// What every write run of the sample prints up to and including the purge
// plan (secRule < 0: no switch, only Deleted users are selected), the plan
// lines computed from the live QVUSERS.DAT as it is now. Clock fields as
// NormaliseClock leaves them.
std::string ExpectedOpening(const PackSample& sample, const std::vector<std::string>& args,
                            int secRule);
// The staging banner and the lines of the staged user files and every LMR
// file; a run that stages everything goes on with kStagingPassTail.
std::string ExpectedStaging(const PackSample& sample, unsigned retained);
extern const char* const kStagingPassTail;
extern const char* const kBackupBanner;

// The backup directory of a run as the program prints it, clock normalised.
std::string ShownBackupDir(const std::string& hostRoot, const std::string& suffix = "");
// The whole transcript of a /SEC=77 pack of the sample that succeeds with its
// backup in shownDir (as the program prints it, see ShownBackupDir). Call
// before the run.
std::string ExpectedPackTranscript(const PackSample& sample, const std::vector<std::string>& args,
                                   const std::string& shownDir);
// The same transcript up to and including the COMMIT banner.
std::string ExpectedThroughGate(const PackSample& sample, const std::vector<std::string>& args,
                                const std::string& shownDir);
// The transcript of a /SEC=77 run that fails before its backup is complete:
// middle is everything after the purge plan up to the failure message.
std::string ExpectedFailedRun(const PackSample& sample, const std::vector<std::string>& args,
                              const std::string& middle, uint64_t warnings);

// The counters of a /SEC=77 run of the sample.
Counts PackCounts(uint64_t warnings, uint64_t errors);
// The summary of a write run that reached its backup: the counters (purged and
// retained as committed, or 0 and the scan's count), then backupLines (from
// their leading empty line through any "Rollback status:" line), the result
// status line and the exit code.
std::string BackedUpSummaryText(const Counts& counts, bool committed,
                                const std::string& backupLines, const std::string& status,
                                int exitCode);
extern const char* const kStatusSuccess;
extern const char* const kStatusFailed;

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
