// The restore program: lists the backups, checks one, or restores one as a
// verified set, with the packer's safety steps; returns the exit code (0 done
// and verified, 2 failed, 3 usage).
#pragma once

int RestoreDriver(int argc, char* const* argv);
