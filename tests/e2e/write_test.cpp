// Write runs end to end: the packed database byte for byte, the audit log, the
// whole transcript, and the runs that stop while staging or roll back after a
// failed commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "write_fixture.h"

namespace {

std::string Lmr(uint32_t conference) { return "MESSAGE/" + LmrFileName(conference); }

// The live database after a successful /SEC=77 pack, given the one before it.
void ExpectPackedDatabase(const std::map<std::string, std::string>& before,
                          const std::map<std::string, std::string>& after, const RunResult& run) {
  const std::string& dat = before.at("WORK/QVUSERS.DAT");
  std::map<std::string, std::string> expected = before;
  expected["WORK/QVUSERS.DAT"] = PackedUserFile(dat, kPackPurged);
  expected["WORK/QVUSERS.PTR"] = PackedPointerFile(dat, kPackPurged);
  for (uint32_t c = 1; c <= kPackConferences; ++c) {
    expected[Lmr(c)] = PackedLmrFile(before.at(Lmr(c)), kPackUsers, kPackPurged);
  }
  const auto log = before.find("WORK/QVPURGED.USR");
  expected["WORK/QVPURGED.USR"] = (log == before.end() ? "" : log->second) +
                                  ExpectedAuditBlock(dat, kPackPurged, RunDate(run), RunTime(run));
  EXPECT_EQ(DiffTrees(expected, after), "");
}

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  lines.push_back(text.substr(start));
  return lines;
}

// The new audit block's columns for the sample's unusual users, written out.
void ExpectAuditColumns(const std::string& log, size_t block, const RunResult& run) {
  const std::vector<std::string> lines = CrLfLines(log.substr(block));
  // Empty line, title, columns, rule, users 5 9 12 17 26 31 35 40, end.
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "QVCULLDB32 0.4.0-beta1 packed on " + RunDate(run) + " at " + RunTime(run));
  EXPECT_EQ(lines.back(), "");
  for (const std::string& line : lines) EXPECT_EQ(line.find("SYSOP"), std::string::npos);
  EXPECT_EQ(lines[5].substr(0, 42), "TAB.NAME \xE9T\xE9" + std::string(18, ' ') + "        77  ");
  EXPECT_EQ(lines[6].substr(30, 28), "        -5  01/02/03        ");
  EXPECT_EQ(lines[8].size(), 58u);  // #26: empty CALLING FROM after the blanks
  EXPECT_EQ(lines[8].substr(30), "        77  " + lines[8].substr(42, 14) + "  ");
}

void CheckCompletePack(bool purgedLogBefore) {
  PackSample sample;
  SampleRecipe recipe = PackRecipe();
  recipe.purgedLog = purgedLogBefore;
  MakePackSample(recipe, &sample);
  const auto before = LiveDatabase(sample);
  const std::string expected = ExpectedPackTranscript(
      sample, kPackArgs, ShownBackupDir(sample.paths.home + "/QVCULLDB-BACKUPS"));

  const RunResult run = RunWrite(sample, kPackArgs);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(NormaliseClock(run.out), expected);
  ASSERT_NE(RunStamp(run), "");
  const auto after = LiveDatabase(sample);
  ExpectPackedDatabase(before, after, run);

  // The rebuilt pointer records carry the user records' bytes, not the old
  // pointer file's bytes after the names.
  std::string oldPointers;
  const std::string& ptr = before.at("WORK/QVUSERS.PTR");
  for (uint32_t n = 1; n <= kPackUsers; ++n) {
    if (std::find(kPackPurged.begin(), kPackPurged.end(), n) == kPackPurged.end()) {
      oldPointers += ptr.substr((n - 1) * kPointerRecordSize, kPointerRecordSize);
    }
  }
  EXPECT_NE(after.at("WORK/QVUSERS.PTR"), oldPointers);
  EXPECT_EQ(after.at("WORK/QVUSERS.PTR").size(), oldPointers.size());

  // The new block follows the old content, or makes up the whole new file.
  const std::string& log = after.at("WORK/QVPURGED.USR");
  const size_t block = purgedLogBefore ? before.at("WORK/QVPURGED.USR").size() : 0;
  ASSERT_GT(log.size(), block);
  ExpectAuditColumns(log, block, run);
}

TEST(WriteRun, PacksEveryFileAndAppendsToTheAuditLog) { CheckCompletePack(true); }

TEST(WriteRun, CreatesTheAuditLogWhenThereWasNone) { CheckCompletePack(false); }

// A pack keeps each live file's access: the user files hold private data, and
// the staged replacements are private until the commit hands them that access.
TEST(WriteRun, PackedFilesKeepTheLiveFilesModes) {
  if (UnderWine()) GTEST_SKIP() << "Windows keeps the inherited access rules; no POSIX modes";
  namespace fs = std::filesystem;
  PackSample sample;
  MakePackSample(PackRecipe(), &sample);
  const std::string dat = sample.paths.work + "/QVUSERS.DAT";
  const std::string lmr = sample.paths.message + "/" + LmrFileName(1);
  fs::permissions(dat, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::permissions(lmr, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);

  ASSERT_EQ(RunWrite(sample, kPackArgs).exitCode, 0);
  EXPECT_EQ(fs::status(dat).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(fs::status(lmr).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
}

TEST(WriteRun, NothingToPurgeTakesTheLockAndWritesNothing) {
  PackSample sample;
  SampleRecipe recipe = PackRecipe();
  recipe.deletedUsers.clear();
  recipe.deletedPercent = 0;  // only the protected user #1 is Deleted
  MakePackSample(recipe, &sample);
  const auto before = LiveDatabase(sample);
  Counts counts;
  counts.userRecords = kPackUsers;
  counts.selected = 1;
  counts.retained = kPackUsers;
  counts.protectedUser1 = 1;
  counts.deletedHits = 1;
  const std::string expected =
      ExpectedOpening(sample, {}, -1) +
      "\nWRITE PLAN: no records match the selected rules; no backup or database write is "
      "needed.\n" +
      ReleasedText() + WriteSummaryText(counts, true);

  const RunResult run = RunWrite(sample, {});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(NormaliseClock(run.out), expected);
  EXPECT_EQ(DiffTrees(before, LiveDatabase(sample)), "");
  EXPECT_EQ(ListDirectory(sample.paths.home),
            (std::vector<std::string>{"MESSAGE", "QVCULLDB32_REPORT.TXT", "QVNODE.DAT", "WORK"}));
}

TEST(WriteRun, StaleStagedFilesAreReplaced) {
  PackSample sample;
  MakePackSample(PackRecipe(), &sample);
  const auto before = LiveDatabase(sample);
  for (const std::string& stale :
       {UserFilePath(sample.paths.work), PointerFilePath(sample.paths.work),
        PurgedLogPath(sample.paths.work), LmrFilePath(sample.paths.message, 2)}) {
    ASSERT_TRUE(WriteWholeFile(stale + ".QVCNEW", "left by an earlier run"));
  }
  const std::string expected = ExpectedPackTranscript(
      sample, kPackArgs, ShownBackupDir(sample.paths.home + "/QVCULLDB-BACKUPS"));

  const RunResult run = RunWrite(sample, kPackArgs);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(NormaliseClock(run.out), expected);
  ExpectPackedDatabase(before, LiveDatabase(sample), run);
}

// Runs /SEC=77 on a sample that is to fail before its backup and checks the
// transcript, that nothing live changed and that no backup was started.
void ExpectFailureBeforeBackup(const PackSample& sample, const std::string& middle,
                               uint64_t warnings) {
  const auto before = LiveDatabase(sample);
  const std::string expected = ExpectedFailedRun(sample, kPackArgs, middle, warnings);
  const RunResult run = RunWrite(sample, kPackArgs);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(NormaliseClock(run.out), expected);
  EXPECT_EQ(DiffTrees(before, LiveDatabase(sample)), "");
  EXPECT_FALSE(IsDirectory(sample.paths.home + "/QVCULLDB-BACKUPS"));
}

TEST(WriteRunStaging, DirectoryNamedLikeTheStagedUserFileStopsTheBuild) {
  PackSample sample;
  MakePackSample(PackRecipe(), &sample);
  const std::string blocker = UserFilePath(sample.paths.work) + ".QVCNEW";
  ASSERT_TRUE(MakeDirectories(blocker));
  const std::string reason = UnderWine() ? "Permission denied" : std::strerror(EISDIR);
  ExpectFailureBeforeBackup(
      sample,
      "\n================== BUILD AND VERIFY .NEW ==================\n"
      "ERROR: cannot open QVUSERS source or staged files: " + reason + "\n",
      0);
  EXPECT_TRUE(IsDirectory(blocker));  // never deleted
  EXPECT_FALSE(FileExists(PointerFilePath(sample.paths.work) + ".QVCNEW"));
}

TEST(WriteRunStaging, PurgedUserWhosePointerNameDiffersFailsTheBuild) {
  PackSample sample;
  MakePackSample(PackRecipe(), &sample);
  std::string pointer;
  ASSERT_TRUE(ReadPointerRecord(sample.paths.work, 17, &pointer));
  pointer[1] = char(std::tolower(uint8_t(pointer[1])));  // same name in another case
  ASSERT_TRUE(WritePointerRecord(sample.paths.work, 17, pointer));
  ExpectFailureBeforeBackup(
      sample,
      "\n================== BUILD AND VERIFY .NEW ==================\n"
      "ERROR: QVUSERS.DAT/PTR name mismatch or invalid Pascal string at user 17.\n",
      0);
}

TEST(WriteRunStaging, OverlongTimeDateOfPurgedUserFailsTheAuditLog) {
  PackSample sample;
  MakePackSample(PackRecipe(), &sample);
  // #2 is kept, so its damaged length is only warned about; #31 is purged.
  ASSERT_TRUE(SetLengthByte(sample.paths.work, 2, kTimeDateOffset, 15));
  ASSERT_TRUE(SetLengthByte(sample.paths.work, 31, kTimeDateOffset, 15));
  ExpectFailureBeforeBackup(
      sample,
      ExpectedStaging(sample, kPackRetained) +
          "ERROR: invalid Pascal string while staging purge audit for user 31.\n",
      2);
}

TEST(WriteRunCommit, FailedLastReplacementRollsTheDatabaseBack) {
  PackSample sample;
  SampleRecipe recipe = PackRecipe();
  recipe.purgedLog = false;
  MakePackSample(recipe, &sample);
  // A directory where the new audit log is to go: the gate lets it pass (it is
  // not a file that appeared), and the last replacement of the commit fails.
  const std::string blocker = PurgedLogPath(sample.paths.work);
  ASSERT_TRUE(MakeDirectories(blocker));
  const auto before = LiveDatabase(sample);
  const std::string dir = ShownBackupDir(sample.paths.home + "/QVCULLDB-BACKUPS");
  const std::string expected =
      ExpectedThroughGate(sample, kPackArgs, dir) +
      "ERROR: commit failed while replacing QVPURGED.USR.\n"
      "\n======================= ROLLBACK ======================\n"
      "Rollback result: PASS - original database files restored and verified.\n" +
      ReleasedText() +
      BackedUpSummaryText(PackCounts(0, 1), false,
                          "\nBackup created:      " + dir + "\nRollback status:     PASS\n",
                          kStatusFailed, 2);

  const RunResult run = RunWrite(sample, kPackArgs);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(NormaliseClock(run.out), expected);
  EXPECT_EQ(DiffTrees(before, LiveDatabase(sample)), "");
  EXPECT_TRUE(IsDirectory(blocker));
  EXPECT_EQ(ListDirectory(blocker), std::vector<std::string>{});
  // The backup the rollback restored from stays.
  EXPECT_TRUE(FileExists(sample.paths.home + "/QVCULLDB-BACKUPS/QVCULLDB-" + RunStamp(run) +
                         "/MANIFEST.TXT"));
}

TEST(WriteRunBackupSwitch, TrailingSeparatorsAreDropped) {
  PackSample relative, absolute;
  MakePackSample(PackRecipe(), &relative);
  MakePackSample(PackRecipe(), &absolute);
  const std::string absoluteRoot = absolute.scratch.path + "/ABS";
  struct Case {
    PackSample* sample;
    std::string value;      // as typed after /BACKUP=
    std::string shownRoot;  // as the program prints the root
    std::string hostRoot;
  };
  const Case cases[] = {
      {&relative, "BAK\\//\\", HostPath(relative.paths.home) + Sep() + "BAK",
       relative.paths.home + "/BAK"},
      {&absolute, HostPath(absoluteRoot) + "//\\\\", HostPath(absoluteRoot), absoluteRoot},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const std::vector<std::string> args = {"/SEC=77", "/BACKUP=" + c.value};
    const std::string expected = ExpectedPackTranscript(
        *c.sample, args, c.shownRoot + Sep() + "QVCULLDB-YYYYMMDD-HHMMSS");
    const RunResult run = RunWrite(*c.sample, args);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(NormaliseClock(run.out), expected);
    EXPECT_EQ(ListDirectory(c.hostRoot), std::vector<std::string>{"QVCULLDB-" + RunStamp(run)});
  }
}

}  // namespace
