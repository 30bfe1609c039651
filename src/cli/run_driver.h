// The one routine that runs a whole maintenance pass; returns the exit code.
#pragma once

int RunDriver(int argc, char* const* argv);
