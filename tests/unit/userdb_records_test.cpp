// User and pointer records: field offsets, display text and correspondence.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "userdb/user_records.h"

namespace {

UserRecord FilledUser(unsigned char fill) {
  UserRecord record;
  std::memset(record.bytes, fill, sizeof record.bytes);
  return record;
}

void SetName(UserRecord* record, unsigned length, const char* chars) {
  record->bytes[0] = static_cast<unsigned char>(length);
  std::memcpy(record->bytes + 1, chars, std::strlen(chars));
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

}  // namespace

TEST(DisplayText, ControlBytesBecomeDotsHighBytesStay) {
  const unsigned char chars[] = {'A', 0x07, 0x7F, 0xE9, '\t', 0x00, 0x1F, ' ', 0x80, 0xFF, 'z'};
  EXPECT_EQ(Shown(11, chars, 30), std::string("A..\xE9... \x80\xFFz"));
  EXPECT_EQ(Shown(0, chars, 30), "");
  EXPECT_EQ(Shown(3, chars, 30), "A..");
}

TEST(DisplayText, LengthAboveCapacityShowsTheWholeArea) {
  unsigned char area[40];
  for (unsigned i = 0; i < sizeof area; ++i) area[i] = static_cast<unsigned char>('a' + i % 26);
  const std::string shown = Shown(40, area, 30);
  EXPECT_EQ(shown.size(), 30u);
  EXPECT_EQ(shown, std::string(reinterpret_cast<const char*>(area), 30));
  EXPECT_EQ(Shown(255, area, 14).size(), 14u);
}

TEST(UserRecordFields, ReadAtTheirOffsets) {
  UserRecord record = FilledUser(0);
  SetName(&record, 5, "Alice");
  record.bytes[31] = 4;
  std::memcpy(record.bytes + 32, "Home", 4);
  record.bytes[77] = 8;
  std::memcpy(record.bytes + 78, "01/02/03", 8);
  record.bytes[263] = 2;
  record.bytes[268] = 255;

  EXPECT_EQ(UserName(record).length, 5u);
  EXPECT_EQ(std::memcmp(UserName(record).chars, "Alice", 5), 0);
  EXPECT_EQ(CallingFrom(record).length, 4u);
  EXPECT_EQ(std::memcmp(CallingFrom(record).chars, "Home", 4), 0);
  EXPECT_EQ(TimeDate(record).length, 8u);
  EXPECT_EQ(std::memcmp(TimeDate(record).chars, "01/02/03", 8), 0);
  EXPECT_EQ(AllowPurgeByte(record), 2u);
  EXPECT_EQ(DeletedByte(record), 255u);

  const UserPointerRecord pointer = PointerFrom(record);
  EXPECT_EQ(PointerName(pointer).length, 5u);
  EXPECT_EQ(PointerName(pointer).chars, pointer.bytes + 1);
}

TEST(UserRecordFields, SecurityIsSignedLittleEndian) {
  UserRecord record = FilledUser(0xAA);
  const struct {
    unsigned char low, high;
    int16_t expected;
  } cases[] = {{0xFF, 0xFF, -1}, {0x0A, 0x00, 10}, {0x00, 0x80, -32768}, {0xFF, 0x7F, 32767},
               {0x34, 0x12, 0x1234}};
  for (const auto& c : cases) {
    record.bytes[114] = c.low;
    record.bytes[115] = c.high;
    EXPECT_EQ(Security(record), c.expected);
  }
}

TEST(RecordsCorrespond, NamesCompareByLengthAndBytes) {
  UserRecord user = FilledUser(0x11);
  SetName(&user, 5, "Alice");
  UserPointerRecord pointer = PointerFrom(user);
  EXPECT_TRUE(RecordsCorrespond(user, pointer));

  // Bytes after the name are not compared.
  std::memset(pointer.bytes + 6, 0x55, 25);
  EXPECT_TRUE(RecordsCorrespond(user, pointer));

  UserPointerRecord caseDiffers = pointer;
  caseDiffers.bytes[1] = 'a';
  EXPECT_FALSE(RecordsCorrespond(user, caseDiffers));

  UserPointerRecord lengthDiffers = pointer;
  lengthDiffers.bytes[0] = 4;
  EXPECT_FALSE(RecordsCorrespond(user, lengthDiffers));

  UserRecord tooLong = FilledUser('x');
  tooLong.bytes[0] = 31;
  EXPECT_FALSE(RecordsCorrespond(tooLong, PointerFrom(tooLong)));

  UserRecord full = FilledUser('x');
  full.bytes[0] = 30;
  EXPECT_TRUE(RecordsCorrespond(full, PointerFrom(full)));

  UserRecord empty = FilledUser(0x33);
  empty.bytes[0] = 0;
  UserPointerRecord emptyPointer = PointerFrom(empty);
  emptyPointer.bytes[1] = 0x44;
  EXPECT_TRUE(RecordsCorrespond(empty, emptyPointer));
}
