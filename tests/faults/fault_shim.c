/* Test-only fault shim, preloaded (LD_PRELOAD) into the real packer. It
 * interposes the C library calls through which the program touches files,
 * counts them per call site, and on request makes one fail, ends the process
 * there (_exit(99), a crash), raises SIGINT there, or edits files there.
 *
 * Only calls made from the main executable count; a call site is the return
 * address minus the executable's load base (addr2line -e qvculldb SITE-1).
 *
 * Environment:
 *   QVF_COUNTS=FILE  at exit, one line "FUNC 0xSITE TOTAL BEFORE" per call site,
 *                    BEFORE being its count when the first rule fired
 *   QVF_LOG=FILE     "fired rule=R func=F site=0xS nth=N path=P [path2=Q]" and
 *                    "action KIND PATH ok|failed" lines, written at once
 *   QVF_RULE1..8     blank-separated KEY=VALUE words:
 *                      func=NAME     one of the interposed functions below
 *                      site=0xHEX    only calls from this site
 *                      path=TEXT     only calls whose path (either path of a
 *                                    rename; a stream's or descriptor's open
 *                                    path; "<stdout>") contains TEXT
 *                      pathend=TEXT  ... ends with TEXT
 *                      nth=N         the Nth matching call fires (default 1)
 *                      after=R       only once rule R has fired
 *                      do=KINDS      '+'-joined: action, fail, crash, interrupt
 *                      when=after    action, crash, interrupt after the call
 *                      errno=NAME    of a failure (default EIO)
 *                      act=A;B       flip,PATH,OFF  poke,PATH,OFF,HEX
 *                                    append,PATH,HEX  create,PATH,TEXT
 *                                    delete,PATH  (PATH a glob, relative to the
 *                                    program's directory; OFF < 0 from the end)
 *   QVF_FREE=PREFIX=BYTES  statvfs at or below PREFIX reports BYTES free
 *   QVF_FAST_FSYNC=1       fsync returns 0 without syncing
 *
 * A failed fopen/opendir/getcwd returns NULL; fread/fwrite move half the items
 * and set the stream's error flag; fflush/fputs/vfprintf set it and write
 * nothing; fclose/closedir/close release and then fail; ferror returns 1;
 * readdir returns NULL; the rest return -1. errno is set in every case. */
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

#define FUNCTIONS(X) X(fopen) X(fread) X(fwrite) X(fflush) X(fclose) X(ferror) X(fputs) \
  X(vfprintf) X(setvbuf) X(open) X(read) X(write) X(close) X(fsync) X(rename) X(unlink) \
  X(mkdir) X(chmod) X(chown) X(stat) X(fstatat) X(statvfs) X(getcwd) X(opendir) X(readdir) \
  X(closedir)
#define AS_ENUM(name) F_##name,
#define AS_NAME(name) #name,
enum Fn { FUNCTIONS(AS_ENUM) F_COUNT };
static const char* const kFnNames[] = {FUNCTIONS(AS_NAME)};

enum { kMaxRules = 9, kMaxSites = 1024, kTracked = 256, kText = 1024 };
enum { kAction = 1, kFail = 2, kCrash = 4, kInterrupt = 8 };

struct Rule {
  int fn, kinds, after, err, whenAfter;
  uintptr_t site;
  uint64_t nth, seen, fired;
  char path[kText], pathEnd[kText], act[kText];
};
struct Site { int fn; uintptr_t site; uint64_t count, before; };
struct Tracked { uintptr_t key; char path[kText]; };
struct Call { int fn; uintptr_t site; const char* path; const char* path2; struct Rule* rule; };

static int g_ready, g_anyFired, g_sitesUsed, g_fastFsync;
static uintptr_t g_base, g_start, g_end;
static struct Rule g_rules[kMaxRules];
static struct Site g_sites[kMaxSites];
static struct Tracked g_tracked[kTracked];
static char g_counts[kText], g_log[kText], g_free[kText];

static void Copy(char* dest, const char* source) {
  snprintf(dest, kText, "%s", source ? source : "");
}

static int FindExe(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size, (void)data;
  g_base = info->dlpi_addr;
  g_start = UINTPTR_MAX;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
    if (ph->p_type != PT_LOAD) continue;
    uintptr_t start = g_base + ph->p_vaddr;
    if (start < g_start) g_start = start;
    if (start + ph->p_memsz > g_end) g_end = start + ph->p_memsz;
  }
  return 1; /* the first object is the program */
}

/* The shim's own calls come from outside the program and pass straight through. */
static void LogLine(const char* format, ...) {
  if (g_log[0] == '\0') return;
  char line[3 * kText];
  va_list args;
  va_start(args, format);
  int len = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  int fd = open(g_log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0 || len < 0) return;
  if (write(fd, line, strlen(line)) < 0) len = -1;
  close(fd);
}

static void ParseRule(const char* text, struct Rule* rule) {
  static const struct { const char* name; int value; } kErrnos[] = {
      {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EACCES", EACCES},
      {"ENOENT", ENOENT}, {"EEXIST", EEXIST}, {"EXDEV", EXDEV}};
  char buffer[4 * kText], *save = NULL;
  snprintf(buffer, sizeof buffer, "%s", text);
  *rule = (struct Rule){.fn = -1, .kinds = kFail, .err = EIO, .nth = 1};
  for (char* word = strtok_r(buffer, " ", &save); word; word = strtok_r(NULL, " ", &save)) {
    char* value = strchr(word, '=');
    if (value == NULL) continue;
    *value++ = '\0';
    if (strcmp(word, "func") == 0) {
      for (int i = 0; i < F_COUNT; ++i) rule->fn = strcmp(kFnNames[i], value) ? rule->fn : i;
    } else if (strcmp(word, "site") == 0) rule->site = strtoull(value, NULL, 16);
    else if (strcmp(word, "path") == 0) Copy(rule->path, value);
    else if (strcmp(word, "pathend") == 0) Copy(rule->pathEnd, value);
    else if (strcmp(word, "nth") == 0) rule->nth = strtoull(value, NULL, 10);
    else if (strcmp(word, "after") == 0) rule->after = atoi(value);
    else if (strcmp(word, "when") == 0) rule->whenAfter = strcmp(value, "after") == 0;
    else if (strcmp(word, "act") == 0) Copy(rule->act, value);
    else if (strcmp(word, "do") == 0) {
      rule->kinds = (strstr(value, "action") ? kAction : 0) | (strstr(value, "fail") ? kFail : 0) |
                    (strstr(value, "crash") ? kCrash : 0) |
                    (strstr(value, "interrupt") ? kInterrupt : 0);
    } else if (strcmp(word, "errno") == 0) {
      for (size_t i = 0; i < sizeof kErrnos / sizeof kErrnos[0]; ++i) {
        if (strcmp(kErrnos[i].name, value) == 0) rule->err = kErrnos[i].value;
      }
    }
  }
}

static void WriteCounts(void) {
  FILE* out = fopen(g_counts, "w");
  for (int i = 0; out && i < g_sitesUsed; ++i) {
    const struct Site* s = &g_sites[i];
    fprintf(out, "%s 0x%lx %llu %llu\n", kFnNames[s->fn], (unsigned long)s->site,
            (unsigned long long)s->count, (unsigned long long)(g_anyFired ? s->before : s->count));
  }
  if (out) fclose(out);
}

__attribute__((constructor)) static void Init(void) {
  if (g_ready) return;
  g_ready = 1;
  dl_iterate_phdr(FindExe, NULL);
  Copy(g_counts, getenv("QVF_COUNTS"));
  Copy(g_log, getenv("QVF_LOG"));
  Copy(g_free, getenv("QVF_FREE"));
  g_fastFsync = getenv("QVF_FAST_FSYNC") != NULL;
  for (int i = 1; i < kMaxRules; ++i) {
    char name[16];
    snprintf(name, sizeof name, "QVF_RULE%d", i);
    const char* text = getenv(name);
    if (text && text[0]) ParseRule(text, &g_rules[i]);
    else g_rules[i].fn = -1;
  }
  g_rules[0].fn = -1;
  if (g_counts[0]) atexit(WriteCounts);
}

/* ---- Paths of streams (by pointer) and descriptors (by number) ------------ */

static void Track(uintptr_t key, const char* path) {
  for (int i = 0; key && i < kTracked; ++i) {
    if (g_tracked[i].key == 0 || g_tracked[i].key == key) {
      g_tracked[i].key = key;
      Copy(g_tracked[i].path, path);
      return;
    }
  }
}

static void Untrack(uintptr_t key) {
  for (int i = 0; i < kTracked; ++i) g_tracked[i].key = g_tracked[i].key == key ? 0 : g_tracked[i].key;
}

static const char* PathOf(uintptr_t key) {
  if (key == (uintptr_t)stdout) return "<stdout>";
  for (int i = 0; key && i < kTracked; ++i) {
    if (g_tracked[i].key == key) return g_tracked[i].path;
  }
  return "";
}
#define FD(fd) ((uintptr_t)(fd) + 1)  /* descriptor 0 must not look like "no key" */
#define FD_PATH(fd) ((fd) == 1 ? "<stdout>" : PathOf(FD(fd)))

/* ---- Actions -------------------------------------------------------------- */

static int Patch(const char* path, const char* offset, const char* hex, int flip) {
  unsigned char bytes[256];
  size_t len = 0;
  for (; hex && hex[0] && hex[1] && len < sizeof bytes; hex += 2) {
    char pair[3] = {hex[0], hex[1], 0};
    bytes[len++] = (unsigned char)strtoul(pair, NULL, 16);
  }
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  off_t size = lseek(fd, 0, SEEK_END), at = offset ? atoll(offset) : size;
  at = at < 0 ? size + at : at;
  if (flip) len = pread(fd, bytes, 1, at) == 1 ? (bytes[0] = (unsigned char)~bytes[0], 1) : 0;
  int ok = len > 0 && at <= size && pwrite(fd, bytes, len, at) == (ssize_t)len;
  close(fd);
  return ok ? 0 : -1;
}

static int RunAction(char** f, int n, const char* path) {
  if (strcmp(f[0], "flip") == 0 && n == 3) return Patch(path, f[2], NULL, 1);
  if (strcmp(f[0], "poke") == 0 && n == 4) return Patch(path, f[2], f[3], 0);
  if (strcmp(f[0], "append") == 0 && n == 3) return Patch(path, NULL, f[2], 0);
  if (strcmp(f[0], "delete") == 0) return unlink(path);
  if (strcmp(f[0], "create") == 0 && n == 3) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int ok = fd >= 0 && write(fd, f[2], strlen(f[2])) == (ssize_t)strlen(f[2]);
    if (fd >= 0) close(fd);
    return ok ? 0 : -1;
  }
  return -1;
}

static void RunActions(const char* list) {
  char buffer[kText], *save = NULL;
  Copy(buffer, list);
  for (char* action = strtok_r(buffer, ";", &save); action; action = strtok_r(NULL, ";", &save)) {
    char *f[4], *fieldSave = NULL;
    int n = 0;
    for (char* p = strtok_r(action, ",", &fieldSave); p && n < 4; p = strtok_r(NULL, ",", &fieldSave)) f[n++] = p;
    glob_t matches;
    if (n < 2 || glob(f[1], GLOB_NOCHECK, NULL, &matches) != 0) continue;
    for (size_t i = 0; i < matches.gl_pathc; ++i) {
      const int rc = RunAction(f, n, matches.gl_pathv[i]);
      LogLine("action %s %s %s\n", f[0], matches.gl_pathv[i], rc == 0 ? "ok" : "failed");
    }
    globfree(&matches);
  }
}

/* ---- Counting and firing -------------------------------------------------- */

static int Matches(const struct Rule* rule, const char* path) {
  size_t len = path ? strlen(path) : 0, end = strlen(rule->pathEnd);
  if (path == NULL) return rule->path[0] == '\0' && end == 0;
  return strstr(path, rule->path) && (end == 0 || (len >= end && strcmp(path + len - end, rule->pathEnd) == 0));
}

static void RunKinds(const struct Call* call) {
  if (call->rule->kinds & kAction) RunActions(call->rule->act);
  if (call->rule->kinds & kCrash) _exit(99);
  if (call->rule->kinds & kInterrupt) raise(SIGINT);
}

static struct Site* SiteOf(int fn, uintptr_t site) {
  for (int i = 0; i < g_sitesUsed; ++i) {
    if (g_sites[i].fn == fn && g_sites[i].site == site) return &g_sites[i];
  }
  if (g_sitesUsed == kMaxSites) return NULL;
  g_sites[g_sitesUsed] = (struct Site){fn, site, 0, 0};
  return &g_sites[g_sitesUsed++];
}

/* Counts the call and finds the rule it fires (every rule counts every call it
 * matches, so that its nth does not depend on the others). Runs the "before"
 * kinds; returns 1 when the call must fail. */
static int Enter(struct Call* call) {
  Init();
  if (call->site < g_start || call->site >= g_end) return 0;
  call->site -= g_base;
  struct Site* slot = SiteOf(call->fn, call->site);
  if (slot) slot->count++;
  for (int i = 1; i < kMaxRules; ++i) {
    struct Rule* rule = &g_rules[i];
    if (rule->fn != call->fn || (rule->site && rule->site != call->site)) continue;
    if (rule->after && !g_rules[rule->after].fired) continue;
    if (!Matches(rule, call->path) && !(call->path2 && Matches(rule, call->path2))) continue;
    if (++rule->seen >= rule->nth && !rule->fired && !call->rule) call->rule = rule;
  }
  if (!call->rule) return 0;
  call->rule->fired = 1;
  if (!g_anyFired) {
    for (int i = 0; i < g_sitesUsed; ++i) g_sites[i].before = g_sites[i].count;
  }
  g_anyFired = 1;
  LogLine("fired rule=%d func=%s site=0x%lx nth=%llu path=%s%s%s\n", (int)(call->rule - g_rules),
          kFnNames[call->fn], (unsigned long)call->site, (unsigned long long)call->rule->nth,
          call->path ? call->path : "", call->path2 ? " path2=" : "", call->path2 ? call->path2 : "");
  if (!call->rule->whenAfter) RunKinds(call);
  return (call->rule->kinds & kFail) != 0;
}

static void Leave(const struct Call* call) {
  if (call->rule == NULL || !call->rule->whenAfter) return;
  int saved = errno;
  RunKinds(call);
  errno = saved;
}

/* ---- Interposers ---------------------------------------------------------- */

static void SetError(FILE* stream) {
  if (stream) stream->_flags |= _IO_ERR_SEEN;
}

#define FAIL(value) return (errno = call.rule->err, value)
/* The failed call's result is value, computed before effect runs. */
#define FAIL_THEN(value, effect) do { __typeof__(value) v_ = (value); (void)(effect); FAIL(v_); } while (0)

/* ret name params: runs CALL (through real) unless the rule makes it fail as
 * ON_FAIL says; then DONE (with the result in rc) and the "after" kinds. */
#define SHIM(ret, name, params, path, path2, CALL, ON_FAIL, DONE)                            \
  ret name params {                                                                          \
    static __typeof__(&name) real;                                                           \
    if (!real) real = (__typeof__(&name))dlsym(RTLD_NEXT, #name);                            \
    struct Call call = {F_##name, (uintptr_t)__builtin_return_address(0), path, path2, NULL}; \
    if (Enter(&call)) ON_FAIL;                                                               \
    ret rc = CALL;                                                                           \
    int saved = errno;                                                                       \
    DONE;                                                                                    \
    Leave(&call);                                                                            \
    errno = saved;                                                                           \
    return rc;                                                                               \
  }
#define SHIM_INT(name, params, path, args) SHIM(int, name, params, path, NULL, real args, FAIL(-1), )

SHIM(FILE*, fopen, (const char* path, const char* mode), path, NULL, real(path, mode), FAIL(NULL),
     Track((uintptr_t)rc, path))
SHIM(size_t, fread, (void* data, size_t size, size_t items, FILE* f), PathOf((uintptr_t)f), NULL,
     real(data, size, items, f), FAIL_THEN(items / 2 ? real(data, size, items / 2, f) : 0, SetError(f)), )
SHIM(size_t, fwrite, (const void* data, size_t size, size_t items, FILE* f), PathOf((uintptr_t)f),
     NULL, real(data, size, items, f),
     FAIL_THEN(items / 2 ? real(data, size, items / 2, f) : 0, SetError(f)), )
SHIM(int, fflush, (FILE* f), PathOf((uintptr_t)f), NULL, real(f), FAIL_THEN(EOF, SetError(f)), )
SHIM(int, fclose, (FILE* f), PathOf((uintptr_t)f), NULL, real(f),
     FAIL_THEN(EOF, (Untrack((uintptr_t)f), real(f))), Untrack((uintptr_t)f))
SHIM(int, ferror, (FILE* f), PathOf((uintptr_t)f), NULL, real(f), return 1, )
SHIM(int, fputs, (const char* text, FILE* f), PathOf((uintptr_t)f), NULL, real(text, f),
     FAIL_THEN(EOF, SetError(f)), )
SHIM(int, vfprintf, (FILE* f, const char* format, va_list args), PathOf((uintptr_t)f), NULL,
     real(f, format, args), FAIL_THEN(-1, SetError(f)), )
SHIM_INT(setvbuf, (FILE* f, char* buffer, int mode, size_t size), PathOf((uintptr_t)f),
         (f, buffer, mode, size))
SHIM(ssize_t, read, (int fd, void* data, size_t len), FD_PATH(fd), NULL, real(fd, data, len), FAIL(-1), )
SHIM(ssize_t, write, (int fd, const void* data, size_t len), FD_PATH(fd), NULL, real(fd, data, len),
     FAIL(-1), )
/* Like Linux: the descriptor is released even when close reports an error. */
SHIM(int, close, (int fd), FD_PATH(fd), NULL, real(fd), FAIL_THEN(-1, (Untrack(FD(fd)), real(fd))),
     Untrack(FD(fd)))
SHIM(int, fsync, (int fd), FD_PATH(fd), NULL, g_fastFsync ? 0 : real(fd), FAIL(-1), )
SHIM(int, rename, (const char* from, const char* to), from, to, real(from, to), FAIL(-1), )
SHIM_INT(unlink, (const char* path), path, (path))
SHIM_INT(mkdir, (const char* path, mode_t mode), path, (path, mode))
SHIM_INT(chmod, (const char* path, mode_t mode), path, (path, mode))
SHIM_INT(chown, (const char* path, uid_t owner, gid_t group), path, (path, owner, group))
SHIM_INT(stat, (const char* path, struct stat* out), path, (path, out))
SHIM_INT(fstatat, (int dirfd, const char* path, struct stat* out, int flags), path,
         (dirfd, path, out, flags))
SHIM(char*, getcwd, (char* buffer, size_t size), "", NULL, real(buffer, size), FAIL(NULL), )
SHIM(DIR*, opendir, (const char* path), path, NULL, real(path), FAIL(NULL), Track((uintptr_t)rc, path))
SHIM(struct dirent*, readdir, (DIR* dir), PathOf((uintptr_t)dir), NULL, real(dir), FAIL(NULL), )
SHIM(int, closedir, (DIR* dir), PathOf((uintptr_t)dir), NULL, real(dir),
     FAIL_THEN(-1, (Untrack((uintptr_t)dir), real(dir))), Untrack((uintptr_t)dir))

/* QVF_FREE: a volume at or below PREFIX reports BYTES free. */
static void ApplyFree(const char* path, struct statvfs* out) {
  const char* eq = strrchr(g_free, '=');
  size_t len = eq ? (size_t)(eq - g_free) : 0;
  if (len == 0 || strncmp(path, g_free, len) != 0 || (path[len] && path[len] != '/')) return;
  out->f_frsize = out->f_bsize = 1;
  out->f_bavail = out->f_bfree = strtoull(eq + 1, NULL, 10);
}
SHIM(int, statvfs, (const char* path, struct statvfs* out), path, NULL, real(path, out), FAIL(-1),
     if (rc == 0) ApplyFree(path, out))

/* open takes its mode from the variable arguments, when it creates. */
int open(const char* path, int flags, ...) {
  static __typeof__(&open) real;
  if (!real) real = (__typeof__(&open))dlsym(RTLD_NEXT, "open");
  va_list args;
  va_start(args, flags);
  mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(args, int) : 0;
  va_end(args);
  struct Call call = {F_open, (uintptr_t)__builtin_return_address(0), path, NULL, NULL};
  if (Enter(&call)) FAIL(-1);
  int rc = real(path, flags, mode);
  int saved = errno;
  if (rc >= 0) Track(FD(rc), path);
  Leave(&call);
  errno = saved;
  return rc;
}
