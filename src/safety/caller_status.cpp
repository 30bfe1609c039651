// QVWHOSON.DAT: one 6-byte record per node (UserNo int16 LE, Mode byte, 3 bytes
// not read). A pack never runs while any node slot 1..255 shows a caller.
#include "safety/caller_status.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>

#include "base/output.h"
#include "base/paths.h"
#include "platform/platform.h"
#include "safety/file_snapshot.h"
#include "userdb/user_records.h"

namespace {

constexpr unsigned kNodeRecordSize = 6;
constexpr unsigned kNodeSlots = kWhosOnSize / kNodeRecordSize;

int16_t NodeUserNo(const unsigned char* record) {
  return static_cast<int16_t>(static_cast<uint16_t>(record[0] | (record[1] << 8)));
}

struct CallerName {
  char text[kNameCapacity + 32];
};

// The caller's name as QVUSERS.DAT (beside QVWHOSON.DAT) holds it, so that the
// sysop sees who is on line; a record that cannot be read is said to be so.
CallerName NameOfUser(const char* whosOnPath, int userNo) {
  CallerName name{};
  PathBuffer work;
  PathBuffer usersDat;
  FILE* stream = nullptr;
  if (!ParentDirectory(whosOnPath, &work) || !JoinPath(&usersDat, work.text, "QVUSERS.DAT") ||
      platform::OpenRegularForReading(usersDat.text, &stream) != 0) {
    FormatBounded(name.text, sizeof name.text, "(QVUSERS.DAT not read)");
    return name;
  }
  UserRecord record;
  const long offset = static_cast<long>(userNo - 1) * static_cast<long>(kUserRecordSize);
  const bool read = fseek(stream, offset, SEEK_SET) == 0 &&
                    fread(record.bytes, 1, sizeof record.bytes, stream) == sizeof record.bytes;
  fclose(stream);
  if (!read) {
    FormatBounded(name.text, sizeof name.text, "(no such user record)");
    return name;
  }
  char shown[kNameCapacity + 1];
  DisplayText(UserName(record), kNameCapacity, shown);
  FormatBounded(name.text, sizeof name.text, "'%s'", shown);
  return name;
}

// Lists every slot with a caller; true when there was at least one.
bool ReportActiveCallers(const char* path, const unsigned char* records) {
  bool anyActive = false;
  for (unsigned slot = 1; slot < kNodeSlots; ++slot) {  // record 0 is not a node
    const unsigned char* record = records + kNodeRecordSize * slot;
    const int userNo = NodeUserNo(record);
    if (userNo <= 0) continue;
    if (!anyActive) Tee("SAFETY ABORT: active Quorvex node record(s) found:\n");
    anyActive = true;
    Tee("  Node slot %u: UserNo=%d Name=%s Mode=0x%02X\n", slot, userNo,
        NameOfUser(path, userNo).text, static_cast<unsigned>(record[2]));
  }
  return anyActive;
}

}  // namespace

bool CheckCallerStatus(const char* path, RunCounters* counters, const char* refusal) {
  uint64_t size = 0;
  if (!GetRegularFileSize(path, &size)) {
    return ReportError(counters, "SAFETY ERROR: QVWHOSON.DAT is missing: %s\n", path);
  }
  Tee("Caller-status file:  %s (%" PRIu64 " bytes)\n", path, size);
  if (size != kWhosOnSize) {
    return ReportError(
        counters, "SAFETY ERROR: QVWHOSON.DAT must be exactly %u bytes (256 x 6-byte records).\n",
        kWhosOnSize);
  }

  FILE* stream = nullptr;
  const uint32_t openError = platform::OpenRegularForReading(path, &stream);
  if (openError == platform::kErrorNotRegularFile) {
    return ReportError(counters, "SAFETY ERROR: QVWHOSON.DAT is not a regular file: %s\n", path);
  }
  if (openError != 0) {
    return ReportError(counters, "SAFETY ERROR: cannot open QVWHOSON.DAT%s.\n",
                       CauseOf(openError).text);
  }
  std::unique_ptr<unsigned char[]> records(new (std::nothrow) unsigned char[kWhosOnSize]);
  if (!records) {
    fclose(stream);
    return ReportError(counters, "SAFETY ERROR: out of memory reading QVWHOSON.DAT.\n");
  }
  if (fread(records.get(), 1, kWhosOnSize, stream) != kWhosOnSize) {
    fclose(stream);
    return ReportError(counters, "SAFETY ERROR: short read from QVWHOSON.DAT.\n");
  }
  fclose(stream);

  if (ReportActiveCallers(path, records.get())) {
    return ReportError(counters, "%s", refusal);
  }
  Tee("Caller safety check: CLEAR\n");
  return true;
}
