// QVWHOSON.DAT: 256 six-byte node records; a pack never runs while a caller is on.
#pragma once

#include <cstddef>

#include "base/run_counters.h"

constexpr unsigned kWhosOnSize = 1536;

// True when the file is sound and no node slot 1..255 has a caller. On false it
// has printed its reasons and added one to errors.
// refusal is the line that ends the list of callers.
bool CheckCallerStatus(
    const char* path, RunCounters* counters,
    const char* refusal = "QVCULLDB32 will not scan the user database while a caller may be active.\n");

// Names the user of a node slot with a caller ("'NAME'"), from whosOnPath's
// directory; set once by the program (the user records are not this layer's).
using CallerNamer = void (*)(const char* whosOnPath, int userNo, char* out, size_t size);
void SetCallerNamer(CallerNamer namer);
