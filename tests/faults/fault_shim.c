/* Test-only fault shim, preloaded into the real packer. It counts the C library calls through
 * which the program touches files by call site (return address minus load base: addr2line -e
 * qvculldb SITE-1) and, by rule, makes one fail, ends the process there (_exit(99), a crash),
 * raises SIGINT there, or edits files there. A failed call fails as the C library's would.
 *   QVF_COUNTS=FILE  at exit "FUNC 0xSITE TOTAL BEFORE" per site (BEFORE: calls made before the
 *                    first rule fired)
 *   QVF_LOG=FILE     "fired rule=R func=F site=0xS path=P", "action KIND PATH ok|failed"
 *   QVF_RULE1..8     func=NAME site=0xHEX path=PART (of the path, either path of a rename, the
 *                    open path of a stream or descriptor, "<stdout>") pathend=TAIL nth=N
 *                    after=R (once rule R fired) do=action+fail+crash+interrupt (default fail)
 *                    when=after errno=NAME (EIO) act=flip,PATH,OFF;poke,PATH,OFF,HEX;delete,PATH;
 *                    sneak,PATH,OFF (a flip that puts the file's times back);
 *                    swap,PATH (a copy in another file);link,PATH (to PATH.target, missing);
 *                    hold,PATH,MS (a child process holds it open MS ms) (OFF<0: from the end)
 *   QVF_FREE=PREFIX=BYTES  statvfs at or below PREFIX reports BYTES free
 *   QVF_SLOW=MICROSECONDS  every fread waits that long first (a slow disk)
 *   QVF_POWER=DIR    DIR/events: "W INODE" (written, or its mode or owner changed), "F INODE"
 *                    (fsync'd), "D INODE PATH" (a directory fsync'd), "R INODE TO" (renamed),
 *                    "U PATH" (removed), "O PATH" (fopen, fdopen "rb"), listings
 *                    "E DIR INODE MODE NAME" of the fsync'd directory, or of the
 *                    home tree after "I ROOT" (start) and "C" (crash); DIR/INODE: the bytes at the
 *                    start or the last fsync. What the program opens stays open: no inode reused.
 * What it looks at in /proc (who else holds a file open) is no file of the BBS: passed through. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define FUNCTIONS(X)                                                                          \
  X(fopen) X(fread) X(fwrite) X(fflush) X(fclose) X(ferror) X(vfprintf) X(setvbuf) X(open)    \
  X(write) X(close) X(fsync) X(rename) X(unlink) X(mkdir) X(chmod) X(stat) X(fstatat)         \
  X(statvfs) X(getcwd) X(opendir) X(readdir) X(closedir) X(openat) X(fdopen) X(fseek)       \
  X(lstat) X(fstat) X(fchmod) X(fchown) X(mkdirat) X(unlinkat)
#define AS_ENUM(name) F_##name,
#define AS_NAME(name) #name,
enum { FUNCTIONS(AS_ENUM) F_COUNT, kRules = 9, kSites = 1024, kFds = 1024, kText = 1024 };
static const char* const kFnNames[] = {FUNCTIONS(AS_NAME)};
static const char* const kKinds[] = {"action", "fail", "crash", "interrupt"};
enum { kAction = 1, kFail = 2, kCrash = 4, kInterrupt = 8 };
static const struct { const char* name; int e; } kErrnos[] = {
    {"ENOSPC", ENOSPC}, {"EACCES", EACCES}, {"ENOENT", ENOENT}, {"EEXIST", EEXIST},
    {"EXDEV", EXDEV}, {"ELOOP", ELOOP}, {"EINVAL", EINVAL}, {"EIO", EIO}};

struct Rule {
  int fn, kinds, after, err, whenAfter, fired;
  uintptr_t site;
  unsigned long long nth, seen; /* the Nth matching call fires; calls matched so far */
  char path[kText], pathEnd[kText], act[kText];
};
struct Site { int fn; uintptr_t site; unsigned long long count, before; };
struct Call { int fn; uintptr_t site; struct Rule* rule; const char *path, *path2; int ours; };

static int g_ready, g_anyFired, g_used;
static long g_slow; /* microseconds before each fread */
static uintptr_t g_base; /* where the program is loaded */
static struct Rule g_rules[kRules];
static struct Site g_sites[kSites];
static char g_fdPaths[kFds][256], g_counts[kText], g_log[kText], g_free[kText], g_power[kText];

/* The shim's own calls come from outside the program and pass straight through. */
static void LogLine(const char* file, const char* format, ...) {
  int fd = file[0] ? open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  va_list args;
  va_start(args, format);
  if (fd >= 0) vdprintf(fd, format, args), close(fd);
  va_end(args);
}

/* The value of a rule's KEY= word into out, or "" (text starts with a blank). */
static char* Word(const char* text, const char* key, char* out) {
  char pattern[32];
  snprintf(pattern, sizeof pattern, " %s=", key);
  const char* at = strstr(text, pattern);
  out[0] = '\0';
  if (at) sscanf(at + strlen(pattern), "%1023s", out);
  return out;
}

static void ParseRule(const char* text, struct Rule* rule) {
  char value[kText];
  rule->fn = -1;
  Word(text, "func", value);
  for (int i = 0; i < F_COUNT; ++i) rule->fn = strcmp(kFnNames[i], value) ? rule->fn : i;
  rule->site = strtoull(Word(text, "site", value), NULL, 16);
  rule->nth = strtoull(Word(text, "nth", value), NULL, 10);
  rule->after = atoi(Word(text, "after", value));
  rule->whenAfter = strcmp(Word(text, "when", value), "after") == 0;
  Word(text, "do", value);
  for (int i = 0; i < 4; ++i) rule->kinds |= strstr(value, kKinds[i]) ? 1 << i : 0;
  rule->kinds = rule->kinds ? rule->kinds : kFail;
  rule->err = EIO;
  Word(text, "errno", value);
  for (size_t i = 0; i < sizeof kErrnos / sizeof kErrnos[0]; ++i) {
    rule->err = strcmp(kErrnos[i].name, value) ? rule->err : kErrnos[i].e;
  }
  Word(text, "path", rule->path);
  Word(text, "pathend", rule->pathEnd);
  Word(text, "act", rule->act);
}

static void WriteCounts(void) {
  FILE* out = fopen(g_counts, "w");
  for (int i = 0; out && i < g_used; ++i) {
    const struct Site* s = &g_sites[i];
    fprintf(out, "%s 0x%lx %llu %llu\n", kFnNames[s->fn], (unsigned long)s->site, s->count,
            g_anyFired ? s->before : s->count);
  }
  if (out) fclose(out);
}

static int CopyFile(const char* path, const char* copy) {
  char bytes[65536];
  int in = open(path, O_RDONLY | O_CLOEXEC);
  int out = open(copy, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ssize_t got;
  while (in >= 0 && out >= 0 && (got = read(in, bytes, sizeof bytes)) > 0) (void)!write(out, bytes, got);
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return in < 0 || out < 0 ? -1 : 0;
}

/* PATH replaced by a copy of itself: the same bytes in another file. */
static int Swap(const char* path) {
  char copy[kText + 8];
  snprintf(copy, sizeof copy, "%s.swap", path);
  return CopyFile(path, copy) ? -1 : rename(copy, path);
}

/* ---- Durability events (QVF_POWER) --------------------------------------------------------- */

static char g_events[kText + 8], g_own[32], g_copy[kText + 24];
#define OWN(fd) (snprintf(g_own, sizeof g_own, "/proc/self/fd/%d", fd), g_own)
#define COPY(ino) (snprintf(g_copy, sizeof g_copy, "%s/%lu", g_power, (unsigned long)ino), g_copy)
static unsigned long Inode(const char* path) {
  struct stat st;
  return stat(path, &st) ? 0 : (unsigned long)st.st_ino;
}
/* The entries of a directory; walk: those below it too; start: and the bytes of its files. */
static void List(const char* path, int walk, int start) {
  DIR* dir = opendir(path);
  unsigned long self = Inode(path);
  for (struct dirent* e; dir && (e = readdir(dir));) {
    struct stat st;
    char below[kText];
    snprintf(below, sizeof below, "%s/%s", path, e->d_name);
    if (e->d_name[0] == '.' || fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW)) continue;
    LogLine(g_events, "E %lu %lu %o %s\n", self, (unsigned long)st.st_ino, st.st_mode, e->d_name);
    if (walk && S_ISDIR(st.st_mode)) List(below, 1, start);
    if (start && S_ISREG(st.st_mode)) CopyFile(below, COPY(st.st_ino));
  }
  if (dir) closedir(dir);
}
#define POWER(...) (g_power[0] && call.ours ? LogLine(g_events, __VA_ARGS__) : (void)0)
#define HOLD(fd) \
  (g_power[0] && call.ours && fd >= 0 ? (void)!open(OWN(fd), O_RDONLY | O_CLOEXEC) : (void)0)

__attribute__((constructor)) static void Init(void) {
  if (g_ready++) return;
  Dl_info program;
  if (dladdr((void*)getauxval(AT_ENTRY), &program)) g_base = (uintptr_t)program.dli_fbase;
  snprintf(g_counts, kText, "%s", getenv("QVF_COUNTS") ? getenv("QVF_COUNTS") : "");
  snprintf(g_log, kText, "%s", getenv("QVF_LOG") ? getenv("QVF_LOG") : "");
  snprintf(g_free, kText, "%s", getenv("QVF_FREE") ? getenv("QVF_FREE") : "");
  snprintf(g_power, kText, "%s", getenv("QVF_POWER") ? getenv("QVF_POWER") : "");
  g_slow = getenv("QVF_SLOW") ? atol(getenv("QVF_SLOW")) : 0;
  snprintf(g_events, sizeof g_events, "%s%s", g_power, g_power[0] ? "/events" : "");
  if (g_power[0]) LogLine(g_events, "I %lu\n", Inode(".")), List(".", 1, 1);
  for (int i = 1; i < kRules; ++i) {
    char name[16], text[4 * kText];
    snprintf(name, sizeof name, "QVF_RULE%d", i);
    snprintf(text, sizeof text, " %s", getenv(name) ? getenv(name) : "");
    ParseRule(text, &g_rules[i]);
  }
  if (g_counts[0]) atexit(WriteCounts);
}

/* Streams and directories are known by their descriptor's open path. */
static void Track(int fd, const char* path) {
  if (fd >= 0 && fd < kFds) snprintf(g_fdPaths[fd], 256, "%.255s", path);
}
static const char* FdPath(int fd) {
  return fd == 1 ? "<stdout>" : fd >= 0 && fd < kFds ? g_fdPaths[fd] : "";
}
static const char* StreamPath(FILE* f) { return FdPath(f ? fileno(f) : -1); } /* fflush(NULL) */
/* A name made relative to a directory descriptor, as a whole path. */
static const char* AtPath(int dir, const char* name) {
  static char path[kText];
  if (dir == AT_FDCWD || name[0] == '/') return name;
  snprintf(path, sizeof path, "%s/%s", FdPath(dir), name);
  return path;
}

static int Patch(const char* kind, const char* path, long long offset, const char* hex) {
  unsigned char bytes[256];
  size_t len = 0;
  while (len < sizeof bytes && sscanf(hex + 2 * len, "%2hhx", &bytes[len]) == 1) ++len;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  off_t size = fd < 0 ? 0 : lseek(fd, 0, SEEK_END), at = offset < 0 ? size + offset : offset;
  /* sneak: a flip that puts the file's times back, as a program hiding its write would. */
  int sneak = !strcmp(kind, "sneak");
  struct stat before;
  memset(&before, 0, sizeof before);
  if (fd < 0 || fstat(fd, &before) != 0) len = 0;
  if (!strcmp(kind, "flip") || sneak) len = pread(fd, bytes, 1, at) == 1 ? (bytes[0] ^= 0xFF, 1) : 0;
  int ok = len > 0 && pwrite(fd, bytes, len, at) == (ssize_t)len;
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  if (ok && sneak) ok = futimens(fd, times) == 0;
  if (fd >= 0) close(fd);
  return ok ? 0 : -1;
}


/* PATH replaced by a link to PATH.target, which does not exist. */
static int LinkInPlace(const char* path) {
  char target[kText + 8];
  snprintf(target, sizeof target, "%s.target", path);
  unlink(path);
  return symlink(target, path);
}

/* A child holds PATH open for ms milliseconds, from before this returns, as another program would.
 * Between fork and _exit only raw system calls: the shim's lock belongs to the parent's thread. */
static int HoldOpen(const char* path, long long ms) {
  int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY);
  pid_t child = fd < 0 ? -1 : fork();
  if (child == 0) {
    for (int other = 0; other < kFds; ++other) {
      if (other != fd) syscall(SYS_close, other);
    }
    struct timespec left = {ms / 1000, ms % 1000 * 1000000};
    nanosleep(&left, NULL);
    _exit(0);
  }
  if (fd >= 0) syscall(SYS_close, fd);
  return child < 0 ? -1 : 0;
}

static void RunActions(const char* list) {
  for (const char* action = list; action; action = strchr(action, ';')) {
    char kind[8] = "", path[kText] = "", hex[kText] = "";
    long long at = 0;
    action += *action == ';';
    int fields = sscanf(action, "%7[^,;],%1023[^,;],%lld,%1023[^;]", kind, path, &at, hex);
    int rc = fields < 2                  ? -1
             : !strcmp(kind, "delete") ? unlink(path)
             : !strcmp(kind, "swap")   ? Swap(path)
             : !strcmp(kind, "link")   ? LinkInPlace(path)
             : !strcmp(kind, "hold")   ? HoldOpen(path, at)
                                       : Patch(kind, path, at, hex);
    LogLine(g_log, "action %s %s %s\n", kind, path, rc == 0 ? "ok" : "failed");
  }
}

static int Matches(const struct Rule* rule, const char* path) {
  size_t len = path ? strlen(path) : 0, end = strlen(rule->pathEnd);
  return path && strstr(path, rule->path) && len >= end && !strcmp(path + len - end, rule->pathEnd);
}

static void RunKinds(const struct Rule* rule) {
  if (rule->kinds & kAction) RunActions(rule->act);
  if ((rule->kinds & kCrash) && g_power[0]) LogLine(g_events, "C\n"), List(".", 1, 0);
  if (rule->kinds & kCrash) _exit(99);
  if (rule->kinds & kInterrupt) raise(SIGINT);
}

/* Counts the call and finds the rule it fires: every rule counts every call it matches, so
 * that its nth does not depend on the others. Runs the "before" kinds; returns 1 when the call
 * must fail. */
static int Enter(struct Call* call) {
  Dl_info caller;
  Init();
  const char* proc = call->path && !strncmp(call->path, "/proc", 5) ? call->path + 5 : "x";
  if (*proc == '/' || *proc == '\0') return 0;
  if (!dladdr((void*)call->site, &caller) || (uintptr_t)caller.dli_fbase != g_base) return 0;
  call->site -= g_base;
  call->ours = 1;
  int s = 0;
  while (s < g_used && (g_sites[s].fn != call->fn || g_sites[s].site != call->site)) ++s;
  if (s == g_used && s < kSites) g_sites[g_used++] = (struct Site){call->fn, call->site, 0, 0};
  if (s < kSites) g_sites[s].count++;
  for (struct Rule* rule = g_rules + 1; rule < g_rules + kRules; ++rule) {
    if (rule->fn != call->fn || (rule->site && rule->site != call->site)) continue;
    if (rule->after && !g_rules[rule->after].fired) continue;
    if (!Matches(rule, call->path) && !Matches(rule, call->path2)) continue;
    if (++rule->seen >= rule->nth && !rule->fired && !call->rule) call->rule = rule;
  }
  if (!call->rule) return 0;
  call->rule->fired = 1;
  for (int i = 0; i < g_used && !g_anyFired; ++i) g_sites[i].before = g_sites[i].count;
  g_anyFired = 1;
  LogLine(g_log, "fired rule=%d func=%s site=0x%lx path=%s\n", (int)(call->rule - g_rules),
          kFnNames[call->fn], (unsigned long)call->site, call->path ? call->path : "");
  if (!call->rule->whenAfter) RunKinds(call->rule);
  return (call->rule->kinds & kFail) != 0;
}

static void Leave(const struct Call* call) {
  int saved = errno;
  if (call->rule && call->rule->whenAfter) RunKinds(call->rule), errno = saved;
}

static void ApplyFree(const char* path, struct statvfs* out) {
  const char* eq = strrchr(g_free, '=');
  size_t len = eq ? (size_t)(eq - g_free) : 0;
  if (len == 0 || strncmp(path, g_free, len) != 0 || (path[len] && path[len] != '/')) return;
  out->f_frsize = out->f_bsize = 1;
  out->f_bavail = out->f_bfree = strtoull(eq + 1, NULL, 10);
}

/* What an fsync makes durable: a file's bytes as they are now, a directory's entries. */
static void Synced(int fd) {
  struct stat st;
  int isDir = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  LogLine(g_events, "%s %lu %s\n", isDir ? "D" : "F", (unsigned long)st.st_ino, FdPath(fd));
  if (isDir) List(OWN(fd), 0, 0);
  else CopyFile(OWN(fd), COPY(st.st_ino));
}

/* ---- Interposers ------------------------------------------------------------------------- */

static void SetError(FILE* stream) {
  if (stream) stream->_flags |= _IO_ERR_SEEN;
}
/* A failed call returns value; with FAIL_THEN, value is computed before effect runs. A failed
 * fread/fwrite moves half the items, fflush/vfprintf write nothing, and all set the stream's
 * error flag; fclose, closedir and close release, then fail. */
#define FAIL(value) return (errno = call.rule->err, value)
#define FAIL_THEN(value, effect) \
  do { __typeof__(value) v_ = (value); (void)(effect); FAIL(v_); } while (0)
#define HALF(size, items, f) FAIL_THEN(items / 2 ? real(data, size, items / 2, f) : 0, SetError(f))

/* The program hashes and copies on several threads: one call at a time passes the shim, its
 * real call included, so that counts, rules and durability events keep one order. Recursive: the
 * shim's own calls, and the interrupt clean-up run from a raised signal, come through again. */
static pthread_mutex_t g_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
static void Unlock(int* locked) { (void)locked, pthread_mutex_unlock(&g_lock); }
#define ONE_CALL_AT_A_TIME __attribute__((cleanup(Unlock))) int locked_ = pthread_mutex_lock(&g_lock)

/* ret name params: runs CALL (through real) unless the rule makes it fail as ON_FAIL says; then
 * DONE (with the result in rc) and the "after" kinds. */
#define SHIM(ret, name, params, PATH, CALL, ON_FAIL, DONE)                                    \
  ret name params {                                                                           \
    if (F_##name == F_fread && g_slow > 0) usleep(g_slow); /* other threads go on meanwhile */ \
    ONE_CALL_AT_A_TIME;                                                                       \
    static __typeof__(&name) real;                                                            \
    if (!real) real = (__typeof__(&name))dlsym(RTLD_NEXT, #name);                             \
    struct Call call = {F_##name, (uintptr_t)__builtin_return_address(0), .path = PATH};       \
    int saved = errno; /* the program may test errno after a call that succeeded */           \
    if (Enter(&call)) ON_FAIL;                                                                \
    errno = saved;                                                                            \
    ret rc = CALL;                                                                            \
    DONE;                                                                                     \
    Leave(&call);                                                                             \
    return rc;                                                                                \
  }
#define SHIM_INT(name, params, path, args) SHIM(int, name, params, path, real args, FAIL(-1), )

SHIM(FILE*, fopen, (const char* path, const char* mode), path, real(path, mode), FAIL(NULL),
     if (rc) Track(fileno(rc), path);
     if (rc) (HOLD(fileno(rc)), POWER("O %s\n", path)))
SHIM(size_t, fread, (void* data, size_t size, size_t items, FILE* f), StreamPath(f),
     real(data, size, items, f), HALF(size, items, f), )
SHIM(size_t, fwrite, (const void* data, size_t size, size_t items, FILE* f), StreamPath(f),
     real(data, size, items, f), HALF(size, items, f),
     POWER("W %lu\n", Inode(OWN(fileno(f)))))
SHIM(int, fflush, (FILE* f), StreamPath(f), real(f), FAIL_THEN(EOF, SetError(f)), )
SHIM(int, fclose, (FILE* f), StreamPath(f), real(f), FAIL_THEN(EOF, real(f)), )
SHIM(int, ferror, (FILE* f), StreamPath(f), real(f), return 1, )
SHIM(int, vfprintf, (FILE* f, const char* format, va_list args), StreamPath(f),
     real(f, format, args), FAIL_THEN(-1, SetError(f)), )
SHIM(int, setvbuf, (FILE* f, char* buffer, int mode, size_t size), StreamPath(f),
     real(f, buffer, mode, size), FAIL(-1), )
SHIM(ssize_t, write, (int fd, const void* data, size_t len), FdPath(fd), real(fd, data, len),
     FAIL(-1), POWER("W %lu\n", Inode(OWN(fd))))
/* Like Linux: the descriptor is released even when close reports an error. The tests need no
 * durability: fsync returns at once (and tells QVF_POWER what would have reached the disk). */
SHIM(int, close, (int fd), FdPath(fd), real(fd), FAIL_THEN(-1, real(fd)), )
SHIM(int, fsync, (int fd), FdPath(fd), ((void)real, 0), FAIL(-1),
     if (call.ours && g_power[0]) Synced(fd))
SHIM(int, unlink, (const char* path), path, real(path), FAIL(-1),
     if (rc == 0) POWER("U %s\n", path))
SHIM_INT(mkdir, (const char* path, mode_t mode), path, (path, mode))
SHIM_INT(chmod, (const char* path, mode_t mode), path, (path, mode))
SHIM_INT(stat, (const char* path, struct stat* out), path, (path, out))
SHIM_INT(fstatat, (int dir, const char* path, struct stat* out, int flags), AtPath(dir, path),
         (dir, path, out, flags))
SHIM_INT(lstat, (const char* path, struct stat* out), path, (path, out))
SHIM_INT(fstat, (int fd, struct stat* out), FdPath(fd), (fd, out))
/* A file's mode and owner reach the disk with its data: at its next fsync. */
SHIM(int, fchmod, (int fd, mode_t mode), FdPath(fd), real(fd, mode), FAIL(-1),
     if (rc == 0) POWER("W %lu\n", Inode(OWN(fd))))
SHIM(int, fchown, (int fd, uid_t uid, gid_t gid), FdPath(fd), real(fd, uid, gid), FAIL(-1),
     if (rc == 0) POWER("W %lu\n", Inode(OWN(fd))))
SHIM_INT(mkdirat, (int dir, const char* path, mode_t mode), AtPath(dir, path), (dir, path, mode))
SHIM(int, unlinkat, (int dir, const char* path, int flags), AtPath(dir, path),
     real(dir, path, flags), FAIL(-1), if (rc == 0) POWER("U %s\n", call.path))
SHIM_INT(fseek, (FILE* f, long offset, int whence), StreamPath(f), (f, offset, whence))
SHIM(FILE*, fdopen, (int fd, const char* mode), FdPath(fd), real(fd, mode), FAIL(NULL),
     if (rc && mode[0] == 'r') POWER("O %s\n", FdPath(fd))) /* a file opened to be read */
SHIM(char*, getcwd, (char* buffer, size_t size), "", real(buffer, size), FAIL(NULL), )
SHIM(DIR*, opendir, (const char* path), path, real(path), FAIL(NULL),
     if (rc) Track(dirfd(rc), path))
SHIM(struct dirent*, readdir, (DIR* dir), FdPath(dirfd(dir)), real(dir), FAIL(NULL), )
SHIM(int, closedir, (DIR* dir), FdPath(dirfd(dir)), real(dir), FAIL_THEN(-1, real(dir)), )
SHIM(int, statvfs, (const char* path, struct statvfs* out), path, real(path, out), FAIL(-1),
     if (rc == 0) ApplyFree(path, out))
/* rename matches either path; open takes its mode from the variable arguments. */
#define BOTH(from, to) from, .path2 = to
SHIM(int, rename, (const char* from, const char* to), BOTH(from, to), real(from, to), FAIL(-1),
     if (rc == 0) POWER("R %lu %s\n", Inode(to), to))
SHIM(int, open, (const char* path, int flags, ...), path, ({
       va_list args;
       va_start(args, flags);
       int fd = real(path, flags, (flags & O_CREAT) ? va_arg(args, int) : 0);
       va_end(args);
       fd;
     }), FAIL(-1), if (rc >= 0) Track(rc, path); HOLD(rc))
SHIM(int, openat, (int dir, const char* path, int flags, ...), AtPath(dir, path), ({
       va_list args;
       va_start(args, flags);
       int fd = real(dir, path, flags, (flags & O_CREAT) ? va_arg(args, int) : 0);
       va_end(args);
       fd;
     }), FAIL(-1), if (rc >= 0) Track(rc, AtPath(dir, path)); HOLD(rc))
