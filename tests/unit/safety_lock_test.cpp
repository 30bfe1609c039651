// QVLINK.BSY: exclusive creation, exact content, release, loss and interrupt clean-up.
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

TEST_F(LockTest, ExistingLockIsLeftAlone) {
  for (const char* content : {"", "QVLink32 busy\r\n"}) {
    WriteBytes(Path("QVLINK.BSY"), content);
    EXPECT_EQ(Acquire(Path("QVLINK.BSY")), 0);
    EXPECT_FALSE(SharedLockOwned());
    EXPECT_FALSE(IsSharedLockHeld());
    EXPECT_TRUE(ReleaseSharedLock());
    EXPECT_EQ(ReadBytes(Path("QVLINK.BSY")), content);
  }
  // Any entry of that name holds the lock, a directory too.
  std::filesystem::create_directory(Path("BUSYDIR"));
  EXPECT_EQ(Acquire(Path("BUSYDIR")), 0);
  EXPECT_TRUE(std::filesystem::is_directory(Path("BUSYDIR")));
}

TEST_F(LockTest, MissingDirectoryIsAnError) {
  EXPECT_EQ(Acquire(Path("NOMESSAGE/QVLINK.BSY")), -1);
  EXPECT_STREQ(reason_, "CreateFile failed with Windows error 3.");
  EXPECT_FALSE(SharedLockOwned());
  EXPECT_FALSE(Exists(Path("NOMESSAGE")));
}

TEST_F(LockTest, LostLockFileIsNoticed) {
  ASSERT_EQ(Acquire(Path("QVLINK.BSY")), 1) << reason_;
  ASSERT_TRUE(std::filesystem::remove(Path("QVLINK.BSY")));
  EXPECT_TRUE(SharedLockOwned());
  EXPECT_FALSE(IsSharedLockHeld());
  // Closing works, the delete cannot: the release reports it and ends ownership.
  EXPECT_FALSE(ReleaseSharedLock());
  EXPECT_FALSE(SharedLockOwned());
}

TEST_F(LockTest, InterruptRemovesTheLock) {
  const std::string lock = Path("QVLINK.BSY");
  EXPECT_EXIT(
      {
        char reason[256];
        if (AcquireSharedLock(lock.c_str(), reason, sizeof reason) != 1) _Exit(7);
        raise(SIGINT);
        _Exit(8);  // not reached: the interrupt still ends the process
      },
      ::testing::KilledBySignal(SIGINT), "");
  EXPECT_FALSE(Exists(lock));

  // A lock this process did not create survives an interrupt.
  WriteBytes(lock, "foreign");
  EXPECT_EXIT(
      {
        char reason[256];
        if (AcquireSharedLock(lock.c_str(), reason, sizeof reason) != 0) _Exit(7);
        raise(SIGTERM);
        _Exit(8);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_EQ(ReadBytes(lock), "foreign");
}

}  // namespace
