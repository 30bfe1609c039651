// The user database's pure logic: record fields and display text, last-call
// dates, the selection rule table and the candidate profile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "userdb/last_call_date.h"
#include "userdb/purge_scan.h"
#include "userdb/selection_profile.h"
#include "userdb/user_records.h"

namespace {

UserRecord User(unsigned char fill, unsigned nameLength, const char* name = "") {
  UserRecord record;
  std::memset(record.bytes, fill, sizeof record.bytes);
  record.bytes[0] = static_cast<unsigned char>(nameLength);
  std::memcpy(record.bytes + 1, name, std::strlen(name));
  return record;
}

UserPointerRecord PointerFrom(const UserRecord& record) {
  UserPointerRecord pointer;
  std::memcpy(pointer.bytes, record.bytes, sizeof pointer.bytes);
  return pointer;
}

std::string Shown(unsigned length, const unsigned char* chars, unsigned capacity) {
  char out[64];
  std::memset(out, 'X', sizeof out);
  DisplayText(PascalField{length, chars}, capacity, out);
  return out;
}

std::string Text(PascalField field) {
  return std::string(reinterpret_cast<const char*>(field.chars), field.length);
}

TEST(DisplayText, ControlBytesBecomeDotsAndLengthIsCappedAtTheCapacity) {
  const unsigned char chars[] = {'A', 0x07, 0x7F, 0xE9, '\t', 0x00, 0x1F, ' ', 0x80, 0xFF, 'z'};
  EXPECT_EQ(Shown(11, chars, 30), std::string("A..\xE9... \x80\xFFz"));
  EXPECT_EQ(Shown(0, chars, 30), "");
  EXPECT_EQ(Shown(3, chars, 30), "A..");
  const unsigned char area[40] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLM";
  EXPECT_EQ(Shown(255, area, 14), std::string(reinterpret_cast<const char*>(area), 14));
}

TEST(UserRecordFields, ReadAtTheirOffsets) {
  UserRecord record = User(0, 5, "Alice");
  record.bytes[31] = 4;
  std::memcpy(record.bytes + 32, "Home", 4);
  record.bytes[77] = 8;
  std::memcpy(record.bytes + 78, "01/02/03", 8);
  record.bytes[263] = 2;
  record.bytes[268] = 255;
  EXPECT_EQ(Text(UserName(record)), "Alice");
  EXPECT_EQ(Text(CallingFrom(record)), "Home");
  EXPECT_EQ(Text(TimeDate(record)), "01/02/03");
  EXPECT_EQ(AllowPurgeByte(record), 2u);
  EXPECT_EQ(DeletedByte(record), 255u);
  const UserPointerRecord pointer = PointerFrom(record);
  EXPECT_EQ(PointerName(pointer).length, 5u);
  EXPECT_EQ(PointerName(pointer).chars, pointer.bytes + 1);
  // Security is signed little-endian at 114.
  const int16_t levels[] = {-1, 10, -32768, 32767, 0x1234};
  for (const int16_t level : levels) {
    record.bytes[114] = static_cast<unsigned char>(level & 0xFF);
    record.bytes[115] = static_cast<unsigned char>((level >> 8) & 0xFF);
    EXPECT_EQ(Security(record), level);
  }
}

TEST(RecordsCorrespond, NamesCompareByLengthAndBytes) {
  const UserRecord user = User(0x11, 5, "Alice");
  UserPointerRecord pointer = PointerFrom(user);
  std::memset(pointer.bytes + 6, 0x55, 25);  // bytes after the name are not compared
  EXPECT_TRUE(RecordsCorrespond(user, pointer));
  UserPointerRecord other = pointer;
  other.bytes[1] = 'a';
  EXPECT_FALSE(RecordsCorrespond(user, other));
  other = pointer;
  other.bytes[0] = 4;
  EXPECT_FALSE(RecordsCorrespond(user, other));
  // A length past the 30 bytes of the name never corresponds, 30 does.
  EXPECT_FALSE(RecordsCorrespond(User('x', 31), PointerFrom(User('x', 31))));
  EXPECT_TRUE(RecordsCorrespond(User('x', 30), PointerFrom(User('x', 30))));
  UserPointerRecord empty = PointerFrom(User(0x33, 0));
  empty.bytes[1] = 0x44;
  EXPECT_TRUE(RecordsCorrespond(User(0x33, 0), empty));
}

const int64_t kToday = DayNumber(2024, 3, 15);
const char* const kFuture = "future last-call date";

int64_t AgeOf(int year, int month, int day) { return kToday - DayNumber(year, month, day); }

TEST(DayNumber, DifferencesAcrossYearsAndLeapDays) {
  EXPECT_EQ(DayNumber(2000, 1, 1) - DayNumber(1970, 1, 1), 10957);
  EXPECT_EQ(DayNumber(2025, 1, 1) - DayNumber(2024, 1, 1), 366);
  EXPECT_EQ(DayNumber(2024, 1, 1) - DayNumber(2023, 1, 1), 365);
  EXPECT_EQ(DayNumber(2000, 3, 1) - DayNumber(2000, 2, 28), 2);
  EXPECT_EQ(DayNumber(1900, 3, 1) - DayNumber(1900, 2, 28), 1);
  EXPECT_EQ(DayNumber(2024, 1, 1) - DayNumber(2023, 12, 31), 1);
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

TEST(CandidateProfile, AgeBandsAndTheirEdges) {
  using B = AgeBand;
  const std::pair<LastCallDate, AgeBand> cases[] = {
      {Age(0), B::UnderOneYear},        {Age(364), B::UnderOneYear},
      {Age(365), B::OneToTwoYears},     {Age(729), B::OneToTwoYears},
      {Age(730), B::TwoToFiveYears},    {Age(1824), B::TwoToFiveYears},
      {Age(1825), B::OverFiveYears},    {Age(400, false), B::NoValidDate},
      {Age(-1, false), B::NoValidDate}};
  for (const auto& [lastCall, band] : cases) EXPECT_EQ(AgeBandOf(lastCall), band) << lastCall.age;
}

// The reason groups a candidate can fall in (Deleted 1, /SEC 2, /OLD 4) under each rule set.
TEST(CandidateProfile, ReasonGroupsPossibleUnderTheRules) {
  const std::pair<RunOptions, std::vector<unsigned>> cases[] = {
      {Options(-1, -1), {1}},        {Options(-1, -1, false, true), {1}},
      {Options(10, -1), {1, 2, 3}},  {Options(-1, 30), {1, 4, 5}},
      {Options(10, 30), {1, 2, 3, 4, 5, 6, 7}}, {Options(10, 30, true), {1, 6, 7}}};
  for (const auto& [options, expected] : cases) {
    std::vector<unsigned> possible;
    for (unsigned reasons = 0; reasons <= kReasonGroups; ++reasons) {
      if (ReasonGroupPossible(options, reasons)) possible.push_back(reasons);
    }
    EXPECT_EQ(possible, expected);
  }
}

// Candidates in user order, the ones of the given security levels: "number:security" of the
// top list, which keeps the ten highest, ties in user order. Every level has its own counter.
std::string TopListOf(const std::vector<int>& securities) {
  auto profile = std::make_unique<SelectionProfile>();
  for (size_t i = 0; i < securities.size(); ++i) {
    ProfiledUser user = {i + 1, static_cast<int16_t>(securities[i]), "", ""};
    NoteCandidate(profile.get(), user, kReasonDeleted, Age(0));
  }
  std::string list;
  for (unsigned i = 0; i < profile->topCount; ++i) {
    list += (i ? " " : "") + std::to_string(profile->top[i].number) + ":" +
            std::to_string(profile->top[i].security);
  }
  for (const int security : securities) {
    EXPECT_EQ(profile->bySecurity[security - kLowestSecurity],
              std::count(securities.begin(), securities.end(), security));
  }
  EXPECT_EQ(profile->candidates, securities.size());
  return list;
}

TEST(CandidateProfile, TopTen) {
  EXPECT_EQ(TopListOf({}), "");
  EXPECT_EQ(TopListOf({10, 20, 10, 30, 20}), "4:30 2:20 5:20 1:10 3:10");
  // An eleventh of the lowest level stays out; a late higher one pushes the last lowest out.
  EXPECT_EQ(TopListOf(std::vector<int>(11, 5)), "1:5 2:5 3:5 4:5 5:5 6:5 7:5 8:5 9:5 10:5");
  EXPECT_EQ(TopListOf({9, 9, 9, 9, 9, 9, 9, 9, 9, 3, 3, 4}),
            "1:9 2:9 3:9 4:9 5:9 6:9 7:9 8:9 9:9 12:4");
  EXPECT_EQ(TopListOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 250}),
            "11:250 10:10 9:9 8:8 7:7 6:6 5:5 4:4 3:3 2:2");
  EXPECT_EQ(TopListOf({-32768, 32767, -1}), "2:32767 3:-1 1:-32768");
}

}  // namespace
