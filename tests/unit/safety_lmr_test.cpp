// The LMR inventory: name check, order, the 512-file and path limits, and the
// capacity boundary.
#include <cstring>
#include <set>
#include <string>

#include "safety/lmr_inventory.h"
#include "unit_test_support.h"

namespace {

class LmrTest : public ScratchReportTest {
 protected:
  void SetUp() override {
    ScratchReportTest::SetUp();
    ASSERT_TRUE(AllocateLmrInventory(&inventory_));
  }
  void TearDown() override {
    FreeLmrInventory(&inventory_);
    ScratchReportTest::TearDown();
  }

  std::string Name(uint32_t i) const { return inventory_.entries[i].name; }

  LmrInventory inventory_ = {};
  RunCounters counters_ = {};
};

TEST(LmrNameTest, AcceptsOnlyQvmsgDigitsLmr) {
  for (const char* name : {"QVMSG1.LMR", "qvmsg01.lmr", "QvMsG7.lMr", "QVMSG1234567.LMR"}) {
    EXPECT_TRUE(IsLmrFileName(name)) << name;
  }
  for (const char* name : {"QVMSG.LMR", "QVMSG12345678.LMR", "QVMSG1A.LMR", "QVMSGX1.LMR",
                           "QVMSG1.LMRX", "XQVMSG1.LMR", "QVMSG1.LMQ",
                           "QVMSG\xB2.LMR"}) {
    EXPECT_FALSE(IsLmrFileName(name)) << name;
  }
}

TEST_F(LmrTest, RecordsAcceptedFilesInNameOrder) {
  WriteBytes(Path("QVMSG2.LMR"), std::string(8, 'b'));
  WriteBytes(Path("QVMSG10.LMR"), std::string(12, 'c'));
  WriteBytes(Path("qvmsg1.lmr"), std::string(7, 'a'));
  WriteBytes(Path("QVMSG1A.LMR"), "x");
  WriteBytes(Path("QVMSG.LMR"), "x");
  WriteBytes(Path("QVMSG12345678.LMR"), "x");
  WriteBytes(Path("OTHER.DAT"), "x");
  std::filesystem::create_directory(Path("QVMSG5.LMR"));

  ASSERT_TRUE(BuildLmrInventory(dir_.c_str(), &inventory_, &counters_));
  ASSERT_EQ(inventory_.count, 3u);
  EXPECT_EQ(Name(0), "qvmsg1.lmr");
  EXPECT_EQ(Name(1), "QVMSG10.LMR");
  EXPECT_EQ(Name(2), "QVMSG2.LMR");
  EXPECT_EQ(counters_.errors, 0u);
  EXPECT_EQ(TakeOutput(), "");  // skipped entries are not reported

  const LmrFileEntry& first = inventory_.entries[0];
  EXPECT_EQ(std::string(first.path), Path("qvmsg1.lmr"));
  EXPECT_EQ(first.size, 7u);
  EXPECT_EQ(first.slotCount, 1u);
  EXPECT_EQ(first.remainder, 3u);
  EXPECT_EQ(first.liveSnapshot.ok, 1u);
  EXPECT_EQ(first.liveSnapshot.size, 7u);
  EXPECT_EQ(std::string(first.liveSnapshot.path), Path("qvmsg1.lmr"));
  EXPECT_TRUE(SnapshotMatches(&first.liveSnapshot));
  EXPECT_EQ(first.stagedPath[0], '\0');
  EXPECT_EQ(first.stagedSnapshot.ok, 0u);
  EXPECT_EQ(inventory_.entries[2].slotCount, 2u);
  EXPECT_EQ(inventory_.entries[2].remainder, 0u);
}

TEST_F(LmrTest, NamesDifferingOnlyInCaseKeepAFixedOrder) {
  WriteBytes(Path("qvmsg1.lmr"), "");
  WriteBytes(Path("QVMSG1.LMR"), "");
  WriteBytes(Path("QVmsg1.LMR"), "");
  ASSERT_TRUE(BuildLmrInventory(dir_.c_str(), &inventory_, &counters_));
  ASSERT_EQ(inventory_.count, 3u);
  EXPECT_EQ(Name(0), "QVMSG1.LMR");
  EXPECT_EQ(Name(1), "QVmsg1.LMR");
  EXPECT_EQ(Name(2), "qvmsg1.lmr");
}

TEST_F(LmrTest, FiveHundredTwelveFilesFitAndTheNextFails) {
  for (int i = 1; i <= 512; ++i) WriteBytes(Path("QVMSG" + std::to_string(i) + ".LMR"), "");
  ASSERT_TRUE(BuildLmrInventory(dir_.c_str(), &inventory_, &counters_));
  EXPECT_EQ(inventory_.count, 512u);
  EXPECT_EQ(Name(0), "QVMSG1.LMR");
  EXPECT_EQ(Name(1), "QVMSG10.LMR");
  EXPECT_EQ(Name(511), "QVMSG99.LMR");
  EXPECT_EQ(counters_.errors, 0u);

  WriteBytes(Path("QVMSG513.LMR"), "");
  EXPECT_FALSE(BuildLmrInventory(dir_.c_str(), &inventory_, &counters_));
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_EQ(inventory_.count, 512u);

  // The failing entry is the one the search returned 513th: none of those recorded.
  const std::string output = TakeOutput();
  const std::string prefix = "ERROR: failed while recording LMR file ";
  ASSERT_EQ(output.compare(0, prefix.size(), prefix), 0) << output;
  ASSERT_GE(output.size(), prefix.size() + 2);
  ASSERT_EQ(output.substr(output.size() - 2), ".\n");
  const std::string named = output.substr(prefix.size(), output.size() - prefix.size() - 2);
  EXPECT_TRUE(IsLmrFileName(named.c_str())) << named;
  std::set<std::string> recorded;
  for (uint32_t i = 0; i < inventory_.count; ++i) recorded.insert(Name(i));
  EXPECT_EQ(recorded.size(), 512u);
  EXPECT_EQ(recorded.count(named), 0u);
  EXPECT_TRUE(Exists(Path(named)));
}

TEST_F(LmrTest, OverlongPathsFail) {
  // Room for the directory but not for "/QVMSG*.LMR".
  const std::string longDir(1015, 'd');
  EXPECT_FALSE(BuildLmrInventory(longDir.c_str(), &inventory_, &counters_));
  EXPECT_EQ(TakeOutput(), "ERROR: LMR search path is too long.\n");
  EXPECT_EQ(counters_.errors, 1u);

  // A 1012-character directory: QVMSG1.LMR makes a path of exactly 1023
  // characters, QVMSG10.LMR one character too many.
  std::string deep = dir_;
  while (deep.size() < 1012) {
    const size_t room = 1012 - deep.size() - 1;
    deep += "/" + std::string(room < 250 ? room : 250, 's');
    ASSERT_TRUE(std::filesystem::create_directory(deep));
  }
  ASSERT_EQ(deep.size(), 1012u);
  WriteBytes(deep + "/QVMSG1.LMR", "1234");
  ASSERT_TRUE(BuildLmrInventory(deep.c_str(), &inventory_, &counters_));
  ASSERT_EQ(inventory_.count, 1u);
  EXPECT_EQ(strlen(inventory_.entries[0].path), 1023u);
  EXPECT_EQ(inventory_.entries[0].liveSnapshot.ok, 1u);

  WriteBytes(deep + "/QVMSG10.LMR", "1234");
  EXPECT_FALSE(BuildLmrInventory(deep.c_str(), &inventory_, &counters_));
  EXPECT_EQ(TakeOutput(), "ERROR: failed while recording LMR file QVMSG10.LMR.\n");
  EXPECT_EQ(counters_.errors, 2u);
}

// A file of exactly one slot per user is enough; one slot fewer is not.
TEST_F(LmrTest, CapacityMustHoldEveryUser) {
  WriteBytes(Path("QVMSG4.LMR"), std::string(476, '\0'));
  WriteBytes(Path("QVMSG5.LMR"), std::string(480, '\0'));
  ASSERT_TRUE(BuildLmrInventory(dir_.c_str(), &inventory_, &counters_));
  counters_.userRecords = 120;

  ReportLmrInventory(&inventory_, &counters_);
  EXPECT_EQ(TakeOutput(),
            "LMR files found:     2\n"
            "  QVMSG4.LMR       476 bytes = 119 x 4, remainder 0"
            "  ERROR: only 119 user slots; need at least 120\n"
            "  QVMSG5.LMR       480 bytes = 120 x 4, remainder 0"
            "  OK: capacity 120; current users occupy slots 1..120\n");
  EXPECT_EQ(counters_.errors, 1u);
  EXPECT_EQ(counters_.warnings, 0u);
}

}  // namespace
