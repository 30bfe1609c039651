// Today's date, day numbers and the last-call date kept as text in TimeDate.
#include "userdb/last_call_date.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsDateSeparator(char c) {
  return c == '/' || c == '-';
}

int TwoDigits(const char* text) {
  return (text[0] - '0') * 10 + (text[1] - '0');
}

// Month and day as "mm?dd?" with a separator at 2 and 5; the year digits are
// checked by the caller.
bool MatchesMonthDay(const char* text) {
  return IsDigit(text[0]) && IsDigit(text[1]) && IsDateSeparator(text[2]) &&
         IsDigit(text[3]) && IsDigit(text[4]) && IsDateSeparator(text[5]);
}

bool MatchFourDigitYear(const char* text, CalendarDate* date) {
  if (!MatchesMonthDay(text)) return false;
  for (int i = 6; i < 10; ++i) {
    if (!IsDigit(text[i])) return false;
  }
  date->month = TwoDigits(text);
  date->day = TwoDigits(text + 3);
  date->year = TwoDigits(text + 6) * 100 + TwoDigits(text + 8);
  return true;
}

// Two-digit years 00-79 are this century, 80-99 the last one.
bool MatchTwoDigitYear(const char* text, CalendarDate* date) {
  if (!MatchesMonthDay(text) || !IsDigit(text[6]) || !IsDigit(text[7])) return false;
  const int yy = TwoDigits(text + 6);
  date->month = TwoDigits(text);
  date->day = TwoDigits(text + 3);
  date->year = yy < 80 ? 2000 + yy : 1900 + yy;
  return true;
}

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[month - 1];
}

bool IsCalendarDate(const CalendarDate& date) {
  if (date.year < 1600 || date.year >= 2400) return false;
  if (date.month < 1 || date.month > 12) return false;
  return date.day >= 1 && date.day <= DaysInMonth(date.year, date.month);
}

void SetReason(LastCallDate* result, const char* reason) {
  std::snprintf(result->reason, sizeof result->reason, "%s", reason);
}

}  // namespace

CalendarDate GetToday() {
  const time_t now = time(nullptr);
  struct tm broken = {};
  const struct tm* local = localtime(&now);
  if (local != nullptr) broken = *local;
  return CalendarDate{broken.tm_year + 1900, broken.tm_mon + 1, broken.tm_mday};
}

int64_t DayNumber(int year, int month, int day) {
  const int64_t y = month <= 2 ? int64_t{year} - 1 : int64_t{year};
  const int64_t shiftedMonth = month <= 2 ? month + 9 : month - 3;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yearOfEra = y - era * 400;
  const int64_t dayOfYear = (153 * shiftedMonth + 2) / 5 + day - 1;
  const int64_t dayOfEra = 365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra;
}

LastCallDate ParseTimeDate(const char* text, int64_t todayDayNumber) {
  LastCallDate result = {};
  const size_t length = std::strlen(text);
  if (length == 0) {
    SetReason(&result, "blank TimeDate");
    return result;
  }
  CalendarDate date = {};
  bool matched = length >= 10 && MatchFourDigitYear(text, &date);
  if (!matched) matched = length >= 8 && MatchTwoDigitYear(text, &date);
  if (!matched) {
    SetReason(&result, "unrecognized date format");
    return result;
  }
  if (!IsCalendarDate(date)) {
    SetReason(&result, "invalid calendar date");
    return result;
  }
  result.age = todayDayNumber - DayNumber(date.year, date.month, date.day);
  if (result.age < 0) {
    result.future = true;
    SetReason(&result, "future last-call date");
  } else {
    result.valid = true;
  }
  return result;
}
