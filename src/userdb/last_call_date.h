// Dates: today's local date, day numbers and the TimeDate field's last-call date.
#pragma once

#include <cstdint>

struct CalendarDate {
  int year;
  int month;
  int day;
};

// The local calendar date now (year 1900, month 1, day 0 when unavailable).
CalendarDate GetToday();

// Day count on the proleptic Gregorian calendar; only differences are used.
int64_t DayNumber(int year, int month, int day);

struct LastCallDate {
  bool valid;    // a calendar date not after today
  bool future;   // a calendar date after today
  int64_t age;   // days from the date to today, for every calendar date
  char reason[96];  // why not valid; empty when valid
};

// Parses a TimeDate display text (month first, '/' or '-', 2- or 4-digit year).
LastCallDate ParseTimeDate(const char* text, int64_t todayDayNumber);
