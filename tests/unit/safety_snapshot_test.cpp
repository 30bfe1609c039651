// File identity by size and FNV-1a 64, and the verified copy.
#include <cstring>
#include <string>

#include "safety/file_snapshot.h"
#include "unit_test_support.h"

namespace {

using SnapshotTest = ScratchReportTest;

std::string PatternBytes(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
  return bytes;
}

uint64_t HashOfBytes(const std::string& bytes) {
  return Fnv1a64Update(kFnvOffsetBasis, reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size());
}

TEST_F(SnapshotTest, EmptyFileHashesToOffsetBasis) {
  WriteBytes(Path("empty"), "");
  FileSnapshot snapshot;
  EXPECT_EQ(TakeSnapshot(Path("empty").c_str(), &snapshot), 1u);
  EXPECT_EQ(snapshot.hash, 0xCBF29CE484222325ULL);
  EXPECT_EQ(snapshot.size, 0u);
  EXPECT_EQ(snapshot.ok, 1u);
  EXPECT_EQ(std::string(snapshot.path), Path("empty"));
}

TEST_F(SnapshotTest, KnownVectorAndBlockBoundaries) {
  WriteBytes(Path("a"), "a");
  uint64_t size = 99;
  uint32_t ok = 0;
  EXPECT_EQ(HashFileFnv1a64(Path("a").c_str(), &size, &ok), 0xAF63DC4C8601EC8CULL);
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(ok, 1u);

  for (size_t length : {size_t{32767}, size_t{32768}, size_t{32769}, size_t{3 * 32768 + 5}}) {
    const std::string bytes = PatternBytes(length);
    WriteBytes(Path("block"), bytes);
    ok = 0;
    EXPECT_EQ(HashFileFnv1a64(Path("block").c_str(), &size, &ok), HashOfBytes(bytes)) << length;
    EXPECT_EQ(size, length);
    EXPECT_EQ(ok, 1u);
  }
}

TEST_F(SnapshotTest, UnreadableFileNeverMatches) {
  uint64_t size = 77;
  uint32_t ok = 1;
  EXPECT_EQ(HashFileFnv1a64(Path("missing").c_str(), &size, &ok), 0u);
  EXPECT_EQ(ok, 0u);
  EXPECT_EQ(size, 77u);  // left as it was

  FileSnapshot snapshot;
  EXPECT_EQ(TakeSnapshot(Path("missing").c_str(), &snapshot), 0u);
  EXPECT_EQ(snapshot.size, 0u);
  EXPECT_EQ(snapshot.hash, 0u);
  // Even a file that now hashes like the cleared snapshot must not match it.
  WriteBytes(Path("missing"), "");
  EXPECT_FALSE(SnapshotMatches(&snapshot));
  EXPECT_FALSE(FileMatchesSnapshot(Path("missing").c_str(), &snapshot));

  // A directory opens on POSIX but cannot be read: not a snapshot either.
  EXPECT_EQ(TakeSnapshot(dir_.c_str(), &snapshot), 0u);
}

TEST_F(SnapshotTest, OverlongPathIsNotSnapshotted) {
  const std::string longPath = Path(std::string(1100, 'x'));
  FileSnapshot snapshot;
  EXPECT_EQ(TakeSnapshot(longPath.c_str(), &snapshot), 0u);
  EXPECT_EQ(strlen(snapshot.path), 1023u);
  EXPECT_FALSE(SnapshotMatches(&snapshot));
}

TEST_F(SnapshotTest, RewriteMatchesOnlyWithIdenticalBytes) {
  const std::string bytes = PatternBytes(40000);
  WriteBytes(Path("f"), bytes);
  FileSnapshot snapshot;
  ASSERT_EQ(TakeSnapshot(Path("f").c_str(), &snapshot), 1u);

  WriteBytes(Path("f"), bytes);
  EXPECT_TRUE(SnapshotMatches(&snapshot));

  WriteBytes(Path("f"), bytes + '\0');
  EXPECT_FALSE(SnapshotMatches(&snapshot));

  std::string changed = bytes;
  changed[12345] ^= 0x01;
  WriteBytes(Path("f"), changed);
  EXPECT_FALSE(SnapshotMatches(&snapshot));

  // The same bytes under another name match by content alone.
  WriteBytes(Path("g"), bytes);
  EXPECT_TRUE(FileMatchesSnapshot(Path("g").c_str(), &snapshot));
}

TEST_F(SnapshotTest, OnlyRegularFilesAreRemoved) {
  WriteBytes(Path("f"), "12345");
  uint64_t size = 42;
  EXPECT_TRUE(GetRegularFileSize(Path("f").c_str(), &size));
  EXPECT_EQ(size, 5u);
  EXPECT_FALSE(GetRegularFileSize(dir_.c_str(), &size));
  RemoveIfRegularFile(dir_.c_str());
  EXPECT_TRUE(Exists(dir_));
  RemoveIfRegularFile(Path("f").c_str());
  EXPECT_FALSE(Exists(Path("f")));
}

TEST_F(SnapshotTest, CopyFileVerified) {
  const std::string bytes = PatternBytes(70000);
  WriteBytes(Path("src"), bytes);
  FileSnapshot expected;
  ASSERT_EQ(TakeSnapshot(Path("src").c_str(), &expected), 1u);

  // Success, over an existing longer file.
  WriteBytes(Path("dst"), PatternBytes(90000));
  EXPECT_TRUE(CopyFileVerified(Path("src").c_str(), Path("dst").c_str(), &expected));
  EXPECT_EQ(ReadBytes(Path("dst")), bytes);
  EXPECT_TRUE(IsOwnerOnly(Path("dst")));

  // A copy that does not equal the expected state fails but stays for inspection.
  WriteBytes(Path("other"), "different");
  EXPECT_FALSE(CopyFileVerified(Path("other").c_str(), Path("dst2").c_str(), &expected));
  EXPECT_EQ(ReadBytes(Path("dst2")), "different");

  // A destination that cannot be opened (a directory) fails and changes nothing.
  std::filesystem::create_directory(Path("dir"));
  EXPECT_FALSE(CopyFileVerified(Path("src").c_str(), Path("dir").c_str(), &expected));
  EXPECT_TRUE(std::filesystem::is_directory(Path("dir")));
  EXPECT_TRUE(std::filesystem::is_empty(Path("dir")));

  // A missing source creates nothing; a missing destination directory neither.
  EXPECT_FALSE(CopyFileVerified(Path("missing").c_str(), Path("dst4").c_str(), &expected));
  EXPECT_FALSE(Exists(Path("dst4")));
  EXPECT_FALSE(CopyFileVerified(Path("src").c_str(), Path("nodir/dst").c_str(), &expected));
  EXPECT_FALSE(Exists(Path("nodir")));
}

TEST_F(SnapshotTest, CopyRemovesDestinationOnReadError) {
  // A directory as source opens for reading on POSIX but every read fails: the
  // half-made destination must not survive.
  std::filesystem::create_directory(Path("srcdir"));
  FileSnapshot expected;
  WriteBytes(Path("x"), "");
  ASSERT_EQ(TakeSnapshot(Path("x").c_str(), &expected), 1u);
  EXPECT_FALSE(CopyFileVerified(Path("srcdir").c_str(), Path("dst").c_str(), &expected));
  EXPECT_FALSE(Exists(Path("dst")));
}

TEST_F(SnapshotTest, CopyReportsWriteFailure) {
  // /dev/full accepts the open and fails the write. It is no regular file, so the
  // clean-up after the failure must leave it alone.
  if (!Exists("/dev/full") || IsRegularFile("/dev/full")) GTEST_SKIP() << "no /dev/full device";
  WriteBytes(Path("src"), PatternBytes(100));
  FileSnapshot expected;
  ASSERT_EQ(TakeSnapshot(Path("src").c_str(), &expected), 1u);
  EXPECT_FALSE(CopyFileVerified(Path("src").c_str(), "/dev/full", &expected));
  EXPECT_TRUE(Exists("/dev/full"));
}

}  // namespace
