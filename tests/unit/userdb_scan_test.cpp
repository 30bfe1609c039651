// The selection rule table, and the failures that stop the purge scan.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "unit_test_support.h"
#include "userdb/purge_scan.h"
#include "userdb/user_records.h"

namespace {

constexpr CalendarDate kToday = {2024, 3, 15};

struct TestUser {
  std::string name;
  std::string timeDate;
  int security = 0;
  unsigned char allowPurge = 0;
  unsigned char deleted = 0;
};

void PutField(unsigned char* bytes, unsigned offset, const std::string& text) {
  bytes[offset] = static_cast<unsigned char>(text.size());
  std::memcpy(bytes + offset + 1, text.data(), text.size());
}

UserRecord BuildRecord(const TestUser& user) {
  UserRecord record;
  std::memset(record.bytes, 0x5A, sizeof record.bytes);  // uninterpreted bytes, never looked at
  PutField(record.bytes, kUserNameOffset, user.name);
  PutField(record.bytes, kTimeDateOffset, user.timeDate);
  const unsigned security = static_cast<uint16_t>(user.security);
  record.bytes[kSecurityOffset] = static_cast<unsigned char>(security & 0xFF);
  record.bytes[kSecurityOffset + 1] = static_cast<unsigned char>(security >> 8);
  record.bytes[kAllowPurgeOffset] = user.allowPurge;
  record.bytes[kDeletedOffset] = user.deleted;
  return record;
}

RunOptions Options(int sec, int old, bool andGiven, bool delOnly) {
  RunOptions options = {};
  if (sec >= 0) {
    options.secGiven = 1;
    options.secValue = static_cast<uint32_t>(sec);
  }
  if (old >= 0) {
    options.oldGiven = 1;
    options.oldDays = static_cast<uint32_t>(old);
  }
  options.andGiven = andGiven ? 1 : 0;
  options.delOnly = delOnly ? 1 : 0;
  return options;
}

const char kPreviewHeading[] =
    "\n==================== PURGE PREVIEW ====================\n"
    "Preview date:        2024-03-15\n"
    "User #1 protection: ENABLED\n"
    "-------------------------------------------------------\n";

// A user nobody selects.
TestUser Plain(const char* name) {
  return TestUser{name, "03/15/2024", 50, 1, 0};
}

class PurgeScanTest : public ScratchReportTest {
 protected:
  void SetUp() override {
    ScratchReportTest::SetUp();
    usersDat_ = Path("QVUSERS.DAT");
  }

  void WriteUsers(const std::vector<TestUser>& users, size_t extraBytes = 0) {
    std::string bytes;
    for (const TestUser& user : users) {
      const UserRecord record = BuildRecord(user);
      bytes.append(reinterpret_cast<const char*>(record.bytes), sizeof record.bytes);
    }
    bytes.append(extraBytes, '\x5A');
    WriteBytes(usersDat_, bytes);
  }

  std::string usersDat_;
  RunCounters counters_ = {};
};

LastCallDate ValidAge(int64_t age) {
  LastCallDate date = {};
  date.valid = true;
  date.age = age;
  return date;
}

LastCallDate NotValid(int64_t age, bool future) {
  LastCallDate date = {};
  date.future = future;
  date.age = age;
  return date;
}

}  // namespace

TEST(SelectReasons, Rules) {
  const RunOptions none = Options(-1, -1, false, false);
  const RunOptions sec10 = Options(10, -1, false, false);
  const RunOptions old30 = Options(-1, 30, false, false);
  const RunOptions orBoth = Options(10, 30, false, false);
  const RunOptions andBoth = Options(10, 30, true, false);
  const RunOptions delOnly = Options(-1, -1, false, true);
  const RunOptions secMax = Options(32767, -1, false, false);
  const RunOptions sec0 = Options(0, -1, false, false);
  const unsigned kBoth = kReasonSec | kReasonOld;
  const struct {
    const char* what;
    const RunOptions& options;
    int security;
    bool allowPurge;
    bool deleted;
    LastCallDate lastCall;
    unsigned expected;
  } cases[] = {
      {"no switch: deleted only", none, 10, true, false, ValidAge(400), 0},
      {"deleted without AllowPurge", none, 10, false, true, ValidAge(0), kReasonDeleted},
      {"/DEL ignores matches", delOnly, 10, true, false, ValidAge(400), 0},
      {"/DEL keeps deleted", delOnly, 10, false, true, ValidAge(0), kReasonDeleted},
      {"/SEC match", sec10, 10, true, false, ValidAge(0), kReasonSec},
      {"/SEC needs AllowPurge", sec10, 10, false, false, ValidAge(0), 0},
      {"/SEC other level", sec10, 11, true, false, ValidAge(0), 0},
      {"/SEC -1 vs 32767", secMax, -1, true, false, ValidAge(0), 0},
      {"/SEC -1 vs 0", sec0, -1, true, false, ValidAge(0), 0},
      {"/SEC 0", sec0, 0, true, false, ValidAge(0), kReasonSec},
      {"/OLD age 30", old30, 0, true, false, ValidAge(30), kReasonOld},
      {"/OLD age 29", old30, 0, true, false, ValidAge(29), 0},
      {"/OLD needs AllowPurge", old30, 0, false, false, ValidAge(300), 0},
      {"/OLD invalid date", old30, 0, true, false, NotValid(300, false), 0},
      {"/OLD future date", old30, 0, true, false, NotValid(-300, true), 0},
      {"OR sec only", orBoth, 10, true, false, ValidAge(1), kReasonSec},
      {"OR old only", orBoth, 9, true, false, ValidAge(31), kReasonOld},
      {"OR both", orBoth, 10, true, false, ValidAge(31), kBoth},
      {"AND sec only", andBoth, 10, true, false, ValidAge(1), 0},
      {"AND old only", andBoth, 9, true, false, ValidAge(31), 0},
      {"AND both", andBoth, 10, true, false, ValidAge(31), kBoth},
      {"AND deleted sec only", andBoth, 10, true, true, ValidAge(1), kReasonDeleted},
      {"AND deleted both", andBoth, 10, true, true, ValidAge(31), kReasonDeleted | kBoth},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SelectReasons(c.options, static_cast<int16_t>(c.security), c.allowPurge, c.deleted,
                            c.lastCall),
              c.expected)
        << c.what;
  }
}

TEST_F(PurgeScanTest, ShortReadStopsWithError) {
  const std::vector<TestUser> users = {Plain("Sysop"), {"Gone", "01/01/2020", 1, 0, 1}};
  WriteUsers(users, 100);  // a third record cut off mid-record
  const bool ok = PurgeScan(usersDat_.c_str(), Options(-1, -1, false, false), kToday, 3,
                            &counters_, nullptr, false);
  EXPECT_FALSE(ok);
  EXPECT_EQ(TakeOutput(), std::string(kPreviewHeading) +
                              "WOULD-PURGE #2      Name='Gone' Sec=1 Last='01/01/2020' "
                              "AllowPurge=NO Deleted=YES Reason=already Deleted\n"
                              "ERROR: short read at QVUSERS.DAT record 3.\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_EQ(counters_.purgeCandidates, 1u);
}

TEST_F(PurgeScanTest, MissingFileIsCountedError) {
  unsigned char map[1] = {};
  const bool ok = PurgeScan(usersDat_.c_str(), Options(-1, -1, false, false), kToday, 1,
                            &counters_, map, true);
  EXPECT_FALSE(ok);
  EXPECT_EQ(TakeOutput(),
            std::string("ERROR: cannot open QVUSERS.DAT: ") + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_EQ(counters_.retained, 0u);
}
