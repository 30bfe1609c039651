// The process's arguments: split from the raw command line (Windows) or copied
// from argv (POSIX) into one fixed storage under the same limits.
#pragma once

#include <cstddef>

constexpr size_t kArgumentTextSize = 4096;
constexpr int kMaxArguments = 63;

struct ArgumentStorage {
  char text[kArgumentTextSize];
  char* table[kMaxArguments + 1];
  int count;
  // When the text does not fit: the argument that did not (0 is the program's
  // name) and its first characters as split, "..." after them when cut.
  int overflowIndex;
  char overflowShown[48];
};

// Splits line at blanks (space, tab) with quote toggling and no escape
// character; at most 63 arguments, the rest ignored. False when the text does
// not fit (the process then says which argument and exits with code 3).
bool SplitCommandLine(const char* line, ArgumentStorage* out);

// Copies argv (already split) into out under the same limits.
bool CopyArgumentVector(int argc, char* const* argv, ArgumentStorage* out);

// The line that says which argument did not fit and the limit.
void PrintArgumentTextTooLong(const ArgumentStorage& storage);

// The whole entry routine of a program: the arguments into one storage (exit 3
// when they do not fit, saying so), then driver with them; returns its exit code.
int RunWithProcessArguments(int argc, char** argv, int (*driver)(int argc, char* const* argv));
