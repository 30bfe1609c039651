// The packer's entry routine: runs the driver once and exits with its result.
#include "cli/command_line.h"
#include "cli/run_driver.h"

int main(int argc, char** argv) { return RunWithProcessArguments(argc, argv, RunDriver); }
