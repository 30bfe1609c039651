// The commit and the rollback where the end-to-end runs cannot reach: no LMR
// files, a damaged backup copy, and a rollback without a backup.
#include "commit_fixture.h"

namespace {

const char kCommitBanner[] = "\n======================= COMMIT ========================\n";
const char kRollbackBanner[] = "\n======================= ROLLBACK ======================\n";

}  // namespace

class CommitTest : public CommitFixture {
 protected:
  bool Commit() { return CommitStagedFiles(&live, &inventory, pack.get(), &counters); }
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

TEST_F(CommitTest, EmptyInventoryCommitsThreeFiles) {
  inventory.count = 0;
  BackUp();
  EXPECT_TRUE(Commit());
  EXPECT_EQ(TakeOutput(),
            std::string(kCommitBanner) + "Commit: COMPLETE (3 file replacement(s)).\n");
}

TEST_F(CommitTest, DamagedBackupCopyNeverOverwritesALiveFile) {
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

TEST_F(CommitTest, RollbackWithoutBackupTouchesNothing) {
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
