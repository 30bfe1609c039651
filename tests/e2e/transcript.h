// Expected console transcripts of whole runs, assembled from the exact lines
// the program prints, and small explicit user fixtures to run them on.
//
// Paths are given as host (POSIX) paths and shown the way the program prints
// them (HostPath), so the same expectations hold natively and under Wine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"

// printf into a std::string (for texts of up to 2047 characters).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Fixtures --------------------------------------------------------------

// One user of an explicit fixture. Its TimeDate is timeDate when that is set
// or ageDays is negative, else the date ageDays before the sample's today.
// ageDays is also the age the scan must show; negative means "Age=INVALID".
struct FixtureUser {
  std::string name;
  int16_t security = 10;
  uint8_t allowPurge = 0;
  uint8_t deleted = 0;
  int64_t ageDays = 10;
  bool fourDigitYear = true;
  std::string timeDate;
};

// A recipe for small deterministic samples: no random Deleted users, today
// fixed to the local date now, the paths laid out for the program under test
// (Windows rules under Wine).
SampleRecipe FixtureRecipe(uint32_t users, uint32_t conferences = 2);

// A sample home whose users are exactly the listed ones; the LMR files hold
// the standard 9999 slots. The home is <scratch>/BBS unless home is set (a
// path inside the scratch directory).
struct Fixture {
  ScratchDir scratch;
  std::string home;
  SampleRecipe recipe = FixtureRecipe(0);
  SamplePaths paths;
  std::vector<FixtureUser> users;
};

// Writes recipe at home and patches every user to the listed fields.
bool WriteFixtureAt(const std::string& home, const SampleRecipe& recipe,
                    const std::vector<FixtureUser>& users, SamplePaths* paths, std::string* error);
bool WriteFixture(Fixture* fixture, std::string* error);
std::string Home(const Fixture& fixture);
// The last-call text written for a user.
std::string FixtureTimeDate(const SampleRecipe& recipe, const FixtureUser& user);

// ---- Dates -------------------------------------------------------------------

int64_t DayCount(const SampleDate& date);
// The "Preview date:" / "Pack date:" of a transcript; year 0 when absent.
SampleDate ScanDate(const std::string& out);
// Days between the fixture's today and the date the program scanned on
// (0 except when a run crosses midnight after the fixture was written).
int64_t ClockShift(const SampleRecipe& recipe, const std::string& out);

// ---- Transcript pieces ---------------------------------------------------

// The program name as the "Command line:" header shows it.
std::string ShownProgramName();
std::string HeaderText(const std::vector<std::string>& args, bool writeMode,
                       const std::string& home);
std::string HeaderTextWithProgram(const std::string& program, const std::vector<std::string>& args,
                                  bool writeMode, const std::string& home);
std::string DirectoriesText(const std::string& work, const std::string& message);
std::string OfflineWarningText();
std::string LegacyComWarningText(const std::string& home);
// SAFETY banner and the lock file line (before the acquisition outcome).
std::string LockLineText(const std::string& message);
std::string LockAcquiredText(const std::string& message);
std::string LockExistsText();
std::string CallerFileLine(const std::string& work, uint64_t size);
std::string CallerClearText(const std::string& work);
std::string ValidationBanner();
std::string UserFileLines(uint64_t datSize, uint64_t ptrSize);
// "  QVMSGn.LMR ..." with its verdict for userRecords users.
std::string LmrLine(const std::string& name, uint64_t size, uint64_t userRecords);
std::string LmrCountLine(unsigned count);
std::string ValidationAbortText();
// Validation of a sound database of users users and conferences standard LMR files.
std::string SoundValidationText(uint64_t users, unsigned conferences);

struct Rules {
  bool del = false;
  int sec = -1;  // -1: not given
  int old = -1;
  bool andGiven = false;
};
std::string SelectionRulesText(const Rules& rules);
std::string ScanHeadingText(bool writeMode);

// One line of the scan for a selected user.
struct Pick {
  uint32_t number = 0;
  std::string reason;  // "already Deleted", "/SEC match + /OLD match", ...
  bool andTag = false;
};
std::string PickLine(const SampleRecipe& recipe, const FixtureUser& user, const Pick& pick,
                     const Rules& rules, bool writeMode, int64_t clockShift);
std::string SnapshotPassText(const std::string& work);
std::string ReleasedText();

struct Counts {
  uint64_t userRecords = 0;
  uint64_t selected = 0;
  uint64_t candidates = 0;
  uint64_t retained = 0;
  uint64_t protectedUser1 = 0;
  uint64_t deletedHits = 0;
  uint64_t secHits = 0;
  uint64_t oldHits = 0;
  uint64_t warnings = 0;
  uint64_t errors = 0;
};
std::string DrySummaryText(const Counts& counts);
// Dry-run exit code the counts call for.
int DryExitCode(const Counts& counts);
// A write run that ended before any write: ABORTED/FAILED or, with
// nothingToWrite and no error, COMPLETE.
std::string WriteSummaryText(const Counts& counts, bool nothingToWrite);

// The summary counters a transcript printed, for the invariants of a scan.
bool ParseSummary(const std::string& out, Counts* counts);

// A preview of the fixture's sound database up to the scan's first line, and
// from the snapshot verification to the end.
std::string PreviewOpening(const Fixture& f, const std::vector<std::string>& args,
                           const Rules& rules);
std::string PreviewClosing(const Fixture& f, const Counts& counts);
// The scan lines of the picked users.
std::string Picks(const Fixture& f, const std::vector<Pick>& picks, const Rules& rules,
                  int64_t clockShift);

// ---- Running -----------------------------------------------------------------

// Every entry below the fixture's scratch directory except the home's report.
std::map<std::string, std::string> TreeWithoutReport(const Fixture& fixture);
// A run in the fixture's home that must leave every byte, name and directory
// as it found them (no lock, no staged file, no backup) and only append to
// the report.
RunResult RunLeavingNoTrace(const Fixture& fixture, const std::vector<std::string>& args);

// stdout of a run that opened its report: equals the report text appended by
// the run; nothing on stderr. Returns the clock-normalised transcript.
std::string CheckedTranscript(const RunResult& result);
