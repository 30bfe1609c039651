// The one routine that runs a whole maintenance pass; returns the exit code.
#pragma once

// Process exit codes: nothing wrong; review needed (a preview found candidates);
// the run failed; the command line was rejected (or did not fit).
constexpr int kExitClean = 0;
constexpr int kExitReview = 1;
constexpr int kExitFailed = 2;
constexpr int kExitUsage = 3;

int RunDriver(int argc, char* const* argv);
