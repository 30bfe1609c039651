// The process's arguments in one fixed storage.
#include "cli/command_line.h"

#include "base/output.h"
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
  out->overflowIndex = -1;
  out->overflowShown[0] = '\0';
}

// The first characters of the argument at p for the message, split by the same
// rules (quoted: quotes toggle and are dropped), "..." when there are more.
void ShowArgumentStart(const char* p, bool quoted, ArgumentStorage* out) {
  constexpr size_t kShown = 40;
  size_t shown = 0;
  bool insideQuotes = false;
  for (; *p != '\0'; ++p) {
    if (quoted && *p == '"') {
      insideQuotes = !insideQuotes;
      continue;
    }
    if (quoted && !insideQuotes && IsBlank(*p)) break;
    if (shown == kShown) {
      memcpy(out->overflowShown + shown, "...", 3);
      shown += 3;
      break;
    }
    out->overflowShown[shown++] = *p;
  }
  out->overflowShown[shown] = '\0';
}

bool Overflows(ArgumentStorage* out, const char* start, bool quoted) {
  out->overflowIndex = out->count;
  ShowArgumentStart(start, quoted, out);
  return false;
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
    const char* const argumentStart = p;
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
        return Overflows(out, argumentStart, true);
      }
      out->text[used++] = *p;
    }
    // An empty argument ("") still needs its NUL.
    if (used >= kArgumentTextSize) {
      return Overflows(out, argumentStart, true);
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
      return Overflows(out, argv[i], false);
    }
    memcpy(out->text + used, argv[i], length + 1);
    AddArgument(out, used);
    used += length + 1;
  }
  return true;
}

void PrintArgumentTextTooLong(const ArgumentStorage& storage) {
  char which[48];
  if (storage.overflowIndex <= 0) {
    FormatBounded(which, sizeof which, "the program's own name");
  } else {
    FormatBounded(which, sizeof which, "argument %d", storage.overflowIndex);
  }
  // Only the argument's start is shown: it may be thousands of characters long.
  Tee("ERROR: the command line is too long: %s (%s) does not fit in the %u bytes "
      "that all arguments may take together, one NUL byte after each.\n",
      which, storage.overflowShown, static_cast<unsigned>(kArgumentTextSize));
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
  if (!fits) {
    PrintArgumentTextTooLong(g_arguments);
    return kExitUsage;
  }
  return driver(g_arguments.count, g_arguments.table);
}
