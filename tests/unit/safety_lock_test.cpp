// QVLINK.BSY: its exact content, release, a second acquisition and a foreign lock
// under an interrupt.
#include <csignal>
#include <string>

#include "safety/shared_lock.h"
#include "unit_test_support.h"

namespace {

const char kLockText[] = "QVCULLDB32 0.4.0-beta1\r\nShared Quorvex maintenance lock\r\n";

class LockTest : public ScratchReportTest {
 protected:
  void TearDown() override {
    ReleaseSharedLock();  // the lock state is process-wide
    ScratchReportTest::TearDown();
  }

  int Acquire(const std::string& path) {
    reason_[0] = '\0';
    return AcquireSharedLock(path.c_str(), reason_, sizeof reason_);
  }

  char reason_[256];
};

TEST_F(LockTest, AcquireWritesTheLockAndReleaseRemovesIt) {
  EXPECT_TRUE(ReleaseSharedLock());  // nothing held: nothing to do
  ASSERT_EQ(Acquire(Path("QVLINK.BSY")), 1) << reason_;
  EXPECT_EQ(ReadBytes(Path("QVLINK.BSY")), kLockText);
  EXPECT_TRUE(SharedLockOwned());
  EXPECT_TRUE(IsSharedLockHeld());
  EXPECT_EQ(std::string(SharedLockPath()), Path("QVLINK.BSY"));

  EXPECT_TRUE(ReleaseSharedLock());
  EXPECT_FALSE(Exists(Path("QVLINK.BSY")));
  EXPECT_FALSE(SharedLockOwned());
  EXPECT_FALSE(IsSharedLockHeld());
  EXPECT_TRUE(ReleaseSharedLock());
}

TEST_F(LockTest, SecondAcquisitionChangesNothing) {
  ASSERT_EQ(Acquire(Path("QVLINK.BSY")), 1) << reason_;
  EXPECT_EQ(Acquire(Path("QVLINK.BSY")), 0);
  EXPECT_EQ(ReadBytes(Path("QVLINK.BSY")), kLockText);
  EXPECT_TRUE(IsSharedLockHeld());

  // Another path must neither be created nor become the file that release deletes.
  EXPECT_EQ(Acquire(Path("OTHER.BSY")), 0);
  EXPECT_FALSE(Exists(Path("OTHER.BSY")));
  EXPECT_EQ(std::string(SharedLockPath()), Path("QVLINK.BSY"));
  EXPECT_TRUE(ReleaseSharedLock());
  EXPECT_FALSE(Exists(Path("QVLINK.BSY")));
}

// The run's own lock going with an interrupt is proven end to end; a lock this
// process did not create must survive one.
TEST_F(LockTest, InterruptLeavesAForeignLockAlone) {
  const std::string lock = Path("QVLINK.BSY");
  WriteBytes(lock, "foreign");
  EXPECT_EXIT(
      {
        char reason[256];
        if (AcquireSharedLock(lock.c_str(), reason, sizeof reason) != 0) _Exit(7);
        raise(SIGTERM);
        _Exit(8);  // not reached: the interrupt still ends the process
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(ReadBytes(lock), "foreign");
}

}  // namespace
