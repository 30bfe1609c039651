// The verified backup where the end-to-end runs cannot reach: no LMR files, a UNC
// share, overlong roots, and live files that change while they are copied.
#include "commit_fixture.h"

namespace {

// Reference FNV-1a 64, written out independently of the program's.
std::string Fnv1a64Hex(const std::string& bytes) {
  unsigned long long h = 14695981039346656037ULL;
  for (unsigned char b : bytes) {
    h ^= b;
    h *= 1099511628211ULL;
  }
  char text[17];
  snprintf(text, sizeof text, "%016llX", h);
  return text;
}

std::string Pad(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string ManifestLine(const std::string& area, const std::string& name,
                         const std::string& bytes, const std::string& source) {
  return Pad(area, 8) + " " + Pad(name, 20) + " size=" + std::to_string(bytes.size()) +
         " fnv1a64=" + Fnv1a64Hex(bytes) + " source=" + source + "\r\n";
}

}  // namespace

class BackupTest : public CommitFixture {
 protected:
  void ExpectFailure(const std::string& expected) {
    EXPECT_FALSE(Backup());
    EXPECT_EQ(TakeOutput(), expected);
    EXPECT_EQ(counters.errors, 1u);
    EXPECT_EQ(pack->backupDone, 0u);
  }
};

TEST_F(BackupTest, NoAuditLogAndNoLmrFilesLeaveThreeWorkLinesAndAnEmptyMessageDirectory) {
  inventory.count = 0;
  ASSERT_TRUE(Backup());
  const std::string dir = pack->backupDirPath;
  EXPECT_FALSE(fs::exists(dir + "/WORK/QVPURGED.USR"));
  EXPECT_TRUE(fs::is_directory(dir + "/MESSAGE"));
  EXPECT_TRUE(fs::is_empty(dir + "/MESSAGE"));
  EXPECT_EQ(ReadBytes(dir + "/MANIFEST.TXT"),
            "QVCULLDB32 VERIFIED BACKUP MANIFEST\r\n" +
                ManifestLine("WORK", "QVUSERS.DAT", datOld, datPath) +
                ManifestLine("WORK", "QVUSERS.PTR", ptrOld, ptrPath) +
                ManifestLine("WORK", "QVWHOSON.DAT", whosOnOld, whosOnPath));
}

TEST_F(BackupTest, UncShareIsNeverCreated) {
  // On POSIX "//tmp/x" names the same directory as "/tmp/x", so the walk is
  // observable. Server "tmp", share the fixture directory: share-missing and bak
  // lie below the share and are created.
  const std::string missingShare = home + "/share-missing";
  ASSERT_EQ(missingShare.rfind("/tmp/", 0), 0u);
  UseBackupRoot("/" + missingShare + "/bak");
  ASSERT_TRUE(Backup());
  EXPECT_TRUE(fs::is_directory(missingShare + "/bak"));
  TakeOutput();

  // Server "tmp", share "<fixture>-gone": the share is missing and never created.
  const std::string gone = home + "-gone";
  UseBackupRoot("/" + gone + "/bak");
  pack->backupDone = 0;
  ExpectFailure("ERROR: cannot create or access backup root: /" + gone + "/bak\n");
  EXPECT_FALSE(fs::exists(gone));
}

TEST_F(BackupTest, OverlongRootsFail) {
  UseBackupRoot(std::string(1020, 'b'));
  ExpectFailure("ERROR: /BACKUP path is too long.\n");

  options->backupGiven = 0;
  counters.errors = 0;
  const std::string longHome(1010, 'h');  // never reached on disk
  EXPECT_FALSE(CreateVerifiedBackup(longHome.c_str(), whosOnPath.c_str(), &live, &inventory,
                                    options.get(), &startTime, pack.get(), &counters));
  EXPECT_EQ(TakeOutput(), "ERROR: default backup path is too long.\n");
  EXPECT_EQ(counters.errors, 1u);
}

TEST_F(BackupTest, LiveFileChangedAfterSnapshotFailsItsCopy) {
  WriteBytes(lmr2Path, lmr2New);
  ExpectFailure("ERROR: verified backup failed for QVMSG2.LMR.\n");
  // The mismatching copy stays for the operator to inspect; no manifest is written.
  const std::string dir = pack->backupDirPath;
  EXPECT_EQ(ReadBytes(dir + "/MESSAGE/QVMSG2.LMR"), lmr2New);
  EXPECT_FALSE(fs::exists(dir + "/MANIFEST.TXT"));
}

TEST_F(BackupTest, ChangedWorkFileAndAuditLogNameTheirGroup) {
  WriteBytes(whosOnPath, "WHOSON\r\nX");
  ExpectFailure("ERROR: verified backup failed for WORK database files.\n");

  WriteBytes(whosOnPath, whosOnOld);
  GivePrePackAuditLog();
  WriteBytes(purgedPath, purgedOld + "late");
  counters.errors = 0;
  ExpectFailure("ERROR: verified backup failed for QVPURGED.USR.\n");
}
