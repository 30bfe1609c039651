// Fault injection for the Windows backend's Win32 calls (test builds only; see
// win32_fault_injection.h). Its own calls go straight to the system.
#include "platform/win32_fault_injection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform::win32_faults {

namespace {

constexpr int kRules = 9, kSites = 512, kHandles = 256, kText = 512;
enum Kind { kFail = 1, kCrash = 2, kInterrupt = 4, kAction = 8 };

struct Rule {
  char function[64], path[kText], act[kText];
  unsigned site, kinds;
  DWORD error;
  unsigned long long nth, seen;
  bool whenAfter, fired;
};
struct Site {
  const char* function;
  int line;
  unsigned long long count, before;
};
struct Known {
  const void* handle;
  char path[MAX_PATH];
};

// Several threads hash and copy at once; one call at a time is counted.
SRWLOCK g_lock = SRWLOCK_INIT;
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;
Rule g_rules[kRules];
Site g_sites[kSites];
Known g_handles[kHandles];
int g_used;
bool g_anyFired;
char g_counts[kText], g_log[kText];
PHANDLER_ROUTINE volatile g_handler;

// Errors by name as the sweeps write them, or a Windows code by number.
const struct {
  const char* name;
  DWORD code;
} kErrors[] = {{"EIO", ERROR_IO_DEVICE},          {"ENOSPC", ERROR_DISK_FULL},
               {"EACCES", ERROR_ACCESS_DENIED},   {"ENOENT", ERROR_FILE_NOT_FOUND},
               {"EEXIST", ERROR_FILE_EXISTS},     {"EBUSY", ERROR_SHARING_VIOLATION},
               {"EXDEV", ERROR_NOT_SAME_DEVICE}};

void Append(const char* file, const char* text) {
  if (file[0] == '\0') return;
  HANDLE out = CreateFileA(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(out, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
  CloseHandle(out);
}

// The value of a rule's KEY= word (the text starts with a blank), or "".
void Word(const char* text, const char* key, char* out, size_t size) {
  char pattern[32];
  snprintf(pattern, sizeof pattern, " %s=", key);
  const char* at = strstr(text, pattern);
  size_t len = 0;
  if (at != nullptr) {
    at += strlen(pattern);
    while (at[len] != '\0' && at[len] != ' ' && len + 1 < size) ++len;
    memcpy(out, at, len);
  }
  out[len] = '\0';
}

void ParseRule(const char* text, Rule* rule) {
  char value[kText];
  Word(text, "func", rule->function, sizeof rule->function);
  Word(text, "path", rule->path, sizeof rule->path);
  Word(text, "act", rule->act, sizeof rule->act);
  Word(text, "site", value, sizeof value);
  rule->site = static_cast<unsigned>(strtoul(value, nullptr, 16));
  Word(text, "nth", value, sizeof value);
  rule->nth = strtoull(value, nullptr, 10);
  Word(text, "when", value, sizeof value);
  rule->whenAfter = strcmp(value, "after") == 0;
  Word(text, "do", value, sizeof value);
  rule->kinds = (strstr(value, "fail") ? kFail : 0) | (strstr(value, "crash") ? kCrash : 0) |
                (strstr(value, "interrupt") ? kInterrupt : 0) |
                (strstr(value, "action") ? kAction : 0);
  if (rule->kinds == 0) rule->kinds = kFail;
  Word(text, "errno", value, sizeof value);
  rule->error = value[0] >= '0' && value[0] <= '9' ? strtoul(value, nullptr, 10) : ERROR_IO_DEVICE;
  for (const auto& e : kErrors) rule->error = strcmp(e.name, value) == 0 ? e.code : rule->error;
}

void WriteCounts() {
  char line[160];
  AcquireSRWLockExclusive(&g_lock);
  for (int i = 0; i < g_used; ++i) {
    const Site& s = g_sites[i];
    snprintf(line, sizeof line, "%s 0x%x %llu %llu\n", s.function, s.line, s.count,
             g_anyFired ? s.before : s.count);
    Append(g_counts, line);
  }
  ReleaseSRWLockExclusive(&g_lock);
}

BOOL CALLBACK Init(PINIT_ONCE, PVOID, PVOID*) {
  const char* counts = getenv("QVF_COUNTS");
  const char* log = getenv("QVF_LOG");
  snprintf(g_counts, sizeof g_counts, "%s", counts ? counts : "");
  snprintf(g_log, sizeof g_log, "%s", log ? log : "");
  for (int i = 1; i < kRules; ++i) {
    char name[16], text[4 * kText];
    snprintf(name, sizeof name, "QVF_RULE%d", i);
    const char* rule = getenv(name);
    snprintf(text, sizeof text, " %s", rule ? rule : "");
    ParseRule(text, &g_rules[i]);
  }
  if (g_counts[0] != '\0') atexit(WriteCounts);
  return TRUE;
}

bool Matches(const Rule& rule, const char* path, const char* path2) {
  return rule.path[0] == '\0' || (path != nullptr && strstr(path, rule.path) != nullptr) ||
         (path2 != nullptr && strstr(path2, rule.path) != nullptr);
}

// Bytes written into a file named relative to the home, as another program would.
void Poke(const char* path, long long offset, const char* hex) {
  unsigned char bytes[128];
  DWORD len = 0;
  while (len < sizeof bytes && sscanf(hex + 2 * size_t{len}, "%2hhx", &bytes[len]) == 1) ++len;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER at;
  at.QuadPart = offset;
  DWORD written = 0;
  const bool ok = file != INVALID_HANDLE_VALUE && SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
                  WriteFile(file, bytes, len, &written, nullptr) && written == len;
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  char line[kText + 32];
  snprintf(line, sizeof line, "action poke %s %s\n", path, ok ? "ok" : "failed");
  Append(g_log, line);
}

void RunActions(const char* list) {
  for (const char* action = list; action != nullptr && *action != '\0';) {
    char kind[8] = "", path[kText] = "", hex[kText] = "";
    long long offset = 0;
    if (sscanf(action, "%7[^,;],%511[^,;],%lld,%511[^;]", kind, path, &offset, hex) == 4 &&
        strcmp(kind, "poke") == 0) {
      Poke(path, offset, hex);
    }
    action = strchr(action, ';');
    if (action != nullptr) ++action;
  }
}

// Ends the process at once, as a crash would. Wine ends a process through the C
// library's exit, which can wait forever on a lock that a thread it has just
// stopped was holding; under Wine the Linux kernel ends the process instead.
[[noreturn]] void Crash() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
#if defined(__x86_64__)
    asm volatile("syscall" : : "a"(231), "D"(99) : "rcx", "r11", "memory");  // exit_group
#elif defined(__i386__)
    asm volatile("int $0x80" : : "a"(252), "b"(99) : "memory");  // exit_group
#endif
  }
  TerminateProcess(GetCurrentProcess(), 99);
  for (;;) Sleep(INFINITE);
}

// The console's event thread: the program's handler, then, when it passes the
// event on, the system's default, which ends the process.
DWORD WINAPI DeliverControlC(LPVOID) {
  PHANDLER_ROUTINE handler = g_handler;
  if (handler == nullptr || !handler(CTRL_C_EVENT)) ExitProcess(STATUS_CONTROL_C_EXIT);
  return 0;
}

// Windows runs the handler on a thread of its own while the program goes on. The
// caller waits a while, so that a handler that ends the process does so here; a
// handler that holds the event (its thread waits for the process to end) lets the
// caller go on when the wait times out.
void Interrupt() {
  HANDLE thread = CreateThread(nullptr, 0, DeliverControlC, nullptr, 0, nullptr);
  if (thread == nullptr) ExitProcess(STATUS_CONTROL_C_EXIT);
  WaitForSingleObject(thread, 1000);
  CloseHandle(thread);
}

}  // namespace

int Enter(const char* function, int line, const char* path, const char* path2) {
  InitOnceExecuteOnce(&g_once, Init, nullptr, nullptr);
  AcquireSRWLockExclusive(&g_lock);
  int s = 0;
  while (s < g_used && (g_sites[s].line != line || strcmp(g_sites[s].function, function) != 0)) ++s;
  if (s == g_used && s < kSites) g_sites[g_used++] = Site{function, line, 0, 0};
  if (s < kSites) ++g_sites[s].count;
  int fired = 0;
  for (int i = 1; i < kRules; ++i) {
    Rule& rule = g_rules[i];
    if (strcmp(rule.function, function) != 0 || (rule.site != 0 && rule.site != unsigned(line))) {
      continue;
    }
    if (!Matches(rule, path, path2)) continue;
    if (++rule.seen >= rule.nth && !rule.fired && fired == 0) fired = i;
  }
  if (fired != 0) {
    g_rules[fired].fired = true;
    for (int i = 0; i < g_used && !g_anyFired; ++i) g_sites[i].before = g_sites[i].count;
    g_anyFired = true;
  }
  ReleaseSRWLockExclusive(&g_lock);
  if (fired == 0) return 0;
  char text[2 * kText];
  snprintf(text, sizeof text, "fired rule=%d func=%s site=0x%x path=%s\n", fired, function, line,
           path != nullptr ? path : "");
  Append(g_log, text);
  const Rule& rule = g_rules[fired];
  if (!rule.whenAfter && (rule.kinds & kAction) != 0) RunActions(rule.act);
  if ((rule.kinds & kCrash) != 0) Crash();
  if ((rule.kinds & kInterrupt) != 0) Interrupt();
  return fired;
}

bool Fails(int rule) { return rule != 0 && (g_rules[rule].kinds & kFail) != 0; }

DWORD ErrorOf(int rule) { return g_rules[rule].error; }

bool IsClose(const char* function) {
  return strcmp(function, "CloseHandle") == 0 || strcmp(function, "FindClose") == 0;
}

void Leave(int rule) {
  if (rule == 0 || !g_rules[rule].whenAfter) return;
  const DWORD error = GetLastError();
  if ((g_rules[rule].kinds & kAction) != 0) RunActions(g_rules[rule].act);
  SetLastError(error);
}

void DescribeHandle(const void* handle, char* path, size_t size) {
  AcquireSRWLockShared(&g_lock);
  for (const Known& known : g_handles) {
    if (known.handle == handle) snprintf(path, size, "%s", known.path);
  }
  ReleaseSRWLockShared(&g_lock);
}

// A handle the runtime closed is not forgotten: its value, reused, takes the new path.
void RememberHandle(const void* handle, const char* path) {
  static unsigned next;
  AcquireSRWLockExclusive(&g_lock);
  Known* slot = &g_handles[next++ % kHandles];
  for (Known& known : g_handles) {
    if (known.handle == handle) known.handle = nullptr;
  }
  for (Known& known : g_handles) {
    if (known.handle == nullptr) {
      slot = &known;
      break;
    }
  }
  slot->handle = handle;
  snprintf(slot->path, sizeof slot->path, "%s", path);
  ReleaseSRWLockExclusive(&g_lock);
}

void ForgetHandle(const void* handle) {
  AcquireSRWLockExclusive(&g_lock);
  for (Known& known : g_handles) {
    if (known.handle == handle) known.handle = nullptr;
  }
  ReleaseSRWLockExclusive(&g_lock);
}

void RememberHandler(PHANDLER_ROUTINE handler) { g_handler = handler; }

void* FailurePointer(const char* function) {
  const bool null = strcmp(function, "OpenProcess") == 0 || strcmp(function, "_fdopen") == 0;
  return null ? nullptr : INVALID_HANDLE_VALUE;
}

long long FailureNumber(const char* function) {
  if (strcmp(function, "GetFileAttributesA") == 0) return INVALID_FILE_ATTRIBUTES;
  if (strcmp(function, "WaitForSingleObject") == 0) return WAIT_FAILED;
  if (strcmp(function, "_open_osfhandle") == 0) return -1;
  return 0;  // FALSE, no length, FILE_TYPE_UNKNOWN
}

}  // namespace platform::win32_faults
