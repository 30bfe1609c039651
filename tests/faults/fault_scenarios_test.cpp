// One row per injected fault: the report from the failing step on, the summary, the database and
// CheckRun's invariants.
#include "fault_support.h"

namespace {

const std::string kGate = "\n================== FINAL SAFETY GATE ======================\n";
const std::string kVerify = "\n================== POST-WRITE VERIFY ======================\n";
const std::string kNoSpace = "\n================== BUILD AND VERIFY .NEW ==================\n"
                             "ERROR: insufficient or unknown free space in ";
const std::string kReleased = "Shared QVLINK.BSY lock: RELEASED.\n";
const std::string kClear =
    "Caller-status file:  <home>/WORK/QVWHOSON.DAT (1536 bytes)\nCaller safety check: CLEAR\n";
const std::string kPass = kRollbackBanner +
    "Rollback result: PASS - original database files restored and verified.\n" + kReleased;
const std::string kFailed = kRollbackFailed + "<backup>.\n" + kReleased;
// The manifest is the backup's last file: every copy is verified by then.
const std::string kAtManifest = "func=fopen pathend=/MANIFEST.TXT do=action act=";
const std::string kAfterCommit = "func=rename path=QVPURGED.USR.QVCNEW when=after do=action act=";
const uint64_t kWorkNeed = 12600 + 1240 + 1048576, kMessageNeed = 3 * 39996 + 1048576;  // + 1 MiB

struct Row {
  std::string name{};
  std::vector<std::string> rules{};
  std::string tail{};  // the report from this text's first line up to the summary
  bool log = true;     // an old audit log exists
  bool dryRun = false;
  std::string free{};             // "AREA=BYTES" free on that volume
  bool edited = false;            // the rules' edits of database files stay
  int exitCode = 2;               // -1: interrupted
  std::string errors = "1";       // the summary's error count
  std::string backup = "named";   // "named" by the run; "NO" and none; "NO" but "begun"
  bool committed = false;         // the database ends packed
  std::vector<std::string> packed{};  // files that end packed anyway
};

void Check(const Row& row) {
  SCOPED_TRACE(row.name);
  ScratchDir scratch;
  const Fixture f = MakeFixture(scratch.path, row.log);
  const std::string home = scratch.path + "/BBS", log = scratch.path + "/shim.log";
  CopyTree(f.pristine, home);
  std::vector<std::string> env = ShimEnvironment(row.rules, log), args;
  if (!row.free.empty()) env.push_back("QVF_FREE=" + home + "/" + row.free);
  if (row.dryRun) args.push_back("/DRYRUN");
  const Outcome o{.home = home, .result = RunProgram(home, args, env),
                  .before = row.edited ? Edited(f.before, row.rules) : f.before,
                  .packed = row.edited ? Edited(f.packed, row.rules) : f.packed,
                  .injected = row.exitCode < 0 ? "interrupt" : "", .dryRun = row.dryRun};
  const std::string shimLog = ReadFile(log);
  for (size_t i = 1; i <= row.rules.size(); ++i) {
    EXPECT_TRUE(Contains(shimLog, "fired rule=" + std::to_string(i) + " ")) << i;
  }
  EXPECT_FALSE(Contains(shimLog, " failed\n")) << "a test action failed";
  for (const std::string& violation : CheckRun(f, o)) ADD_FAILURE() << violation;
  FileMap expected = row.committed ? o.packed : o.before;
  for (const std::string& rel : row.packed) expected[rel] = f.packed.at(rel);
  EXPECT_EQ(DiffDatabase(expected, ReadDatabase(home)), "");
  if (row.exitCode < 0) return;
  const std::string& report = o.result.report;
  const std::string backup = LineAfter(report, "Backup directory:   ");
  const std::string want = row.backup == "named" ? (row.exitCode ? "" : "YES - ") + backup : "NO";
  EXPECT_EQ(o.result.exitCode, row.exitCode);
  EXPECT_EQ(SummaryValue(report, "Errors:"), row.errors);
  EXPECT_EQ(row.dryRun ? want : SummaryValue(report, "Backup created:"), want);
  EXPECT_EQ(IsDirectory(home + "/QVCULLDB-BACKUPS"), !row.dryRun && row.backup != "NO");
  const std::string masked = Masked(Masked(report, backup, "<backup>"), home, "<home>");
  const size_t at = masked.find(row.tail.substr(0, row.tail.find('\n', 1)));
  const std::string tail =
      at == masked.npos ? "<missing>" : masked.substr(at, masked.find(kSummaryBanner, at) - at);
  EXPECT_EQ(row.tail.empty() ? "" : tail, row.tail);
}

void CheckAll(std::initializer_list<Row> rows) {
  for (const Row& row : rows) Check(row);
}

// A file that changes after its snapshot, a volume short of space, or a backup copy that fails or
// differs from its file's snapshot (the copy then stays for inspection) stops the run before
// anything is replaced.
TEST(FaultScenarios, StopsBeforeTheCommit) {
  CheckAll({
      // Opening QVUSERS.PTR follows QVUSERS.DAT's snapshot; a byte more at the end of
      // QVUSERS.DAT (12600 bytes) leaves the scan's records as they were.
      {.name = "dry run, QVUSERS.DAT grows",
       .rules = {"func=fopen pathend=/WORK/QVUSERS.PTR do=action "
                 "act=poke,WORK/QVUSERS.DAT,12600,00"},
       .tail = "\n================ SNAPSHOT VERIFICATION ================\nERROR: QVUSERS.DAT "
               "changed while it was being scanned. Results are not a consistent snapshot.\n" +
               kClear + kReleased,
       .dryRun = true, .edited = true},
      {.name = "gate lists every changed file",
       .rules = {kAtManifest + "flip,MESSAGE/QVMSG3.LMR,-1;flip,WORK/QVUSERS.DAT,5000;"
                 "flip,WORK/QVWHOSON.DAT,2;flip,MESSAGE/QVMSG1.LMR,0;flip,WORK/QVPURGED.USR,0"},
       .tail = kGate + kClear + "ERROR: QVUSERS.DAT changed before commit.\nERROR: QVWHOSON.DAT "
               "changed before commit.\nERROR: QVMSG1.LMR changed before commit.\nERROR: "
               "QVMSG3.LMR changed before commit.\nERROR: QVPURGED.USR changed before commit.\n" +
               kReleased,
       .edited = true, .errors = "5"},
      {.name = "an audit log appears", .rules = {kAtManifest + "poke,WORK/QVPURGED.USR,0,78"},
       .tail = kGate + kClear + "ERROR: QVPURGED.USR appeared before commit.\n" + kReleased,
       .log = false, .edited = true},
      // The lock file that vanished cannot be deleted at the end either.
      {.name = "the lock is lost", .rules = {kAtManifest + "delete,MESSAGE/QVLINK.BSY"},
       .tail = kGate + kClear + "ERROR: shared QVLINK.BSY ownership was lost before commit.\n"
               "ERROR: QVCULLDB32 could not fully release its QVLINK.BSY lock. Manual cleanup may "
               "be required: <home>/MESSAGE/QVLINK.BSY\n",
       .errors = "2"},
      {.name = "WORK short of space",
       .tail = kNoSpace + "WORK for staged files. Need at least " + std::to_string(kWorkNeed) +
               " bytes.\n" + kReleased,
       .free = "WORK=" + std::to_string(kWorkNeed - 1), .backup = "NO"},
      {.name = "MESSAGE short of space",
       .tail = kNoSpace + "MESSAGE for staged LMR files. Need at least " +
               std::to_string(kMessageNeed) + " bytes.\n" + kReleased,
       .free = "MESSAGE=" + std::to_string(kMessageNeed - 1), .backup = "NO"},
      {.name = "just enough space", .free = "WORK=" + std::to_string(kWorkNeed), .exitCode = 0,
       .errors = "0", .committed = true},
      {.name = "QVUSERS.PTR changes under its backup copy",
       .rules = {"func=fopen path=BACKUPS pathend=/WORK/QVUSERS.PTR do=action "
                 "act=flip,WORK/QVUSERS.PTR,3"},
       .tail = "ERROR: verified backup failed for WORK database files.\n" + kReleased,
       .edited = true, .backup = "begun"},
      {.name = "backup copy of QVPURGED.USR",
       .rules = {"func=fwrite path=BACKUPS pathend=/WORK/QVPURGED.USR"},
       .tail = "ERROR: verified backup failed for QVPURGED.USR.\n" + kReleased, .backup = "begun"},
      {.name = "backup copy of QVMSG2.LMR",
       .rules = {"func=fclose path=BACKUPS pathend=/MESSAGE/QVMSG2.LMR"},
       .tail = "ERROR: verified backup failed for QVMSG2.LMR.\n" + kReleased, .backup = "begun"},
  });
}

// Whatever fails inside the commit or after it, the rollback brings back every file from the
// backup, or names the backup when it cannot.
TEST(FaultScenarios, CommitFailuresRollBack) {
  for (const bool log : {true, false}) {
    for (const std::string name : {"QVMSG2.LMR", "QVUSERS.DAT", "QVUSERS.PTR", "QVPURGED.USR"}) {
      Check({.name = name + (log ? "" : ", no audit log"),
             .rules = {"func=rename path=" + name + ".QVCNEW"},
             .tail = kCommitBanner + "ERROR: commit failed while replacing " + name + ".\n" + kPass,
             .log = log});
    }
  }
  CheckAll({
      {.name = "a committed file differs", .rules = {kAfterCommit + "flip,MESSAGE/QVMSG2.LMR,100"},
       .tail = kVerify + "ERROR: post-write verification failed for QVMSG2.LMR.\n" + kPass},
      // UserNo 5, mode 1 in node slot 3.
      {.name = "a caller appears", .rules = {kAfterCommit + "poke,WORK/QVWHOSON.DAT,18,050001"},
       .tail = kVerify + "Caller-status file:  <home>/WORK/QVWHOSON.DAT (1536 bytes)\nSAFETY "
               "ABORT: active Quorvex node record(s) found:\n  Node slot 3: UserNo=5 Mode=0x01\n"
               "QVCULLDB32 will not scan the user database while a caller may be active.\nERROR: "
               "caller status became active during post-write verification.\n" + kPass,
       .edited = true},
      // The LMR files are replaced before QVUSERS.DAT, so QVMSG2.LMR needs its copy.
      {.name = "a backup copy cannot be read",
       .rules = {"func=rename path=QVUSERS.DAT.QVCNEW",
                 "func=fopen path=BACKUPS pathend=/QVMSG2.LMR after=1"},
       .tail = kCommitBanner + "ERROR: commit failed while replacing QVUSERS.DAT.\n" +
               kRollbackBanner + "CRITICAL: rollback failed for QVMSG2.LMR.\n" + kFailed,
       .errors = "2", .packed = {"MESSAGE/QVMSG2.LMR"}},
      {.name = "the new audit log cannot be removed",
       .rules = {kAfterCommit + "flip,WORK/QVUSERS.PTR,7",
                 "func=unlink pathend=/WORK/QVPURGED.USR errno=EACCES"},
       .tail = kVerify + "ERROR: post-write verification failed for QVUSERS.PTR.\n" +
               kRollbackBanner + "CRITICAL: rollback could not remove newly created QVPURGED.USR.\n"
               + kFailed,
       .log = false, .errors = "2", .packed = {kAuditLog}},
      // Without an old log the rollback removes the one the commit created, even when a look at
      // it fails.
      {.name = "a look at the new audit log fails",
       .rules = {kAfterCommit + "flip,WORK/QVUSERS.DAT,9",
                 "func=stat pathend=/WORK/QVPURGED.USR after=1"},
       .tail = kVerify + "ERROR: post-write verification failed for QVUSERS.DAT.\n" + kPass,
       .log = false},
  });
}

// Ctrl+C while the lock is written, closed or removed still removes it. A listing of MESSAGE that
// breaks off is an error, never a short inventory; an existing MESSAGE that opendir calls missing
// is not believed.
TEST(FaultScenarios, InterruptedLockAndBrokenListing) {
  for (const std::string call : {"write", "close", "unlink"}) {
    Check({.name = call, .rules = {"func=" + call + " path=QVLINK.BSY do=interrupt"},
           .exitCode = -1, .committed = call != "write"});
  }
  for (const bool dryRun : {true, false}) {
    for (const char* rule : {"func=readdir", "func=readdir nth=3",
                             "func=opendir path=MESSAGE errno=EACCES",
                             "func=opendir path=MESSAGE errno=ENOENT"}) {
      Check({.name = rule, .rules = {rule},
             .tail = "QVUSERS.PTR:        1240 bytes = 40 x 31, remainder 0\nERROR: cannot list "
                     "QVMSGxx.LMR files in <home>/MESSAGE.\n" + kReleased,
             .dryRun = dryRun, .backup = "NO"});
    }
  }
}

}  // namespace
