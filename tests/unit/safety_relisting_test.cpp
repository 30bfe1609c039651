// MESSAGE listed again against the LMR inventory: a file added, removed or
// renamed since is found and named; other names and directories are not LMR files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "safety/lmr_inventory.h"

namespace {

void WriteFile(const std::string& path) {
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  fputs("\1\2\3\4", file);
  fclose(file);
}

TEST(RelistLmrFiles, NamesWhatChangedSinceTheInventory) {
  const struct {
    const char* name;
    void (*change)(const std::string& dir);
    LmrRelisting outcome;
    const char* named;
  } cases[] = {
      {"nothing", [](const std::string&) {}, LmrRelisting::Same, ""},
      {"other names", [](const std::string& d) {
         WriteFile(d + "/QVMSG1.LMR.QVCNEW");
         WriteFile(d + "/QVMSGX.LMR");
         ASSERT_EQ(mkdir((d + "/QVMSG7.LMR").c_str(), 0700), 0);
       }, LmrRelisting::Same, ""},
      {"added", [](const std::string& d) { WriteFile(d + "/QVMSG65.LMR"); },
       LmrRelisting::Appeared, "QVMSG65.LMR"},
      {"removed", [](const std::string& d) { ASSERT_EQ(remove((d + "/QVMSG2.LMR").c_str()), 0); },
       LmrRelisting::Gone, "QVMSG2.LMR"},
      {"renamed", [](const std::string& d) {
         ASSERT_EQ(rename((d + "/QVMSG2.LMR").c_str(), (d + "/QVMSG20.LMR").c_str()), 0);
       }, LmrRelisting::Appeared, "QVMSG20.LMR"},
      {"directory gone", [](const std::string& d) { std::filesystem::remove_all(d); },
       LmrRelisting::Gone, "QVMSG1.LMR"},
  };
  for (const auto& c : cases) {
    char pattern[] = "/tmp/qvrelistXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    WriteFile(dir + "/QVMSG1.LMR");
    WriteFile(dir + "/QVMSG2.LMR");
    LmrInventory inventory;
    RunCounters counters{};
    ASSERT_TRUE(AllocateLmrInventory(&inventory));
    ASSERT_TRUE(BuildLmrInventory(dir.c_str(), &inventory, &counters));
    c.change(dir);
    const LmrRelistResult relisted = RelistLmrFiles(&inventory);
    EXPECT_EQ(relisted.outcome, c.outcome) << c.name;
    EXPECT_EQ(std::string(relisted.name), c.named) << c.name;
    std::filesystem::remove_all(dir);
  }
}

}  // namespace
