// The backup store's pure logic: where /BACKUP= puts the root, which names are backups, what
// IDENTITY.TXT must say, the order of backups by the time they record, what /PRUNE decides, and
// who an access ACL lets write.
#include <gtest/gtest.h>

#include <cstdio>
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
  platform::TrustedAccounts accounts{};
  accounts.known = true;
  accounts.owner = 500;
  accounts.group = 600;
  accounts.groupMayWrite = true;
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

// A Windows entry's owner and access list, rule by rule: "A" allow or "D" deny,
// "I" inherit-only, the rights, the principal.
platform::SecurityFacts Security(const char* owner, std::initializer_list<const char*> rules,
                                 bool hasList = true) {
  platform::SecurityFacts facts{};
  platform::CopyBounded(facts.owner, sizeof facts.owner, owner);
  facts.hasList = hasList;
  for (const char* text : rules) {
    platform::AccessRule& rule = facts.rules[facts.count++];
    char kind[4] = "";
    unsigned mask = 0;
    char principal[96] = "";
    EXPECT_EQ(sscanf(text, "%3[ADI] %x %95s", kind, &mask, principal), 3) << text;
    rule.allows = strchr(kind, 'A') != nullptr;
    rule.inheritOnly = strchr(kind, 'I') != nullptr;
    rule.mask = mask;
    platform::CopyBounded(rule.principal, sizeof rule.principal, principal);
  }
  return facts;
}

TEST(BackupStore, WindowsAccessListsDecideWhoMayChange) {
#define QV_RUN "S-1-5-21-1-2-3-1001"
#define QV_BBS "S-1-5-21-1-2-3-1002"
#define QV_STRANGER "S-1-5-21-1-2-3-1003"
  constexpr const char* kRun = QV_RUN;
  constexpr const char* kBbs = QV_BBS;
  constexpr const char* kStranger = QV_STRANGER;
  // The live QVUSERS.DAT: owned by the BBS account, which may modify it, as may
  // Authenticated Users (a folder made under a drive's root); Users may read it.
  platform::TrustedAccounts accounts{};
  accounts.known = true;
  platform::RecordDatabaseWriters(
      Security(kBbs, {"A 1301bf " QV_BBS, "A 1301bf S-1-5-11", "A 1200a9 S-1-5-32-545",
                      "A 1f01ff S-1-5-18", "D 2 " QV_STRANGER, "AI 1f01ff " QV_STRANGER}),
      &accounts);
  ASSERT_EQ(accounts.writerCount, 3u);  // the owner once, Authenticated Users, SYSTEM
  const struct {
    const char* what;
    platform::SecurityFacts facts;
    platform::EntryTrust trust;
    const char* who;
  } kRows[] = {
      {"a folder as Windows makes it under a drive's root",
       Security(kRun, {"A 1f01ff S-1-5-18", "A 1f01ff S-1-5-32-544", "A 1301bf S-1-5-11",
                       "A 1200a9 S-1-5-32-545"}),
       platform::EntryTrust::Trusted, ""},
      {"Everyone may modify", Security(kRun, {"A 1f01ff S-1-5-18", "A 1301bf S-1-1-0"}),
       platform::EntryTrust::OpenToOthers, "S-1-1-0"},
      {"Users may add files (write data)", Security(kRun, {"A 1200ab S-1-5-32-545"}),
       platform::EntryTrust::OpenToOthers, "S-1-5-32-545"},
      {"another account may delete inside", Security(kRun, {"A 1200e9 " QV_STRANGER}),
       platform::EntryTrust::OpenToOthers, kStranger},
      {"another account may take ownership", Security(kRun, {"A 80000 " QV_STRANGER}),
       platform::EntryTrust::OpenToOthers, kStranger},
      {"generic write", Security(kRun, {"A 40000000 " QV_STRANGER}),
       platform::EntryTrust::OpenToOthers, kStranger},
      {"another account may only read", Security(kRun, {"A 1200a9 " QV_STRANGER}),
       platform::EntryTrust::Trusted, ""},
      {"inherit-only rights are for what is made inside",
       Security(kRun, {"AI 1f01ff " QV_STRANGER, "AI 10000000 S-1-3-0"}),
       platform::EntryTrust::Trusted, ""},
      {"a deny entry is not counted on", Security(kRun, {"D 1f01ff " QV_STRANGER, "A 1301bf " QV_STRANGER}),
       platform::EntryTrust::OpenToOthers, kStranger},
      {"owner rights stand for the trusted owner", Security(kBbs, {"A 1f01ff S-1-3-4"}),
       platform::EntryTrust::Trusted, ""},
      {"owned by another account", Security(kStranger, {"A 1f01ff S-1-5-18"}),
       platform::EntryTrust::WrongOwner, kStranger},
      {"owned by the administrators", Security("S-1-5-32-544", {"A 1f01ff S-1-5-32-544"}),
       platform::EntryTrust::Trusted, ""},
      {"no access list lets everyone do anything", Security(kRun, {}, false),
       platform::EntryTrust::OpenToOthers, "S-1-1-0"},
  };
  for (const auto& row : kRows) {
    char who[platform::kSidTextSize] = "?";
    EXPECT_EQ(platform::JudgeSecurity(row.facts, kRun, accounts, who, sizeof who), row.trust)
        << row.what;
    EXPECT_STREQ(who, row.who) << row.what;
  }
  platform::SecurityFacts many = Security(kRun, {"A 1200a9 S-1-5-18"});
  many.tooMany = true;
  char who[platform::kSidTextSize];
  EXPECT_EQ(platform::JudgeSecurity(many, kRun, accounts, who, sizeof who),
            platform::EntryTrust::OpenToOthers);
  // Without a database to judge by only the system and the run are trusted...
  const platform::TrustedAccounts unknown{};
  EXPECT_EQ(platform::JudgeSecurity(Security(kRun, {"A 1301bf S-1-5-11"}), kRun, unknown, who, sizeof who),
            platform::EntryTrust::OpenToOthers);
  // ...and a database open to everyone makes everyone a writer.
  platform::TrustedAccounts open{};
  open.known = true;
  platform::RecordDatabaseWriters(Security(kBbs, {}, false), &open);
  EXPECT_EQ(platform::JudgeSecurity(Security(kRun, {"A 1f01ff S-1-1-0"}), kRun, open, who, sizeof who),
            platform::EntryTrust::Trusted);
#undef QV_RUN
#undef QV_BBS
#undef QV_STRANGER
}

}  // namespace
