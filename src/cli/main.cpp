// Entry routine: gets the arguments, runs the driver once, exits with its result.
#include <cstdlib>

#include "cli/command_line.h"
#include "cli/run_driver.h"
#include "platform/platform.h"

namespace {

// Filled once; the driver and the report header read it for the whole run.
ArgumentStorage g_arguments;

}  // namespace

int main(int argc, char** argv) {
  const char* line = nullptr;
  bool fits;
  if (platform::RawCommandLine(&line)) {
    if (line == nullptr) return kExitUsage;
    fits = SplitCommandLine(line, &g_arguments);
  } else {
    fits = CopyArgumentVector(argc, argv, &g_arguments);
  }
  if (!fits) return kExitUsage;
  return RunDriver(g_arguments.count, g_arguments.table);
}
