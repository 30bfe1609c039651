// QVWHOSON.DAT: one 6-byte record per node (UserNo int16 LE, Mode byte, 3 bytes
// not read). A pack never runs while any node slot 1..255 shows a caller.
#include "safety/caller_status.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>

#include "base/output.h"
#include "platform/platform.h"
#include "safety/file_snapshot.h"

namespace {

constexpr unsigned kNodeRecordSize = 6;
constexpr unsigned kNodeSlots = kWhosOnSize / kNodeRecordSize;

int16_t NodeUserNo(const unsigned char* record) {
  return static_cast<int16_t>(static_cast<uint16_t>(record[0] | (record[1] << 8)));
}

CallerNamer g_namer = nullptr;

// Lists every slot with a caller; true when there was at least one.
bool ReportActiveCallers(const char* path, const unsigned char* records) {
  bool anyActive = false;
  for (unsigned slot = 1; slot < kNodeSlots; ++slot) {  // record 0 is not a node
    const unsigned char* record = records + kNodeRecordSize * slot;
    const int userNo = NodeUserNo(record);
    if (userNo <= 0) continue;
    if (!anyActive) Tee("SAFETY ABORT: active Quorvex node record(s) found:\n");
    anyActive = true;
    char name[64] = "(not looked up)";
    if (g_namer != nullptr) g_namer(path, userNo, name, sizeof name);
    Tee("  Node slot %u: UserNo=%d Name=%s Mode=0x%02X\n", slot, userNo, name,
        static_cast<unsigned>(record[2]));
  }
  return anyActive;
}

}  // namespace

void SetCallerNamer(CallerNamer namer) { g_namer = namer; }

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
