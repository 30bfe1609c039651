// Preloaded into a measured run (LD_PRELOAD) to time its flushes to disk: every
// fsync and fdatasync is passed on unchanged and timed, and at exit the count and
// the seconds during which at least one flush was under way (threads flush side
// by side) are written as "<calls> <seconds>" to the file named by
// QVBENCH_FSYNC_LOG. The flushes cost what the disk makes them cost, so the
// benchmark reports them beside the time the program itself spends.
#include <dlfcn.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

using SyncFunction = int (*)(int);

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
unsigned long g_calls = 0;
double g_seconds = 0;
int g_underWay = 0;  // flushes in progress
double g_since = 0;  // when the first of them began

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

int TimedSync(const char* name, SyncFunction* real, int fd) {
  if (*real == nullptr) *real = reinterpret_cast<SyncFunction>(dlsym(RTLD_NEXT, name));
  if (*real == nullptr) return -1;
  pthread_mutex_lock(&g_lock);
  if (g_underWay++ == 0) g_since = Now();
  pthread_mutex_unlock(&g_lock);
  const int result = (*real)(fd);
  pthread_mutex_lock(&g_lock);
  if (--g_underWay == 0) g_seconds += Now() - g_since;
  ++g_calls;
  pthread_mutex_unlock(&g_lock);
  return result;
}

__attribute__((destructor)) void WriteFsyncLog() {
  const char* path = getenv("QVBENCH_FSYNC_LOG");
  if (path == nullptr) return;
  FILE* log = fopen(path, "w");
  if (log == nullptr) return;
  fprintf(log, "%lu %.4f\n", g_calls, g_seconds);
  fclose(log);
}

}  // namespace

extern "C" int fsync(int fd) {
  static SyncFunction real = nullptr;
  return TimedSync("fsync", &real, fd);
}

extern "C" int fdatasync(int fd) {
  static SyncFunction real = nullptr;
  return TimedSync("fdatasync", &real, fd);
}
