#include "safety/open_file_check.h"

#include "base/output.h"
#include "platform/platform.h"

namespace {

// QVWHOSON.DAT is checked too, though the pack never writes it: the nodes keep
// it open while they run, so a holder of it is most likely a node left running,
// idle or not, which may write QVUSERS.DAT and the LMR files at its next logon.
// It is the one sign of an idle node the run can see.
struct DatabaseFile {
  const char* path;
  const char* name;
  bool nodeFile;
  platform::FileHolder holder;
};

struct DatabaseFiles {
  DatabaseFile files[kLmrInventoryCapacity + 4];
  uint32_t count;
};

// Waits between the probes of files still held: about two seconds in all, the
// first ones short, for a scanner or a backup agent reading a file through.
constexpr uint32_t kWaitsMs[] = {50, 100, 200, 400, 600, 650};

void AddFile(DatabaseFiles* list, const char* path, const char* name, bool nodeFile = false) {
  if (path[0] == '\0' || list->count >= sizeof list->files / sizeof list->files[0]) return;
  list->files[list->count++] = {path, name, nodeFile, {}};
}

// Probes every file, or only those held at the last probe; true when one is held.
bool ProbeFiles(DatabaseFiles* list, bool onlyHeld) {
  bool anyHeld = false;
  for (uint32_t i = 0; i < list->count; ++i) {
    DatabaseFile& file = list->files[i];
    if (onlyHeld && file.holder.state != platform::HoldState::Held) continue;
    platform::FindOtherHolder(file.path, &file.holder);
    anyHeld = anyHeld || file.holder.state == platform::HoldState::Held;
  }
  return anyHeld;
}

// Who holds the file, as far as the run could tell, and what it could not examine.
void DescribeHolder(const platform::FileHolder& holder, char* text, size_t size) {
  if (holder.pid != 0) {
    FormatBounded(text, size, " (pid %u%s%s%s)", holder.pid, holder.command[0] != '\0' ? ", " : "",
                  holder.command, holder.mapped ? ", mapped into its memory" : "");
  } else if (!holder.searched) {
    FormatBounded(text, size, ", which the system does not name");
  } else if (holder.unseen > 0) {
    FormatBounded(text, size,
                  ", which this run could not name: %u process(es) of other accounts could not "
                  "be examined",
                  holder.unseen);
  } else {
    FormatBounded(text, size,
                  ", which this run could not name: no process it can see has the file open or "
                  "mapped (one in another PID namespace or behind a hidden /proc is not shown)");
  }
}

// The system says the file is in use: refused whether or not the holder is named.
bool ReportHeld(const DatabaseFile& file, RunCounters* counters) {
  char process[256];
  DescribeHolder(file.holder, process, sizeof process);
  const char* advice = file.nodeFile
                           ? "A Quorvex node may still be running: close every node and run again."
                           : "Close it and run again.";
  return ReportError(counters, "SAFETY ABORT: %s is held open by another process%s. %s\n",
                     file.name, process, advice);
}

// What could not be checked: a probe that failed, named per file; processes
// that could not be examined, or a system that does not tell, once per check.
void ReportUnchecked(const DatabaseFiles* list, RunCounters* counters) {
  uint32_t unseen = 0;
  bool untold = false;
  for (uint32_t i = 0; i < list->count; ++i) {
    const platform::FileHolder& holder = list->files[i].holder;
    if (holder.state != platform::HoldState::Unknown) continue;
    if (holder.error != 0) {
      Tee("WARNING: cannot check whether another process holds %s open%s.\n",
          list->files[i].name, CauseOf(holder.error, holder.errorErrno).text);
      ++counters->warnings;
    }
    if (holder.unseen > unseen) unseen = holder.unseen;
    untold = untold || (holder.error == 0 && holder.unseen == 0);
  }
  if (unseen > 0) {
    Tee("WARNING: %u process(es) of other accounts could not be examined for open database files; "
        "run as root to check them all.\n",
        unseen);
    ++counters->warnings;
  } else if (untold) {
    Tee("WARNING: this system does not tell whether other processes hold the database files "
        "open.\n");
    ++counters->warnings;
  }
}

}  // namespace

bool CheckNoOtherHolders(const LiveSnapshots* live, const LmrInventory* inventory,
                         const char* purgedLogPath, RunCounters* counters) {
  DatabaseFiles list{};
  AddFile(&list, live->usersDat.path.text, "QVUSERS.DAT");
  AddFile(&list, live->usersPtr.path.text, "QVUSERS.PTR");
  AddFile(&list, purgedLogPath, "QVPURGED.USR");
  AddFile(&list, live->whosOn.path.text, "QVWHOSON.DAT", true);
  for (uint32_t i = 0; i < inventory->count; ++i) {
    AddFile(&list, inventory->entries[i].path.text, inventory->entries[i].name);
  }
  bool held = ProbeFiles(&list, false);
  for (uint32_t wait : kWaitsMs) {
    if (!held) break;
    FlushOutput();
    platform::SleepMilliseconds(wait);
    held = ProbeFiles(&list, true);
  }
  ReportUnchecked(&list, counters);
  bool clear = true;
  for (uint32_t i = 0; i < list.count; ++i) {
    if (list.files[i].holder.state == platform::HoldState::Held) {
      clear = ReportHeld(list.files[i], counters) && clear;
    }
  }
  return clear;
}
