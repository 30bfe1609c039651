// QVWHOSON.DAT: size and presence checks, and which node slots count as callers.
#include <cstdint>
#include <string>

#include "safety/caller_status.h"
#include "unit_test_support.h"

namespace {

class CallersTest : public ScratchReportTest {
 protected:
  void SetUp() override {
    ScratchReportTest::SetUp();
    whosOn_ = Path("QVWHOSON.DAT");
    records_.assign(kWhosOnSize, '\0');
  }

  void SetSlot(unsigned slot, int16_t userNo, unsigned char mode) {
    const uint16_t bits = static_cast<uint16_t>(userNo);
    records_[6 * slot] = static_cast<char>(bits & 0xFF);
    records_[6 * slot + 1] = static_cast<char>(bits >> 8);
    records_[6 * slot + 2] = static_cast<char>(mode);
  }

  bool Check() {
    WriteBytes(whosOn_, records_);
    return CheckCallerStatus(whosOn_.c_str(), &counters_);
  }

  std::string SizeLine() const { return "Caller-status file:  " + whosOn_ + " (1536 bytes)\n"; }

  std::string whosOn_;
  std::string records_;
  RunCounters counters_ = {};
};

TEST_F(CallersTest, MissingFileOrDirectory) {
  EXPECT_FALSE(CheckCallerStatus(whosOn_.c_str(), &counters_));
  EXPECT_EQ(TakeOutput(), "SAFETY ERROR: QVWHOSON.DAT is missing: " + whosOn_ + "\n");
  EXPECT_EQ(counters_.errors, 1u);

  std::filesystem::create_directory(whosOn_);
  EXPECT_FALSE(CheckCallerStatus(whosOn_.c_str(), &counters_));
  EXPECT_EQ(TakeOutput(), "SAFETY ERROR: QVWHOSON.DAT is missing: " + whosOn_ + "\n");
  EXPECT_EQ(counters_.errors, 2u);
}

TEST_F(CallersTest, SizeMustBeExact) {
  for (size_t size : {size_t{1535}, size_t{1537}, size_t{0}}) {
    records_.assign(size, '\0');
    counters_.errors = 0;
    EXPECT_FALSE(Check());
    EXPECT_EQ(TakeOutput(),
              "Caller-status file:  " + whosOn_ + " (" + std::to_string(size) + " bytes)\n" +
                  "SAFETY ERROR: QVWHOSON.DAT must be exactly 1536 bytes (256 x 6-byte records).\n");
    EXPECT_EQ(counters_.errors, 1u);
  }
}

TEST_F(CallersTest, IdleNodesAreClear) {
  SetSlot(0, 5, 1);  // record 0 is no node
  EXPECT_TRUE(Check());
  EXPECT_EQ(TakeOutput(), SizeLine() + "Caller safety check: CLEAR\n");

  for (int16_t idle : {int16_t{0}, int16_t{-1}, int16_t{-32768}}) {
    for (unsigned slot = 0; slot < 256; ++slot) SetSlot(slot, idle, 0xFF);
    records_[6 * 7 + 3] = '\x7F';  // the bytes after Mode are not read
    EXPECT_TRUE(Check()) << idle;
    EXPECT_EQ(TakeOutput(), SizeLine() + "Caller safety check: CLEAR\n");
  }
  EXPECT_EQ(counters_.errors, 0u);
}

TEST_F(CallersTest, ActiveCallersAreListed) {
  SetSlot(255, 1, 0);
  EXPECT_FALSE(Check());
  EXPECT_EQ(TakeOutput(), SizeLine() +
                              "SAFETY ABORT: active Quorvex node record(s) found:\n"
                              "  Node slot 255: UserNo=1 Mode=0x00\n"
                              "QVCULLDB32 will not scan the user database while a caller may be "
                              "active.\n");
  EXPECT_EQ(counters_.errors, 1u);

  records_.assign(kWhosOnSize, '\0');
  SetSlot(7, 32767, 10);
  SetSlot(3, 258, 10);
  SetSlot(4, -2, 10);
  counters_.errors = 0;
  EXPECT_FALSE(Check());
  EXPECT_EQ(TakeOutput(), SizeLine() +
                              "SAFETY ABORT: active Quorvex node record(s) found:\n"
                              "  Node slot 3: UserNo=258 Mode=0x0A\n"
                              "  Node slot 7: UserNo=32767 Mode=0x0A\n"
                              "QVCULLDB32 will not scan the user database while a caller may be "
                              "active.\n");
  EXPECT_EQ(counters_.errors, 1u);
}

}  // namespace
