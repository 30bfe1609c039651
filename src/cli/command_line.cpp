// The process's arguments in one fixed storage.
#include "cli/command_line.h"

#include "platform/platform.h"

#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) {
    ++p;
  }
  return p;
}

void ClearStorage(ArgumentStorage* out) {
  out->count = 0;
  out->table[0] = nullptr;
}

// Records the argument that starts at text[start] and is already complete
// with its NUL.
void AddArgument(ArgumentStorage* out, size_t start) {
  out->table[out->count] = out->text + start;
  ++out->count;
  out->table[out->count] = nullptr;
}

}  // namespace

bool SplitCommandLine(const char* line, ArgumentStorage* out) {
  ClearStorage(out);
  if (line == nullptr) {
    return false;
  }
  size_t used = 0;
  const char* p = SkipBlanks(line);
  while (*p != '\0' && out->count < kMaxArguments) {
    const size_t start = used;
    bool insideQuotes = false;
    for (; *p != '\0'; ++p) {
      if (*p == '"') {
        insideQuotes = !insideQuotes;
        continue;
      }
      if (!insideQuotes && IsBlank(*p)) {
        break;
      }
      // Keep one byte for the argument's NUL.
      if (used >= kArgumentTextSize - 1) {
        return false;
      }
      out->text[used++] = *p;
    }
    // An empty argument ("") still needs its NUL.
    if (used >= kArgumentTextSize) {
      return false;
    }
    out->text[used++] = '\0';
    AddArgument(out, start);
    p = SkipBlanks(p);
  }
  return true;
}

bool CopyArgumentVector(int argc, char* const* argv, ArgumentStorage* out) {
  ClearStorage(out);
  size_t used = 0;
  for (int i = 0; i < argc && i < kMaxArguments && argv[i] != nullptr; ++i) {
    const size_t length = strlen(argv[i]);
    if (length + 1 > kArgumentTextSize - used) {
      return false;
    }
    memcpy(out->text + used, argv[i], length + 1);
    AddArgument(out, used);
    used += length + 1;
  }
  return true;
}

namespace {

// Filled once; the driver and the report header read it for the whole run.
ArgumentStorage g_arguments;

}  // namespace

int RunWithProcessArguments(int argc, char** argv, int (*driver)(int argc, char* const* argv)) {
  constexpr int kExitUsage = 3;
  platform::KeepRunningOnWriteFailures();
  const char* line = nullptr;
  bool fits;
  if (platform::RawCommandLine(&line)) {
    if (line == nullptr) return kExitUsage;
    fits = SplitCommandLine(line, &g_arguments);
  } else {
    fits = CopyArgumentVector(argc, argv, &g_arguments);
  }
  if (!fits) return kExitUsage;
  return driver(g_arguments.count, g_arguments.table);
}
