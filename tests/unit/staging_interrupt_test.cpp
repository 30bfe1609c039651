// What an interrupt removes: the complete staged names of the watched records,
// never a live file whose staged name was still being written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "staging/staging.h"
#include "unit_test_support.h"

namespace {

class InterruptCleanupTest : public ScratchDirTest {
 protected:
  void TearDown() override {
    WatchStagedFilesOnInterrupt(nullptr, nullptr);
    ScratchDirTest::TearDown();
  }
};

TEST_F(InterruptCleanupTest, RemovesCompleteStagedNamesOnly) {
  PackContext pack{};
  std::vector<LmrFileEntry> entries(kLmrInventoryCapacity);
  LmrInventory inventory{entries.data(), 0};  // the count is not yet raised
  WriteBytes(Path("QVUSERS.DAT"), "live");
  WriteBytes(Path("QVUSERS.PTR.QVCNEW"), "staged");
  WriteBytes(Path("QVMSG1.LMR.QVCNEW"), "staged");
  // A staged name caught half-written names the live file: it must survive.
  snprintf(pack.stagedDatPath, sizeof pack.stagedDatPath, "%s", Path("QVUSERS.DAT").c_str());
  snprintf(pack.stagedPtrPath, sizeof pack.stagedPtrPath, "%s", Path("QVUSERS.PTR.QVCNEW").c_str());
  snprintf(entries[0].stagedPath, sizeof entries[0].stagedPath, "%s",
           Path("QVMSG1.LMR.QVCNEW").c_str());

  RemoveStagedFilesOnInterrupt();  // nothing watched yet
  EXPECT_TRUE(Exists(Path("QVUSERS.PTR.QVCNEW")));

  WatchStagedFilesOnInterrupt(&pack, &inventory);
  RemoveStagedFilesOnInterrupt();
  EXPECT_EQ(ReadBytes(Path("QVUSERS.DAT")), "live");
  EXPECT_FALSE(Exists(Path("QVUSERS.PTR.QVCNEW")));
  EXPECT_FALSE(Exists(Path("QVMSG1.LMR.QVCNEW")));
}

}  // namespace
