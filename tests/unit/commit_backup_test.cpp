// The verified backup: the tree it lays down, where its root goes, how the
// timestamped name stays unique, and how a failure is reported.
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

const char kRestoreWarning[] =
    "QVCULLDB32 0.4.0-beta1 IMMEDIATE-ROLLBACK BACKUP\r\n"
    "\r\n"
    "This backup is intended for immediate rollback before the BBS is reopened.\r\n"
    "After callers return, restoring it discards newer user-database and\r\n"
    "last-message-read progress.\r\n"
    "\r\n"
    "Restore WORK\\QVUSERS.DAT, WORK\\QVUSERS.PTR, and every\r\n"
    "MESSAGE\\QVMSGxx.LMR file together as one matched set.\r\n"
    "Restore WORK\\QVPURGED.USR only when it existed before the pack.\r\n";

const char kDirName[] = "QVCULLDB-20261205-020709";

}  // namespace

class BackupTest : public CommitFixture {
 protected:
  std::string PassLines(const std::string& root, const std::string& dir) {
    return "Backup root:        " + root + "\nBackup directory:   " + dir +
           "\nVerified backup result: PASS\n";
  }

  void ExpectFailure(const std::string& expected) {
    EXPECT_FALSE(Backup());
    EXPECT_EQ(TakeOutput(), expected);
    EXPECT_EQ(counters.errors, 1u);
    EXPECT_EQ(pack->backupDone, 0u);
  }
};

TEST_F(BackupTest, LaysDownVerifiedCopiesManifestAndWarningForOperatorOnly) {
  GivePrePackAuditLog();
  ASSERT_TRUE(Backup());
  const std::string root = home + "/QVCULLDB-BACKUPS";
  const std::string dir = root + "/" + kDirName;
  EXPECT_EQ(TakeOutput(), PassLines(root, dir));
  EXPECT_EQ(counters.errors, 0u);
  EXPECT_EQ(pack->backupDone, 1u);
  EXPECT_STREQ(pack->backupRootPath, root.c_str());
  EXPECT_STREQ(pack->backupDirPath, dir.c_str());

  EXPECT_EQ(ReadBytes(dir + "/WORK/QVUSERS.DAT"), datOld);
  EXPECT_EQ(ReadBytes(dir + "/WORK/QVUSERS.PTR"), ptrOld);
  EXPECT_EQ(ReadBytes(dir + "/WORK/QVWHOSON.DAT"), whosOnOld);
  EXPECT_EQ(ReadBytes(dir + "/WORK/QVPURGED.USR"), purgedOld);
  EXPECT_EQ(ReadBytes(dir + "/MESSAGE/QVMSG1.LMR"), lmr1Old);
  EXPECT_EQ(ReadBytes(dir + "/MESSAGE/QVMSG2.LMR"), lmr2Old);

  EXPECT_EQ(ReadBytes(dir + "/MANIFEST.TXT"),
            "QVCULLDB32 VERIFIED BACKUP MANIFEST\r\n" +
                ManifestLine("WORK", "QVUSERS.DAT", datOld, datPath) +
                ManifestLine("WORK", "QVUSERS.PTR", ptrOld, ptrPath) +
                ManifestLine("WORK", "QVWHOSON.DAT", whosOnOld, whosOnPath) +
                ManifestLine("WORK", "QVPURGED.USR", purgedOld, purgedPath) +
                ManifestLine("MESSAGE", "QVMSG1.LMR", lmr1Old, lmr1Path) +
                ManifestLine("MESSAGE", "QVMSG2.LMR", lmr2Old, lmr2Path));
  const std::string warning = ReadBytes(dir + "/RESTORE_WARNING.TXT");
  EXPECT_EQ(warning.size(), 403u);
  EXPECT_EQ(warning, kRestoreWarning);

  for (const std::string& d : {root, dir, dir + "/WORK", dir + "/MESSAGE"}) {
    EXPECT_EQ(Mode(d), 0700u) << d;
  }
  for (const char* f : {"/WORK/QVUSERS.DAT", "/WORK/QVUSERS.PTR", "/WORK/QVWHOSON.DAT",
                        "/WORK/QVPURGED.USR", "/MESSAGE/QVMSG1.LMR", "/MESSAGE/QVMSG2.LMR",
                        "/MANIFEST.TXT", "/RESTORE_WARNING.TXT"}) {
    EXPECT_EQ(Mode(dir + f), 0600u) << f;
  }
  // The live files are only read.
  ExpectPrePackDatabase();
}

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

TEST_F(BackupTest, BackupRootValues) {
  struct Case {
    std::string value;
    std::string root;
  };
  const Case cases[] = {
      {"BAK", home + "/BAK"},
      // A single leading backslash is relative: a directory of that name in home.
      {"\\BAK", home + "/\\BAK"},
      {"REL/DEEP///", home + "/REL/DEEP"},
      // On POSIX a leading '/' is absolute; every missing level is created.
      {home + "/abs/one/two", home + "/abs/one/two"},
      {home + "/abs2//", home + "/abs2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    UseBackupRoot(c.value);
    pack->backupDone = 0;
    ASSERT_TRUE(Backup());
    EXPECT_STREQ(pack->backupRootPath, c.root.c_str());
    const std::string dir = c.root + "/" + kDirName;
    EXPECT_EQ(TakeOutput(), PassLines(c.root, dir));
    EXPECT_EQ(ReadBytes(dir + "/WORK/QVUSERS.DAT"), datOld);
  }
  EXPECT_EQ(counters.errors, 0u);
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

TEST_F(BackupTest, RootThroughARegularFileFails) {
  WriteBytes(home + "/PLAIN", "x");
  UseBackupRoot("PLAIN/sub");
  ExpectFailure("ERROR: cannot create or access backup root: " + home + "/PLAIN/sub\n");
  UseBackupRoot("PLAIN");
  counters.errors = 0;
  ExpectFailure("ERROR: cannot create or access backup root: " + home + "/PLAIN\n");
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

TEST_F(BackupTest, SameSecondGetsSuffixAndAllThousandNamesTakenFails) {
  const std::string root = home + "/QVCULLDB-BACKUPS";
  ASSERT_TRUE(Backup());
  EXPECT_EQ(TakeOutput(), PassLines(root, root + "/" + kDirName));
  ASSERT_TRUE(Backup());
  EXPECT_EQ(TakeOutput(), PassLines(root, root + "/" + kDirName + "-001"));
  // The first run's files are not touched by the second.
  EXPECT_EQ(ReadBytes(root + "/" + kDirName + "/WORK/QVUSERS.DAT"), datOld);

  for (int n = 2; n <= 999; ++n) {
    char suffix[8];
    snprintf(suffix, sizeof suffix, "-%03d", n);
    ASSERT_TRUE(fs::create_directory(root + "/" + kDirName + suffix));
  }
  pack->backupDone = 0;
  ExpectFailure("ERROR: cannot create timestamped backup directory tree under " + root + ".\n");
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
