// Switch parsing into RunOptions, with every rejection message.
#pragma once

#include "base/run_options.h"

enum class ParseOutcome { Run, Help, Version, Rejected };

// Parses argv[1..argc-1]. Rejected: message holds the text to print after "ERROR: ".
ParseOutcome ParseSwitches(int argc, char* const* argv, RunOptions* options,
                           MessageBuffer* message);
