// measure RESULT [--phases PHASES] COMMAND [ARGS...]: runs the command, writes "<seconds> <peak
// KiB> <cpu seconds>" (wall time from start to exit, peak resident memory, user plus system time
// of the command) to RESULT and exits with the command's exit code. Millisecond resolution, since a
// short run's ratio to one hash pass would otherwise move in steps of several percent.
// With --phases, the command's standard output passes through a pipe to measure's own, and PHASES
// gets one "<name> <seconds>" line for each section of the run's report: the time from the
// section's banner ("===== NAME =====") to the next one, or to the exit; "START" is the time
// before the first banner. The program writes each line as it is done, so the banners mark when
// each phase began.
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace {

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

using Phases = std::vector<std::pair<std::string, double>>;  // name, start time

// The section a banner line opens ("=== NAME ===", blanks and '=' around), or "".
std::string BannerName(const std::string& line) {
  if (line.size() < 8 || line.compare(0, 3, "===") != 0 || line.back() != '=') return "";
  const size_t first = line.find_first_not_of("= ");
  const size_t last = line.find_last_not_of("= \r");
  if (first == std::string::npos || last < first) return "";
  std::string name = line.substr(first, last - first + 1);
  for (char& c : name) c = c == ' ' ? '_' : c;
  return name;
}

// Copies the pipe to standard output, noting when each banner went by.
void FollowOutput(int fd, double start, Phases* phases) {
  phases->push_back({"START", start});
  std::string line;
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    const double now = Now();
    fwrite(buffer, 1, size_t(got), stdout);
    for (ssize_t i = 0; i < got; ++i) {
      if (buffer[i] != '\n') {
        line += buffer[i];
        continue;
      }
      const std::string name = BannerName(line);
      if (!name.empty()) phases->push_back({name, now});
      line.clear();
    }
  }
  fflush(stdout);
}

bool WritePhases(const char* path, const Phases& phases, double end) {
  FILE* file = fopen(path, "w");
  bool ok = file != nullptr;
  for (size_t i = 0; ok && i < phases.size(); ++i) {
    const double until = i + 1 < phases.size() ? phases[i + 1].second : end;
    ok = fprintf(file, "%s %.4f\n", phases[i].first.c_str(), until - phases[i].second) > 0;
  }
  return file != nullptr && fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool phased = argc >= 5 && strcmp(argv[2], "--phases") == 0;
  const int command = phased ? 4 : 2;
  if (argc <= command) {
    fprintf(stderr, "usage: measure RESULT [--phases PHASES] COMMAND [ARGS...]\n");
    return 125;
  }
  int pipeFds[2] = {-1, -1};
  if (phased && pipe(pipeFds) != 0) {
    perror("measure: pipe");
    return 125;
  }
  const double start = Now();
  const pid_t child = fork();
  if (child < 0) {
    perror("measure: fork");
    return 125;
  }
  if (child == 0) {
    if (phased && (dup2(pipeFds[1], 1) < 0 || close(pipeFds[0]) != 0 || close(pipeFds[1]) != 0)) {
      _exit(127);
    }
    execvp(argv[command], argv + command);
    fprintf(stderr, "measure: cannot run %s: %s\n", argv[command], strerror(errno));
    _exit(127);
  }
  Phases phases;
  if (phased) {
    close(pipeFds[1]);
    FollowOutput(pipeFds[0], start, &phases);
    close(pipeFds[0]);
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
  if (phased && !WritePhases(argv[3], phases, start + seconds)) {
    fprintf(stderr, "measure: cannot write %s\n", argv[3]);
    return 125;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
