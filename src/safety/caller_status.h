// QVWHOSON.DAT: 256 six-byte node records; a pack never runs while a caller is on.
#pragma once

#include "base/run_counters.h"

constexpr unsigned kWhosOnSize = 1536;

// True when the file is sound and no node slot 1..255 has a caller. On false it
// has printed its reasons and added one to errors.
// refusal is the line that ends the list of callers.
bool CheckCallerStatus(
    const char* path, RunCounters* counters,
    const char* refusal = "QVCULLDB32 will not scan the user database while a caller may be active.\n");
