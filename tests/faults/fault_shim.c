/* Test-only fault shim, loaded with LD_PRELOAD into the real packer.
 *
 * It interposes the C library calls through which the program touches files,
 * counts them per function and per call site, and on request makes one of them
 * fail, ends the process there (a crash), raises SIGINT there (Ctrl+C), or runs
 * file actions there (change a file between two steps of the program).
 *
 * Only calls made from the main executable are counted or injected; the calls
 * the C library makes internally never pass through here, and the shim's own
 * file work goes straight to the real functions. A call site is the caller's
 * return address minus the main executable's load base, so it is stable across
 * runs of the same binary (addr2line -e <binary> <site-1> names the line).
 *
 * Environment (all optional):
 *   QVF_COUNTS=FILE   write the call counts to FILE when the process exits
 *                     normally: one line "FUNC 0xSITE TOTAL BEFORE" per call
 *                     site, BEFORE being that site's count when the first rule
 *                     fired (its TOTAL when no rule fired).
 *   QVF_LOG=FILE      append one line per fired rule and per action, written at
 *                     once so that it survives a crash:
 *                       fired rule=R func=F site=0xS nth=N do=D when=W path=P
 *                             [path2=Q]
 *                       action KIND PATH ok|failed
 *   QVF_RULE, QVF_RULE1 .. QVF_RULE8
 *                     a rule: blank-separated KEY=VALUE words
 *                       func=NAME    the function (fopen, fread, fwrite, fflush,
 *                                    fclose, ferror, fputs, vfprintf, setvbuf,
 *                                    open, openat, read, write, close, fsync,
 *                                    fdatasync, rename, unlink, remove, mkdir,
 *                                    rmdir, stat, lstat, fstat, fstatat, statvfs,
 *                                    opendir, readdir, closedir, chmod, fchmod,
 *                                    chown, fchown, lchown, getcwd); fopen64,
 *                                    open64, __open_2, stat64 and the other
 *                                    64-bit aliases count as their plain names
 *                       site=0xHEX   only calls from this call site
 *                       path=TEXT    only calls whose path (or either path of a
 *                                    rename; the path a stream, descriptor or
 *                                    directory was opened with) contains TEXT;
 *                                    standard output is "<stdout>"
 *                       pathend=TEXT only calls whose path ends in TEXT
 *                       nth=N        the Nth matching call fires (default 1);
 *                                    every rule counts the calls it matches,
 *                                    also those on which another rule fired
 *                       after=R      only calls made after rule R fired (R: 0
 *                                    for QVF_RULE, 1..8 for QVF_RULE1..8)
 *                       count=K|all  fire K matching calls from the Nth on
 *                                    (default 1: once), or every one
 *                       do=KINDS     '+'-separated, run in this order: action,
 *                                    fail, crash (_exit(99)), interrupt
 *                                    (raise(SIGINT)); default fail
 *                       when=before|after|instead
 *                                    action, crash and interrupt run before the
 *                                    call (default) or after it returned;
 *                                    "instead" runs the action and skips the
 *                                    call, which reports success (functions with
 *                                    an int status, fwrite, fflush, fread (0
 *                                    bytes: end of file), readdir (end of
 *                                    listing)); elsewhere it means before
 *                       errno=NAME|N errno of a failure (default EIO; names:
 *                                    EIO ENOSPC EACCES EPERM ENOENT EEXIST EROFS
 *                                    EBUSY EMFILE EINTR EXDEV ENOTDIR EISDIR)
 *                       act=LIST     actions, ';'-separated, fields ','-separated;
 *                                    a PATH may be a glob pattern (every match):
 *                                      flip,PATH,OFFSET      invert one byte
 *                                      poke,PATH,OFFSET,HEX  overwrite bytes
 *                                      append,PATH,HEX       append bytes
 *                                      truncate,PATH,SIZE
 *                                      delete,PATH           unlink
 *                                      mkdir,PATH
 *                                      create,PATH[,TEXT]    new or truncated
 *                                    a negative OFFSET counts from the end; a
 *                                    relative PATH is taken from the program's
 *                                    current directory (the BBS home)
 *   QVF_FREE="PREFIX=BYTES[;PREFIX=BYTES]"
 *                     statvfs of a path at or below PREFIX reports BYTES free
 *                     and available (f_frsize 1)
 *   QVF_FAST_FSYNC=1  fsync and fdatasync return 0 without syncing (still
 *                     counted and injectable): sweeps need no durability
 *
 * How a failure looks, per function: fopen/opendir/getcwd return NULL; fread
 * and fwrite transfer half the requested items (rounded down), set the stream's
 * error flag and return that count; fflush, fputs and vfprintf set the error
 * flag and return EOF/-1 without writing; fclose, closedir and close release
 * their stream or descriptor and then return EOF/-1; ferror returns 1; setvbuf returns nonzero; readdir returns
 * NULL; the int functions return -1. errno is set in every case.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <link.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

/* ---- Functions ------------------------------------------------------------ */

enum Fn {
  F_fopen, F_fread, F_fwrite, F_fflush, F_fclose, F_ferror, F_fputs, F_vfprintf, F_setvbuf,
  F_open, F_openat, F_read, F_write, F_close, F_fsync, F_fdatasync, F_rename, F_unlink,
  F_remove, F_mkdir, F_rmdir, F_stat, F_lstat, F_fstat, F_fstatat, F_statvfs, F_opendir,
  F_readdir, F_closedir, F_chmod, F_fchmod, F_chown, F_fchown, F_lchown, F_getcwd, F_COUNT
};

static const char* const kFnNames[F_COUNT] = {
  "fopen", "fread", "fwrite", "fflush", "fclose", "ferror", "fputs", "vfprintf", "setvbuf",
  "open", "openat", "read", "write", "close", "fsync", "fdatasync", "rename", "unlink",
  "remove", "mkdir", "rmdir", "stat", "lstat", "fstat", "fstatat", "statvfs", "opendir",
  "readdir", "closedir", "chmod", "fchmod", "chown", "fchown", "lchown", "getcwd"};

static void* Real(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (fn == NULL) {
    static const char text[] = "fault_shim: missing real function\n";
    ssize_t ignored = write(2, text, sizeof text - 1);
    (void)ignored;
    _exit(98);
  }
  return fn;
}

#define REAL(type, name)                          \
  static __typeof__(type) real_##name;            \
  if (real_##name == NULL) real_##name = (__typeof__(type))Real(#name)

/* ---- State ---------------------------------------------------------------- */

enum { kDoAction = 1, kDoFail = 2, kDoCrash = 4, kDoInterrupt = 8 };
enum { kWhenBefore, kWhenAfter, kWhenInstead };
enum { kMaxRules = 9, kMaxText = 1024, kSiteSlots = 8192, kTracked = 256 };

struct Rule {
  int used;
  int fn;
  uintptr_t site;  /* 0: any */
  char path[kMaxText];
  char pathEnd[kMaxText];
  uint64_t nth;
  uint64_t count;  /* UINT64_MAX: all */
  int after;       /* 0, or 1 + the index of the rule that must have fired first */
  int kinds;
  int when;
  int err;
  char act[4 * kMaxText];
  uint64_t seen;
  uint64_t fired;
};

struct Site {
  int used;
  int fn;
  uintptr_t site;
  uint64_t count;
  uint64_t before;
  int beforeSet;
};

struct Tracked {
  const void* key;
  char path[kMaxText];
};

static int g_ready;
static int g_busy;  /* inside the shim's own work: pass every call straight through */
static uintptr_t g_exeBase, g_exeStart, g_exeEnd;
static struct Rule g_rules[kMaxRules];
static struct Site g_sites[kSiteSlots];
static int g_anyFired;
static char g_countsPath[kMaxText];
static char g_logPath[kMaxText];
static char g_free[kMaxText];
static int g_fastFsync;
static struct Tracked g_streams[kTracked];
static struct Tracked g_dirs[kTracked];
static char g_fdPaths[1024][256];

/* ---- Small helpers (no interposed calls) ---------------------------------- */

static void CopyText(char* dest, size_t size, const char* source) {
  size_t len = source ? strlen(source) : 0;
  if (len >= size) len = size - 1;
  if (len) memcpy(dest, source, len);
  dest[len] = '\0';
}

static int FindExe(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  (void)data;
  uintptr_t lo = UINTPTR_MAX, hi = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
    if (ph->p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + ph->p_vaddr;
    if (start < lo) lo = start;
    if (start + ph->p_memsz > hi) hi = start + ph->p_memsz;
  }
  g_exeBase = info->dlpi_addr;
  g_exeStart = lo;
  g_exeEnd = hi;
  return 1; /* the first object is the main program */
}

static int FnByName(const char* name) {
  for (int i = 0; i < F_COUNT; ++i) {
    if (strcmp(kFnNames[i], name) == 0) return i;
  }
  return -1;
}

static int ErrnoByName(const char* text) {
  static const struct { const char* name; int value; } kNames[] = {
    {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"EPERM", EPERM},
    {"ENOENT", ENOENT}, {"EEXIST", EEXIST}, {"EROFS", EROFS}, {"EBUSY", EBUSY},
    {"EMFILE", EMFILE}, {"EINTR", EINTR}, {"EXDEV", EXDEV}, {"ENOTDIR", ENOTDIR},
    {"EISDIR", EISDIR}};
  for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if (strcmp(kNames[i].name, text) == 0) return kNames[i].value;
  }
  int value = atoi(text);
  return value > 0 ? value : EIO;
}

/* Appends one line to QVF_LOG with the real calls, so it survives _exit. */
static void LogLine(const char* format, ...) {
  if (g_logPath[0] == '\0') return;
  char line[3 * kMaxText];
  va_list args;
  va_start(args, format);
  int len = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (len < 0) return;
  if ((size_t)len >= sizeof line) len = (int)sizeof line - 1;
  REAL(int (*)(const char*, int, ...), open);
  REAL(ssize_t (*)(int, const void*, size_t), write);
  REAL(int (*)(int), close);
  int fd = real_open(g_logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t ignored = real_write(fd, line, (size_t)len);
  (void)ignored;
  real_close(fd);
}

/* Parses one rule's words; words of unknown keys are ignored. */
static void ParseRule(const char* text, struct Rule* rule) {
  memset(rule, 0, sizeof *rule);
  if (text[strspn(text, " \t\n")] == '\0') return; /* an empty rule is no rule */
  char buffer[8 * kMaxText];
  CopyText(buffer, sizeof buffer, text);
  memset(rule, 0, sizeof *rule);
  rule->fn = -1;
  rule->nth = 1;
  rule->count = 1;
  rule->kinds = kDoFail;
  rule->when = kWhenBefore;
  rule->err = EIO;
  char* save = NULL;
  for (char* word = strtok_r(buffer, " \t\n", &save); word; word = strtok_r(NULL, " \t\n", &save)) {
    char* eq = strchr(word, '=');
    if (eq == NULL) continue;
    *eq = '\0';
    const char* value = eq + 1;
    if (strcmp(word, "func") == 0) {
      rule->fn = FnByName(value);
    } else if (strcmp(word, "site") == 0) {
      rule->site = (uintptr_t)strtoull(value, NULL, 16);
    } else if (strcmp(word, "path") == 0) {
      CopyText(rule->path, sizeof rule->path, value);
    } else if (strcmp(word, "pathend") == 0) {
      CopyText(rule->pathEnd, sizeof rule->pathEnd, value);
    } else if (strcmp(word, "nth") == 0) {
      rule->nth = strtoull(value, NULL, 10);
      if (rule->nth == 0) rule->nth = 1;
    } else if (strcmp(word, "after") == 0) {
      int index = atoi(value);
      rule->after = index >= 0 && index < kMaxRules ? index + 1 : 0;
    } else if (strcmp(word, "count") == 0) {
      rule->count = strcmp(value, "all") == 0 ? UINT64_MAX : strtoull(value, NULL, 10);
    } else if (strcmp(word, "do") == 0) {
      rule->kinds = 0;
      if (strstr(value, "action")) rule->kinds |= kDoAction;
      if (strstr(value, "fail")) rule->kinds |= kDoFail;
      if (strstr(value, "crash")) rule->kinds |= kDoCrash;
      if (strstr(value, "interrupt")) rule->kinds |= kDoInterrupt;
    } else if (strcmp(word, "when") == 0) {
      rule->when = strcmp(value, "after") == 0     ? kWhenAfter
                   : strcmp(value, "instead") == 0 ? kWhenInstead
                                                   : kWhenBefore;
    } else if (strcmp(word, "errno") == 0) {
      rule->err = ErrnoByName(value);
    } else if (strcmp(word, "act") == 0) {
      CopyText(rule->act, sizeof rule->act, value);
    }
  }
  rule->used = rule->fn >= 0;
  if (!rule->used) {
    static const char msg[] = "fault_shim: rule without a known func= ignored\n";
    ssize_t ignored = write(2, msg, sizeof msg - 1);
    (void)ignored;
  }
}

static void WriteCounts(void);

static void Init(void) {
  if (g_ready) return;
  g_ready = 1;
  g_busy = 1;
  dl_iterate_phdr(FindExe, NULL);
  CopyText(g_countsPath, sizeof g_countsPath, getenv("QVF_COUNTS"));
  CopyText(g_logPath, sizeof g_logPath, getenv("QVF_LOG"));
  CopyText(g_free, sizeof g_free, getenv("QVF_FREE"));
  const char* fast = getenv("QVF_FAST_FSYNC");
  g_fastFsync = fast && fast[0] == '1';
  const char* first = getenv("QVF_RULE");
  if (first) ParseRule(first, &g_rules[0]);
  for (int i = 1; i < kMaxRules; ++i) {
    char name[16];
    snprintf(name, sizeof name, "QVF_RULE%d", i);
    const char* text = getenv(name);
    if (text) ParseRule(text, &g_rules[i]);
  }
  if (g_countsPath[0]) atexit(WriteCounts);
  g_busy = 0;
}

__attribute__((constructor)) static void InitAtLoad(void) { Init(); }

static struct Site* SiteSlot(int fn, uintptr_t site) {
  size_t h = ((size_t)site * 2654435761u + (size_t)fn * 40503u) % kSiteSlots;
  for (size_t probe = 0; probe < kSiteSlots; ++probe) {
    struct Site* slot = &g_sites[(h + probe) % kSiteSlots];
    if (!slot->used) {
      slot->used = 1;
      slot->fn = fn;
      slot->site = site;
      return slot;
    }
    if (slot->fn == fn && slot->site == site) return slot;
  }
  return NULL;
}

static void WriteCounts(void) {
  g_busy = 1;
  REAL(FILE* (*)(const char*, const char*), fopen);
  REAL(int (*)(FILE*), fclose);
  FILE* out = real_fopen(g_countsPath, "w");
  if (out == NULL) return;
  for (int i = 0; i < kSiteSlots; ++i) {
    const struct Site* s = &g_sites[i];
    if (!s->used) continue;
    fprintf(out, "%s 0x%lx %llu %llu\n", kFnNames[s->fn], (unsigned long)s->site,
            (unsigned long long)s->count,
            (unsigned long long)(s->beforeSet ? s->before : s->count));
  }
  real_fclose(out);
}

/* Remembers every site's count at the moment the first rule fires. */
static void MarkFirstFire(void) {
  if (g_anyFired) return;
  g_anyFired = 1;
  for (int i = 0; i < kSiteSlots; ++i) {
    if (!g_sites[i].used) continue;
    g_sites[i].before = g_sites[i].count;
    g_sites[i].beforeSet = 1;
  }
}

/* ---- Paths of streams, descriptors and directories ------------------------ */

static void Track(struct Tracked* table, const void* key, const char* path) {
  if (key == NULL) return;
  for (int i = 0; i < kTracked; ++i) {
    if (table[i].key == NULL || table[i].key == key) {
      table[i].key = key;
      CopyText(table[i].path, sizeof table[i].path, path);
      return;
    }
  }
}

static void Untrack(struct Tracked* table, const void* key) {
  for (int i = 0; i < kTracked; ++i) {
    if (table[i].key == key) table[i].key = NULL;
  }
}

static const char* TrackedPath(const struct Tracked* table, const void* key) {
  for (int i = 0; i < kTracked; ++i) {
    if (table[i].key == key) return table[i].path;
  }
  return "";
}

static const char* StreamPath(FILE* stream) {
  if (stream == stdout) return "<stdout>";
  if (stream == stderr) return "<stderr>";
  if (stream == NULL) return "<all>";
  return TrackedPath(g_streams, stream);
}

static void TrackFd(int fd, const char* path) {
  if (fd >= 0 && fd < 1024) CopyText(g_fdPaths[fd], sizeof g_fdPaths[fd], path);
}

static const char* FdPath(int fd) {
  if (fd == 1) return "<stdout>";
  if (fd == 2) return "<stderr>";
  return fd >= 0 && fd < 1024 ? g_fdPaths[fd] : "";
}

/* ---- Actions -------------------------------------------------------------- */

static int HexBytes(const char* hex, unsigned char* out, size_t size) {
  size_t n = 0;
  while (hex[0] && hex[1] && n < size) {
    char pair[3] = {hex[0], hex[1], 0};
    out[n++] = (unsigned char)strtoul(pair, NULL, 16);
    hex += 2;
  }
  return (int)n;
}

static int PatchAt(const char* path, long long offset, const unsigned char* bytes, int len,
                   int invert) {
  REAL(int (*)(const char*, int, ...), open);
  REAL(int (*)(int), close);
  int fd = real_open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  off_t size = lseek(fd, 0, SEEK_END);
  off_t at = offset < 0 ? size + offset : offset;
  int ok = at >= 0 && at + len <= size;
  unsigned char buffer[256];
  if (ok && invert) ok = pread(fd, buffer, 1, at) == 1;
  if (ok && invert) buffer[0] = (unsigned char)~buffer[0];
  if (ok) ok = pwrite(fd, invert ? buffer : bytes, (size_t)len, at) == len;
  real_close(fd);
  return ok ? 0 : -1;
}

static int RunOneAction(char* fields[], int n, const char* path) {
  REAL(int (*)(const char*, int, ...), open);
  REAL(ssize_t (*)(int, const void*, size_t), write);
  REAL(int (*)(int), close);
  REAL(int (*)(const char*), unlink);
  REAL(int (*)(const char*, mode_t), mkdir);
  const char* kind = fields[0];
  unsigned char bytes[256];
  if (strcmp(kind, "flip") == 0 && n >= 3) {
    return PatchAt(path, atoll(fields[2]), bytes, 1, 1);
  }
  if (strcmp(kind, "poke") == 0 && n >= 4) {
    int len = HexBytes(fields[3], bytes, sizeof bytes);
    return PatchAt(path, atoll(fields[2]), bytes, len, 0);
  }
  if (strcmp(kind, "append") == 0 && n >= 3) {
    int len = HexBytes(fields[2], bytes, sizeof bytes);
    int fd = real_open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return -1;
    int ok = real_write(fd, bytes, (size_t)len) == len;
    real_close(fd);
    return ok ? 0 : -1;
  }
  if (strcmp(kind, "truncate") == 0 && n >= 3) return truncate(path, atoll(fields[2]));
  if (strcmp(kind, "delete") == 0) return real_unlink(path);
  if (strcmp(kind, "mkdir") == 0) return real_mkdir(path, 0755);
  if (strcmp(kind, "create") == 0) {
    int fd = real_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const char* text = n >= 3 ? fields[2] : "";
    int ok = real_write(fd, text, strlen(text)) == (ssize_t)strlen(text);
    real_close(fd);
    return ok ? 0 : -1;
  }
  errno = EINVAL;
  return -1;
}

/* Runs every action of a rule, each on every match of its path pattern. */
static void RunActions(const char* list) {
  char buffer[4 * kMaxText];
  CopyText(buffer, sizeof buffer, list);
  char* save = NULL;
  for (char* action = strtok_r(buffer, ";", &save); action; action = strtok_r(NULL, ";", &save)) {
    char* fields[8];
    int n = 0;
    char* fieldSave = NULL;
    for (char* f = strtok_r(action, ",", &fieldSave); f && n < 8; f = strtok_r(NULL, ",", &fieldSave)) {
      fields[n++] = f;
    }
    if (n < 2) continue;
    glob_t matches;
    int globbed = glob(fields[1], GLOB_NOCHECK, NULL, &matches) == 0;
    size_t count = globbed ? matches.gl_pathc : 1;
    for (size_t i = 0; i < count; ++i) {
      const char* path = globbed ? matches.gl_pathv[i] : fields[1];
      int rc = RunOneAction(fields, n, path);
      LogLine("action %s %s %s\n", fields[0], path, rc == 0 ? "ok" : "failed");
    }
    if (globbed) globfree(&matches);
  }
}

/* ---- Rule matching -------------------------------------------------------- */

struct Call {
  int fn;
  uintptr_t site;
  const char* path;
  const char* path2;
  struct Rule* rule;  /* the rule that fired, or NULL */
  uint64_t nth;
};

static int PathMatches(const struct Rule* rule, const char* path) {
  if (path == NULL) path = "";
  if (rule->path[0] && strstr(path, rule->path) == NULL) return 0;
  if (rule->pathEnd[0]) {
    size_t len = strlen(path), endLen = strlen(rule->pathEnd);
    if (len < endLen || strcmp(path + len - endLen, rule->pathEnd) != 0) return 0;
  }
  return 1;
}

static void RunKinds(const struct Call* call, int kinds) {
  if (kinds & kDoAction) RunActions(call->rule->act);
  if (kinds & kDoCrash) _exit(99);
  if (kinds & kDoInterrupt) {
    g_busy = 0;  /* the program's own interrupt clean-up runs with its real calls */
    raise(SIGINT);
    g_busy = 1;
  }
}

/* Counts the call and finds the rule it fires. Returns 1 when the call must
 * fail, 2 when it must be skipped as if it succeeded, 0 to let it run. */
static int Enter(struct Call* call) {
  call->rule = NULL;
  if (!g_ready) Init();
  if (g_busy || call->site < g_exeStart || call->site >= g_exeEnd) return 0;
  g_busy = 1;
  call->site -= g_exeBase;
  struct Site* slot = SiteSlot(call->fn, call->site);
  if (slot) slot->count++;
  /* Every rule counts every call it matches, so that its nth does not depend on
   * the other rules; the first rule that is due fires. */
  for (int i = 0; i < kMaxRules; ++i) {
    struct Rule* rule = &g_rules[i];
    if (!rule->used || rule->fn != call->fn) continue;
    if (rule->site && rule->site != call->site) continue;
    if (rule->after && g_rules[rule->after - 1].fired == 0) continue;
    if (!PathMatches(rule, call->path) && !(call->path2 && PathMatches(rule, call->path2))) continue;
    uint64_t seen = ++rule->seen;
    if (call->rule || seen < rule->nth || rule->fired >= rule->count) continue;
    rule->fired++;
    call->rule = rule;
    call->nth = seen;
  }
  int result = 0;
  if (call->rule) {
    struct Rule* rule = call->rule;
    MarkFirstFire();
    char kinds[64] = "";
    if (rule->kinds & kDoAction) strcat(kinds, "+action");
    if (rule->kinds & kDoFail) strcat(kinds, "+fail");
    if (rule->kinds & kDoCrash) strcat(kinds, "+crash");
    if (rule->kinds & kDoInterrupt) strcat(kinds, "+interrupt");
    LogLine("fired rule=%d func=%s site=0x%lx nth=%llu do=%s when=%s path=%s%s%s\n",
            (int)(rule - g_rules), kFnNames[call->fn], (unsigned long)call->site,
            (unsigned long long)call->nth, kinds[0] ? kinds + 1 : "none",
            rule->when == kWhenAfter ? "after" : rule->when == kWhenInstead ? "instead" : "before",
            call->path ? call->path : "", call->path2 ? " path2=" : "",
            call->path2 ? call->path2 : "");
    if (rule->when != kWhenAfter) RunKinds(call, rule->kinds & ~kDoFail);
    if (rule->kinds & kDoFail) result = 1;
    else if (rule->when == kWhenInstead) result = 2;
  }
  g_busy = 0;
  return result;
}

/* After the real call: the "after" kinds of the rule that fired. */
static void Leave(const struct Call* call) {
  if (call->rule == NULL || call->rule->when != kWhenAfter) return;
  int saved = errno;
  g_busy = 1;
  RunKinds(call, call->rule->kinds & ~kDoFail);
  g_busy = 0;
  errno = saved;
}

static int FailErrno(const struct Call* call) { return call->rule->err; }

#define CALL(fnid, p1, p2) \
  struct Call call = {fnid, (uintptr_t)__builtin_return_address(0), p1, p2, NULL, 0}; \
  int verdict = Enter(&call)

static void SetStreamError(FILE* stream) {
  if (stream) stream->_flags |= _IO_ERR_SEEN;
}

/* ---- stdio ---------------------------------------------------------------- */

static FILE* OpenStream(const char* name, const char* path, const char* mode, struct Call* call,
                        int verdict) {
  REAL(FILE* (*)(const char*, const char*), fopen);
  REAL(FILE* (*)(const char*, const char*), fopen64);
  if (verdict == 1) {
    errno = FailErrno(call);
    return NULL;
  }
  FILE* stream = strcmp(name, "fopen") == 0 ? real_fopen(path, mode) : real_fopen64(path, mode);
  int saved = errno;
  if (stream) Track(g_streams, stream, path);
  Leave(call);
  errno = saved;
  return stream;
}

FILE* fopen(const char* path, const char* mode) {
  CALL(F_fopen, path, NULL);
  return OpenStream("fopen", path, mode, &call, verdict);
}

FILE* fopen64(const char* path, const char* mode) {
  CALL(F_fopen, path, NULL);
  return OpenStream("fopen64", path, mode, &call, verdict);
}

size_t fread(void* data, size_t size, size_t items, FILE* stream) {
  REAL(size_t (*)(void*, size_t, size_t, FILE*), fread);
  CALL(F_fread, StreamPath(stream), NULL);
  if (verdict == 2) return 0;
  if (verdict == 1) {
    size_t half = items / 2;
    size_t got = half ? real_fread(data, size, half, stream) : 0;
    SetStreamError(stream);
    errno = FailErrno(&call);
    return got;
  }
  size_t got = real_fread(data, size, items, stream);
  Leave(&call);
  return got;
}

size_t fwrite(const void* data, size_t size, size_t items, FILE* stream) {
  REAL(size_t (*)(const void*, size_t, size_t, FILE*), fwrite);
  CALL(F_fwrite, StreamPath(stream), NULL);
  if (verdict == 2) return items;
  if (verdict == 1) {
    size_t half = items / 2;
    size_t put = half ? real_fwrite(data, size, half, stream) : 0;
    SetStreamError(stream);
    errno = FailErrno(&call);
    return put;
  }
  size_t put = real_fwrite(data, size, items, stream);
  Leave(&call);
  return put;
}

int fflush(FILE* stream) {
  REAL(int (*)(FILE*), fflush);
  CALL(F_fflush, StreamPath(stream), NULL);
  if (verdict == 2) return 0;
  if (verdict == 1) {
    SetStreamError(stream);
    errno = FailErrno(&call);
    return EOF;
  }
  int rc = real_fflush(stream);
  Leave(&call);
  return rc;
}

int fclose(FILE* stream) {
  REAL(int (*)(FILE*), fclose);
  CALL(F_fclose, StreamPath(stream), NULL);
  Untrack(g_streams, stream);
  int rc = real_fclose(stream);
  if (verdict == 1) {
    errno = FailErrno(&call);
    return EOF;
  }
  Leave(&call);
  return rc;
}

int ferror(FILE* stream) {
  REAL(int (*)(FILE*), ferror);
  CALL(F_ferror, StreamPath(stream), NULL);
  if (verdict == 2) return 0;
  if (verdict == 1) return 1;
  int rc = real_ferror(stream);
  Leave(&call);
  return rc;
}

int fputs(const char* text, FILE* stream) {
  REAL(int (*)(const char*, FILE*), fputs);
  CALL(F_fputs, StreamPath(stream), NULL);
  if (verdict == 2) return 0;
  if (verdict == 1) {
    SetStreamError(stream);
    errno = FailErrno(&call);
    return EOF;
  }
  int rc = real_fputs(text, stream);
  Leave(&call);
  return rc;
}

int vfprintf(FILE* stream, const char* format, va_list args) {
  REAL(int (*)(FILE*, const char*, va_list), vfprintf);
  CALL(F_vfprintf, StreamPath(stream), NULL);
  if (verdict == 2) return 0;
  if (verdict == 1) {
    SetStreamError(stream);
    errno = FailErrno(&call);
    return -1;
  }
  int rc = real_vfprintf(stream, format, args);
  Leave(&call);
  return rc;
}

int setvbuf(FILE* stream, char* buffer, int mode, size_t size) {
  REAL(int (*)(FILE*, char*, int, size_t), setvbuf);
  CALL(F_setvbuf, StreamPath(stream), NULL);
  if (verdict == 2) return 0;
  if (verdict == 1) {
    errno = FailErrno(&call);
    return EOF;
  }
  int rc = real_setvbuf(stream, buffer, mode, size);
  Leave(&call);
  return rc;
}

/* ---- Descriptors ---------------------------------------------------------- */

static mode_t ModeArgument(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

/* An int-returning call: fail with -1, skip as success, or run it. */
#define INT_RESULT(expr)                 \
  if (verdict == 2) return 0;            \
  if (verdict == 1) {                    \
    errno = FailErrno(&call);            \
    return -1;                           \
  }                                      \
  int rc = (expr);                       \
  int saved = errno;                     \
  Leave(&call);                          \
  errno = saved;                         \
  return rc

static int OpenFd(const char* name, int dirfd, const char* path, int flags, mode_t mode,
                  struct Call* call, int verdict) {
  REAL(int (*)(const char*, int, ...), open);
  REAL(int (*)(const char*, int, ...), open64);
  REAL(int (*)(int, const char*, int, ...), openat);
  REAL(int (*)(int, const char*, int, ...), openat64);
  if (verdict == 1) {
    errno = FailErrno(call);
    return -1;
  }
  int fd;
  if (strcmp(name, "open") == 0) fd = real_open(path, flags, mode);
  else if (strcmp(name, "open64") == 0) fd = real_open64(path, flags, mode);
  else if (strcmp(name, "openat") == 0) fd = real_openat(dirfd, path, flags, mode);
  else fd = real_openat64(dirfd, path, flags, mode);
  int saved = errno;
  if (fd >= 0) TrackFd(fd, path);
  Leave(call);
  errno = saved;
  return fd;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  CALL(F_open, path, NULL);
  return OpenFd("open", AT_FDCWD, path, flags, mode, &call, verdict);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  CALL(F_open, path, NULL);
  return OpenFd("open64", AT_FDCWD, path, flags, mode, &call, verdict);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  CALL(F_openat, path, NULL);
  return OpenFd("openat", dirfd, path, flags, mode, &call, verdict);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  CALL(F_openat, path, NULL);
  return OpenFd("openat64", dirfd, path, flags, mode, &call, verdict);
}

/* The checked variants that _FORTIFY_SOURCE builds call for open without a mode. */
int __open_2(const char* path, int flags) {
  CALL(F_open, path, NULL);
  return OpenFd("open", AT_FDCWD, path, flags, 0, &call, verdict);
}

int __openat_2(int dirfd, const char* path, int flags) {
  CALL(F_openat, path, NULL);
  return OpenFd("openat", dirfd, path, flags, 0, &call, verdict);
}

ssize_t read(int fd, void* data, size_t len) {
  REAL(ssize_t (*)(int, void*, size_t), read);
  CALL(F_read, FdPath(fd), NULL);
  if (verdict == 2) return 0;
  if (verdict == 1) {
    errno = FailErrno(&call);
    return -1;
  }
  ssize_t got = real_read(fd, data, len);
  int saved = errno;
  Leave(&call);
  errno = saved;
  return got;
}

ssize_t write(int fd, const void* data, size_t len) {
  REAL(ssize_t (*)(int, const void*, size_t), write);
  CALL(F_write, FdPath(fd), NULL);
  if (verdict == 2) return (ssize_t)len;
  if (verdict == 1) {
    errno = FailErrno(&call);
    return -1;
  }
  ssize_t put = real_write(fd, data, len);
  int saved = errno;
  Leave(&call);
  errno = saved;
  return put;
}

int close(int fd) {
  REAL(int (*)(int), close);
  CALL(F_close, FdPath(fd), NULL);
  /* Like Linux: the descriptor is released even when close reports an error. */
  int rc = real_close(fd);
  if (verdict == 1) {
    errno = FailErrno(&call);
    return -1;
  }
  int saved = errno;
  Leave(&call);
  errno = saved;
  return verdict == 2 ? 0 : rc;
}

int fsync(int fd) {
  REAL(int (*)(int), fsync);
  CALL(F_fsync, FdPath(fd), NULL);
  INT_RESULT(g_fastFsync ? 0 : real_fsync(fd));
}

int fdatasync(int fd) {
  REAL(int (*)(int), fdatasync);
  CALL(F_fdatasync, FdPath(fd), NULL);
  INT_RESULT(g_fastFsync ? 0 : real_fdatasync(fd));
}

/* ---- Names ---------------------------------------------------------------- */

int rename(const char* from, const char* to) {
  REAL(int (*)(const char*, const char*), rename);
  CALL(F_rename, from, to);
  INT_RESULT(real_rename(from, to));
}

int unlink(const char* path) {
  REAL(int (*)(const char*), unlink);
  CALL(F_unlink, path, NULL);
  INT_RESULT(real_unlink(path));
}

int remove(const char* path) {
  REAL(int (*)(const char*), remove);
  CALL(F_remove, path, NULL);
  INT_RESULT(real_remove(path));
}

int mkdir(const char* path, mode_t mode) {
  REAL(int (*)(const char*, mode_t), mkdir);
  CALL(F_mkdir, path, NULL);
  INT_RESULT(real_mkdir(path, mode));
}

int rmdir(const char* path) {
  REAL(int (*)(const char*), rmdir);
  CALL(F_rmdir, path, NULL);
  INT_RESULT(real_rmdir(path));
}

int chmod(const char* path, mode_t mode) {
  REAL(int (*)(const char*, mode_t), chmod);
  CALL(F_chmod, path, NULL);
  INT_RESULT(real_chmod(path, mode));
}

int fchmod(int fd, mode_t mode) {
  REAL(int (*)(int, mode_t), fchmod);
  CALL(F_fchmod, FdPath(fd), NULL);
  INT_RESULT(real_fchmod(fd, mode));
}

int chown(const char* path, uid_t owner, gid_t group) {
  REAL(int (*)(const char*, uid_t, gid_t), chown);
  CALL(F_chown, path, NULL);
  INT_RESULT(real_chown(path, owner, group));
}

int fchown(int fd, uid_t owner, gid_t group) {
  REAL(int (*)(int, uid_t, gid_t), fchown);
  CALL(F_fchown, FdPath(fd), NULL);
  INT_RESULT(real_fchown(fd, owner, group));
}

int lchown(const char* path, uid_t owner, gid_t group) {
  REAL(int (*)(const char*, uid_t, gid_t), lchown);
  CALL(F_lchown, path, NULL);
  INT_RESULT(real_lchown(path, owner, group));
}

char* getcwd(char* buffer, size_t size) {
  REAL(char* (*)(char*, size_t), getcwd);
  CALL(F_getcwd, "", NULL);
  if (verdict == 1) {
    errno = FailErrno(&call);
    return NULL;
  }
  char* result = real_getcwd(buffer, size);
  int saved = errno;
  Leave(&call);
  errno = saved;
  return result;
}

/* ---- Attributes ----------------------------------------------------------- */

int stat(const char* path, struct stat* out) {
  REAL(int (*)(const char*, struct stat*), stat);
  CALL(F_stat, path, NULL);
  INT_RESULT(real_stat(path, out));
}

int stat64(const char* path, struct stat64* out) {
  REAL(int (*)(const char*, struct stat64*), stat64);
  CALL(F_stat, path, NULL);
  INT_RESULT(real_stat64(path, out));
}

int lstat(const char* path, struct stat* out) {
  REAL(int (*)(const char*, struct stat*), lstat);
  CALL(F_lstat, path, NULL);
  INT_RESULT(real_lstat(path, out));
}

int lstat64(const char* path, struct stat64* out) {
  REAL(int (*)(const char*, struct stat64*), lstat64);
  CALL(F_lstat, path, NULL);
  INT_RESULT(real_lstat64(path, out));
}

int fstat(int fd, struct stat* out) {
  REAL(int (*)(int, struct stat*), fstat);
  CALL(F_fstat, FdPath(fd), NULL);
  INT_RESULT(real_fstat(fd, out));
}

int fstat64(int fd, struct stat64* out) {
  REAL(int (*)(int, struct stat64*), fstat64);
  CALL(F_fstat, FdPath(fd), NULL);
  INT_RESULT(real_fstat64(fd, out));
}

int fstatat(int dirfd, const char* path, struct stat* out, int flags) {
  REAL(int (*)(int, const char*, struct stat*, int), fstatat);
  CALL(F_fstatat, path, NULL);
  INT_RESULT(real_fstatat(dirfd, path, out, flags));
}

int fstatat64(int dirfd, const char* path, struct stat64* out, int flags) {
  REAL(int (*)(int, const char*, struct stat64*, int), fstatat64);
  CALL(F_fstatat, path, NULL);
  INT_RESULT(real_fstatat64(dirfd, path, out, flags));
}

/* QVF_FREE: the free bytes to report for path, or -1 when no prefix covers it. */
static long long FreeOverride(const char* path) {
  if (g_free[0] == '\0' || path == NULL) return -1;
  char list[kMaxText];
  CopyText(list, sizeof list, g_free);
  char* save = NULL;
  for (char* item = strtok_r(list, ";", &save); item; item = strtok_r(NULL, ";", &save)) {
    char* eq = strrchr(item, '=');
    if (eq == NULL) continue;
    *eq = '\0';
    size_t len = strlen(item);
    if (strncmp(path, item, len) == 0 && (path[len] == '\0' || path[len] == '/')) {
      return atoll(eq + 1);
    }
  }
  return -1;
}

static void ApplyFree(const char* path, unsigned long* frsize, unsigned long* bsize,
                      fsblkcnt_t* bavail, fsblkcnt_t* bfree) {
  long long bytes = FreeOverride(path);
  if (bytes < 0) return;
  *frsize = 1;
  *bsize = 1;
  *bavail = (fsblkcnt_t)bytes;
  *bfree = (fsblkcnt_t)bytes;
}

int statvfs(const char* path, struct statvfs* out) {
  REAL(int (*)(const char*, struct statvfs*), statvfs);
  CALL(F_statvfs, path, NULL);
  if (verdict == 2) return 0;
  if (verdict == 1) {
    errno = FailErrno(&call);
    return -1;
  }
  int rc = real_statvfs(path, out);
  if (rc == 0) ApplyFree(path, &out->f_frsize, &out->f_bsize, &out->f_bavail, &out->f_bfree);
  int saved = errno;
  Leave(&call);
  errno = saved;
  return rc;
}

int statvfs64(const char* path, struct statvfs64* out) {
  REAL(int (*)(const char*, struct statvfs64*), statvfs64);
  CALL(F_statvfs, path, NULL);
  if (verdict == 2) return 0;
  if (verdict == 1) {
    errno = FailErrno(&call);
    return -1;
  }
  int rc = real_statvfs64(path, out);
  if (rc == 0) {
    fsblkcnt_t bavail = (fsblkcnt_t)out->f_bavail, bfree = (fsblkcnt_t)out->f_bfree;
    ApplyFree(path, &out->f_frsize, &out->f_bsize, &bavail, &bfree);
    out->f_bavail = bavail;
    out->f_bfree = bfree;
  }
  int saved = errno;
  Leave(&call);
  errno = saved;
  return rc;
}

/* ---- Directories ---------------------------------------------------------- */

DIR* opendir(const char* path) {
  REAL(DIR* (*)(const char*), opendir);
  CALL(F_opendir, path, NULL);
  if (verdict == 1) {
    errno = FailErrno(&call);
    return NULL;
  }
  DIR* dir = real_opendir(path);
  int saved = errno;
  if (dir) Track(g_dirs, dir, path);
  Leave(&call);
  errno = saved;
  return dir;
}

struct dirent* readdir(DIR* dir) {
  REAL(struct dirent* (*)(DIR*), readdir);
  CALL(F_readdir, TrackedPath(g_dirs, dir), NULL);
  if (verdict == 2) return NULL;
  if (verdict == 1) {
    errno = FailErrno(&call);
    return NULL;
  }
  struct dirent* entry = real_readdir(dir);
  int saved = errno;
  Leave(&call);
  errno = saved;
  return entry;
}

struct dirent64* readdir64(DIR* dir) {
  REAL(struct dirent64* (*)(DIR*), readdir64);
  CALL(F_readdir, TrackedPath(g_dirs, dir), NULL);
  if (verdict == 2) return NULL;
  if (verdict == 1) {
    errno = FailErrno(&call);
    return NULL;
  }
  struct dirent64* entry = real_readdir64(dir);
  int saved = errno;
  Leave(&call);
  errno = saved;
  return entry;
}

int closedir(DIR* dir) {
  REAL(int (*)(DIR*), closedir);
  CALL(F_closedir, TrackedPath(g_dirs, dir), NULL);
  Untrack(g_dirs, dir);
  int rc = real_closedir(dir);
  if (verdict == 1) {
    errno = FailErrno(&call);
    return -1;
  }
  int saved = errno;
  Leave(&call);
  errno = saved;
  return verdict == 2 ? 0 : rc;
}
