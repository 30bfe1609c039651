// Last-call dates: the accepted TimeDate forms, the calendar check and ages.
#include <gtest/gtest.h>

#include <string>

#include "userdb/last_call_date.h"

namespace {

const int64_t kToday = DayNumber(2024, 3, 15);

int64_t AgeOf(int year, int month, int day) {
  return kToday - DayNumber(year, month, day);
}

void ExpectValid(const char* text, int year, int month, int day) {
  const LastCallDate date = ParseTimeDate(text, kToday);
  EXPECT_TRUE(date.valid) << text;
  EXPECT_FALSE(date.future) << text;
  EXPECT_EQ(date.age, AgeOf(year, month, day)) << text;
  EXPECT_STREQ(date.reason, "") << text;
}

void ExpectRejected(const char* text, const char* reason) {
  const LastCallDate date = ParseTimeDate(text, kToday);
  EXPECT_FALSE(date.valid) << text;
  EXPECT_FALSE(date.future) << text;
  EXPECT_STREQ(date.reason, reason) << text;
}

}  // namespace

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

TEST(ParseTimeDate, AcceptedForms) {
  ExpectValid("12/31/99", 1999, 12, 31);
  ExpectValid("12/31/1999", 1999, 12, 31);
  ExpectValid("01-02/2020", 2020, 1, 2);
  ExpectValid("01/02-20", 2020, 1, 2);
  ExpectValid("01/02/80", 1980, 1, 2);
  ExpectValid("01/02/20xx", 2020, 1, 2);    // four-digit form fails, two-digit form applies
  ExpectValid("01/02/2020 old", 2020, 1, 2);  // text after the year is ignored
  ExpectValid("01/02/99.....", 1999, 1, 2);
  ExpectValid("02/29/2000", 2000, 2, 29);
  ExpectValid("02/29/2024", 2024, 2, 29);
  ExpectValid("01/01/1600", 1600, 1, 1);
  ExpectValid("12/31/1999", 1999, 12, 31);
}

TEST(ParseTimeDate, TodayAndFuture) {
  const LastCallDate today = ParseTimeDate("03/15/2024", kToday);
  EXPECT_TRUE(today.valid);
  EXPECT_EQ(today.age, 0);

  const LastCallDate tomorrow = ParseTimeDate("03/16/2024", kToday);
  EXPECT_FALSE(tomorrow.valid);
  EXPECT_TRUE(tomorrow.future);
  EXPECT_EQ(tomorrow.age, -1);
  EXPECT_STREQ(tomorrow.reason, "future last-call date");

  const LastCallDate year2079 = ParseTimeDate("01/01/79", kToday);
  EXPECT_TRUE(year2079.future);
  EXPECT_FALSE(year2079.valid);
  EXPECT_EQ(year2079.age, AgeOf(2079, 1, 1));
  EXPECT_STREQ(year2079.reason, "future last-call date");
}

TEST(ParseTimeDate, UnrecognizedAndBlank) {
  ExpectRejected("", "blank TimeDate");
  ExpectRejected("1/2/2020", "unrecognized date format");
  ExpectRejected("01.02.2020", "unrecognized date format");
  ExpectRejected("01/02/2", "unrecognized date format");
  ExpectRejected("01/02/9", "unrecognized date format");
  ExpectRejected("0102/2020", "unrecognized date format");
  ExpectRejected("01/02/x020", "unrecognized date format");
  ExpectRejected("..........", "unrecognized date format");
  ExpectRejected("01 02 2020", "unrecognized date format");
}

TEST(ParseTimeDate, CalendarCheck) {
  for (const char* text : {"02/29/1900", "02/29/2023", "13/01/2020", "00/10/2020", "01/00/2020",
                           "01/01/1599", "01/01/2400", "04/31/2020", "01/32/2020", "99/99/99"}) {
    ExpectRejected(text, "invalid calendar date");
  }
}

TEST(GetToday, GivesACalendarDate) {
  const CalendarDate today = GetToday();
  EXPECT_GE(today.year, 2020);
  EXPECT_GE(today.month, 1);
  EXPECT_LE(today.month, 12);
  EXPECT_GE(today.day, 1);
  EXPECT_LE(today.day, 31);
}
