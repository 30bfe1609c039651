// Other processes that hold a database file open: a node left running, a
// backup agent, an editor. The run refuses while one does, before it stages
// anything and again at the final gate, so that nothing it writes races a
// writer it cannot see through the files' contents alone.
#pragma once

#include "base/run_counters.h"
#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"

// Probes QVUSERS.DAT, QVUSERS.PTR and QVWHOSON.DAT (the live snapshots' paths),
// purgedLogPath and every inventoried LMR file. A hold that ends within about
// two seconds is waited out. Each file still held is one SAFETY ABORT and one
// error, naming the holder where the system tells; what could not be checked is
// a warning. True when no file is held.
bool CheckNoOtherHolders(const LiveSnapshots* live, const LmrInventory* inventory,
                         const char* purgedLogPath, RunCounters* counters);
