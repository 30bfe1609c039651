// measure RESULT COMMAND [ARGS...]: runs the command, writes "<seconds> <peak KiB>
// <cpu seconds>" (wall time from start to exit, peak resident memory, user plus
// system time of the command) to RESULT and exits with the command's exit code. Millisecond resolution, since a short
// run's ratio to one hash pass would otherwise move in steps of several percent.
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: measure RESULT COMMAND [ARGS...]\n");
    return 125;
  }
  const double start = Now();
  const pid_t child = fork();
  if (child < 0) {
    perror("measure: fork");
    return 125;
  }
  if (child == 0) {
    execvp(argv[2], argv + 2);
    fprintf(stderr, "measure: cannot run %s: %s\n", argv[2], strerror(errno));
    _exit(127);
  }
  int status = 0;
  rusage usage;
  pid_t waited;
  do {
    waited = wait4(child, &status, 0, &usage);
  } while (waited < 0 && errno == EINTR);
  const double seconds = Now() - start;
  if (waited < 0) {
    perror("measure: wait4");
    return 125;
  }
  const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  FILE* result = fopen(argv[1], "w");
  if (result == nullptr ||
      fprintf(result, "%.4f %ld %.4f\n", seconds, usage.ru_maxrss, cpu) < 0 ||
      fclose(result) != 0) {
    fprintf(stderr, "measure: cannot write %s\n", argv[1]);
    return 125;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
