// The selection rule table.
#include <gtest/gtest.h>

#include <algorithm>

#include "userdb/purge_scan.h"

namespace {

// sec and old of -1: the switch is not given.
RunOptions Options(int sec, int old, bool andGiven = false, bool delOnly = false) {
  RunOptions options = {};
  options.secGiven = sec >= 0;
  options.secValue = static_cast<uint32_t>(std::max(sec, 0));
  options.oldGiven = old >= 0;
  options.oldDays = static_cast<uint32_t>(std::max(old, 0));
  options.andGiven = andGiven;
  options.delOnly = delOnly;
  return options;
}

// A last call age days ago; a date that is not valid is in the future when age is negative.
LastCallDate Age(int64_t age, bool valid = true) { return {valid, !valid && age < 0, age, ""}; }

}  // namespace

TEST(SelectReasons, Rules) {
  const RunOptions none = Options(-1, -1), delOnly = Options(-1, -1, false, true);
  const RunOptions sec10 = Options(10, -1), secMax = Options(32767, -1), sec0 = Options(0, -1);
  const RunOptions old30 = Options(-1, 30), orBoth = Options(10, 30);
  const RunOptions andBoth = Options(10, 30, true);
  const unsigned kBoth = kReasonSec | kReasonOld;
  const struct {
    const char* what;
    const RunOptions& options;
    int security;
    bool allowPurge;
    bool deleted;
    LastCallDate lastCall;
    unsigned expected;
  } cases[] = {
      {"no switch: deleted only", none, 10, true, false, Age(400), 0},
      {"deleted without AllowPurge", none, 10, false, true, Age(0), kReasonDeleted},
      {"/DEL ignores matches", delOnly, 10, true, false, Age(400), 0},
      {"/DEL keeps deleted", delOnly, 10, false, true, Age(0), kReasonDeleted},
      {"/SEC match", sec10, 10, true, false, Age(0), kReasonSec},
      {"/SEC needs AllowPurge", sec10, 10, false, false, Age(0), 0},
      {"/SEC other level", sec10, 11, true, false, Age(0), 0},
      {"/SEC -1 vs 32767", secMax, -1, true, false, Age(0), 0},
      {"/SEC -1 vs 0", sec0, -1, true, false, Age(0), 0},
      {"/SEC 0", sec0, 0, true, false, Age(0), kReasonSec},
      {"/OLD age 30", old30, 0, true, false, Age(30), kReasonOld},
      {"/OLD age 29", old30, 0, true, false, Age(29), 0},
      {"/OLD needs AllowPurge", old30, 0, false, false, Age(300), 0},
      {"/OLD invalid date", old30, 0, true, false, Age(300, false), 0},
      {"/OLD future date", old30, 0, true, false, Age(-300, false), 0},
      {"OR sec only", orBoth, 10, true, false, Age(1), kReasonSec},
      {"OR old only", orBoth, 9, true, false, Age(31), kReasonOld},
      {"OR both", orBoth, 10, true, false, Age(31), kBoth},
      {"AND sec only", andBoth, 10, true, false, Age(1), 0},
      {"AND old only", andBoth, 9, true, false, Age(31), 0},
      {"AND both", andBoth, 10, true, false, Age(31), kBoth},
      {"AND deleted sec only", andBoth, 10, true, true, Age(1), kReasonDeleted},
      {"AND deleted both", andBoth, 10, true, true, Age(31), kReasonDeleted | kBoth},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SelectReasons(c.options, static_cast<int16_t>(c.security), c.allowPurge, c.deleted,
                            c.lastCall),
              c.expected)
        << c.what;
  }
}
