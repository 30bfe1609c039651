// User and pointer records: field offsets, display text and correspondence.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

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
  EXPECT_EQ(Shown(40, area, 30), std::string(reinterpret_cast<const char*>(area), 30));
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

}  // namespace
