// The final safety gate, the commit by rename, post-write verification and the
// rollback from the verified backup.
#include "commit_fixture.h"
#include "safety/shared_lock.h"

namespace {

const char kCommitBanner[] = "\n======================= COMMIT ========================\n";
const char kRollbackBanner[] = "\n======================= ROLLBACK ======================\n";
const char kRollbackPass[] =
    "Rollback result: PASS - original database files restored and verified.\n";

}  // namespace

class GateTest : public CommitFixture {
 protected:
  std::string lockPath;

  void SetUp() override {
    CommitFixture::SetUp();
    lockPath = message + "/QVLINK.BSY";
    char reason[256];
    ASSERT_EQ(AcquireSharedLock(lockPath.c_str(), reason, sizeof reason), 1) << reason;
  }

  void TearDown() override {
    ReleaseSharedLock();
    CommitFixture::TearDown();
  }

  bool Gate() { return RunFinalSafetyGate(&live, &inventory, pack.get(), &counters); }
  bool Commit() { return CommitStagedFiles(&live, &inventory, pack.get(), &counters); }
  bool Verify() {
    return VerifyCommittedFiles(datPath.c_str(), ptrPath.c_str(), &inventory, pack.get(),
                                &counters);
  }
  void Rollback() { RollbackFromBackup(&live, &inventory, pack.get(), &counters); }

  void BackUp() {
    ASSERT_TRUE(Backup());
    TakeOutput();
  }

  std::string BackupFile(const char* relative) {
    return std::string(pack->backupDirPath) + "/" + relative;
  }

  std::string RollbackFailed() {
    return std::string("Rollback result: FAILED - keep all nodes offline and restore manually "
                       "from ") +
           pack->backupDirPath + ".\n";
  }

  void ExpectCommittedDatabase() {
    EXPECT_EQ(ReadBytes(datPath), datNew);
    EXPECT_EQ(ReadBytes(ptrPath), ptrNew);
    EXPECT_EQ(ReadBytes(lmr1Path), lmr1New);
    EXPECT_EQ(ReadBytes(lmr2Path), lmr2New);
    EXPECT_EQ(ReadBytes(purgedPath), purgedNew);
  }
};

TEST_F(GateTest, UnchangedDatabasePassesSilently) {
  EXPECT_TRUE(Gate());
  EXPECT_EQ(TakeOutput(), "");
  EXPECT_EQ(counters.errors, 0u);
}

TEST_F(GateTest, ListsEveryChangeInOrderAndCountsEach) {
  WriteBytes(datPath, datOld + "x");
  WriteBytes(whosOnPath, "WHOSON\r\n\x01");
  WriteBytes(lmr1Path, lmr1New);
  fs::remove(lmr2Path);
  WriteBytes(purgedPath, "");
  fs::remove(lockPath);
  EXPECT_FALSE(Gate());
  EXPECT_EQ(TakeOutput(),
            "ERROR: QVUSERS.DAT changed before commit.\n"
            "ERROR: QVWHOSON.DAT changed before commit.\n"
            "ERROR: QVMSG1.LMR changed before commit.\n"
            "ERROR: QVMSG2.LMR changed before commit.\n"
            "ERROR: QVPURGED.USR appeared before commit.\n"
            "ERROR: shared QVLINK.BSY ownership was lost before commit.\n");
  EXPECT_EQ(counters.errors, 6u);
  // The gate changes nothing.
  EXPECT_EQ(ReadBytes(ptrPath), ptrOld);
}

TEST_F(GateTest, AuditLogRules) {
  // A directory of that name is no audit log.
  fs::create_directory(purgedPath);
  EXPECT_TRUE(Gate());
  fs::remove(purgedPath);

  GivePrePackAuditLog();
  EXPECT_TRUE(Gate());
  WriteBytes(purgedPath, purgedOld + "more");
  EXPECT_FALSE(Gate());
  EXPECT_EQ(TakeOutput(), "ERROR: QVPURGED.USR changed before commit.\n");
  EXPECT_EQ(counters.errors, 1u);
}

TEST_F(GateTest, LockLostAloneFailsTheGate) {
  fs::remove(lockPath);
  EXPECT_FALSE(Gate());
  EXPECT_EQ(TakeOutput(), "ERROR: shared QVLINK.BSY ownership was lost before commit.\n");
  EXPECT_EQ(counters.errors, 1u);
}

TEST_F(GateTest, CommitReplacesEveryLiveFileKeepingItsPermissions) {
  fs::permissions(datPath, static_cast<fs::perms>(0640));
  BackUp();
  EXPECT_TRUE(Commit());
  EXPECT_EQ(TakeOutput(),
            std::string(kCommitBanner) + "Commit: COMPLETE (5 file replacement(s)).\n");
  EXPECT_EQ(counters.errors, 0u);
  ExpectCommittedDatabase();
  EXPECT_FALSE(fs::exists(pack->stagedDatPath));
  EXPECT_FALSE(fs::exists(entries[1].stagedPath));
  EXPECT_EQ(Mode(datPath), 0640u);

  EXPECT_TRUE(Verify());
  EXPECT_EQ(TakeOutput(), "");
  EXPECT_EQ(counters.errors, 0u);
}

TEST_F(GateTest, EmptyInventoryCommitsThreeFiles) {
  inventory.count = 0;
  BackUp();
  EXPECT_TRUE(Commit());
  EXPECT_EQ(TakeOutput(),
            std::string(kCommitBanner) + "Commit: COMPLETE (3 file replacement(s)).\n");
}

TEST_F(GateTest, FailedReplacementRollsEverythingBack) {
  fs::permissions(lmr1Path, static_cast<fs::perms>(0640));
  BackUp();
  fs::remove(pack->stagedPtrPath);
  EXPECT_FALSE(Commit());
  EXPECT_EQ(TakeOutput(), std::string(kCommitBanner) +
                              "ERROR: commit failed while replacing QVUSERS.PTR.\n" +
                              kRollbackBanner + kRollbackPass);
  EXPECT_EQ(counters.errors, 1u);
  EXPECT_EQ(pack->rollbackStarted, 1u);
  EXPECT_EQ(pack->rollbackOk, 1u);
  ExpectPrePackDatabase();
  EXPECT_EQ(Mode(lmr1Path), 0640u);
  // The commit never reached the audit log, so there still is none.
  EXPECT_FALSE(fs::exists(purgedPath));
}

TEST_F(GateTest, DirectoryInPlaceOfAuditLogFailsLastReplacementAndRollsBack) {
  BackUp();
  fs::create_directory(purgedPath);
  EXPECT_FALSE(Commit());
  EXPECT_EQ(TakeOutput(), std::string(kCommitBanner) +
                              "ERROR: commit failed while replacing QVPURGED.USR.\n" +
                              kRollbackBanner + kRollbackPass);
  EXPECT_EQ(counters.errors, 1u);
  ExpectPrePackDatabase();
  EXPECT_TRUE(fs::is_directory(purgedPath));
}

TEST_F(GateTest, VerifyListsDifferingFilesAndRollbackRemovesNewAuditLog) {
  BackUp();
  ASSERT_TRUE(Commit());
  TakeOutput();
  WriteBytes(lmr2Path, lmr2Old);
  WriteBytes(ptrPath, "");
  EXPECT_FALSE(Verify());
  EXPECT_EQ(TakeOutput(),
            "ERROR: post-write verification failed for QVUSERS.PTR.\n"
            "ERROR: post-write verification failed for QVMSG2.LMR.\n");
  EXPECT_EQ(counters.errors, 2u);

  Rollback();
  EXPECT_EQ(TakeOutput(), std::string(kRollbackBanner) + kRollbackPass);
  EXPECT_EQ(counters.errors, 2u);
  ExpectPrePackDatabase();
  EXPECT_FALSE(fs::exists(purgedPath));
  // Restores go through the staged name and leave nothing behind.
  EXPECT_FALSE(fs::exists(std::string(datPath) + ".QVCNEW"));
}

TEST_F(GateTest, RollbackRestoresPrePackAuditLog) {
  GivePrePackAuditLog();
  BackUp();
  ASSERT_TRUE(Commit());
  EXPECT_EQ(ReadBytes(purgedPath), purgedOld + purgedNew);
  TakeOutput();
  Rollback();
  EXPECT_EQ(TakeOutput(), std::string(kRollbackBanner) + kRollbackPass);
  EXPECT_EQ(ReadBytes(purgedPath), purgedOld);
  ExpectPrePackDatabase();
}

TEST_F(GateTest, MissingBackupCopyFailsThatFileOnlyAndCountsOnce) {
  BackUp();
  ASSERT_TRUE(Commit());
  TakeOutput();
  fs::remove(BackupFile("MESSAGE/QVMSG1.LMR"));
  Rollback();
  EXPECT_EQ(TakeOutput(), std::string(kRollbackBanner) +
                              "CRITICAL: rollback failed for QVMSG1.LMR.\n" + RollbackFailed());
  EXPECT_EQ(counters.errors, 1u);
  EXPECT_EQ(pack->rollbackStarted, 1u);
  EXPECT_EQ(pack->rollbackOk, 0u);
  EXPECT_EQ(ReadBytes(datPath), datOld);
  EXPECT_EQ(ReadBytes(ptrPath), ptrOld);
  EXPECT_EQ(ReadBytes(lmr2Path), lmr2Old);
  EXPECT_FALSE(fs::exists(purgedPath));
  // The file that could not be restored keeps the committed bytes, never a partial copy.
  EXPECT_EQ(ReadBytes(lmr1Path), lmr1New);
}

TEST_F(GateTest, DamagedBackupCopyNeverOverwritesALiveFile) {
  BackUp();
  WriteBytes(BackupFile("WORK/QVUSERS.DAT"), "DAMAGED");
  WriteBytes(BackupFile("MESSAGE/QVMSG1.LMR"), "DAMAGED");
  // The commit stops at QVUSERS.DAT: QVMSG1.LMR is replaced, QVUSERS.DAT never was.
  fs::remove(pack->stagedDatPath);
  EXPECT_FALSE(Commit());
  EXPECT_EQ(TakeOutput(), std::string(kCommitBanner) +
                              "ERROR: commit failed while replacing QVUSERS.DAT.\n" +
                              kRollbackBanner + "CRITICAL: rollback failed for QVMSG1.LMR.\n" +
                              RollbackFailed());
  EXPECT_EQ(counters.errors, 2u);
  // The untouched QVUSERS.DAT still holds the pre-pack bytes, and the replaced
  // QVMSG1.LMR the committed ones; neither got the damaged copy.
  EXPECT_EQ(ReadBytes(datPath), datOld);
  EXPECT_EQ(ReadBytes(lmr1Path), lmr1New);
  EXPECT_EQ(ReadBytes(lmr2Path), lmr2Old);
  EXPECT_EQ(ReadBytes(ptrPath), ptrOld);
  EXPECT_FALSE(fs::exists(lmr1Path + ".QVCNEW"));
}

TEST_F(GateTest, RollbackWithoutBackupTouchesNothing) {
  ASSERT_TRUE(Commit());
  TakeOutput();
  Rollback();
  EXPECT_EQ(TakeOutput(),
            std::string(kRollbackBanner) +
                "CRITICAL: verified backup information is unavailable; automatic rollback "
                "cannot start.\n");
  EXPECT_EQ(counters.errors, 1u);
  EXPECT_EQ(pack->rollbackStarted, 1u);
  EXPECT_EQ(pack->rollbackOk, 0u);
  ExpectCommittedDatabase();
}
