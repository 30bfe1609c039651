// Field access on the raw bytes of user and pointer records.
#include "userdb/user_records.h"

#include <cstdio>
#include <cstring>

#include "base/output.h"
#include "base/paths.h"
#include "platform/platform.h"

namespace {

PascalField FieldAt(const unsigned char* bytes, unsigned offset) {
  return PascalField{bytes[offset], bytes + offset + 1};
}

bool IsShownAsDot(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

}  // namespace

PascalField UserName(const UserRecord& record) {
  return FieldAt(record.bytes, kUserNameOffset);
}

PascalField CallingFrom(const UserRecord& record) {
  return FieldAt(record.bytes, kCallingFromOffset);
}

PascalField TimeDate(const UserRecord& record) {
  return FieldAt(record.bytes, kTimeDateOffset);
}

int16_t Security(const UserRecord& record) {
  // Assembled from the two little-endian bytes, then taken as two's complement.
  const unsigned low = record.bytes[kSecurityOffset];
  const unsigned high = record.bytes[kSecurityOffset + 1];
  return static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
}

unsigned AllowPurgeByte(const UserRecord& record) {
  return record.bytes[kAllowPurgeOffset];
}

unsigned DeletedByte(const UserRecord& record) {
  return record.bytes[kDeletedOffset];
}

PascalField PointerName(const UserPointerRecord& record) {
  return FieldAt(record.bytes, 0);
}

void DisplayText(PascalField field, unsigned capacity, char* out) {
  const unsigned count = field.length < capacity ? field.length : capacity;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned char c = field.chars[i];
    out[i] = IsShownAsDot(c) ? '.' : static_cast<char>(c);
  }
  out[count] = '\0';
}

bool RecordsCorrespond(const UserRecord& user, const UserPointerRecord& pointer) {
  const PascalField userName = UserName(user);
  const PascalField pointerName = PointerName(pointer);
  if (userName.length > kNameCapacity || pointerName.length > kNameCapacity) return false;
  if (userName.length != pointerName.length) return false;
  return std::memcmp(userName.chars, pointerName.chars, userName.length) == 0;
}

void NameUserBeside(const char* whosOnPath, int userNo, char* out, size_t size) {
  PathBuffer work;
  PathBuffer usersDat;
  FILE* stream = nullptr;
  if (!ParentDirectory(whosOnPath, &work) || !JoinPath(&usersDat, work.text, "QVUSERS.DAT") ||
      platform::OpenRegularForReading(usersDat.text, &stream) != 0) {
    FormatBounded(out, size, "(QVUSERS.DAT not read)");
    return;
  }
  UserRecord record;
  const long offset = static_cast<long>(userNo - 1) * static_cast<long>(kUserRecordSize);
  const bool read = fseek(stream, offset, SEEK_SET) == 0 &&
                    fread(record.bytes, 1, sizeof record.bytes, stream) == sizeof record.bytes;
  fclose(stream);
  if (!read) {
    FormatBounded(out, size, "(no such user record)");
    return;
  }
  char shown[kNameCapacity + 1];
  DisplayText(UserName(record), kNameCapacity, shown);
  FormatBounded(out, size, "'%s'", shown);
}
