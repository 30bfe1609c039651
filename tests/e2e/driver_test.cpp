// The run driver end to end: the home directory and QVNODE.DAT paths, the
// shared lock, the caller-status file, the report that grows by one section
// per run, the header and the interrupt clean-up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "transcript.h"

namespace {

const char kNoDeepHomes[] =
    "Wine does not start a program in a current directory this long; covered natively";

std::vector<FixtureUser> PlainUsers(unsigned count) {
  std::vector<FixtureUser> users;
  for (unsigned n = 1; n <= count; ++n) {
    users.push_back({"PLAIN USER " + std::to_string(n), 10, 1, 0, 10, true, ""});
  }
  return users;
}

void Write(Fixture* fixture) {
  ASSERT_TRUE(EnsureWineReady());
  if (fixture->users.empty()) fixture->users = PlainUsers(2);
  std::string error;
  ASSERT_TRUE(WriteFixture(fixture, &error)) << error;
}

// A directory path of exactly length characters: base followed by nested
// names of at most 200 characters.
std::string DeepPath(const std::string& base, size_t length) {
  std::string path = base;
  while (path.size() + 1 < length) {
    const size_t left = length - path.size() - 1;
    size_t part = left <= 200 ? left : 200;
    if (left > part && left - part < 2) part = left - 2;  // room for "/x" after it
    path += "/" + std::string(part, 'd');
  }
  return path;
}

// A dry run's transcript when it stops before the lock with one error.
std::string EarlyStop(const Fixture& f, const std::vector<std::string>& args,
                      const std::string& lines) {
  return HeaderText(args, false, Home(f)) + lines +
         DrySummaryText({0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
}

// A dry run's transcript when it stops after taking the lock, with one error.
std::string StopAfterLock(const Fixture& f, const std::vector<std::string>& args,
                          const std::string& lines) {
  return HeaderText(args, false, Home(f)) + DirectoriesText(f.paths.work, f.paths.message) +
         LockAcquiredText(f.paths.message) + lines + ReleasedText() +
         DrySummaryText({0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
}

std::string WhosOnPath(const Fixture& f) { return CallerFilePath(f.paths.work); }

// ---- Home directory and paths ------------------------------------------------

TEST(DriverHome, HomeWithoutRoomForTheReportEndsBeforeAnyFile) {
  if (UnderWine()) GTEST_SKIP() << kNoDeepHomes;
  Fixture f;
  f.home = DeepPath(f.scratch.path, 1002);
  Write(&f);
  ASSERT_EQ(Home(f).size(), 1002u);
  const std::map<std::string, std::string> before = HashTree(f.scratch.path);
  const RunResult r = RunProgram(Home(f), {"/DRYRUN"});
  EXPECT_EQ(r.out, "ERROR: report path is too long.\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(DiffTrees(before, HashTree(f.scratch.path)), "");
}

TEST(DriverHome, HomeOfTheLongestReportPathRunsAWholePreview) {
  if (UnderWine()) GTEST_SKIP() << kNoDeepHomes;
  Fixture f;
  f.home = DeepPath(f.scratch.path, 1001);
  Write(&f);
  ASSERT_EQ(Home(f).size(), 1001u);
  const RunResult r = RunLeavingNoTrace(f, {"/DRYRUN"});
  EXPECT_EQ(CheckedTranscript(r), PreviewOpening(f, {"/DRYRUN"}, {}) +
                                      PreviewClosing(f, {2, 0, 0, 2, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r.exitCode, 0);
}

TEST(DriverHome, WorkDirectoryThatLeavesNoRoomForItsFilesIsRefused) {
  if (UnderWine()) GTEST_SKIP() << kNoDeepHomes;
  Fixture f;
  f.home = DeepPath(f.scratch.path, 990);
  f.recipe.workField = "USERBASE-WORK-DIRECTORY-0028";
  Write(&f);
  ASSERT_EQ(f.paths.work.size(), 1019u);  // fits; WORK/QVWHOSON.DAT does not
  const RunResult r = RunLeavingNoTrace(f, {"/DRYRUN"});
  EXPECT_EQ(CheckedTranscript(r),
            EarlyStop(f, {"/DRYRUN"},
                      DirectoriesText(f.paths.work, f.paths.message) +
                          "SAFETY ERROR: one or more database paths are too long.\n"));
  EXPECT_EQ(r.exitCode, 2);
}

TEST(DriverHome, ReportThatCannotBeOpenedEndsTheRun) {
  Fixture f;
  Write(&f);
  ASSERT_TRUE(MakeDirectories(Home(f) + "/" + kReportName));
  const std::map<std::string, std::string> before = HashTree(f.scratch.path);
  const RunResult r = RunProgram(Home(f), {"/DRYRUN"});
  // The runtime's own words for opening a directory as a file.
  const char* reason = UnderWine() ? "Permission denied" : "Is a directory";
  EXPECT_EQ(r.out, "ERROR: cannot append " + HostPath(Home(f) + "/" + kReportName) + ": " +
                       reason + "\n");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(DiffTrees(before, HashTree(f.scratch.path)), "");
}

TEST(DriverHome, VanishedCurrentDirectoryEndsTheRun) {
  if (UnderWine()) GTEST_SKIP() << "a removed current directory is a POSIX state";
  ScratchDir scratch;
  ASSERT_TRUE(MakeDirectories(scratch.path + "/gone"));
  const RunResult r = RunCommand(
      scratch.path, {"sh", "-c", "cd gone && rmdir ../gone && exec \"$0\" /DRYRUN", ProgramPath()});
  EXPECT_EQ(r.out, "ERROR: cannot determine current directory.\n");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(ListDirectory(scratch.path), std::vector<std::string>{});
}

// ---- QVNODE.DAT --------------------------------------------------------------

TEST(DriverNodeFile, MissingNodeFileIsNamedCutToItsFirst180Characters) {
  Fixture f;
  f.home = DeepPath(f.scratch.path, 200);
  Write(&f);
  ASSERT_EQ(std::remove((Home(f) + "/QVNODE.DAT").c_str()), 0);
  const RunResult r = RunLeavingNoTrace(f, {"/DRYRUN"});
  const std::string shown = HostPath(Home(f) + "/QVNODE.DAT");
  ASSERT_GT(shown.size(), 180u);
  EXPECT_EQ(CheckedTranscript(r),
            EarlyStop(f, {"/DRYRUN"},
                      "SAFETY ERROR: QVNODE.DAT not found in the current directory: " +
                          shown.substr(0, 180) + "\n"));
  EXPECT_EQ(r.exitCode, 2);
}

TEST(DriverNodeFile, NodeFileMustHoldBothFields) {
  Fixture f;
  Write(&f);
  SampleRecipe shortRecipe = f.recipe;
  shortRecipe.nodeFileSize = 133;
  ASSERT_TRUE(WriteWholeFile(Home(f) + "/QVNODE.DAT", NodeFileBytes(shortRecipe)));
  RunResult r = RunLeavingNoTrace(f, {"/DRYRUN"});
  EXPECT_EQ(CheckedTranscript(r),
            EarlyStop(f, {"/DRYRUN"},
                      "SAFETY ERROR: QVNODE.DAT is too short (133 bytes; need at least 134).\n"));
  EXPECT_EQ(r.exitCode, 2);

  shortRecipe.nodeFileSize = 134;
  ASSERT_TRUE(WriteWholeFile(Home(f) + "/QVNODE.DAT", NodeFileBytes(shortRecipe)));
  r = RunLeavingNoTrace(f, {"/DRYRUN"});
  EXPECT_EQ(CheckedTranscript(r), PreviewOpening(f, {"/DRYRUN"}, {}) +
                                      PreviewClosing(f, {2, 0, 0, 2, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r.exitCode, 0);
}

// The WORK and MESSAGE fields: set (1 to 28 characters), relative or
// absolute, trailing separators dropped; unset (0, or 29 and above) means the
// home's WORK and MESSAGE.
TEST(DriverNodeFile, DirectoryFieldsResolveAgainstTheHome) {
  const char sep = UnderWine() ? '\\' : '/';
  struct Case {
    const char* title;
    std::string workField;  // empty: an absolute path outside the home
    std::string messageField;
    bool unsetByLength;  // length bytes 29 (WORK) and 0 (MESSAGE) over junk
    std::string work;    // expected below the home; empty: the absolute path
    std::string message;
  };
  const Case cases[] = {
      {"28 characters; trailing separator", "USERBASE-WORK-DIRECTORY-0028",
       std::string("MSGS") + sep, false, "USERBASE-WORK-DIRECTORY-0028", "MSGS"},
      {"length bytes 29 and 0", "WORK", "", true, "WORK", "MESSAGE"},
      {"absolute WORK, nested relative MESSAGE", "", std::string("DATA") + sep + "MSG", false,
       "", "DATA/MSG"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Fixture f;
    const std::string absolute = f.scratch.path + "/AW";
    f.recipe.workField = !c.workField.empty() ? c.workField : HostPath(absolute);
    f.recipe.messageField = c.messageField;
    Write(&f);
    ASSERT_LE(f.recipe.workField.size(), 28u);
    if (c.unsetByLength) {
      ASSERT_TRUE(SetNodeField(Home(f), kNodeWorkOffset, 29, "JUNK-THAT-MUST-BE-IGNORED"));
      ASSERT_TRUE(SetNodeField(Home(f), kNodeMessageOffset, 0, "MORE-JUNK"));
    }
    EXPECT_EQ(f.paths.work, c.work.empty() ? absolute : Home(f) + "/" + c.work);
    EXPECT_EQ(f.paths.message, Home(f) + "/" + c.message);
    const RunResult r = RunLeavingNoTrace(f, {"/DRYRUN"});
    EXPECT_EQ(CheckedTranscript(r), PreviewOpening(f, {"/DRYRUN"}, {}) +
                                        PreviewClosing(f, {2, 0, 0, 2, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(r.exitCode, 0);
  }
}

// ---- Shared lock -------------------------------------------------------------

TEST(DriverLock, LockOfAnotherToolIsLeftByteForByteInBothModes) {
  Fixture f;
  Write(&f);
  const std::string lock = f.paths.message + "/QVLINK.BSY";
  ASSERT_TRUE(WriteWholeFile(lock, "QVLink32 maintenance\r\nnode 3\r\n"));
  // Dry run; then a run without switches, which is a write run.
  RunResult r = RunLeavingNoTrace(f, {"-DRYRUN"});
  EXPECT_EQ(CheckedTranscript(r),
            EarlyStop(f, {"-DRYRUN"},
                      DirectoriesText(f.paths.work, f.paths.message) +
                          LockLineText(f.paths.message) + LockExistsText()));
  EXPECT_EQ(r.exitCode, 2);

  r = RunLeavingNoTrace(f, {});
  EXPECT_EQ(CheckedTranscript(r),
            HeaderText({}, true, Home(f)) + DirectoriesText(f.paths.work, f.paths.message) +
                OfflineWarningText() + LockLineText(f.paths.message) + LockExistsText() +
                WriteSummaryText({0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, false));
  EXPECT_EQ(r.exitCode, 2);
}

TEST(DriverLock, MissingMessageDirectoryCannotTakeTheLock) {
  Fixture f;
  Write(&f);
  RemoveTree(f.paths.message);
  const RunResult r = RunLeavingNoTrace(f, {"/DRYRUN"});
  EXPECT_EQ(CheckedTranscript(r),
            EarlyStop(f, {"/DRYRUN"},
                      DirectoriesText(f.paths.work, f.paths.message) +
                          LockLineText(f.paths.message) +
                          "SAFETY ERROR: cannot acquire shared QVLINK.BSY lock: CreateFile failed "
                          "with Windows error 3.\n"));
  EXPECT_EQ(r.exitCode, 2);
}

// ---- Caller status -----------------------------------------------------------

bool Truncate(const std::string& path, size_t size) {
  std::string bytes;
  return ReadWholeFile(path, &bytes) && WriteWholeFile(path, bytes.substr(0, size));
}

TEST(DriverCallers, CallerFileMustBeWholeAndShowNoCaller) {
  Fixture f;
  Write(&f);
  const std::string whosOn = WhosOnPath(f);
  const std::string work = f.paths.work;
  const std::string missing = "SAFETY ERROR: QVWHOSON.DAT is missing: " + HostPath(whosOn) + "\n";
  const std::string badSize =
      "SAFETY ERROR: QVWHOSON.DAT must be exactly 1536 bytes (256 x 6-byte records).\n";
  const std::string refusal =
      "QVCULLDB32 will not scan the user database while a caller may be active.\n";
  struct Case {
    const char* title;
    bool (*damage)(const std::string& work);
    std::string lines;
  };
  const Case cases[] = {
      {"missing", [](const std::string& w) { return std::remove(CallerFilePath(w).c_str()) == 0; },
       missing},
      {"a directory",
       [](const std::string& w) {
         return std::remove(CallerFilePath(w).c_str()) == 0 && MakeDirectories(CallerFilePath(w));
       },
       missing},
      {"1535 bytes", [](const std::string& w) { return Truncate(CallerFilePath(w), 1535); },
       CallerFileLine(work, 1535) + badSize},
      {"1537 bytes",
       [](const std::string& w) {
         std::string bytes;
         return ReadWholeFile(CallerFilePath(w), &bytes) &&
                WriteWholeFile(CallerFilePath(w), bytes + '\0');
       },
       CallerFileLine(work, 1537) + badSize},
      {"callers at slots 3 and 7",
       [](const std::string& w) { return SetCaller(w, 7, 5, 0xFF) && SetCaller(w, 3, 12, 10); },
       CallerFileLine(work, 1536) + "SAFETY ABORT: active Quorvex node record(s) found:\n" +
           "  Node slot 3: UserNo=12 Mode=0x0A\n" + "  Node slot 7: UserNo=5 Mode=0xFF\n" +
           refusal},
      {"caller at slot 255", [](const std::string& w) { return SetCaller(w, 255, 1, 0xab); },
       CallerFileLine(work, 1536) + "SAFETY ABORT: active Quorvex node record(s) found:\n" +
           "  Node slot 255: UserNo=1 Mode=0xAB\n" + refusal},
  };
  const SampleRecipe recipe = f.recipe;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    RemoveTree(whosOn);
    ASSERT_TRUE(WriteWholeFile(whosOn, CallerFileBytes(recipe)));
    ASSERT_TRUE(c.damage(work));
    const RunResult r = RunLeavingNoTrace(f, {"/DRYRUN"});
    EXPECT_EQ(CheckedTranscript(r), StopAfterLock(f, {"/DRYRUN"}, c.lines));
    EXPECT_EQ(r.exitCode, 2);
  }
}

TEST(DriverCallers, RecordZeroAndNonPositiveUsersAreNoCallers) {
  Fixture f;
  Write(&f);
  const std::string work = f.paths.work;
  ASSERT_TRUE(SetCaller(work, 0, 5, 1));
  ASSERT_TRUE(SetCaller(work, 1, -1, 2));
  ASSERT_TRUE(SetCaller(work, 2, -32768, 3));
  ASSERT_TRUE(SetCaller(work, 255, 0, 0xFF));
  const RunResult r = RunLeavingNoTrace(f, {"/DRYRUN"});
  EXPECT_EQ(CheckedTranscript(r), PreviewOpening(f, {"/DRYRUN"}, {}) +
                                      PreviewClosing(f, {2, 0, 0, 2, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r.exitCode, 0);
}

// ---- Report, header and warnings ---------------------------------------------

// A write run that finds nobody to purge: the plan line, no backup, no write.
std::string NothingToWrite(const Fixture& f, const std::string& header,
                           const std::string& warnings, const Rules& rules, const Counts& counts) {
  return header + DirectoriesText(f.paths.work, f.paths.message) + OfflineWarningText() +
         warnings + LockAcquiredText(f.paths.message) + CallerClearText(f.paths.work) +
         SoundValidationText(f.users.size(), f.recipe.conferences) + SelectionRulesText(rules) +
         ScanHeadingText(true) +
         "\nWRITE PLAN: no records match the selected rules; no backup or database write is "
         "needed.\n" +
         ReleasedText() + WriteSummaryText(counts, true);
}

TEST(DriverReport, EachRunAppendsTheSectionTheConsoleShowed) {
  Fixture f;
  f.users = PlainUsers(3);
  Write(&f);
  const std::string report = Home(f) + "/" + kReportName;
  ASSERT_TRUE(WriteWholeFile(report, "EARLIER RUN\n"));
  ASSERT_TRUE(WriteWholeFile(Home(f) + "/QVCULLDB.COM", std::string("\xB4\x09\xCD\x21", 4)));
  const std::string legacy = LegacyComWarningText(Home(f));

  const RunResult dry = RunLeavingNoTrace(f, {"/DRYRUN"});
  EXPECT_EQ(CheckedTranscript(dry),
            HeaderText({"/DRYRUN"}, false, Home(f)) +
                DirectoriesText(f.paths.work, f.paths.message) + legacy +
                LockAcquiredText(f.paths.message) + CallerClearText(f.paths.work) +
                SoundValidationText(3, 2) + SelectionRulesText({}) + ScanHeadingText(false) +
                PreviewClosing(f, {3, 0, 0, 3, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(dry.exitCode, 0);

  const RunResult write = RunLeavingNoTrace(f, {"/DEL"});
  EXPECT_EQ(CheckedTranscript(write),
            NothingToWrite(f, HeaderText({"/DEL"}, true, Home(f)), legacy, {true},
                           {3, 0, 0, 3, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(write.exitCode, 0);

  std::string whole;
  ASSERT_TRUE(ReadWholeFile(report, &whole));
  EXPECT_EQ(NormaliseLineEnds(whole), "EARLIER RUN\n" + dry.report + write.report);
}

// The header names the program and its arguments as split, without the
// quotes that keep a blank inside one argument.
TEST(DriverReport, HeaderListsTheArgumentsWithoutQuotes) {
  Fixture f;
  Write(&f);
  const std::string tools = f.scratch.path + "/old tools";
  ASSERT_TRUE(MakeDirectories(tools));
  const std::string program = ProgramPath();
  const std::string copy = tools + program.substr(program.rfind('/'));
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(program, &bytes));
  ASSERT_TRUE(WriteWholeFile(copy, bytes));
  ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);

  const std::vector<std::string> args = {"/SEC=7", "/BACKUP=old backups", "/OLD=90"};
  ASSERT_EQ(::setenv("QV_PROGRAM", copy.c_str(), 1), 0);
  const RunResult r = RunLeavingNoTrace(f, args);
  ::setenv("QV_PROGRAM", program.c_str(), 1);
  EXPECT_EQ(CheckedTranscript(r),
            NothingToWrite(f, HeaderTextWithProgram(HostPath(copy), args, true, Home(f)), "",
                           {false, 7, 90}, {2, 0, 0, 2, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r.exitCode, 0);
}

// ---- Interrupt ---------------------------------------------------------------

struct StartedRun {
  pid_t pid = -1;
  int out = -1;  // the read end of the program's standard output
};

// Starts the program in cwd with its standard output into a pipe that nobody
// reads yet, so that it stops as soon as the pipe is full.
StartedRun StartWithUnreadOutput(const std::string& cwd, const std::vector<std::string>& args) {
  StartedRun run;
  int fds[2];
  if (::pipe(fds) != 0) return run;
  std::fflush(nullptr);
  run.pid = ::fork();
  if (run.pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 2) < 0 || ::dup2(fds[1], 1) < 0 ||
        ::chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<std::string> argv = {ProgramPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    ::execv(pointers[0], pointers.data());
    _exit(127);
  }
  ::close(fds[1]);
  run.out = fds[0];
  return run;
}

// Waits until the report shows the lock taken; false if the run ended first.
bool WaitForLockTaken(const StartedRun& run, const std::string& report) {
  for (int polls = 0; polls < 600000; ++polls) {
    std::string text;
    ReadWholeFile(report, &text);
    if (text.find("Shared QVLINK.BSY lock: ACQUIRED") != std::string::npos) return true;
    int status;
    if (::waitpid(run.pid, &status, WNOHANG) == run.pid) return false;
    ::usleep(100);
  }
  return false;
}

void DrainAndClose(int fd) {
  char block[65536];
  while (::read(fd, block, sizeof block) > 0) {
  }
  ::close(fd);
}

TEST(DriverInterrupt, InterruptRemovesTheLockBeforeTheProcessEnds) {
  if (UnderWine()) GTEST_SKIP() << "POSIX signals; the console control handler is Windows-only";
  ScratchDir scratch;
  SampleRecipe recipe = FixtureRecipe(3000, 1);
  recipe.deletedPercent = 100;  // one preview line per user: far more than a pipe holds
  SamplePaths paths;
  std::string error;
  ASSERT_TRUE(WriteSampleBbs(scratch.path + "/BBS", recipe, &paths, &error)) << error;
  const std::string report = paths.home + "/" + kReportName;
  const std::string lock = paths.message + "/QVLINK.BSY";

  const StartedRun run = StartWithUnreadOutput(paths.home, {"/DRYRUN"});
  ASSERT_GT(run.pid, 0);
  const bool held = WaitForLockTaken(run, report);
  EXPECT_TRUE(held);
  EXPECT_TRUE(FileExists(lock));
  ::kill(run.pid, SIGINT);
  DrainAndClose(run.out);
  int status = 0;
  ASSERT_EQ(::waitpid(run.pid, &status, 0), run.pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status;
  EXPECT_FALSE(FileExists(lock));
  std::string text;
  ReadWholeFile(report, &text);
  EXPECT_EQ(text.find("RELEASED"), std::string::npos);
  EXPECT_EQ(text.find("SUMMARY"), std::string::npos);
}

}  // namespace
