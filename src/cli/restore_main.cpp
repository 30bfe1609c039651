// The restore program's entry routine: runs its driver once and exits with its result.
#include "cli/command_line.h"
#include "cli/restore_driver.h"

int main(int argc, char** argv) { return RunWithProcessArguments(argc, argv, RestoreDriver); }
