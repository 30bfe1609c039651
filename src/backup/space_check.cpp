// A full volume found half-way through staging leaves nothing damaged but says
// only that one write failed; found before the first write, it names the volume
// and what the pack needs there. WORK, MESSAGE and the backup root often share
// one volume: their needs are summed per volume, never checked apart.
#include "backup/space_check.h"

#include <cinttypes>
#include <cstring>

#include "base/output.h"
#include "base/paths.h"
#include "backup/verified_backup.h"
#include "platform/platform.h"
#include "staging/staging.h"
#include "userdb/user_records.h"

namespace {

// What every volume keeps beyond the files themselves, for the backup's
// manifest and warning, directory entries and each file's rounding up to the
// file system's blocks: a fixed MiB plus a hundredth of the files' bytes.
constexpr uint64_t kVolumeMarginBytes = 1048576;
constexpr uint64_t kVolumeMarginDivisor = 100;


enum { kWork, kMessage, kBackup, kAreas };

// One place the run writes to.
struct Area {
  const char* shown;  // the directory named in messages
  const char* probe;  // an existing directory on the same volume
  uint64_t need;
  uint64_t volume;
  bool volumeKnown;
  uint64_t free;
};

// The deepest directory of root that exists (root itself when it does): the
// backup's missing directories will be made there. False when what exists is
// not a directory, or nothing does.
bool ExistingPartOf(const char* root, PathBuffer* part) {
  if (!CopyPath(part, root)) return false;
  char* text = part->text;
  const size_t floor = FirstCreatableIndex(root);
  for (;;) {
    platform::PathAttributes attributes;
    if (platform::GetPathAttributes(text, &attributes)) return attributes.isDirectory;
    const size_t length = strlen(text);
    size_t end = length;
    while (end > 0 && !IsSeparator(text[end - 1])) --end;
    // A file system's, drive's or share's root keeps its separator.
    while (end > 1 && end > floor && IsSeparator(text[end - 1])) --end;
    if (end == 0 && length > 2 && text[1] == ':') end = 2;  // "C:NAME" lies in "C:"
    if (end == 0 || end >= length) return false;
    text[end] = '\0';
  }
}

// The staged files: the rebuilt user files and audit log in WORK, one LMR copy
// of the live size each in MESSAGE; the backup: a copy of every live file.
SpaceNeeds PackNeeds(const LiveSnapshots* live, const LmrInventory* inventory,
                     const PackContext* pack, uint64_t purgedLogBytes) {
  const uint64_t retained = pack->retainedCount;
  const uint64_t lmrBytes = LmrInventoryBytes(inventory);
  return {retained * (kUserRecordSize + kPointerRecordSize) + purgedLogBytes +
              AuditBlockBytesAtMost(pack->purgeCount),
          lmrBytes,
          live->usersDat.size + live->usersPtr.size + live->whosOn.size + purgedLogBytes +
              lmrBytes};
}

// The shown directories of areas[first..] in group, other than areas[first]'s,
// each once, for the refusal: " (also holding A and B)".
void DescribeSharers(const Area* areas, const int* group, int first, char* out, size_t size) {
  out[0] = '\0';
  size_t used = 0;
  const char* joiner = " (also holding ";
  for (int i = first + 1; i < kAreas; ++i) {
    bool repeated = strcmp(areas[i].shown, areas[first].shown) == 0;
    for (int j = first + 1; j < i; ++j) {
      repeated = repeated || (group[j] == first && strcmp(areas[i].shown, areas[j].shown) == 0);
    }
    if (group[i] != first || repeated) continue;
    const int result = FormatBounded(out + used, size - used, "%s%s", joiner, areas[i].shown);
    if (!FormatComplete(result, size - used)) break;
    used += static_cast<size_t>(result);
    joiner = " and ";
  }
  if (used > 0 && used + 1 < size) memcpy(out + used, ")", 2);
}

// Every area's volume and free space; an area whose volume cannot be told is
// counted as sharing one volume with all the others, the stricter reading.
bool ProbeVolumes(Area* areas, int* group, RunCounters* counters) {
  bool allKnown = true;
  for (int i = 0; i < kAreas; ++i) {
    if (!platform::FreeBytesAvailable(areas[i].probe, &areas[i].free)) {
      return ReportError(counters, "ERROR: cannot determine free space on the volume of %s.\n",
                         areas[i].shown);
    }
    areas[i].volumeKnown = platform::VolumeOf(areas[i].probe, &areas[i].volume);
    allKnown = allKnown && areas[i].volumeKnown;
  }
  for (int i = 0; i < kAreas; ++i) {
    group[i] = i;
    for (int j = 0; j < i && group[i] == i; ++j) {
      if (!allKnown || areas[j].volume == areas[i].volume) group[i] = group[j];
    }
  }
  return true;
}

// One refusal per volume short of space, naming what it needs and what it has.
bool CheckVolumes(Area* areas, const char* what, RunCounters* counters) {
  int group[kAreas] = {};
  if (!ProbeVolumes(areas, group, counters)) return false;
  bool fits = true;
  for (int first = 0; first < kAreas; ++first) {
    if (group[first] != first) continue;
    uint64_t need = 0, free = areas[first].free;
    for (int i = first; i < kAreas; ++i) {
      if (group[i] != first) continue;
      need += areas[i].need;
      free = areas[i].free < free ? areas[i].free : free;  // the strictest probe counts
    }
    need = SpaceWithMargin(need);
    if (free >= need) continue;
    char sharers[2 * kPathBufferSize + 32];
    DescribeSharers(areas, group, first, sharers, sizeof sharers);
    ReportError(counters,
                "ERROR: not enough free space for this %s on the volume of %s%s: needs %" PRIu64
                " bytes, has %" PRIu64 " bytes free.\n",
                what, areas[first].shown, sharers, need, free);
    fits = false;
  }
  return fits;
}

}  // namespace

uint64_t SpaceWithMargin(uint64_t bytes) {
  return bytes + bytes / kVolumeMarginDivisor + kVolumeMarginBytes;
}

bool CheckSpaceForNeeds(const WritePlaces& places, const SpaceNeeds& needs, const char* what,
                        PackContext* pack, RunCounters* counters) {
  if (!ResolveBackupRoot(places.homeDir, places.options, pack, counters)) return false;
  const char* root = pack->backupRootPath.text;
  PathBuffer existing;
  if (!ExistingPartOf(root, &existing)) {
    return ReportError(counters, "ERROR: cannot create or access backup root: %s\n", root);
  }
  // Judged before any of its directories is made: none is made in an untrusted place.
  if (!BackupRootTrusted(existing.text, places.usersDatPath, counters)) return false;
  Area areas[kAreas] = {{places.workDir, places.workDir, needs.work, 0, false, 0},
                        {places.messageDir, places.messageDir, needs.message, 0, false, 0},
                        {root, existing.text, needs.backup, 0, false, 0}};
  return CheckVolumes(areas, what, counters);
}

bool CheckSpaceAndTrust(const WritePlaces& places, const LiveSnapshots* live,
                        const LmrInventory* inventory, PackContext* pack, RunCounters* counters) {
  platform::PathAttributes purgedLog;
  const uint64_t purgedLogBytes =
      platform::GetPathAttributes(places.purgedLogPath, &purgedLog) && !purgedLog.isDirectory
          ? purgedLog.size
          : 0;
  return CheckSpaceForNeeds(places, PackNeeds(live, inventory, pack, purgedLogBytes), "pack", pack,
                            counters);
}
