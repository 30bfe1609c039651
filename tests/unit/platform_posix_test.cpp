// The POSIX backend: Windows error codes for errno, the file operations the
// program's safety rests on, the LMR directory search and interrupt clean-up.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"
#include "unit_test_support.h"

namespace {

// Runs body in a child process and returns its wait status.
template <typename Body>
int RunInChild(Body body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return status;
}

class PlatformPosixTest : public ScratchDirTest {
 protected:
  static void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    WriteBytes(path, text);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  }

  // "<missing>" tells a file that is gone from an empty one.
  static std::string ReadFile(const std::string& path) {
    return Exists(path) ? ReadBytes(path) : "<missing>";
  }

  static mode_t ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }

  // Every entry the search yields for pattern, with its directory flag.
  static std::map<std::string, bool> Search(const std::string& pattern) {
    std::map<std::string, bool> found;
    platform::DirectorySearch search;
    platform::DirectoryEntry entry;
    if (!platform::FindFirstEntry(pattern.c_str(), &search, &entry)) {
      EXPECT_EQ(search.state, nullptr);
      return found;
    }
    do {
      found[entry.name] = entry.isDirectory;
    } while (platform::FindNextEntry(&search, &entry));
    platform::EndSearch(&search);
    EXPECT_EQ(search.state, nullptr);
    return found;
  }
};

TEST_F(PlatformPosixTest, ErrnoMapsToTheWindowsCodeForTheSameCondition) {
  using platform::ErrnoContext;
  using platform::Win32ErrorFromErrno;
  const struct {
    int err;
    uint32_t code;
  } table[] = {{EACCES, 5},  {EPERM, 5},         {EISDIR, 5}, {ENOSPC, 112}, {EROFS, 19},
               {ENAMETOOLONG, 206}, {EBUSY, 32}, {EMFILE, 4}, {EIO, 31},     {0, 31}};
  for (const auto& row : table) {
    EXPECT_EQ(Win32ErrorFromErrno(row.err, ErrnoContext::Other, nullptr), row.code) << row.err;
  }
  EXPECT_EQ(Win32ErrorFromErrno(EEXIST, ErrnoContext::FileCreate, "x"), 80u);
  EXPECT_EQ(Win32ErrorFromErrno(EEXIST, ErrnoContext::DirectoryCreate, "x"), 183u);
  EXPECT_EQ(Win32ErrorFromErrno(EEXIST, ErrnoContext::Other, "x"), 183u);

  // Not found: 2 when only the name is missing, 3 when a directory on the way is.
  WriteFile(Path("plain"), "x");
  const std::string missingName = Path("missing");
  const std::string missingDir = Path("nodir/name");
  const std::string underFile = Path("plain/name");
  const std::string trailing = Path("nodir/name/");
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, ErrnoContext::FileCreate, missingName.c_str()), 2u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, ErrnoContext::FileCreate, missingDir.c_str()), 3u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOTDIR, ErrnoContext::Other, underFile.c_str()), 3u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, ErrnoContext::DirectoryCreate, trailing.c_str()), 3u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, ErrnoContext::Other, "name-in-cwd"), 2u);
  EXPECT_EQ(Win32ErrorFromErrno(ENOENT, ErrnoContext::Other, "/no-such-name"), 2u);
}

TEST_F(PlatformPosixTest, ExclusiveCreateWritesAndNeverTouchesAnExistingFile) {
  const std::string lock = Path("QVLINK.BSY");
  platform::FileHandle handle;
  ASSERT_EQ(platform::CreateExclusiveFile(lock.c_str(), &handle), 0u);
  const char text[] = "QVCULLDB32\r\n";
  EXPECT_EQ(platform::WriteHandle(handle, text, strlen(text)), 0u);
  EXPECT_TRUE(platform::CloseFileHandle(handle));
  EXPECT_EQ(ReadFile(lock), text);
  EXPECT_EQ(ModeOf(lock) & 0600, 0600u);

  platform::FileHandle second = 123;
  EXPECT_EQ(platform::CreateExclusiveFile(lock.c_str(), &second), 80u);
  EXPECT_EQ(second, platform::kInvalidHandle);
  EXPECT_EQ(ReadFile(lock), text);

  const std::string orphan = Path("nodir/QVLINK.BSY");
  EXPECT_EQ(platform::CreateExclusiveFile(orphan.c_str(), &second), 3u);

  EXPECT_TRUE(platform::RemoveFile(lock.c_str()));
  EXPECT_FALSE(platform::RemoveFile(lock.c_str()));
  EXPECT_FALSE(platform::CloseFileHandle(platform::kInvalidHandle));
}

TEST_F(PlatformPosixTest, OnlyARegularFileCountsAsAFile) {
  WriteFile(Path("QVUSERS.DAT"), "12345");
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  platform::PathAttributes attributes;
  ASSERT_TRUE(platform::GetPathAttributes(Path("QVUSERS.DAT").c_str(), &attributes));
  EXPECT_FALSE(attributes.isDirectory);
  EXPECT_EQ(attributes.size, 5u);
  ASSERT_TRUE(platform::GetPathAttributes(Path("sub").c_str(), &attributes));
  EXPECT_TRUE(attributes.isDirectory);
  ASSERT_TRUE(platform::GetPathAttributes(Path("fifo").c_str(), &attributes));
  EXPECT_TRUE(attributes.isDirectory);
  EXPECT_EQ(attributes.size, 0u);
  EXPECT_FALSE(platform::GetPathAttributes(Path("missing").c_str(), &attributes));

  EXPECT_TRUE(platform::FlushToDisk(Path("QVUSERS.DAT").c_str()));
  EXPECT_FALSE(platform::FlushToDisk(Path("missing").c_str()));
  EXPECT_FALSE(platform::FlushToDisk(Path("fifo").c_str()));  // must not hang either
}

TEST_F(PlatformPosixTest, ReplaceKeepsTheReplacedFilesPermissions) {
  const std::string live = Path("QVUSERS.DAT");
  const std::string staged = Path("QVUSERS.DAT.QVCNEW");
  WriteFile(live, "old", 0640);
  WriteFile(staged, "new", 0666);
  uint32_t error = 99;
  ASSERT_TRUE(platform::ReplaceFileDurably(staged.c_str(), live.c_str(), &error));
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(ReadFile(live), "new");
  EXPECT_EQ(ModeOf(live), 0640u);
  EXPECT_EQ(ReadFile(staged), "<missing>");

  // A replace that creates its target keeps the staged file's own mode.
  const std::string log = Path("QVPURGED.USR");
  WriteFile(staged, "log", 0600);
  ASSERT_TRUE(platform::ReplaceFileDurably(staged.c_str(), log.c_str(), &error));
  EXPECT_EQ(ReadFile(log), "log");
  EXPECT_EQ(ModeOf(log), 0600u);

  // A missing staged file fails and leaves the live file alone.
  EXPECT_FALSE(platform::ReplaceFileDurably(staged.c_str(), live.c_str(), &error));
  EXPECT_EQ(error, 2u);
  EXPECT_EQ(ReadFile(live), "new");
}

// Run as root, the replace hands the file back to the BBS's account; run as an
// ordinary account, not being allowed to give it away is no failure.
TEST_F(PlatformPosixTest, ReplaceTakesOverTheOwnerWherePermitted) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own files as another account";
  const uid_t bbsUser = 65534;
  const gid_t bbsGroup = 65534;
  const std::string live = Path("QVUSERS.PTR");
  const std::string staged = Path("QVUSERS.PTR.QVCNEW");
  WriteFile(live, "old", 0660);
  ASSERT_EQ(chown(live.c_str(), bbsUser, bbsGroup), 0);
  WriteFile(staged, "new", 0600);
  uint32_t error = 99;
  ASSERT_TRUE(platform::ReplaceFileDurably(staged.c_str(), live.c_str(), &error));
  struct stat st;
  ASSERT_EQ(stat(live.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, bbsUser);
  EXPECT_EQ(st.st_gid, bbsGroup);
  EXPECT_EQ(st.st_mode & 07777, 0660u);

  // Now the other way round: an ordinary account replaces a file root owns; it
  // may still pass on the group, being a member of it.
  const gid_t sharedGroup = 100;
  ASSERT_EQ(chown(dir_.c_str(), bbsUser, bbsGroup), 0);
  ASSERT_EQ(chown(live.c_str(), 0, sharedGroup), 0);
  ASSERT_EQ(chmod(live.c_str(), 0644), 0);
  const std::string stagedPath = staged;
  const std::string livePath = live;
  int status = RunInChild([&] {
    if (setgroups(1, &sharedGroup) != 0 || setgid(bbsGroup) != 0 || setuid(bbsUser) != 0) _exit(10);
    FILE* f = fopen(stagedPath.c_str(), "wb");
    if (f == nullptr || fputs("mine", f) < 0 || fclose(f) != 0) _exit(11);
    uint32_t childError = 0;
    _exit(platform::ReplaceFileDurably(stagedPath.c_str(), livePath.c_str(), &childError) ? 0 : 12);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadFile(live), "mine");
  ASSERT_EQ(stat(live.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, bbsUser);
  EXPECT_EQ(st.st_gid, sharedGroup);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(PlatformPosixTest, BackupDirectoriesAndFilesAreOwnerOnly) {
  mode_t previous = umask(022);
  const std::string backup = Path("QVCULLDB-20240101-120000");
  EXPECT_EQ(platform::MakeDirectory(backup.c_str()), 0u);
  EXPECT_EQ(ModeOf(backup), 0700u);
  EXPECT_EQ(platform::MakeDirectory(backup.c_str()), 183u);
  WriteFile(Path("plain"), "x");
  EXPECT_EQ(platform::MakeDirectory(Path("plain").c_str()), 183u);
  EXPECT_EQ(platform::MakeDirectory(Path("nodir/sub").c_str()), 3u);
  umask(previous);

  WriteFile(Path("copy"), "x", 0644);
  EXPECT_TRUE(platform::MakeFileOwnerOnly(Path("copy").c_str()));
  EXPECT_EQ(ModeOf(Path("copy")), 0600u);
  EXPECT_FALSE(platform::MakeFileOwnerOnly(Path("missing").c_str()));
}

TEST_F(PlatformPosixTest, SearchMatchesCaseInsensitivelyAndFlagsNonFiles) {
  WriteFile(Path("QVMSG1.LMR"), "");
  WriteFile(Path("qvmsg02.lmr"), "");
  WriteFile(Path("QVMSG1.TXT"), "");
  WriteFile(Path("XQVMSG5.LMR"), "");
  ASSERT_EQ(mkdir(Path("QVMSG3.LMR").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(Path("QvMsg4.Lmr").c_str(), 0644), 0);
  const std::map<std::string, bool> all = {{"QVMSG1.LMR", false}, {"qvmsg02.lmr", false},
                                           {"QVMSG3.LMR", true},  {"QvMsg4.Lmr", true}};
  EXPECT_EQ(Search(Path("QVMSG*.LMR")), all);
  EXPECT_EQ(Search(dir_ + "\\QVMSG*.LMR"), all);  // either separator ends the directory
  const std::map<std::string, bool> oneChar = {
      {"QVMSG1.LMR", false}, {"QVMSG3.LMR", true}, {"QvMsg4.Lmr", true}};
  EXPECT_EQ(Search(Path("QVMSG?.LMR")), oneChar);

  ASSERT_EQ(mkdir(Path("empty").c_str(), 0755), 0);
  EXPECT_TRUE(Search(Path("empty/QVMSG*.LMR")).empty());
  EXPECT_TRUE(Search(Path("missing/QVMSG*.LMR")).empty());
}

char g_lockPath[1024];
void RemoveLock() { platform::RemoveFile(g_lockPath); }

TEST_F(PlatformPosixTest, InterruptRunsTheCleanupAndEndsByTheSignal) {
  snprintf(g_lockPath, sizeof g_lockPath, "%s", Path("QVLINK.BSY").c_str());
  WriteFile(g_lockPath, "lock");
  int status = RunInChild([] {
    if (!platform::InstallInterruptCleanup(RemoveLock)) _exit(10);
    if (!platform::InstallInterruptCleanup(RemoveLock)) _exit(11);
    raise(SIGINT);
    _exit(12);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_EQ(ReadFile(g_lockPath), "<missing>");

  // A signal the process was started to ignore (nohup) stays ignored.
  WriteFile(g_lockPath, "lock");
  status = RunInChild([] {
    signal(SIGHUP, SIG_IGN);
    if (!platform::InstallInterruptCleanup(RemoveLock)) _exit(10);
    raise(SIGHUP);
    if (access(g_lockPath, F_OK) != 0) _exit(11);
    raise(SIGTERM);
    _exit(12);
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_EQ(ReadFile(g_lockPath), "<missing>");
}

TEST_F(PlatformPosixTest, KeyReadWithoutTerminalGivesEof) {
  int status = RunInChild([] {
    setsid();  // no controlling terminal, so /dev/tty cannot be opened
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    _exit(platform::ReadKeyNoEcho() == EOF ? 0 : 1);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(PlatformPosixTest, CurrentDirectoryMustFitTheBuffer) {
  char expected[1024];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  char buf[1024];
  ASSERT_TRUE(platform::CurrentDirectory(buf, sizeof buf));
  EXPECT_STREQ(buf, expected);
  EXPECT_FALSE(platform::CurrentDirectory(buf, strlen(expected)));
  const char* line = "x";
  EXPECT_FALSE(platform::RawCommandLine(&line));
}

}  // namespace
