// The staged QVUSERS.DAT and QVUSERS.PTR when a source is missing or changed, the
// counts disagree or a write fails, and the end-of-run removal with nothing staged.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "safety/lmr_inventory.h"
#include "staging/staging.h"
#include "staging_test_support.h"

namespace {

class StagedUserFilesTest : public StagingTest {
 protected:
  // userCount users; every pointer record differs from its user record after the name.
  void WriteDatabase(uint32_t userCount) {
    users_.clear();
    std::string dat;
    std::string ptr;
    for (uint32_t n = 1; n <= userCount; ++n) {
      users_.push_back(UserRecordBytes(n, NameOf(n)));
      dat += users_.back();
      ptr += PointerRecordBytes(users_.back());
    }
    WriteBytes(Path("QVUSERS.DAT"), dat);
    WriteBytes(Path("QVUSERS.PTR"), ptr);
    liveDat_ = dat;
    livePtr_ = ptr;
  }

  bool Build() {
    return BuildStagedUserFiles(Path("QVUSERS.DAT").c_str(), Path("QVUSERS.PTR").c_str(), &pack_,
                                &counters_);
  }

  // After a failure: one counted error, no staged file, live files untouched.
  void ExpectCleanFailure() {
    EXPECT_EQ(counters_.errors, 1u);
    EXPECT_FALSE(Exists(Path("QVUSERS.DAT.QVCNEW")));
    EXPECT_FALSE(Exists(Path("QVUSERS.PTR.QVCNEW")));
    ExpectLiveUnchanged();
  }

  void ExpectLiveUnchanged() {
    EXPECT_EQ(ReadBytes(Path("QVUSERS.DAT")), liveDat_);
    EXPECT_EQ(ReadBytes(Path("QVUSERS.PTR")), livePtr_);
  }

  std::vector<std::string> users_;
  std::string liveDat_;
  std::string livePtr_;
};

std::vector<uint32_t> EveryNth(uint32_t first, uint32_t step, uint32_t count) {
  std::vector<uint32_t> numbers;
  for (uint32_t i = 0; i < count; ++i) numbers.push_back(first + i * step);
  return numbers;
}

TEST_F(StagedUserFilesTest, MissingSourceNamesTheFirstOpenFailure) {
  WriteDatabase(10);
  SetPurge(10, {4});
  std::filesystem::remove(Path("QVUSERS.PTR"));
  livePtr_.clear();

  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: cannot open QVUSERS source or staged files: " +
                              std::string(strerror(ENOENT)) + "\n");
  ExpectCleanFailure();
}

TEST_F(StagedUserFilesTest, PointerFileThatLostItsLastRecordFailsAtTheLastUser) {
  WriteDatabase(500);
  SetPurge(500, {3});
  livePtr_.resize(499 * kPointerRecordSize);
  WriteBytes(Path("QVUSERS.PTR"), livePtr_);

  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: short read while building staged QVUSERS files at record 500.\n");
  ExpectCleanFailure();
}

TEST_F(StagedUserFilesTest, PurgeMapThatDisagreesWithThePurgeCountFails) {
  WriteDatabase(500);
  SetPurge(500, EveryNth(3, 25, 20));
  pack_.purgeCount = 19;
  pack_.retainedCount = 481;

  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: staged retained-user count mismatch: expected 481, wrote 480.\n");
  ExpectCleanFailure();
}

TEST_F(StagedUserFilesTest, WriteFailureRemovesTheOtherStagedFile) {
  if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  WriteDatabase(1000);
  SetPurge(1000, {3});
  // The staged name leads to a device that refuses every write; it is not a
  // regular file, so the rebuild neither deletes nor replaces it.
  std::filesystem::create_symlink("/dev/full", Path("QVUSERS.DAT.QVCNEW"));

  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: write failure while building staged QVUSERS files.\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_TRUE(std::filesystem::is_symlink(Path("QVUSERS.DAT.QVCNEW")));
  EXPECT_FALSE(Exists(Path("QVUSERS.PTR.QVCNEW")));
  ExpectLiveUnchanged();
}

TEST_F(StagedUserFilesTest, FailedFlushAtTheEndIsAnIoError) {
  if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  WriteDatabase(10);
  SetPurge(10, {3});
  std::filesystem::create_symlink("/dev/full", Path("QVUSERS.PTR.QVCNEW"));

  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: I/O error while finalizing staged QVUSERS files.\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_FALSE(Exists(Path("QVUSERS.DAT.QVCNEW")));
  ExpectLiveUnchanged();
}

TEST_F(StagedUserFilesTest, TooLongStagedPathLeavesTheFieldEmpty) {
  const std::string longDat(1020, 'd');
  SetPurge(2, {2});

  EXPECT_FALSE(BuildStagedUserFiles(longDat.c_str(), "QVUSERS.PTR", &pack_, &counters_));
  EXPECT_EQ(TakeOutput(), "ERROR: staged QVUSERS path is too long.\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_EQ(pack_.stagedDatPath[0], '\0');
  EXPECT_EQ(pack_.stagedPtrPath[0], '\0');
}

class RemoveStagedFilesTest : public StagingTest {};

TEST_F(RemoveStagedFilesTest, EmptyContextAndNoInventoryRemoveNothing) {
  WriteBytes(Path("QVUSERS.DAT.QVCNEW"), "left by another run");
  LmrInventory inventory = {};
  RemoveStagedFiles(&pack_, &inventory);
  RemoveStagedFiles(&pack_, nullptr);
  EXPECT_TRUE(Exists(Path("QVUSERS.DAT.QVCNEW")));
}

}  // namespace
