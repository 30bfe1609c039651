// Last-call dates: the accepted TimeDate forms, the calendar check and ages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "userdb/last_call_date.h"

namespace {

const int64_t kToday = DayNumber(2024, 3, 15);
const char* const kFuture = "future last-call date";

int64_t AgeOf(int year, int month, int day) { return kToday - DayNumber(year, month, day); }

TEST(DayNumber, DifferencesAcrossYearsAndLeapDays) {
  EXPECT_EQ(DayNumber(2000, 1, 1) - DayNumber(1970, 1, 1), 10957);
  EXPECT_EQ(DayNumber(2025, 1, 1) - DayNumber(2024, 1, 1), 366);
  EXPECT_EQ(DayNumber(2024, 1, 1) - DayNumber(2023, 1, 1), 365);
  EXPECT_EQ(DayNumber(2000, 3, 1) - DayNumber(2000, 2, 28), 2);
  EXPECT_EQ(DayNumber(1900, 3, 1) - DayNumber(1900, 2, 28), 1);
  EXPECT_EQ(DayNumber(2024, 3, 1) - DayNumber(2024, 2, 1), 29);
  EXPECT_EQ(DayNumber(2024, 1, 1) - DayNumber(2023, 12, 31), 1);
  EXPECT_EQ(DayNumber(2400, 1, 1) - DayNumber(2000, 1, 1), 146097);
  // January and February of year 0 compute in year -1: the era must round down.
  EXPECT_EQ(DayNumber(0, 3, 1) - DayNumber(0, 2, 28), 2);
  EXPECT_EQ(DayNumber(1, 1, 1) - DayNumber(0, 1, 1), 366);
  EXPECT_EQ(DayNumber(0, 1, 1) - DayNumber(-400, 1, 1), 146097);
  // The day-0 date that GetToday gives when the clock is unreadable is still a number.
  EXPECT_EQ(DayNumber(1900, 1, 1) - DayNumber(1900, 1, 0), 1);
}

TEST(ParseTimeDate, CalendarDatesUpToTodayAreValidAndLaterOnesFuture) {
  const struct {
    const char* text;
    int64_t age;
  } cases[] = {
      {"12/31/99", AgeOf(1999, 12, 31)},
      {"12/31/1999", AgeOf(1999, 12, 31)},
      {"01-02/2020", AgeOf(2020, 1, 2)},
      {"01/02-20", AgeOf(2020, 1, 2)},
      {"01/02/80", AgeOf(1980, 1, 2)},
      {"01/02/20xx", AgeOf(2020, 1, 2)},  // four-digit form fails, two-digit form applies
      {"01/02/2020 old", AgeOf(2020, 1, 2)},  // text after the year is ignored
      {"01/02/99.....", AgeOf(1999, 1, 2)},
      {"02/29/2000", AgeOf(2000, 2, 29)},
      {"02/29/2024", AgeOf(2024, 2, 29)},
      {"01/01/1600", AgeOf(1600, 1, 1)},
      {"03/15/2024", 0},
      {"03/16/2024", -1},
      {"01/01/79", AgeOf(2079, 1, 1)},  // two-digit years below 80 are 20xx
  };
  for (const auto& c : cases) {
    const LastCallDate date = ParseTimeDate(c.text, kToday);
    EXPECT_EQ(date.valid, c.age >= 0) << c.text;
    EXPECT_EQ(date.future, c.age < 0) << c.text;
    EXPECT_EQ(date.age, c.age) << c.text;
    EXPECT_STREQ(date.reason, c.age < 0 ? kFuture : "") << c.text;
  }
}

TEST(ParseTimeDate, RejectedTexts) {
  const std::pair<const char*, std::vector<const char*>> cases[] = {
      {"blank TimeDate", {""}},
      {"unrecognized date format", {"1/2/2020", "01.02.2020", "01/02/2", "01/02/9", "0102/2020",
                                    "01/02/x020", "..........", "01 02 2020"}},
      {"invalid calendar date", {"02/29/1900", "02/29/2023", "13/01/2020", "00/10/2020",
                                 "01/00/2020", "01/01/1599", "01/01/2400", "04/31/2020",
                                 "01/32/2020", "99/99/99"}},
  };
  for (const auto& [reason, texts] : cases) {
    for (const char* text : texts) {
      const LastCallDate date = ParseTimeDate(text, kToday);
      EXPECT_FALSE(date.valid) << text;
      EXPECT_FALSE(date.future) << text;
      EXPECT_STREQ(date.reason, reason) << text;
    }
  }
}

}  // namespace
