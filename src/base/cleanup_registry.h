// The files an interrupted run must not leave behind, in one preallocated
// table: every staged file and rollback copy the run creates and may have to
// remove, and the lock file it holds open. A file is registered when it is
// created and unregistered when it is renamed or removed. On Ctrl+C, a
// termination signal or the console closing, the interrupt clean-up walks the
// table: the files first, then the lock, deleted (only while its name is still
// the file the run holds) and closed last, so that cooperating tools stay out
// until the rest is gone. Backups are never registered: the program never
// removes them.
#pragma once

#include <cstdio>

#include "platform/platform.h"

// Every file one run can have at once: the staged user files and audit log, up
// to 512 staged LMR files, one rollback copy, the lock and the backup root's lock.
constexpr int kCleanupSlots = 520;

// Installs the interrupt clean-up (once); false when the system refused it.
bool InstallCleanupOnInterrupt();

// Registers path, and handle when the run holds the file open (the lock);
// returns the slot, or -1 when the path or the table is full. A file path
// registered already keeps its slot.
int RegisterCleanup(const char* path, platform::FileHandle handle = platform::kInvalidHandle);

// The file at path was renamed or removed: the clean-up forgets it.
void UnregisterCleanup(const char* path);

// True while the slot is registered and the clean-up has not taken it.
bool CleanupSlotHeld(int slot);

// Takes the slot back from the clean-up, before anything is removed, and deletes
// its file (a held file only while the name is still that file, then closes it),
// holding interrupts meanwhile; Removed also when the clean-up had taken it.
platform::HeldRemoval ReleaseCleanupSlot(int slot);

// Says once, when an interrupt came while the commit held interrupts back, that
// the run stops once the database is whole again.
void AnnounceHeldInterrupt();

// The last line an interrupt leaves on the console and at the end of the open
// report (text must outlive the run: a string literal). Each program sets its
// own at the start; the commit section changes it to say what state it left.
void SetInterruptNotice(const char* text);

// A line an interrupt leaves after the notice, naming what the run leaves
// behind (an incomplete backup); null: none. The text must not change while set.
void SetInterruptLeftBehind(const char* text);

// The open run report (null: none) that the interrupt notice is written to.
void SetInterruptReport(FILE* report);

// After a held interrupt: prints the notice through Tee, as the run's last line.
void PrintHeldInterruptNotice();
