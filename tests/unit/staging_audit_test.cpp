// The staged QVPURGED.USR: the block after an empty old log over a stale staged
// log, and the failures that must leave no staged log behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "staging/staging.h"
#include "staging_test_support.h"

namespace {

const char kRunDate[] = "2026-12-05";
const char kRunTime[] = "02:07:09";

const std::string kHeading =
    "\r\nQVCULLDB32 0.4.0-beta1 packed on 2026-12-05 at 02:07:09\r\n"
    "CALLER NAME                    SECURITY  LAST CALLED     CALLING FROM\r\n" +
    std::string(79, '-') + "\r\n";

std::string Spaces(size_t n) { return std::string(n, ' '); }

void SetSecurity(std::string* record, int16_t value) {
  const uint16_t bits = static_cast<uint16_t>(value);
  (*record)[kSecurityOffset] = static_cast<char>(bits & 0xFF);
  (*record)[kSecurityOffset + 1] = static_cast<char>(bits >> 8);
}

class StagedPurgedLogTest : public StagingTest {
 protected:
  // Six users; 2, 4 and 6 are purged. User 1 is marked deleted but protected,
  // user 3 (retained) has a damaged TimeDate length.
  void WriteStandardUsers() {
    users_.clear();
    for (uint32_t n = 1; n <= 6; ++n) users_.push_back(UserRecordBytes(n, NameOf(n)));
    users_[0][kDeletedOffset] = 1;
    SetPascal(&users_[1], kUserNameOffset, "BOB SMITH");
    SetPascal(&users_[1], kCallingFromOffset, "SOMEWHERE, ST");
    SetPascal(&users_[1], kTimeDateOffset, "01/02/24");
    SetSecurity(&users_[1], -5);
    users_[2][kTimeDateOffset] = 15;
    SetPascal(&users_[3], kUserNameOffset, "TAB\tNAME\xE9");
    SetPascal(&users_[3], kCallingFromOffset, "");
    SetPascal(&users_[3], kTimeDateOffset, "12-31-1999");
    SetSecurity(&users_[3], 32767);
    SetPascal(&users_[5], kUserNameOffset, std::string(30, 'N'));
    SetPascal(&users_[5], kCallingFromOffset, std::string(30, 'C'));
    SetPascal(&users_[5], kTimeDateOffset, "1/2/2024");
    SetSecurity(&users_[5], 0);
    WriteUsers();
    SetPurge(6, {2, 4, 6});
  }

  void WriteUsers() {
    std::string dat;
    for (const std::string& user : users_) dat += user;
    liveDat_ = dat;
    WriteBytes(Path("QVUSERS.DAT"), dat);
  }

  static std::string StandardBlock() {
    return kHeading +
           "BOB SMITH" + Spaces(21) + "  " + "      -5" + "  " + "01/02/24" + Spaces(6) + "  " +
           "SOMEWHERE, ST\r\n" +
           "TAB.NAME\xE9" + Spaces(21) + "  " + "   32767" + "  " + "12-31-1999" + Spaces(4) +
           "  " + "\r\n" +
           std::string(30, 'N') + "  " + "       0" + "  " + "1/2/2024" + Spaces(6) + "  " +
           std::string(30, 'C') + "\r\n";
  }

  bool Build() {
    return BuildStagedPurgedLog(Path("QVUSERS.DAT").c_str(), dir_.c_str(), kRunDate, kRunTime,
                                &pack_, &counters_);
  }

  std::string Staged() { return ReadBytes(Path("QVPURGED.USR.QVCNEW")); }

  void ExpectCleanFailure(const std::string& message) {
    EXPECT_EQ(TakeOutput(), message);
    EXPECT_EQ(counters_.errors, 1u);
    EXPECT_FALSE(Exists(Path("QVPURGED.USR.QVCNEW")));
    EXPECT_TRUE(ReadBytes(Path("QVUSERS.DAT")) == liveDat_);
  }

  std::vector<std::string> users_;
  std::string liveDat_;
};

TEST_F(StagedPurgedLogTest, EmptyExistingLogAndStaleStagedLog) {
  WriteStandardUsers();
  WriteBytes(Path("QVPURGED.USR"), "");
  WriteBytes(Path("QVPURGED.USR.QVCNEW"), "stale content of an earlier run\r\n");

  ASSERT_TRUE(Build());
  EXPECT_EQ(Staged(), StandardBlock());
  EXPECT_EQ(pack_.purgedLogExisted, 1u);
  EXPECT_EQ(pack_.purgedLogSnapshot.ok, 1u);
  EXPECT_EQ(pack_.purgedLogSnapshot.size, 0u);
}

TEST_F(StagedPurgedLogTest, DamagedCallingFromOfAPurgedUserFails) {
  WriteStandardUsers();
  users_[5][kCallingFromOffset] = 31;
  WriteUsers();
  EXPECT_FALSE(Build());
  ExpectCleanFailure("ERROR: invalid Pascal string while staging purge audit for user 6.\n");
}

TEST_F(StagedPurgedLogTest, ShortUserFileFails) {
  WriteStandardUsers();
  SetPurge(7, {2, 4, 6});
  EXPECT_FALSE(Build());
  ExpectCleanFailure("ERROR: short read while staging QVPURGED.USR.\n");
}

TEST_F(StagedPurgedLogTest, MissingUserFileFailsTheOpen) {
  WriteStandardUsers();
  std::filesystem::remove(Path("QVUSERS.DAT"));
  liveDat_.clear();
  EXPECT_FALSE(Build());
  ExpectCleanFailure("ERROR: cannot open files while staging QVPURGED.USR: " +
                     std::string(strerror(ENOENT)) + "\n");
}

TEST_F(StagedPurgedLogTest, ExistingLogThatCannotBeCopiedFails) {
  WriteStandardUsers();
  WriteBytes(Path("QVPURGED.USR"), "old log\r\n");
  std::filesystem::create_directory(Path("QVPURGED.USR.QVCNEW"));

  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: cannot create verified staged copy of existing QVPURGED.USR.\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_TRUE(std::filesystem::is_directory(Path("QVPURGED.USR.QVCNEW")));
  EXPECT_EQ(ReadBytes(Path("QVPURGED.USR")), "old log\r\n");
}

TEST_F(StagedPurgedLogTest, TooLongWorkDirectoryLeavesBothPathsEmpty) {
  WriteStandardUsers();
  const std::string work(1015, 'w');
  EXPECT_FALSE(BuildStagedPurgedLog(Path("QVUSERS.DAT").c_str(), work.c_str(), kRunDate,
                                    kRunTime, &pack_, &counters_));
  EXPECT_EQ(TakeOutput(), "ERROR: QVPURGED.USR path is too long.\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_EQ(pack_.purgedLogPath[0], '\0');
  EXPECT_EQ(pack_.stagedPurgedLogPath[0], '\0');

  // The log path fits, its staged name does not.
  const std::string work2(1005, 'w');
  EXPECT_FALSE(BuildStagedPurgedLog(Path("QVUSERS.DAT").c_str(), work2.c_str(), kRunDate,
                                    kRunTime, &pack_, &counters_));
  EXPECT_EQ(std::string(pack_.purgedLogPath), work2 + "/QVPURGED.USR");
  EXPECT_EQ(pack_.stagedPurgedLogPath[0], '\0');
}

}  // namespace
