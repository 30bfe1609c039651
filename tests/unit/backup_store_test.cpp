// The backup store's pure logic: where /BACKUP= puts the root, which names are backups, what
// IDENTITY.TXT must say, the order of backups by the time they record, what /PRUNE decides, and
// who an access ACL lets write.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "backup/backup_identity.h"
#include "backup/backup_prune.h"
#include "backup/backup_store.h"
#include "backup/verified_backup.h"

namespace {

// A drive letter names a drive only on Windows ("C:BAK": BAK in drive C:'s current directory,
// which the system resolves); on POSIX it is part of a name below the home.
TEST(BackupStore, RootOfTheBackupSwitch) {
#ifdef _WIN32
  const char* home = "C:\\BBS";
  const std::pair<const char*, const char*> kRows[] = {
      {"", "C:\\BBS\\QVCULLDB-BACKUPS"}, {"BAK", "C:\\BBS\\BAK"}, {"C:BAK", "C:BAK"},
      {"/BAK", "C:\\BBS\\/BAK"}, {"\\\\server\\share", "\\\\server\\share"}};
#else
  const char* home = "/bbs";
  const std::pair<const char*, const char*> kRows[] = {
      {"", "/bbs/QVCULLDB-BACKUPS"}, {"BAK", "/bbs/BAK"}, {"C:BAK", "/bbs/C:BAK"},
      {"c:\\BAK", "/bbs/c:\\BAK"}, {"/BAK", "/BAK"}, {"\\\\server\\share", "\\\\server\\share"}};
#endif
  for (const auto& [given, root] : kRows) {
    RunOptions options = {};
    options.backupGiven = given[0] != '\0';
    PathBuffer resolved;
    EXPECT_TRUE(CopyPath(&options.backupRoot, given) && BackupRootOf(home, &options, &resolved));
    EXPECT_STREQ(resolved.text, root) << given;
  }
}

TEST(BackupStore, NamesOfBackups) {
  const struct {
    const char* name;
    bool backup;
  } kRows[] = {
      {"QVCULLDB-20260301-120000", true},      {"QVCULLDB-20260301-120000-001", true},
      {"QVCULLDB-20260301-120000-999", true},  {"QVCULLDB-20260301-120000-old", false},
      {"QVCULLDB-20260301-12000", false},      {"QVCULLDB-20260301-120000-01", false},
      {"QVCULLDB-2026030A-120000", false},     {"QVCULLDB-20260301-120000x001", false},
      {"QVCULLDB-NOTES", false},               {"qvculldb-20260301-120000", false},
      {"QVCULLDB-BACKUPS", false},             {"", false},
  };
  for (const auto& row : kRows) EXPECT_EQ(IsBackupName(row.name), row.backup) << row.name;
  char stamp[32];
  ASSERT_TRUE(StampOfName("QVCULLDB-20260301-120559-002", stamp, sizeof stamp));
  EXPECT_STREQ(stamp, "2026-03-01 12:05:59");
}

std::string IdentityFile(const std::string& seconds, const std::string& id,
                         const std::string& tail = "END\r\n") {
  return "QVCULLDB32 BACKUP IDENTITY\r\nHOME C:\\BBS\r\nBEGUN 2026-03-01 12:00:00 UTC\r\n"
         "BEGUN-SECONDS " + seconds + "\r\nID " + id + "\r\n" + tail;
}

TEST(BackupStore, IdentityWrittenIsReadBack) {
  BackupIdentity made;
  NewBackupIdentity("/srv/bbs", &made);
  IdentityText text;
  FormatIdentityText(made, &text);
  BackupIdentity read;
  MessageBuffer reason = {};
  ASSERT_TRUE(ParseIdentityText(text.text, strlen(text.text), &read, &reason)) << reason.text;
  EXPECT_STREQ(read.home.text, "/srv/bbs");
  EXPECT_EQ(read.begunUtc, made.begunUtc);
  EXPECT_EQ(read.begunMicros, made.begunMicros);
  EXPECT_STREQ(read.id, made.id);
  BackupIdentity other;
  NewBackupIdentity("/srv/bbs", &other);
  EXPECT_STRNE(other.id, made.id) << "two backups, one id";
  // The stamp is the UTC time the seconds give.
  made.begunUtc = 1772366400;  // 2026-03-01 12:00:00 UTC
  FormatIdentityText(made, &text);
  EXPECT_NE(std::string(text.text).find("BEGUN 2026-03-01 12:00:00 UTC\r\n"), std::string::npos);
}

TEST(BackupStore, IdentityNotWrittenByThisProgramIsRefused) {
  const std::string id(32, 'A');
  const std::vector<std::string> kRefused = {
      IdentityFile("1772366400.000000", std::string(31, 'A')),
      IdentityFile("1772366400.000000", std::string(32, 'a')),
      IdentityFile("1772366400.000000", std::string(33, 'A')),
      IdentityFile("-5.000000", id),
      IdentityFile("1772366400", id),
      IdentityFile("1772366400.0000001", id),
      IdentityFile("1772366400.000000x", id),
      IdentityFile("1772366400.000000", id, "END\r\nEXTRA\r\n"),
      IdentityFile("1772366400.000000", id, "END\n"),
      IdentityFile("1772366400.000000", id, ""),
      "QVCULLDB32 BACKUP IDENTITY\r\nHOME \r\n",
      "",
  };
  for (const std::string& text : kRefused) {
    BackupIdentity identity;
    MessageBuffer reason = {};
    EXPECT_FALSE(ParseIdentityText(text.data(), text.size(), &identity, &reason)) << text;
    EXPECT_NE(reason.text[0], '\0');
  }
  BackupIdentity identity;
  MessageBuffer reason = {};
  const std::string good = IdentityFile("1772366400.000001", id);
  EXPECT_TRUE(ParseIdentityText(good.data(), good.size(), &identity, &reason)) << reason.text;
}

TEST(BackupStore, NewestByRecordedTimeThenId) {
  const auto at = [](int64_t seconds, uint32_t micros, char id) {
    BackupIdentity identity = {};
    identity.begunUtc = seconds;
    identity.begunMicros = micros;
    memset(identity.id, id, 32);
    return identity;
  };
  EXPECT_TRUE(BegunAfter(at(100, 0, 'A'), at(99, 999999, 'F')));
  EXPECT_TRUE(BegunAfter(at(100, 2, 'A'), at(100, 1, 'F')));
  EXPECT_TRUE(BegunAfter(at(100, 1, 'B'), at(100, 1, 'A')));
  EXPECT_FALSE(BegunAfter(at(100, 1, 'A'), at(100, 1, 'A')));
  EXPECT_FALSE(BegunAfter(at(99, 0, 'F'), at(100, 0, 'A')));
}

// The facts of one backup, from a short code: I identified, H of this home, M the marker names
// it, T trusted, O only backup files, then the manifest (c complete, m missing, s cut short,
// i invalid), X mixed, P passes / F fails the check, U unexamined (the system failed to read
// part of it) and Z another backup unexamined.
PruneFacts Facts(const std::string& code) {
  PruneFacts facts = {};
  facts.identified = code.find('I') != std::string::npos;
  facts.ofThisHome = code.find('H') != std::string::npos;
  facts.markerNames = code.find('M') != std::string::npos;
  facts.trusted = code.find('T') != std::string::npos;
  facts.onlyBackupFiles = code.find('O') != std::string::npos;
  facts.manifest = code.find('m') != std::string::npos   ? ManifestState::Missing
                   : code.find('s') != std::string::npos ? ManifestState::CutShort
                   : code.find('i') != std::string::npos ? ManifestState::Invalid
                                                         : ManifestState::Complete;
  facts.mixed = code.find('X') != std::string::npos;
  facts.checked = code.find('P') != std::string::npos || code.find('F') != std::string::npos;
  facts.passes = code.find('P') != std::string::npos;
  facts.examined = code.find('U') == std::string::npos;
  facts.orderUnsure = code.find('Z') != std::string::npos;
  return facts;
}

TEST(BackupStore, PruneDecisions) {
  using D = PruneDecision;
  const struct {
    const char* facts;
    uint32_t keep, keptBefore;
    D decision;
  } kRows[] = {
      // Never removed, whatever the count.
      {"IHMTOm", 1, 5, D::KeepMarkerNames},  {"HTOm", 1, 5, D::KeepNotOurs},
      {"ITOm", 1, 5, D::KeepOtherHome},      {"IHOm", 1, 5, D::KeepUntrusted},
      {"IHTm", 1, 5, D::KeepForeignFiles},   {"IHTOi", 1, 5, D::KeepUnreadable},
      {"IHTOcX", 1, 5, D::KeepMixed},       {"IHTOmU", 1, 5, D::KeepUnexamined},
      {"HTOmU", 0, 0, D::KeepUnexamined},    {"IHTOcZ", 1, 1, D::KeepOrderUnsure},
      {"IHTOmZ", 1, 1, D::RemoveIncomplete},
      // Incomplete: removed by /PRUNE alone and by /PRUNE=n.
      {"IHTOm", 0, 0, D::RemoveIncomplete},  {"IHTOs", 3, 0, D::RemoveIncomplete},
      // Complete: /PRUNE alone keeps every one.
      {"IHTOcP", 0, 0, D::KeepComplete},     {"IHTOcF", 0, 0, D::KeepComplete},
      // /PRUNE=n: the check first, the newest n that pass kept, older ones removed only then.
      {"IHTOc", 2, 0, D::NeedsCheck},        {"IHTOcP", 2, 1, D::KeepVerified},
      {"IHTOcF", 2, 1, D::KeepFailing},      {"IHTOc", 2, 2, D::RemoveOlder},
      {"IHTOcF", 1, 1, D::RemoveOlder},
  };
  for (const auto& row : kRows) {
    uint32_t kept = row.keptBefore;
    EXPECT_EQ(DecidePrune(Facts(row.facts), row.keep, &kept), row.decision) << row.facts;
    EXPECT_EQ(kept, row.keptBefore + (row.decision == D::KeepVerified ? 1 : 0)) << row.facts;
  }
}

// An access ACL's bytes: version 2, then tag, permissions and id per entry, little-endian.
std::string Acl(const std::vector<std::vector<uint32_t>>& entries) {
  std::string bytes = {2, 0, 0, 0};
  for (const auto& e : entries) {
    const uint32_t fields[3] = {e[0], e[1], e[2]};
    for (int f = 0; f < 3; ++f) {
      for (int b = 0; b < (f < 2 ? 2 : 4); ++b) bytes.push_back(char((fields[f] >> (8 * b)) & 0xFF));
    }
  }
  return bytes;
}

TEST(BackupStore, AccessAclDecidesWhoMayWrite) {
  constexpr uint32_t kUserObj = 1, kUser = 2, kGroupObj = 4, kGroup = 8, kMask = 16, kOther = 32;
  constexpr uint32_t kNone = 0xFFFFFFFF;
  // The live QVUSERS.DAT: owned by 500, its group 600 may write; the run is 1000.
  const platform::TrustedAccounts accounts = {true, 500, 600, true};
  const struct {
    const char* what;
    std::string acl;
    uint32_t fileGroup;
    platform::EntryTrust trust;
  } kRows[] = {
      {"minimal", Acl({{kUserObj, 7, kNone}, {kGroupObj, 5, kNone}, {kOther, 5, kNone}}), 700,
       platform::EntryTrust::Trusted},
      {"another account may write",
       Acl({{kUserObj, 7, kNone}, {kUser, 7, 1234}, {kGroupObj, 5, kNone}, {kMask, 7, kNone},
            {kOther, 0, kNone}}),
       700, platform::EntryTrust::OpenToOthers},
      {"another account, masked to read",
       Acl({{kUserObj, 7, kNone}, {kUser, 7, 1234}, {kGroupObj, 5, kNone}, {kMask, 5, kNone},
            {kOther, 0, kNone}}),
       700, platform::EntryTrust::Trusted},
      {"root, the run and the database's owner",
       Acl({{kUserObj, 7, kNone}, {kUser, 7, 0}, {kUser, 7, 1000}, {kUser, 6, 500},
            {kGroupObj, 5, kNone}, {kMask, 7, kNone}, {kOther, 0, kNone}}),
       700, platform::EntryTrust::Trusted},
      {"another group may write",
       Acl({{kUserObj, 7, kNone}, {kGroupObj, 5, kNone}, {kGroup, 7, 777}, {kMask, 7, kNone},
            {kOther, 0, kNone}}),
       700, platform::EntryTrust::OpenToOthers},
      {"the database's writable group",
       Acl({{kUserObj, 7, kNone}, {kGroupObj, 5, kNone}, {kGroup, 7, 600}, {kMask, 7, kNone},
            {kOther, 0, kNone}}),
       700, platform::EntryTrust::Trusted},
      {"owning group may write, not the database's",
       Acl({{kUserObj, 7, kNone}, {kGroupObj, 7, kNone}, {kMask, 7, kNone}, {kOther, 0, kNone}}),
       700, platform::EntryTrust::OpenToOthers},
      {"others may write",
       Acl({{kUserObj, 7, kNone}, {kGroupObj, 5, kNone}, {kOther, 7, kNone}}), 700,
       platform::EntryTrust::OpenToOthers},
      {"not an ACL", std::string("\x01\x00\x00\x00", 4), 700, platform::EntryTrust::WrongKind},
      {"cut short", Acl({{kUserObj, 7, kNone}}).substr(0, 9), 700, platform::EntryTrust::WrongKind},
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(platform::JudgeAccessAcl(row.acl.data(), row.acl.size(), row.fileGroup, 1000, accounts),
              row.trust)
        << row.what;
  }
  // Without a database to judge by, no group is trusted.
  const platform::TrustedAccounts unknown = {};
  const std::string group = Acl({{kUserObj, 7, kNone}, {kGroup, 7, 600}, {kMask, 7, kNone}});
  EXPECT_EQ(platform::JudgeAccessAcl(group.data(), group.size(), 700, 1000, unknown),
            platform::EntryTrust::OpenToOthers);
}

}  // namespace
