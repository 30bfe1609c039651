// Files past 2 GiB and at 4 GiB, where a 32-bit build goes wrong first: an LMR
// file between 2 and 4 GiB is validated, hashed twice and previewed; a file of
// 4 GiB is refused with the program's own message and nothing changed. The
// files are grown sparse, so they cost no disk space.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "harness.h"

namespace {

constexpr uint64_t kPast2GiB = (uint64_t{1} << 31) + 4096;
constexpr uint64_t k4GiB = uint64_t{1} << 32;

struct LargeCase {
  const char* what;
  const char* grown;  // relative to the home directory
  uint64_t size;
  bool dryRun;
  int exitCode;
  std::vector<std::string> lines;  // each must appear in the transcript as a whole line
};

// Size and modification time of every database file, so that a 4 GiB file is compared
// without reading it.
std::map<std::string, std::string> StatTree(const std::string& home) {
  std::map<std::string, std::string> entries;
  for (const char* dir : {"", "WORK/", "MESSAGE/"}) {
    for (const std::string& name : ListDirectory(home + "/" + dir)) {
      struct stat st = {};
      // Directories change with the lock file; the report is the run's own.
      if (name == kReportName || ::stat((home + "/" + dir + name).c_str(), &st) != 0 ||
          !S_ISREG(st.st_mode)) {
        continue;
      }
      entries[dir + name] = std::to_string(st.st_size) + "@" + std::to_string(st.st_mtime);
    }
  }
  return entries;
}

TEST(LargeFiles, PastTwoGiBIsPreviewedAndFourGiBIsRefused) {
  const std::string lmrLine =
      "  QVMSG1.LMR       2147487744 bytes = 536871936 x 4, remainder 0  OK: capacity "
      "536871936; current users occupy slots 1..5";
  const std::vector<LargeCase> cases = {
      {"LMR past 2 GiB", "MESSAGE/QVMSG1.LMR", kPast2GiB, true, 1,
       {lmrLine, "Read-only snapshot verification: PASS - all inventoried database files are "
                 "unchanged."}},
      {"LMR of 4 GiB, preview", "MESSAGE/QVMSG1.LMR", k4GiB, true, 2,
       {"ERROR: failed while recording LMR file QVMSG1.LMR."}},
      {"LMR of 4 GiB, write run", "MESSAGE/QVMSG1.LMR", k4GiB, false, 2,
       {"ERROR: failed while recording LMR file QVMSG1.LMR."}},
      {"QVUSERS.DAT of 4 GiB", "WORK/QVUSERS.DAT", k4GiB, false, 2,
       {"ERROR: QVUSERS.DAT is too large for this 32-bit maintenance utility."}},
  };
  for (const LargeCase& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    const std::string home = scratch.path + "/home";
    SampleRecipe recipe;
    recipe.users = 5;
    recipe.conferences = 1;
    recipe.capacity = 10;
    recipe.deletedUsers = {2};
    std::string error;
    ASSERT_TRUE(WriteSampleBbs(home, recipe, &error)) << error;
    ASSERT_EQ(::truncate((home + "/" + c.grown).c_str(), static_cast<off_t>(c.size)), 0);
    const auto before = StatTree(home);

    const RunResult run = RunProgram(home, c.dryRun ? std::vector<std::string>{"/DRYRUN"}
                                                    : std::vector<std::string>{});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out;
    for (const std::string& line : c.lines) {
      EXPECT_NE(("\n" + run.out).find("\n" + line + "\n"), std::string::npos) << line << run.out;
    }
    EXPECT_EQ(StatTree(home), before);
  }
}

}  // namespace
