// The staged copy of an LMR file beyond the standard pack: an exact fit, files of
// many read blocks, short reads, a changed purge map, and writes that fail.
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

// Slot n of a test file: its number and a marker byte, never all zero.
std::string SlotBytes(uint64_t n) {
  std::string slot(4, '\0');
  slot[0] = static_cast<char>(n & 0xFF);
  slot[1] = static_cast<char>((n >> 8) & 0xFF);
  slot[2] = static_cast<char>((n >> 16) & 0xFF);
  slot[3] = static_cast<char>(0xA5);
  return slot;
}

std::string LmrFileBytes(uint64_t slots) {
  std::string bytes;
  for (uint64_t n = 1; n <= slots; ++n) bytes += SlotBytes(n);
  return bytes;
}

class StagedLmrFileTest : public StagingTest {
 protected:
  void SetUp() override {
    StagingTest::SetUp();
    memset(&entry_, 0, sizeof entry_);
  }

  // Writes the live file and inventories it as holding slotCount slots.
  void WriteLmr(const std::string& bytes, uint64_t slotCount) {
    live_ = bytes;
    WriteBytes(Path("QVMSG1.LMR"), bytes);
    snprintf(entry_.name, sizeof entry_.name, "QVMSG1.LMR");
    snprintf(entry_.path, sizeof entry_.path, "%s", Path("QVMSG1.LMR").c_str());
    entry_.size = slotCount * 4;
    entry_.slotCount = slotCount;
  }

  bool Build() { return BuildStagedLmrFile(&entry_, &pack_, &counters_); }

  // The kept slots, one by one, then zeros up to slotCount.
  std::string ExpectedStaged() const {
    std::string bytes;
    for (uint32_t s = 0; s < pack_.userCount; ++s) {
      if (purgeMap_[s] == 0) bytes += live_.substr(s * 4, 4);
    }
    bytes.resize(entry_.slotCount * 4, '\0');
    return bytes;
  }

  void ExpectCleanFailure(const std::string& message) {
    EXPECT_EQ(TakeOutput(), message);
    EXPECT_EQ(counters_.errors, 1u);
    EXPECT_FALSE(Exists(Path("QVMSG1.LMR.QVCNEW")));
    EXPECT_TRUE(ReadBytes(Path("QVMSG1.LMR")) == live_);
  }

  LmrFileEntry entry_;
  std::string live_;
};

TEST_F(StagedLmrFileTest, FileWithExactlyOneSlotPerUserEndsInOneZeroSlotPerPurgedUser) {
  WriteLmr(LmrFileBytes(500), 500);
  SetPurge(500, {3, 7});

  ASSERT_TRUE(Build());
  const std::string staged = ReadBytes(Path("QVMSG1.LMR.QVCNEW"));
  ASSERT_EQ(staged.size(), 2000u);
  EXPECT_EQ(staged.substr(497 * 4, 4), SlotBytes(500));
  EXPECT_EQ(staged.substr(498 * 4), std::string(8, '\0'));
  EXPECT_TRUE(staged == ExpectedStaged());
  // Private until the commit gives it the live file's access.
  EXPECT_TRUE(IsOwnerOnly(Path("QVMSG1.LMR.QVCNEW")));
}

TEST_F(StagedLmrFileTest, LargeFileAcrossManyReadBlocksMatchesTheSlotBySlotResult) {
  WriteLmr(LmrFileBytes(70001), 70001);
  std::vector<uint32_t> purged;
  for (uint32_t n = 5; n <= 60000; n += 7) purged.push_back(n);
  SetPurge(60000, purged);

  ASSERT_TRUE(Build());
  EXPECT_TRUE(ReadBytes(Path("QVMSG1.LMR.QVCNEW")) == ExpectedStaged());
  EXPECT_EQ(counters_.errors, 0u);
}

TEST_F(StagedLmrFileTest, FileThatShrankByOneSlotNamesItsLastSlot) {
  WriteLmr(LmrFileBytes(9998), 9999);
  SetPurge(500, {3, 7});
  EXPECT_FALSE(Build());
  ExpectCleanFailure("ERROR: short read while rebuilding QVMSG1.LMR at slot 9999.\n");
}

TEST_F(StagedLmrFileTest, ShortReadInsideALaterBlockNamesTheFirstIncompleteSlot) {
  // Two bytes of slot 20001 remain; slot 20001 is the first incomplete one.
  WriteLmr(LmrFileBytes(20000) + std::string(2, 'z'), 30000);
  SetPurge(500, {3, 7});
  EXPECT_FALSE(Build());
  ExpectCleanFailure("ERROR: short read while rebuilding QVMSG1.LMR at slot 20001.\n");
}

TEST_F(StagedLmrFileTest, FileThatGrewIsCopiedUpToItsInventoriedSlots) {
  WriteLmr(LmrFileBytes(10005), 9999);
  SetPurge(500, {3, 7});

  ASSERT_TRUE(Build());
  const std::string staged = ReadBytes(Path("QVMSG1.LMR.QVCNEW"));
  EXPECT_EQ(staged.size(), 39996u);
  EXPECT_TRUE(staged == ExpectedStaged());
}

TEST_F(StagedLmrFileTest, PurgeMapThatDisagreesWithTheRetainedCountFails) {
  WriteLmr(LmrFileBytes(9999), 9999);
  SetPurge(500, {3, 7});
  purgeMap_[10] = 1;
  EXPECT_FALSE(Build());
  ExpectCleanFailure("ERROR: QVMSG1.LMR retained-slot count mismatch.\n");
}

TEST_F(StagedLmrFileTest, DirectoryNamedLikeTheStagedFileIsKeptAndFailsTheOpen) {
  WriteLmr(LmrFileBytes(600), 600);
  SetPurge(500, {3});
  std::filesystem::create_directory(Path("QVMSG1.LMR.QVCNEW"));
  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: cannot open source/staged QVMSG1.LMR: " +
                              std::string(strerror(EISDIR)) + "\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_TRUE(std::filesystem::is_directory(Path("QVMSG1.LMR.QVCNEW")));
}

TEST_F(StagedLmrFileTest, MissingLiveFileLeavesNoStagedFile) {
  WriteLmr(LmrFileBytes(600), 600);
  std::filesystem::remove(Path("QVMSG1.LMR"));
  live_.clear();
  SetPurge(500, {3});
  EXPECT_FALSE(Build());
  ExpectCleanFailure("ERROR: cannot open source/staged QVMSG1.LMR: " +
                     std::string(strerror(ENOENT)) + "\n");
}

TEST_F(StagedLmrFileTest, TooLongStagedPathLeavesTheFieldEmpty) {
  WriteLmr(LmrFileBytes(600), 600);
  std::string longPath(1020, 'm');
  snprintf(entry_.path, sizeof entry_.path, "%s", longPath.c_str());
  SetPurge(500, {3});
  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: staged path is too long for QVMSG1.LMR.\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_EQ(entry_.stagedPath[0], '\0');
}

// The staged name leads to a device that refuses every write; not being a
// regular file, it is neither replaced nor deleted.
class StagedLmrWriteFailureTest : public StagedLmrFileTest {
 protected:
  void SetUp() override {
    StagedLmrFileTest::SetUp();
    if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  }
  void StageOntoFullDevice() {
    std::filesystem::create_symlink("/dev/full", Path("QVMSG1.LMR.QVCNEW"));
  }
};

TEST_F(StagedLmrWriteFailureTest, KeptSlotsThatCannotBeWritten) {
  WriteLmr(LmrFileBytes(60000), 60000);
  SetPurge(60000, {3});
  StageOntoFullDevice();
  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: write failure while rebuilding QVMSG1.LMR.\n");
  EXPECT_EQ(counters_.errors, 1u);
}

TEST_F(StagedLmrWriteFailureTest, ZeroCapacityThatCannotBeWritten) {
  WriteLmr(LmrFileBytes(100000), 100000);
  SetPurge(500, {3});
  StageOntoFullDevice();
  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: could not append zero-capacity slots to QVMSG1.LMR.\n");
  EXPECT_EQ(counters_.errors, 1u);
}

TEST_F(StagedLmrWriteFailureTest, FlushThatFailsAtTheEnd) {
  WriteLmr(LmrFileBytes(600), 600);
  SetPurge(500, {3});
  StageOntoFullDevice();
  EXPECT_FALSE(Build());
  EXPECT_EQ(TakeOutput(), "ERROR: I/O error while finalizing staged QVMSG1.LMR.\n");
  EXPECT_EQ(counters_.errors, 1u);
}

}  // namespace
