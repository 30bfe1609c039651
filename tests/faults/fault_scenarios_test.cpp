// Deterministic fault scenarios: a file changed between two steps of a run, a
// volume short of space, a rename that fails inside the commit, a backup copy
// lost before the rollback. Each runs the real program under the fault shim on
// a fresh copy of a generated sample and checks the exact report lines, the
// summary and every byte of the database afterwards.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include "fault_support.h"

namespace {

const std::string kGateBanner = "\n================== FINAL SAFETY GATE ======================\n";
const std::string kCommitBanner = "\n======================= COMMIT ========================\n";
const std::string kVerifyBanner = "\n================== POST-WRITE VERIFY ======================\n";
const std::string kSnapshotBanner = "\n================ SNAPSHOT VERIFICATION ================\n";
const std::string kValidationBanner = "\n==================== FILE VALIDATION ==================\n";
const std::string kStagingBanner = "\n================== BUILD AND VERIFY .NEW ==================\n";
const std::string kSummaryBanner = "\n======================= SUMMARY =======================\n";
const std::string kRollbackBanner = "\n======================= ROLLBACK ======================\n";
const std::string kReleased = "Shared QVLINK.BSY lock: RELEASED.\n";
const std::string kRollbackPass =
    "Rollback result: PASS - original database files restored and verified.\n";

const FaultFixture& Fixture(bool purgedLog) {
  static std::unique_ptr<ScratchDir> dirs[2];
  static FaultFixture fixtures[2];
  const int i = purgedLog ? 1 : 0;
  if (!dirs[i]) {
    dirs[i] = std::make_unique<ScratchDir>();
    std::string error;
    const bool ok = PrepareFixture(dirs[i]->path, purgedLog ? "with-log" : "without-log",
                                   PackFixtureRecipe(purgedLog, 11), {}, &fixtures[i], &error);
    EXPECT_TRUE(ok) << error;
  }
  return fixtures[i];
}

struct Attempt {
  ScratchDir scratch;
  std::string home;
  std::string log;
  RunResult run;
  std::vector<FiredCall> fired;
  std::string backupDir;  // from the "Backup directory:" line, when the backup passed
};

std::string BackupDirectoryLine(const std::string& report) {
  const std::string label = "Backup directory:   ";
  const size_t at = report.find(label);
  if (at == std::string::npos) return "";
  const size_t start = at + label.size();
  return report.substr(start, report.find('\n', start) - start);
}

// Runs the program on a fresh copy of the fixture with the given shim rules.
void RunWithRules(const FaultFixture& fixture, const std::vector<std::string>& rules,
                  Attempt* attempt, const std::vector<std::string>& args = {},
                  const std::vector<std::string>& extraEnv = {}) {
  attempt->home = attempt->scratch.path + "/BBS";
  attempt->log = attempt->scratch.path + "/shim.log";
  ASSERT_TRUE(CopyTree(fixture.pristine, attempt->home));
  attempt->run = RunProgram(attempt->home, args, ShimEnvironment(rules, attempt->log, "", extraEnv));
  attempt->fired = ReadFired(attempt->log);
  attempt->backupDir = BackupDirectoryLine(attempt->run.report);
  ASSERT_TRUE(attempt->run.started) << attempt->run.err;
  EXPECT_TRUE(FailedActions(attempt->log).empty()) << "a test action failed";
}

// The report from banner up to the summary.
std::string Section(const std::string& report, const std::string& banner) {
  const size_t start = report.find(banner);
  if (start == std::string::npos) return "<no " + banner.substr(1, 40) + ">";
  return report.substr(start, report.find(kSummaryBanner, start) - start);
}

// The whole outcome of a failed write run, checked by the common invariants
// and by the lines every such run must show.
void ExpectFailedWriteRun(const FaultFixture& fixture, const Attempt& attempt,
                          const std::string& errors, const FileMap& changedByTest = {}) {
  RunEvidence evidence;
  evidence.home = attempt.home;
  evidence.result = attempt.run;
  evidence.changedByTest = changedByTest;
  const Verdict verdict = CheckWriteRun(fixture, evidence);
  for (const std::string& violation : verdict.violations) ADD_FAILURE() << violation;
  EXPECT_EQ(attempt.run.exitCode, 2);
  EXPECT_EQ(SummaryValue(attempt.run.report, "Errors:              "), errors);
  EXPECT_EQ(SummaryValue(attempt.run.report, "Result status:       "),
            "ABORTED/FAILED - keep nodes offline until the report is reviewed.");
  EXPECT_FALSE(Contains(attempt.run.report, "WRITE RESULT: SUCCESS"));
}

// The live database equals fixture.before except for the files in changed.
void ExpectDatabase(const FaultFixture& fixture, const Attempt& attempt, FileMap expected) {
  EXPECT_EQ(DiffDatabase(expected, ReadDatabase(attempt.home, fixture.files)), "");
}

TEST(FaultScenarios, DryRunSeesUsersDatChangedBetweenSnapshotAndReverification) {
  const FaultFixture& fixture = Fixture(true);
  Attempt attempt;
  // QVUSERS.PTR is first opened for its snapshot, right after QVUSERS.DAT's; one
  // byte more at the end of QVUSERS.DAT leaves the scan's records as they were.
  RunWithRules(fixture,
               {"func=fopen pathend=/WORK/QVUSERS.PTR nth=1 do=action "
                "act=append,WORK/QVUSERS.DAT,00"},
               &attempt, {"/DRYRUN"});
  ASSERT_EQ(attempt.fired.size(), 1u);
  const RunResult& run = attempt.run;
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(Contains(run.report, "WOULD-PURGE #40 ")) << "the preview is still printed";
  EXPECT_EQ(Section(run.report, kSnapshotBanner),
            kSnapshotBanner +
                "ERROR: QVUSERS.DAT changed while it was being scanned. Results are not a "
                "consistent snapshot.\n"
                "Caller-status file:  " + attempt.home + "/WORK/QVWHOSON.DAT (1536 bytes)\n"
                "Caller safety check: CLEAR\n" + kReleased);
  EXPECT_EQ(SummaryValue(run.report, "Errors:              "), "1");
  EXPECT_EQ(SummaryValue(run.report, "Result status:       "),
            "ABORTED/UNTRUSTED - correct the reported errors and rerun.");
  EXPECT_EQ(SummaryValue(run.report, "Exit code:           "), "2");
  FileMap expected = fixture.before;
  expected["WORK/QVUSERS.DAT"] += '\0';
  ExpectDatabase(fixture, attempt, expected);
}

TEST(FaultScenarios, WorkVolumeShortOfSpaceStopsBeforeAnythingIsStaged) {
  const FaultFixture& fixture = Fixture(true);
  // QVUSERS.DAT 12600 + QVUSERS.PTR 1240 + 1 MiB; three LMR files of 39996 + 1 MiB.
  const uint64_t workNeed = 12600 + 1240 + 1048576;
  const uint64_t messageNeed = 3 * 39996 + 1048576;
  struct Case {
    const char* area;
    uint64_t freeBytes;
    std::string error;  // empty: the run succeeds
  } cases[] = {
      {"WORK", workNeed - 1,
       "ERROR: insufficient or unknown free space in WORK for staged files. Need at least " +
           std::to_string(workNeed) + " bytes.\n"},
      {"MESSAGE", messageNeed - 1,
       "ERROR: insufficient or unknown free space in MESSAGE for staged LMR files. Need at "
       "least " + std::to_string(messageNeed) + " bytes.\n"},
      {"WORK", workNeed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.area) + " " + std::to_string(c.freeBytes));
    Attempt attempt;
    const std::string free = "QVF_FREE=" + attempt.scratch.path + "/BBS/" + c.area + "=" +
                             std::to_string(c.freeBytes);
    RunWithRules(fixture, {}, &attempt, {}, {free});
    if (c.error.empty()) {
      EXPECT_EQ(attempt.run.exitCode, 0);
      continue;
    }
    EXPECT_EQ(Section(attempt.run.report, kStagingBanner), kStagingBanner + c.error + kReleased);
    EXPECT_EQ(SummaryValue(attempt.run.report, "Backup created:      "), "NO");
    EXPECT_FALSE(IsDirectory(attempt.home + "/QVCULLDB-BACKUPS"));
    ExpectFailedWriteRun(fixture, attempt, "1");
    ExpectDatabase(fixture, attempt, fixture.before);
  }
}

// Every file changed after its snapshot is listed in order and counted; the
// gate replaces nothing and no rollback runs.
TEST(FaultScenarios, GateListsEveryChangedFileAndReplacesNothing) {
  const FaultFixture& fixture = Fixture(true);
  Attempt attempt;
  // The manifest is the backup's last file: every copy has been verified by then.
  RunWithRules(fixture,
               {"func=fopen pathend=/MANIFEST.TXT do=action "
                "act=flip,MESSAGE/QVMSG3.LMR,-1;flip,WORK/QVUSERS.DAT,5000;"
                "flip,WORK/QVWHOSON.DAT,2;flip,MESSAGE/QVMSG1.LMR,0;flip,WORK/QVPURGED.USR,0"},
               &attempt);
  ASSERT_EQ(attempt.fired.size(), 1u);
  EXPECT_EQ(Section(attempt.run.report, kGateBanner),
            kGateBanner + "Caller-status file:  " + attempt.home +
                "/WORK/QVWHOSON.DAT (1536 bytes)\n"
                "Caller safety check: CLEAR\n"
                "ERROR: QVUSERS.DAT changed before commit.\n"
                "ERROR: QVWHOSON.DAT changed before commit.\n"
                "ERROR: QVMSG1.LMR changed before commit.\n"
                "ERROR: QVMSG3.LMR changed before commit.\n"
                "ERROR: QVPURGED.USR changed before commit.\n" + kReleased);
  EXPECT_EQ(SummaryValue(attempt.run.report, "Backup created:      "), attempt.backupDir);
  EXPECT_EQ(SummaryValue(attempt.run.report, "Rollback status:     "), "");
  EXPECT_FALSE(Contains(attempt.run.report, kRollbackBanner));
  // The changed files are as the test left them: nothing was replaced.
  FileMap expected = fixture.before;
  auto flip = [&](const std::string& rel, size_t at) { expected[rel][at] = char(~expected[rel][at]); };
  flip("MESSAGE/QVMSG3.LMR", expected["MESSAGE/QVMSG3.LMR"].size() - 1);
  flip("WORK/QVUSERS.DAT", 5000);
  flip("WORK/QVWHOSON.DAT", 2);
  flip("MESSAGE/QVMSG1.LMR", 0);
  flip("WORK/QVPURGED.USR", 0);
  ExpectDatabase(fixture, attempt, expected);
  EXPECT_EQ(attempt.run.exitCode, 2);
  EXPECT_EQ(SummaryValue(attempt.run.report, "Errors:              "), "5");
}

TEST(FaultScenarios, GateRefusesAnAuditLogThatAppearedAndALostLock) {
  const FaultFixture& fixture = Fixture(false);
  {
    Attempt attempt;
    RunWithRules(fixture,
                 {"func=fopen pathend=/MANIFEST.TXT do=action act=create,WORK/QVPURGED.USR,x"},
                 &attempt);
    EXPECT_EQ(Section(attempt.run.report, kGateBanner),
              kGateBanner + "Caller-status file:  " + attempt.home +
                  "/WORK/QVWHOSON.DAT (1536 bytes)\nCaller safety check: CLEAR\n"
                  "ERROR: QVPURGED.USR appeared before commit.\n" + kReleased);
    FileMap expected = fixture.before;
    expected["WORK/QVPURGED.USR"] = "x";
    ExpectDatabase(fixture, attempt, expected);
    ExpectFailedWriteRun(fixture, attempt, "1", {{"WORK/QVPURGED.USR", "x"}});
  }
  {
    Attempt attempt;
    RunWithRules(fixture,
                 {"func=fopen pathend=/MANIFEST.TXT do=action act=delete,MESSAGE/QVLINK.BSY"},
                 &attempt);
    // The lock file that vanished cannot be deleted at the end either.
    const std::string lockPath = attempt.home + "/MESSAGE/QVLINK.BSY";
    EXPECT_EQ(Section(attempt.run.report, kGateBanner),
              kGateBanner + "Caller-status file:  " + attempt.home +
                  "/WORK/QVWHOSON.DAT (1536 bytes)\nCaller safety check: CLEAR\n"
                  "ERROR: shared QVLINK.BSY ownership was lost before commit.\n"
                  "ERROR: QVCULLDB32 could not fully release its QVLINK.BSY lock. Manual "
                  "cleanup may be required: " + lockPath + "\n");
    ExpectDatabase(fixture, attempt, fixture.before);
    ExpectFailedWriteRun(fixture, attempt, "2");
  }
}

// A rename that fails inside the commit: the files replaced so far and those
// not yet replaced all come back from the backup.
TEST(FaultScenarios, FailedRenameDuringCommitRollsBack) {
  for (const bool purgedLog : {true, false}) {
    for (const char* name : {"QVMSG2.LMR", "QVUSERS.DAT", "QVUSERS.PTR", "QVPURGED.USR"}) {
      SCOPED_TRACE(std::string(name) + (purgedLog ? " with log" : " without log"));
      const FaultFixture& fixture = Fixture(purgedLog);
      Attempt attempt;
      RunWithRules(fixture, {std::string("func=rename nth=1 path=") + name + ".QVCNEW"}, &attempt);
      ASSERT_EQ(attempt.fired.size(), 1u);
      EXPECT_EQ(Section(attempt.run.report, kCommitBanner),
                kCommitBanner + "ERROR: commit failed while replacing " + name + ".\n" +
                    kRollbackBanner + kRollbackPass + kReleased);
      EXPECT_EQ(SummaryValue(attempt.run.report, "Backup created:      "), attempt.backupDir);
      EXPECT_EQ(SummaryValue(attempt.run.report, "Rollback status:     "), "PASS");
      ExpectDatabase(fixture, attempt, fixture.before);
      ExpectFailedWriteRun(fixture, attempt, "1");
    }
  }
}

TEST(FaultScenarios, CommittedFileThatDiffersAtVerificationIsRolledBack) {
  for (const bool purgedLog : {true, false}) {
    SCOPED_TRACE(purgedLog ? "with log" : "without log");
    const FaultFixture& fixture = Fixture(purgedLog);
    Attempt attempt;
    // Right after the commit's last rename; without an old log the rollback must
    // also remove the QVPURGED.USR that the commit created.
    RunWithRules(fixture,
                 {"func=rename nth=1 path=QVPURGED.USR.QVCNEW when=after do=action "
                  "act=flip,MESSAGE/QVMSG2.LMR,100"},
                 &attempt);
    EXPECT_EQ(Section(attempt.run.report, kVerifyBanner),
              kVerifyBanner + "ERROR: post-write verification failed for QVMSG2.LMR.\n" +
                  kRollbackBanner + kRollbackPass + kReleased);
    EXPECT_EQ(SummaryValue(attempt.run.report, "Rollback status:     "), "PASS");
    ExpectDatabase(fixture, attempt, fixture.before);
    ExpectFailedWriteRun(fixture, attempt, "1");
  }
}

TEST(FaultScenarios, CallerAppearingAfterTheCommitIsRolledBack) {
  const FaultFixture& fixture = Fixture(true);
  Attempt attempt;
  // UserNo 5 in node slot 3 (bytes 18 and 19), mode byte left as it is.
  RunWithRules(fixture,
               {"func=rename nth=1 path=QVPURGED.USR.QVCNEW when=after do=action "
                "act=poke,WORK/QVWHOSON.DAT,18,0500"},
               &attempt);
  std::string whosOn = fixture.before.at("WORK/QVWHOSON.DAT");
  whosOn[18] = 5;
  whosOn[19] = 0;
  char mode[8];
  std::snprintf(mode, sizeof mode, "0x%02X", unsigned(uint8_t(whosOn[20])));
  EXPECT_EQ(Section(attempt.run.report, kVerifyBanner),
            kVerifyBanner + "Caller-status file:  " + attempt.home +
                "/WORK/QVWHOSON.DAT (1536 bytes)\n"
                "SAFETY ABORT: active Quorvex node record(s) found:\n"
                "  Node slot 3: UserNo=5 Mode=" + mode + "\n"
                "QVCULLDB32 will not scan the user database while a caller may be active.\n"
                "ERROR: caller status became active during post-write verification.\n" +
                kRollbackBanner + kRollbackPass + kReleased);
  FileMap expected = fixture.before;
  expected["WORK/QVWHOSON.DAT"] = whosOn;
  ExpectDatabase(fixture, attempt, expected);
  ExpectFailedWriteRun(fixture, attempt, "1", {{"WORK/QVWHOSON.DAT", whosOn}});
}

TEST(FaultScenarios, BackupCopyRemovedBeforeTheRollbackFailsItAndNamesTheBackup) {
  const FaultFixture& fixture = Fixture(true);
  Attempt attempt;
  // The LMR files are replaced before QVUSERS.DAT, so QVMSG2.LMR needs its copy.
  RunWithRules(fixture,
               {"func=rename nth=1 path=QVUSERS.DAT.QVCNEW do=action+fail "
                "act=delete,QVCULLDB-BACKUPS/*/MESSAGE/QVMSG2.LMR"},
               &attempt);
  ASSERT_FALSE(attempt.backupDir.empty());
  EXPECT_EQ(Section(attempt.run.report, kCommitBanner),
            kCommitBanner + "ERROR: commit failed while replacing QVUSERS.DAT.\n" +
                kRollbackBanner + "CRITICAL: rollback failed for QVMSG2.LMR.\n" +
                "Rollback result: FAILED - keep all nodes offline and restore manually from " +
                attempt.backupDir + ".\n" + kReleased);
  EXPECT_EQ(SummaryValue(attempt.run.report, "Backup created:      "), attempt.backupDir);
  EXPECT_EQ(SummaryValue(attempt.run.report, "Rollback status:     "), "FAILED");
  // Everything else is back; QVMSG2.LMR keeps its packed version.
  FileMap expected = fixture.before;
  expected["MESSAGE/QVMSG2.LMR"] = fixture.packed.at("MESSAGE/QVMSG2.LMR");
  ExpectDatabase(fixture, attempt, expected);
  EXPECT_EQ(attempt.run.exitCode, 2);
  // One error for the commit, exactly one for the rollback.
  EXPECT_EQ(SummaryValue(attempt.run.report, "Errors:              "), "2");
  EXPECT_FALSE(FileExists(attempt.home + "/MESSAGE/QVLINK.BSY"));
  EXPECT_FALSE(FileExists(attempt.home + "/MESSAGE/QVMSG2.LMR.QVCNEW"));
}

TEST(FaultScenarios, RollbackThatCannotRemoveTheNewAuditLogFails) {
  const FaultFixture& fixture = Fixture(false);
  Attempt attempt;
  RunWithRules(fixture,
               {"func=rename nth=1 path=QVPURGED.USR.QVCNEW when=after do=action "
                "act=flip,WORK/QVUSERS.PTR,7",
                "func=unlink pathend=/WORK/QVPURGED.USR errno=EACCES"},
               &attempt);
  EXPECT_EQ(Section(attempt.run.report, kVerifyBanner),
            kVerifyBanner + "ERROR: post-write verification failed for QVUSERS.PTR.\n" +
                kRollbackBanner +
                "CRITICAL: rollback could not remove newly created QVPURGED.USR.\n"
                "Rollback result: FAILED - keep all nodes offline and restore manually from " +
                attempt.backupDir + ".\n" + kReleased);
  // The user and LMR files are back; only the new audit log stays.
  FileMap expected = fixture.before;
  expected["WORK/QVPURGED.USR"] = fixture.packed.at("WORK/QVPURGED.USR");
  ExpectDatabase(fixture, attempt, expected);
  EXPECT_EQ(SummaryValue(attempt.run.report, "Rollback status:     "), "FAILED");
  EXPECT_EQ(SummaryValue(attempt.run.report, "Errors:              "), "2");
}

// A look at the new audit log that fails must not let the rollback pass with
// the log still there.
TEST(FaultScenarios, RollbackRemovesTheNewAuditLogEvenWhenALookAtItFails) {
  const FaultFixture& fixture = Fixture(false);
  Attempt attempt;
  RunWithRules(fixture,
               {"func=rename nth=1 path=QVPURGED.USR.QVCNEW when=after do=action "
                "act=flip,WORK/QVUSERS.DAT,9",
                "func=stat pathend=/WORK/QVPURGED.USR after=1 errno=EIO"},
               &attempt);
  ASSERT_EQ(attempt.fired.size(), 2u);
  EXPECT_EQ(Section(attempt.run.report, kVerifyBanner),
            kVerifyBanner + "ERROR: post-write verification failed for QVUSERS.DAT.\n" +
                kRollbackBanner + kRollbackPass + kReleased);
  ExpectDatabase(fixture, attempt, fixture.before);
  ExpectFailedWriteRun(fixture, attempt, "1");
}

// Ctrl+C while the lock file is being written or released still removes it.
TEST(FaultScenarios, InterruptWhileTheLockIsWrittenOrReleasedRemovesIt) {
  AllowInterruptsInChildren();
  const FaultFixture& fixture = Fixture(true);
  struct Case {
    const char* rule;
    bool packed;  // the run had committed when it was interrupted
  } cases[] = {{"func=write path=QVLINK.BSY do=interrupt", false},
               {"func=close path=QVLINK.BSY do=interrupt", true},
               {"func=unlink path=QVLINK.BSY do=interrupt", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    Attempt attempt;
    RunWithRules(fixture, {c.rule}, &attempt);
    ASSERT_EQ(attempt.fired.size(), 1u);
    EXPECT_EQ(attempt.run.signal, SIGINT);
    EXPECT_FALSE(FileExists(attempt.home + "/MESSAGE/QVLINK.BSY"));
    ExpectDatabase(fixture, attempt, c.packed ? fixture.packed : fixture.before);
  }
}

// A listing of MESSAGE that breaks off is an error, never a short inventory.
TEST(FaultScenarios, BrokenLmrListingFailsTheRun) {
  const FaultFixture& fixture = Fixture(true);
  // An existing MESSAGE directory that opendir calls missing is not believed.
  const std::string rules[] = {"func=readdir nth=1 errno=EIO", "func=readdir nth=3 errno=EIO",
                               "func=opendir path=MESSAGE errno=EACCES",
                               "func=opendir path=MESSAGE errno=ENOENT"};
  for (const std::string& rule : rules) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"/DRYRUN"},
                                                 std::vector<std::string>{}}) {
      SCOPED_TRACE(rule + (args.empty() ? " write run" : " dry run"));
      Attempt attempt;
      RunWithRules(fixture, {rule}, &attempt, args);
      ASSERT_EQ(attempt.fired.size(), 1u);
      const std::string section = Section(attempt.run.report, kValidationBanner);
      EXPECT_TRUE(Contains(section, "remainder 0\nERROR: cannot list QVMSGxx.LMR files in " +
                                        attempt.home + "/MESSAGE.\n" + kReleased))
          << section;
      EXPECT_FALSE(Contains(section, "LMR files found:"));
      EXPECT_EQ(attempt.run.exitCode, 2);
      EXPECT_EQ(SummaryValue(attempt.run.report, "Errors:              "), "1");
      ExpectDatabase(fixture, attempt, fixture.before);
    }
  }
}

}  // namespace
