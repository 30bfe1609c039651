// Previews (/DRYRUN) on small explicit user databases: whole transcripts of the
// scan, its warnings and the structural validation, and proof that a preview
// changes no byte and leaves nothing behind.
#include <gtest/gtest.h>

#include "transcript.h"

namespace {

void Write(Fixture* fixture) {
  std::string error;
  ASSERT_TRUE(EnsureWineReady());
  ASSERT_TRUE(WriteFixture(fixture, &error)) << error;
}

// The counters of a complete scan add up: every selected user is a candidate
// or the protected user #1, and every user is a candidate or retained.
void ExpectScanInvariants(const std::string& out) {
  Counts c;
  ASSERT_TRUE(ParseSummary(out, &c));
  EXPECT_EQ(c.selected, c.candidates + c.protectedUser1);
  EXPECT_EQ(c.retained + c.candidates, c.userRecords);
}

// ---- Selection ---------------------------------------------------------------

std::vector<FixtureUser> SelectionUsers() {
  //       name       sec  allow del  age  4-digit year
  return {{"SYSOP", 100, 0, 0, 10, true, ""},
          {"ALICE ADAMS", 10, 1, 0, 400, true, ""},
          {"BOB BAKER", 10, 1, 0, 5, false, ""},
          {"CAROL CLARK", 20, 1, 1, 500, true, ""},
          {"DAVE DAVIS", 10, 0, 1, 3, true, ""},
          {"ERIN EVANS", 10, 1, 1, 600, false, ""},
          {"FRANK FOX", 20, 1, 0, 700, false, ""},
          {"GRACE GREEN", 10, 0, 0, 800, true, ""},
          {"IVAN IRWIN", 10, 1, 1, 20, true, ""}};
}

struct SelectionCase {
  const char* title;
  std::vector<std::string> args;
  Rules rules;
  std::vector<Pick> picks;
  Counts counts;
};

std::vector<SelectionCase> SelectionCases() {
  const std::string d = "already Deleted", s = "/SEC match", o = "/OLD match";
  // Counts: users, selected, candidates, retained, protected, deleted, sec, old, warnings, errors.
  return {
      {"no rule switch: Deleted users only",
       {"/DRYRUN"},
       {},
       {{4, d}, {5, d}, {6, d}, {9, d}},
       {9, 4, 4, 5, 0, 4, 0, 0, 0, 0}},
      {"/DEL",
       {"/DEL", "/DRYRUN"},
       {true},
       {{4, d}, {5, d}, {6, d}, {9, d}},
       {9, 4, 4, 5, 0, 4, 0, 0, 0, 0}},
      {"/SEC alone",
       {"/DRYRUN", "/SEC=10"},
       {false, 10},
       {{2, s}, {3, s}, {4, d}, {5, d}, {6, d + " + " + s}, {9, d + " + " + s}},
       {9, 6, 6, 3, 0, 4, 4, 0, 0, 0}},
      {"/OLD alone",
       {"/OLD=365", "/DRYRUN"},
       {false, -1, 365},
       {{2, o}, {4, d + " + " + o}, {5, d}, {6, d + " + " + o}, {7, o}, {9, d}},
       {9, 6, 6, 3, 0, 4, 0, 4, 0, 0}},
      {"/SEC or /OLD",
       {"/SEC=10", "/OLD=365", "/DRYRUN"},
       {false, 10, 365},
       {{2, s + " + " + o},
        {3, s},
        {4, d + " + " + o},
        {5, d},
        {6, d + " + " + s + " + " + o},
        {7, o},
        {9, d + " + " + s}},
       {9, 7, 7, 2, 0, 4, 4, 4, 0, 0}},
      {"/SEC and /OLD",
       {"/DRYRUN", "/OLD=365", "/AND", "/SEC=10"},
       {false, 10, 365, true},
       {{2, s + " + " + o, true},
        {4, d},
        {5, d},
        {6, d + " + " + s + " + " + o, true},
        {9, d}},
       {9, 5, 5, 4, 0, 4, 2, 2, 0, 0}},
  };
}

TEST(DryRunSelection, EveryRuleCombinationListsExactlyItsCandidates) {
  Fixture f;
  f.users = SelectionUsers();
  Write(&f);
  for (const SelectionCase& c : SelectionCases()) {
    SCOPED_TRACE(c.title);
    const RunResult r = RunLeavingNoTrace(f, c.args);
    const std::string transcript = CheckedTranscript(r);
    const int64_t shift = ClockShift(f.recipe, r.out);
    EXPECT_EQ(transcript, PreviewOpening(f, c.args, c.rules) + Picks(f, c.picks, c.rules, shift) +
                              PreviewClosing(f, c.counts));
    EXPECT_EQ(r.exitCode, 1);
    ExpectScanInvariants(r.out);
  }
}

TEST(DryRunSelection, NobodyMatchingEndsCleanWithExitZero) {
  Fixture f;
  f.users = {{"SYSOP", 100, 1, 0, 900, true, ""},
             {"YOUNG USER", 10, 1, 0, 30, true, ""},
             {"OTHER LEVEL", 20, 1, 0, 900, false, ""}};
  Write(&f);
  const std::vector<std::string> args = {"/DRYRUN", "/SEC=10", "/OLD=60", "/AND"};
  const RunResult r = RunLeavingNoTrace(f, args);
  EXPECT_EQ(CheckedTranscript(r), PreviewOpening(f, args, {false, 10, 60, true}) +
                                      PreviewClosing(f, {3, 0, 0, 3, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("Result status:       COMPLETE - no purge candidates were found.\n"),
            std::string::npos);
}

TEST(DryRunSelection, ProtectedUserOneAloneAsksForReview) {
  Fixture f;
  f.users = {{"SYSOP", 10, 1, 1, 500, true, ""}, {"KEPT USER", 20, 1, 0, 5, true, ""}};
  Write(&f);
  const std::vector<std::string> args = {"/DRYRUN", "/OLD=400"};
  const Rules rules{false, -1, 400};
  const RunResult r = RunLeavingNoTrace(f, args);
  const int64_t shift = ClockShift(f.recipe, r.out);
  EXPECT_EQ(CheckedTranscript(r),
            PreviewOpening(f, args, rules) +
                Picks(f, {{1, "already Deleted + /OLD match"}}, rules, shift) +
                PreviewClosing(f, {2, 1, 0, 2, 1, 1, 0, 1, 0, 0}));
  EXPECT_EQ(r.exitCode, 1);
  ExpectScanInvariants(r.out);
}

// ---- Damaged records: warnings -----------------------------------------------

struct WarningFixture {
  Fixture f;
  std::string futureDate;
};

void WriteWarningFixture(WarningFixture* w) {
  Fixture& f = w->f;
  const SampleDate today = ResolvedToday(f.recipe);
  w->futureDate = TimeDateForAge(today, -30, true);
  f.users = {{"SYSOP", 100, 0, 0, 10, true, ""},
             {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", 20, 0, 0, 10, true, ""},
             {"LONG DATE", 20, 1, 0, 400, true, TimeDateForAge(today, 400, true) + " old"},
             {"BAD DATE", 20, 1, 3, -1, true, "garbage"},
             {"ODD FLAG", 10, 7, 0, 5, true, ""},
             {"FUTURE", 20, 1, 0, -1, true, w->futureDate},
             {"NO DATE", 20, 1, 0, -1, true, ""},
             {"FEB THIRTY", 20, 1, 0, -1, true, "02/30/2020"}};
  Write(&f);
  // A name length past its capacity, and a date length past its 14 characters
  // whose first 14 still hold a date.
  ASSERT_TRUE(SetLengthByte(f.paths.work, 2, kUserNameOffset, 40));
  ASSERT_TRUE(SetLengthByte(f.paths.work, 3, kTimeDateOffset, 20));
}

std::string NoncanonicalWarning(unsigned n, const char* name, unsigned allow, unsigned del) {
  return "WARN user " + std::to_string(n) + " (" + name + "): noncanonical Boolean byte AllowPurge=" +
         std::to_string(allow) + " Deleted=" + std::to_string(del) + "; nonzero treated as TRUE.\n";
}

std::string DateWarning(unsigned n, const char* name, const std::string& date, const char* why) {
  return "WARN user " + std::to_string(n) + " (" + name + "): TimeDate '" + date +
         "' is not eligible for /OLD (" + why + ").\n";
}

const char kLongNameWarning[] =
    "WARN user 2: UserName Pascal length exceeds 30; display was truncated.\n";
const char kLongDateWarning[] = "WARN user 3 (LONG DATE): TimeDate Pascal length exceeds 14.\n";

TEST(DryRunWarnings, DamagedFieldsWarnAndAreJudgedAsTheRulesSay) {
  WarningFixture w;
  WriteWarningFixture(&w);
  if (HasFatalFailure()) return;
  const Fixture& f = w.f;
  const std::vector<std::string> args = {"/DRYRUN", "/SEC=10", "/OLD=365"};
  const Rules rules{false, 10, 365};
  const RunResult r = RunLeavingNoTrace(f, args);
  const int64_t shift = ClockShift(f.recipe, r.out);
  const std::string body =
      std::string(kLongNameWarning) + kLongDateWarning +
      PickLine(f.recipe, f.users[2], {3, "/OLD match"}, rules, false, shift) +
      DateWarning(4, "BAD DATE", "garbage", "unrecognized date format") +
      NoncanonicalWarning(4, "BAD DATE", 1, 3) +
      PickLine(f.recipe, f.users[3], {4, "already Deleted"}, rules, false, shift) +
      NoncanonicalWarning(5, "ODD FLAG", 7, 0) +
      PickLine(f.recipe, f.users[4], {5, "/SEC match"}, rules, false, shift) +
      DateWarning(6, "FUTURE", w.futureDate, "future last-call date") +
      DateWarning(7, "NO DATE", "", "blank TimeDate") +
      DateWarning(8, "FEB THIRTY", "02/30/2020", "invalid calendar date");
  EXPECT_EQ(CheckedTranscript(r), PreviewOpening(f, args, rules) + body +
                                      PreviewClosing(f, {8, 3, 3, 5, 0, 1, 1, 1, 8, 0}));
  EXPECT_EQ(r.exitCode, 1);
  ExpectScanInvariants(r.out);
}

TEST(DryRunWarnings, DatesThatDoNotParseWarnOnlyUnderOld) {
  WarningFixture w;
  WriteWarningFixture(&w);
  if (HasFatalFailure()) return;
  const Fixture& f = w.f;
  const std::vector<std::string> args = {"/SEC=10", "/DRYRUN"};
  const Rules rules{false, 10};
  const RunResult r = RunLeavingNoTrace(f, args);
  const std::string body = std::string(kLongNameWarning) + kLongDateWarning +
                           NoncanonicalWarning(4, "BAD DATE", 1, 3) +
                           PickLine(f.recipe, f.users[3], {4, "already Deleted"}, rules, false, 0) +
                           NoncanonicalWarning(5, "ODD FLAG", 7, 0) +
                           PickLine(f.recipe, f.users[4], {5, "/SEC match"}, rules, false, 0);
  EXPECT_EQ(CheckedTranscript(r), PreviewOpening(f, args, rules) + body +
                                      PreviewClosing(f, {8, 2, 2, 6, 0, 1, 1, 0, 4, 0}));
  EXPECT_EQ(r.exitCode, 1);
}

// ---- Structural validation ---------------------------------------------------

std::vector<FixtureUser> PlainUsers(unsigned count) {
  std::vector<FixtureUser> users;
  for (unsigned n = 1; n <= count; ++n) {
    users.push_back({"PLAIN USER " + std::to_string(n), 10, 1, 0, 10, true, ""});
  }
  return users;
}

bool Truncate(const std::string& path, size_t size) {
  std::string bytes;
  return ReadWholeFile(path, &bytes) && WriteWholeFile(path, bytes.substr(0, size));
}

bool Append(const std::string& path, const std::string& extra) {
  std::string bytes;
  return ReadWholeFile(path, &bytes) && WriteWholeFile(path, bytes + extra);
}

// A preview that stops at validation: the checks' lines, the abort, then the end.
std::string AbortedPreview(const Fixture& f, const std::vector<std::string>& args,
                           const std::string& validation, const Counts& counts) {
  return HeaderText(args, false, Home(f)) + DirectoriesText(f.paths.work, f.paths.message) +
         LockAcquiredText(f.paths.message) + CallerClearText(f.paths.work) + ValidationBanner() +
         validation + ValidationAbortText() + ReleasedText() + DrySummaryText(counts);
}

std::string StandardLmrLines(unsigned conferences, uint64_t users) {
  std::string text = LmrCountLine(conferences);
  for (unsigned c = 1; c <= conferences; ++c) text += LmrLine(LmrFileName(c), 39996, users);
  return text;
}

const char kDatAlignment[] = "ERROR: QVUSERS.DAT is not aligned to 315-byte user records.\n";

TEST(DryRunValidation, UserFileOneByteTooLongStopsAfterListingLmrFiles) {
  Fixture f;
  f.users = PlainUsers(2);
  Write(&f);
  ASSERT_TRUE(Append(UserFilePath(f.paths.work), "X"));
  const std::vector<std::string> args = {"/DRYRUN"};
  const RunResult r = RunLeavingNoTrace(f, args);
  EXPECT_EQ(CheckedTranscript(r),
            AbortedPreview(f, args, UserFileLines(631, 62) + kDatAlignment + StandardLmrLines(2, 2),
                           {2, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(r.exitCode, 2);
}

TEST(DryRunValidation, UserFileWithoutACompleteRecordReportsBothErrors) {
  Fixture f;
  f.users = PlainUsers(1);
  Write(&f);
  ASSERT_TRUE(Truncate(UserFilePath(f.paths.work), 200));
  ASSERT_TRUE(Truncate(PointerFilePath(f.paths.work), 0));
  const std::vector<std::string> args = {"/DRYRUN", "/DEL"};
  const RunResult r = RunLeavingNoTrace(f, args);
  EXPECT_EQ(CheckedTranscript(r),
            AbortedPreview(f, args,
                           UserFileLines(200, 0) + kDatAlignment +
                               "ERROR: QVUSERS.DAT contains no complete user records.\n" +
                               StandardLmrLines(2, 0),
                           {0, 0, 0, 0, 0, 0, 0, 0, 0, 2}));
  EXPECT_EQ(r.exitCode, 2);
}

TEST(DryRunValidation, PointerFileMisalignedAndShortIsTwoErrors) {
  Fixture f;
  f.users = PlainUsers(3);
  Write(&f);
  ASSERT_TRUE(Truncate(PointerFilePath(f.paths.work), 67));
  const std::vector<std::string> args = {"/DRYRUN"};
  const RunResult r = RunLeavingNoTrace(f, args);
  EXPECT_EQ(CheckedTranscript(r),
            AbortedPreview(f, args,
                           UserFileLines(945, 67) +
                               "ERROR: QVUSERS.PTR is not aligned to 31-byte pointer records.\n"
                               "ERROR: DAT/PTR user-count mismatch: DAT=3 PTR=2.\n" +
                               StandardLmrLines(2, 3),
                           {3, 0, 0, 0, 0, 0, 0, 0, 0, 2}));
  EXPECT_EQ(r.exitCode, 2);
}

TEST(DryRunValidation, MisalignedAndTooSmallLmrFilesStopTheRun) {
  Fixture f;
  f.recipe.conferences = 3;
  f.users = PlainUsers(3);
  Write(&f);
  ASSERT_TRUE(Append(LmrFilePath(f.paths.message, 2), "Z"));
  ASSERT_TRUE(Truncate(LmrFilePath(f.paths.message, 3), 8));
  // A larger capacity than standard, listed in name order before QVMSG2.LMR.
  ASSERT_TRUE(WriteWholeFile(LmrFilePath(f.paths.message, 10), std::string(40000, '\1')));
  const std::vector<std::string> args = {"/DRYRUN"};
  const RunResult r = RunLeavingNoTrace(f, args);
  EXPECT_EQ(CheckedTranscript(r),
            AbortedPreview(f, args,
                           UserFileLines(945, 93) + LmrCountLine(4) +
                               LmrLine("QVMSG1.LMR", 39996, 3) + LmrLine("QVMSG10.LMR", 40000, 3) +
                               LmrLine("QVMSG2.LMR", 39997, 3) + LmrLine("QVMSG3.LMR", 8, 3),
                           {3, 0, 0, 0, 0, 0, 0, 0, 0, 2}));
  EXPECT_EQ(r.exitCode, 2);
}

TEST(DryRunValidation, NoLmrFilesIsOneWarningAndTheScanGoesOn) {
  Fixture f;
  f.recipe.conferences = 0;
  f.users = PlainUsers(2);
  Write(&f);
  const std::vector<std::string> args = {"/DRYRUN"};
  const RunResult r = RunLeavingNoTrace(f, args);
  EXPECT_EQ(CheckedTranscript(r),
            PreviewOpening(f, args, {}) + PreviewClosing(f, {2, 0, 0, 2, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
