// The two record formats of the user database. Fields are read from the raw
// bytes at fixed offsets (little-endian); the records themselves are carried
// byte for byte and never rewritten field by field.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned kUserRecordSize = 315;
constexpr unsigned kPointerRecordSize = 31;
constexpr unsigned kNameCapacity = 30;
constexpr unsigned kCallingFromCapacity = 30;
constexpr unsigned kTimeDateCapacity = 14;

// Byte offsets within a UserRecord.
constexpr unsigned kUserNameOffset = 0;
constexpr unsigned kCallingFromOffset = 31;
constexpr unsigned kTimeDateOffset = 77;
constexpr unsigned kSecurityOffset = 114;
constexpr unsigned kAllowPurgeOffset = 263;
constexpr unsigned kDeletedOffset = 268;

struct UserRecord {
  unsigned char bytes[kUserRecordSize];
};
struct UserPointerRecord {
  unsigned char bytes[kPointerRecordSize];
};

// A length-prefixed field: its length byte and its character area.
struct PascalField {
  unsigned length;
  const unsigned char* chars;
};

PascalField UserName(const UserRecord& record);
PascalField CallingFrom(const UserRecord& record);
PascalField TimeDate(const UserRecord& record);
int16_t Security(const UserRecord& record);
unsigned AllowPurgeByte(const UserRecord& record);
unsigned DeletedByte(const UserRecord& record);
PascalField PointerName(const UserPointerRecord& record);

// Display text of a field: at most capacity characters, bytes below 0x20 and
// 0x7F shown as '.'; out has capacity + 1 bytes.
void DisplayText(PascalField field, unsigned capacity, char* out);

// Both names at most 30 long, equal lengths, equal name bytes.
bool RecordsCorrespond(const UserRecord& user, const UserPointerRecord& pointer);

// The name of user userNo in the QVUSERS.DAT beside whosOnPath, quoted, or why
// it could not be read; for the caller check's refusal.
void NameUserBeside(const char* whosOnPath, int userNo, char* out, size_t size);
