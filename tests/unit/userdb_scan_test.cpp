// The selection rule table.
#include <gtest/gtest.h>

#include "userdb/purge_scan.h"

namespace {

RunOptions Options(int sec, int old, bool andGiven, bool delOnly) {
  RunOptions options = {};
  if (sec >= 0) {
    options.secGiven = true;
    options.secValue = static_cast<uint32_t>(sec);
  }
  if (old >= 0) {
    options.oldGiven = true;
    options.oldDays = static_cast<uint32_t>(old);
  }
  options.andGiven = andGiven;
  options.delOnly = delOnly;
  return options;
}

LastCallDate ValidAge(int64_t age) {
  LastCallDate date = {};
  date.valid = true;
  date.age = age;
  return date;
}

LastCallDate NotValid(int64_t age, bool future) {
  LastCallDate date = {};
  date.future = future;
  date.age = age;
  return date;
}

}  // namespace

TEST(SelectReasons, Rules) {
  const RunOptions none = Options(-1, -1, false, false);
  const RunOptions sec10 = Options(10, -1, false, false);
  const RunOptions old30 = Options(-1, 30, false, false);
  const RunOptions orBoth = Options(10, 30, false, false);
  const RunOptions andBoth = Options(10, 30, true, false);
  const RunOptions delOnly = Options(-1, -1, false, true);
  const RunOptions secMax = Options(32767, -1, false, false);
  const RunOptions sec0 = Options(0, -1, false, false);
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
      {"no switch: deleted only", none, 10, true, false, ValidAge(400), 0},
      {"deleted without AllowPurge", none, 10, false, true, ValidAge(0), kReasonDeleted},
      {"/DEL ignores matches", delOnly, 10, true, false, ValidAge(400), 0},
      {"/DEL keeps deleted", delOnly, 10, false, true, ValidAge(0), kReasonDeleted},
      {"/SEC match", sec10, 10, true, false, ValidAge(0), kReasonSec},
      {"/SEC needs AllowPurge", sec10, 10, false, false, ValidAge(0), 0},
      {"/SEC other level", sec10, 11, true, false, ValidAge(0), 0},
      {"/SEC -1 vs 32767", secMax, -1, true, false, ValidAge(0), 0},
      {"/SEC -1 vs 0", sec0, -1, true, false, ValidAge(0), 0},
      {"/SEC 0", sec0, 0, true, false, ValidAge(0), kReasonSec},
      {"/OLD age 30", old30, 0, true, false, ValidAge(30), kReasonOld},
      {"/OLD age 29", old30, 0, true, false, ValidAge(29), 0},
      {"/OLD needs AllowPurge", old30, 0, false, false, ValidAge(300), 0},
      {"/OLD invalid date", old30, 0, true, false, NotValid(300, false), 0},
      {"/OLD future date", old30, 0, true, false, NotValid(-300, true), 0},
      {"OR sec only", orBoth, 10, true, false, ValidAge(1), kReasonSec},
      {"OR old only", orBoth, 9, true, false, ValidAge(31), kReasonOld},
      {"OR both", orBoth, 10, true, false, ValidAge(31), kBoth},
      {"AND sec only", andBoth, 10, true, false, ValidAge(1), 0},
      {"AND old only", andBoth, 9, true, false, ValidAge(31), 0},
      {"AND both", andBoth, 10, true, false, ValidAge(31), kBoth},
      {"AND deleted sec only", andBoth, 10, true, true, ValidAge(1), kReasonDeleted},
      {"AND deleted both", andBoth, 10, true, true, ValidAge(31), kReasonDeleted | kBoth},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SelectReasons(c.options, static_cast<int16_t>(c.security), c.allowPurge, c.deleted,
                            c.lastCall),
              c.expected)
        << c.what;
  }
}
