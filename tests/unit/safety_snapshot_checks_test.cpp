// A pass of snapshot checks reports each changed file in list order, whether or not it also
// runs steps of its caller's (closing files here), and runs every one of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "safety/snapshot_checks.h"

namespace {

constexpr int kFiles = 6;

void WriteFile(const std::string& path, const std::string& text) {
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  fputs(text.c_str(), file);
  fclose(file);
}

bool IsOpen(platform::FileHandle handle) {
  return fcntl(static_cast<int>(handle), F_GETFD) != -1 || errno != EBADF;
}

bool CloseOne(uint32_t index, void* handles, RunCounters*) {
  return platform::CloseFileHandle(static_cast<platform::FileHandle*>(handles)[index]);
}

TEST(CheckSnapshotsInOrder, ReportsInListOrderAndRunsExtraSteps) {
  char pattern[] = "/tmp/qvchecksXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  FileSnapshot snapshots[kFiles];
  std::string names[kFiles];
  for (int i = 0; i < kFiles; ++i) {
    names[i] = "F";  // appended, not "F" + ...: GCC 12 at -O3 misjudges that insert's bounds
    names[i] += std::to_string(i);
    WriteFile(dir + "/" + names[i], "content " + names[i]);
    ASSERT_TRUE(TakeSnapshot((dir + "/" + names[i]).c_str(), &snapshots[i]));
  }
  WriteFile(dir + "/F4", "changed");
  WriteFile(dir + "/F1", "content F1 and more");
  for (uint32_t closeCount : {0u, 3u, 1u}) {
    SnapshotCheckList list{};
    platform::FileHandle handles[3];
    for (uint32_t k = 0; k < closeCount; ++k) handles[k] = open("/dev/null", O_RDONLY);
    list.extraStep = CloseOne;
    list.extraContext = handles;
    list.extraCount = closeCount;
    for (int i = 0; i < kFiles; ++i) {
      AddSnapshotCheck(&list, nullptr, &snapshots[i], names[i].c_str(), "%s differs\n");
    }
    RunCounters counters{};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CheckSnapshotsInOrder(&list, "Checking", &counters));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "F1 differs\nF4 differs\n") << closeCount;
    EXPECT_EQ(counters.errors, 2u);
    for (uint32_t k = 0; k < closeCount; ++k) EXPECT_FALSE(IsOpen(handles[k])) << k;
  }
  // With nothing to check, the files are still closed.
  SnapshotCheckList empty{};
  platform::FileHandle handle = open("/dev/null", O_RDONLY);
  empty.extraStep = CloseOne;
  empty.extraContext = &handle;
  empty.extraCount = 1;
  RunCounters counters{};
  EXPECT_TRUE(CheckSnapshotsInOrder(&empty, "Checking", &counters));
  EXPECT_FALSE(IsOpen(handle));
  for (const std::string& name : names) remove((dir + "/" + name).c_str());
  rmdir(dir.c_str());
}

// A file whose stamp has not moved since it was read is not read again only when that stamp
// was settled: one just written (its modification and change time one tick, the clock's
// last) could have been written again in that tick without its stamp showing it.
TEST(CheckSnapshotsInOrder, UnmovedSettledStampsVouchForTheContent) {
  char pattern[] = "/tmp/qvstampsXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string path = std::string(pattern) + "/F";
  WriteFile(path, "content");
  FileSnapshot fresh{};
  ASSERT_TRUE(TakeSnapshot(path.c_str(), &fresh));
  EXPECT_FALSE(fresh.read.settled);
  EXPECT_FALSE(StampStillSettled(path.c_str(), fresh.read));
  // Written long ago, as a board's files are: its modification time older than its change.
  const struct timespec longAgo[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), longAgo, 0), 0);
  FileSnapshot settled{};
  ASSERT_TRUE(TakeSnapshot(path.c_str(), &settled));
  EXPECT_TRUE(settled.read.settled);
  EXPECT_TRUE(StampStillSettled(path.c_str(), settled.read));
  // The gate trusts it without reading; a write that puts the times back still moves the
  // change time, and the file is read again.
  SnapshotCheckList list{};
  list.settledStampsVouch = true;
  AddSnapshotCheck(&list, nullptr, &settled, "F", "%s differs\n", &settled.read);
  RunCounters counters{};
  EXPECT_TRUE(CheckSnapshotsInOrder(&list, "Checking", &counters));
  WriteFile(path, "CONTENT");
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), longAgo, 0), 0);
  EXPECT_FALSE(StampStillSettled(path.c_str(), settled.read));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(CheckSnapshotsInOrder(&list, "Checking", &counters));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "F differs\n");
  remove(path.c_str());
  rmdir(pattern);
}

}  // namespace
