#include "commit/replaced_files.h"

#include "base/output.h"
#include "base/paths.h"

namespace {

enum class Recheck { AsAtTheGate, Changed, Unreadable };

// Same file, size and modification time: the change time is judged apart.
bool SameContentTimes(const platform::FileStamp& a, const platform::FileStamp& b) {
  return a.identity.volume == b.identity.volume && a.identity.index == b.identity.index &&
         a.size == b.size && a.modifiedNs == b.modifiedNs;
}

// Nothing wrote to the file from the gate's reading to now, as its stamps show:
// the gate's stamp settled (a later write would have moved it), the same before
// the rename, and since the rename (which sets the change time) no change time
// but the rename's. A write also sets the modification time, so one in the same
// clock tick as the rename still shows, unless it set that time back as well.
bool StampsUnmoved(const ReplacedFile& file) {
  const ReadStamp& gate = file.before->read;
  const platform::ReplacedStamps& around = file.stamps;
  platform::FileStamp now{};
  // Stamped first, whatever the rest shows: the same calls on every run.
  const bool stamped = platform::StampHandle(file.handle, &now) == 0;
  return stamped && gate.taken && gate.settled && around.taken &&
         platform::SameStamp(around.beforeRename, gate.stamp) &&
         SameContentTimes(around.afterRename, gate.stamp) && SameContentTimes(now, gate.stamp) &&
         now.changedNs == around.afterRename.changedNs;
}

Recheck ReadAgain(const ReplacedFile& file) {
  if (file.before != nullptr && file.before->ok && StampsUnmoved(file)) {
    return Recheck::AsAtTheGate;
  }
  uint64_t size = 0;
  uint64_t hash = 0;
  if (!ReadHeldFile(file.handle, &size, &hash, nullptr)) return Recheck::Unreadable;
  const bool same = file.before != nullptr && file.before->ok && size == file.before->size &&
                    hash == file.before->hash;
  return same ? Recheck::AsAtTheGate : Recheck::Changed;
}

// Copies what the replaced file holds now beside the backup, under a name that
// says why; a stale file or link of that name is replaced, never followed.
bool KeepChangedContent(const ReplacedFile& file, const char* backupDir, PathBuffer* kept) {
  char name[160];
  PathBuffer areaDir;
  const int written =
      FormatBounded(name, sizeof name, "%s%s", file.name, kChangedDuringCommitSuffix);
  if (!FormatComplete(written, sizeof name) ||
      !JoinPath(&areaDir, backupDir, file.area) || !JoinPath(kept, areaDir.text, name)) {
    return false;
  }
  platform::FileIdentity identity;
  FILE* copy = CreateFreshFile({kept->text, platform::kInvalidHandle}, &identity);
  if (copy == nullptr) return false;
  uint64_t size = 0;
  uint64_t hash = 0;
  const bool copied = ReadHeldFile(file.handle, &size, &hash, copy) && fflush(copy) == 0 &&
                      platform::FlushStreamToDisk(copy);
  return fclose(copy) == 0 && copied;
}

}  // namespace

bool CheckReplacedFile(uint32_t index, void* replacedFiles, RunCounters* counters) {
  const ReplacedFiles* replaced = static_cast<const ReplacedFiles*>(replacedFiles);
  const ReplacedFile& file = replaced->files[index];
  const Recheck recheck = ReadAgain(file);
  PathBuffer kept{};
  const bool keptCopy =
      recheck == Recheck::Changed && KeepChangedContent(file, replaced->backupDir, &kept);
  platform::CloseFileHandle(file.handle);
  switch (recheck) {
    case Recheck::AsAtTheGate:
      return true;
    case Recheck::Unreadable:
      return ReportError(counters,
                         "ERROR: %s, replaced by the commit, cannot be read again to prove that "
                         "nothing wrote to it during the commit.\n",
                         file.name);
    case Recheck::Changed:
      break;
  }
  if (keptCopy) {
    return ReportError(counters,
                       "ERROR: %s was written by another process during the commit; its changed "
                       "content is kept as %s.\n",
                       file.name, kept.text);
  }
  return ReportError(counters,
                     "ERROR: %s was written by another process during the commit; its changed "
                     "content could not be kept beside the backup.\n",
                     file.name);
}

void CloseReplacedFiles(ReplacedFiles* replaced) {
  for (uint32_t i = 0; i < replaced->count; ++i) {
    platform::CloseFileHandle(replaced->files[i].handle);
  }
  replaced->count = 0;
}
