// The verified backup of write runs end to end: the tree it leaves, where its
// root goes for each kind of /BACKUP= value, and how the timestamped directory
// is named when its name is taken.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "write_fixture.h"

namespace {

const std::string kRestoreWarning =
    "QVCULLDB32 0.4.0-beta1 IMMEDIATE-ROLLBACK BACKUP\r\n"
    "\r\n"
    "This backup is intended for immediate rollback before the BBS is reopened.\r\n"
    "After callers return, restoring it discards newer user-database and\r\n"
    "last-message-read progress.\r\n"
    "\r\n"
    "Restore WORK\\QVUSERS.DAT, WORK\\QVUSERS.PTR, and every\r\n"
    "MESSAGE\\QVMSGxx.LMR file together as one matched set.\r\n"
    "Restore WORK\\QVPURGED.USR only when it existed before the pack.\r\n";

std::string ManifestLine(const char* area, const std::string& name, const std::string& bytes,
                         const std::string& hostSource) {
  char line[1400];
  std::snprintf(line, sizeof line, "%-8s %-20s size=%zu fnv1a64=%016" PRIX64 " source=%s\r\n", area,
                name.c_str(), bytes.size(), Fnv1a64(bytes), HostPath(hostSource).c_str());
  return line;
}

// The backup directory's files, given the live database before the pack.
std::map<std::string, std::string> ExpectedBackupFiles(
    const PackSample& sample, const std::map<std::string, std::string>& before) {
  std::map<std::string, std::string> files;
  std::string manifest = "QVCULLDB32 VERIFIED BACKUP MANIFEST\r\n";
  for (const char* name : {"QVUSERS.DAT", "QVUSERS.PTR", "QVWHOSON.DAT", "QVPURGED.USR"}) {
    const auto live = before.find(std::string("WORK/") + name);
    if (live == before.end()) continue;
    files[live->first] = live->second;
    manifest += ManifestLine("WORK", name, live->second, sample.paths.work + "/" + name);
  }
  for (uint32_t c = 1; c <= kPackConferences; ++c) {
    const std::string name = LmrFileName(c);
    files["MESSAGE/" + name] = before.at("MESSAGE/" + name);
    manifest += ManifestLine("MESSAGE", name, before.at("MESSAGE/" + name),
                             sample.paths.message + "/" + name);
  }
  files["MANIFEST.TXT"] = manifest;
  files["RESTORE_WARNING.TXT"] = kRestoreWarning;
  return files;
}

// A successful /SEC=77 pack with its backup beneath the default root: the
// whole transcript, then the backup directory's files and directories.
void CheckBackupTree(bool purgedLogBefore) {
  PackSample sample;
  SampleRecipe recipe = PackRecipe();
  recipe.purgedLog = purgedLogBefore;
  MakePackSample(recipe, &sample);
  const std::string root = sample.paths.home + "/QVCULLDB-BACKUPS";
  const auto before = LiveDatabase(sample);
  const std::string expected = ExpectedPackTranscript(sample, kPackArgs, ShownBackupDir(root));

  const RunResult run = RunWrite(sample, kPackArgs);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(NormaliseClock(run.out), expected);
  const std::string name = "QVCULLDB-" + RunStamp(run);
  ASSERT_EQ(ListDirectory(root), std::vector<std::string>{name});
  const std::string dir = root + "/" + name;
  const auto files = ExpectedBackupFiles(sample, before);
  EXPECT_EQ(files.count("WORK/QVPURGED.USR"), purgedLogBefore ? 1u : 0u);
  EXPECT_EQ(DiffTrees(files, ReadTree(dir)), "");
  std::vector<std::string> directories;
  for (const auto& entry : HashTree(dir)) {
    if (entry.second == "dir") directories.push_back(entry.first);
  }
  EXPECT_EQ(directories, (std::vector<std::string>{"MESSAGE/", "WORK/"}));
  EXPECT_EQ(kRestoreWarning.size(), 403u);
}

TEST(BackupTree, CopiesEveryFileWithManifestAndWarning) { CheckBackupTree(true); }

TEST(BackupTree, NoAuditLogCopyWhenThereWasNone) { CheckBackupTree(false); }

TEST(BackupTree, IsPrivateToItsOwner) {
  if (UnderWine()) GTEST_SKIP() << "Windows keeps the inherited access rules; no POSIX modes";
  PackSample sample;
  MakePackSample(PackRecipe(), &sample);
  const RunResult run = RunWrite(sample, kPackArgs);
  ASSERT_EQ(run.exitCode, 0);
  const std::string root = sample.paths.home + "/QVCULLDB-BACKUPS";
  const std::string dir = root + "/QVCULLDB-" + RunStamp(run);
  struct stat info;
  for (const std::string& path : {root, dir}) {
    ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 07777, 0700u) << path;
  }
  for (const auto& entry : HashTree(dir)) {
    ASSERT_EQ(::stat((dir + "/" + entry.first).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, entry.second == "dir" ? 0700u : 0600u) << entry.first;
  }
}

struct RootCase {
  std::string value;      // typed after /BACKUP=
  std::string shownRoot;  // the root as the program prints it
  std::string hostRoot;   // where the root is on this host
};

// One successful /SEC=77 pack per case, each on a fresh sample: the whole
// transcript and exactly one backup directory beneath the expected root.
// In the case texts <HOME> and <SCRATCH> stand for the sample's home and
// scratch directories.
void CheckRoots(const std::vector<RootCase>& cases) {
  for (const RootCase& c : cases) {
    SCOPED_TRACE(c.value);
    PackSample sample;
    MakePackSample(PackRecipe(), &sample);
    std::string value = c.value, shown = c.shownRoot, host = c.hostRoot;
    for (std::string* text : {&value, &shown, &host}) {
      for (size_t at; (at = text->find("<HOME>")) != std::string::npos;) {
        text->replace(at, 6, text == &host ? sample.paths.home : HostPath(sample.paths.home));
      }
      for (size_t at; (at = text->find("<SCRATCH>")) != std::string::npos;) {
        text->replace(at, 9, text == &host ? sample.scratch.path : HostPath(sample.scratch.path));
      }
    }
    const std::vector<std::string> args = {"/SEC=77", "/BACKUP=" + value};
    const std::string expected =
        ExpectedPackTranscript(sample, args, shown + Sep() + "QVCULLDB-YYYYMMDD-HHMMSS");
    const RunResult run = RunWrite(sample, args);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(NormaliseClock(run.out), expected);
    const std::string name = "QVCULLDB-" + RunStamp(run);
    EXPECT_EQ(ListDirectory(host), std::vector<std::string>{name});
    EXPECT_TRUE(FileExists(host + "/" + name + "/MANIFEST.TXT"));
  }
}

TEST(BackupRoot, RelativeValuesLieBeneathTheHomeDirectory) {
  const std::string sep(1, Sep());
  std::vector<RootCase> cases = {
      {"BAK", "<HOME>" + sep + "BAK", "<HOME>/BAK"},
      {"BAK/PACK", "<HOME>" + sep + "BAK/PACK", "<HOME>/BAK/PACK"},
      // A single leading backslash is relative too: the joined root keeps it.
      // On POSIX the backslash is an ordinary character of the directory name.
      {"\\BAK", "<HOME>" + sep + "\\BAK", UnderWine() ? "<HOME>/BAK" : "<HOME>/\\BAK"},
  };
  // A single leading slash is relative on Windows only; on POSIX it names an
  // absolute path, covered by AbsoluteValueIsUsedUnchanged.
  if (UnderWine()) cases.push_back({"/BAK", "<HOME>\\/BAK", "<HOME>/BAK"});
  CheckRoots(cases);
}

TEST(BackupRoot, AbsoluteValueIsUsedUnchanged) {
  // Natively a /tmp path, under Wine its Z:\ form; both parents are missing.
  CheckRoots({{"<SCRATCH>" + std::string(1, Sep()) + "ABS" + Sep() + "PACK",
               "<SCRATCH>" + std::string(1, Sep()) + "ABS" + Sep() + "PACK",
               "<SCRATCH>/ABS/PACK"}});
}

TEST(BackupRoot, RegularFileInTheWayFailsBeforeAnyChange) {
  for (const std::string below : {"/FILE/SUB", "/FILE"}) {
    SCOPED_TRACE(below);
    PackSample sample;
    MakePackSample(PackRecipe(), &sample);
    const std::string file = sample.scratch.path + "/FILE";
    ASSERT_TRUE(WriteWholeFile(file, "not a directory"));
    const std::string root = HostPath(sample.scratch.path + below);
    const std::vector<std::string> args = {"/SEC=77", "/BACKUP=" + root};
    const auto before = LiveDatabase(sample);
    const std::string expected = ExpectedFailedRun(
        sample, args,
        ExpectedStaging(sample, kPackRetained) + kStagingPassTail + kBackupBanner +
            "ERROR: cannot create or access backup root: " + root + "\n",
        0);

    const RunResult run = RunWrite(sample, args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(NormaliseClock(run.out), expected);
    EXPECT_EQ(DiffTrees(before, LiveDatabase(sample)), "");
    std::string bytes;
    EXPECT_TRUE(ReadWholeFile(file, &bytes) && bytes == "not a directory");
  }
}

// Names of the backup directories of every second from `before` seconds ago to
// `after` seconds from now, as the program names them by local time.
std::vector<std::string> StampNamesAround(int before, int after) {
  std::vector<std::string> names;
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now - before; t <= now + after; ++t) {
    std::tm local{};
    localtime_r(&t, &local);
    char name[64];
    std::strftime(name, sizeof name, "QVCULLDB-%Y%m%d-%H%M%S", &local);
    names.push_back(name);
  }
  return names;
}

std::string Suffixed(const std::string& name, unsigned suffix) {
  char text[80];
  std::snprintf(text, sizeof text, "%s-%03u", name.c_str(), suffix);
  return text;
}

// The clock cannot be set, so the taken names are made for a window of seconds
// around the run; a run that started outside it tests nothing.
constexpr int kWindowBefore = 1;
constexpr int kWindowAfter = 20;

// One directory in an existing parent.
bool MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0; }

bool InWindow(const std::vector<std::string>& window, const RunResult& run) {
  return std::find(window.begin(), window.end(), "QVCULLDB-" + RunStamp(run)) != window.end();
}

TEST(BackupDirectory, TakenNameGetsTheFirstFreeSuffix) {
  PackSample sample;
  MakePackSample(PackRecipe(), &sample);
  const std::string root = sample.paths.home + "/QVCULLDB-BACKUPS";
  // What an earlier run in the same second leaves: the plain name.
  const std::vector<std::string> window = StampNamesAround(kWindowBefore, kWindowAfter);
  ASSERT_TRUE(MakeDirectories(root));
  for (const std::string& name : window) ASSERT_TRUE(MakeDirectory(root + "/" + name));
  const std::string expected =
      ExpectedPackTranscript(sample, kPackArgs, ShownBackupDir(root, "-001"));

  const RunResult run = RunWrite(sample, kPackArgs);
  ASSERT_TRUE(InWindow(window, run)) << "the run started outside the prepared seconds";
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(NormaliseClock(run.out), expected);
  const std::string name = "QVCULLDB-" + RunStamp(run);
  EXPECT_TRUE(FileExists(root + "/" + Suffixed(name, 1) + "/MANIFEST.TXT"));
  EXPECT_EQ(ListDirectory(root + "/" + name), std::vector<std::string>{});  // never reused
  EXPECT_EQ(ListDirectory(root).size(), window.size() + 1);
}

// Takes the names plain .. -<last> of every second of the window beneath root:
// the plain name as a directory, as an earlier run leaves it, the suffixed
// names as hard links to one empty file, which any entry of the name does as
// well and which is far quicker to make than a thousand directories a second.
bool TakeNames(const std::string& root, const std::string& holder,
               const std::vector<std::string>& window, unsigned last) {
  if (!MakeDirectories(root) || (!FileExists(holder) && !WriteWholeFile(holder, ""))) return false;
  for (const std::string& name : window) {
    if (!IsDirectory(root + "/" + name) && !MakeDirectory(root + "/" + name)) return false;
    for (unsigned suffix = 1; suffix <= last; ++suffix) {
      const std::string path = root + "/" + Suffixed(name, suffix);
      if (::link(holder.c_str(), path.c_str()) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

TEST(BackupDirectory, LastSuffixIsUsedAndThenTheRunFails) {
  ScratchDir shared;
  ASSERT_TRUE(EnsureWineReady());
  const std::string root = shared.path + "/ROOT";
  const std::string holder = shared.path + "/name-holder";
  const std::vector<std::string> args = {"/SEC=77", "/BACKUP=" + HostPath(root)};
  const std::vector<std::string> window = StampNamesAround(kWindowBefore, kWindowAfter);
  ASSERT_TRUE(TakeNames(root, holder, window, 998));

  PackSample last;
  MakePackSample(PackRecipe(), &last);
  const std::string expectedLast = ExpectedPackTranscript(last, args, ShownBackupDir(root, "-999"));
  const RunResult lastRun = RunWrite(last, args);
  ASSERT_TRUE(InWindow(window, lastRun)) << "the run started outside the prepared seconds";
  EXPECT_EQ(lastRun.exitCode, 0);
  EXPECT_EQ(NormaliseClock(lastRun.out), expectedLast);
  EXPECT_TRUE(FileExists(root + "/" + Suffixed("QVCULLDB-" + RunStamp(lastRun), 999) +
                         "/MANIFEST.TXT"));

  ASSERT_TRUE(TakeNames(root, holder, window, 999));
  PackSample full;
  MakePackSample(PackRecipe(), &full);
  const auto before = LiveDatabase(full);
  const std::string expectedFull = ExpectedFailedRun(
      full, args,
      ExpectedStaging(full, kPackRetained) + kStagingPassTail + kBackupBanner +
          "ERROR: cannot create timestamped backup directory tree under " + HostPath(root) + ".\n",
      0);
  const RunResult fullRun = RunWrite(full, args);
  ASSERT_TRUE(InWindow(window, fullRun)) << "the run started outside the prepared seconds";
  EXPECT_EQ(fullRun.exitCode, 2);
  EXPECT_EQ(NormaliseClock(fullRun.out), expectedFull);
  EXPECT_EQ(DiffTrees(before, LiveDatabase(full)), "");
  EXPECT_EQ(ListDirectory(root).size(), 1000 * window.size());
}

}  // namespace
