// One FNV-1a pass over every file named on the command line, with the program's
// own hashing routine: the floor against which a run's time is measured.
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "safety/file_snapshot.h"

int main(int argc, char** argv) {
  auto start = std::chrono::steady_clock::now();
  uint64_t total = 0;
  for (int i = 1; i < argc; ++i) {
    uint64_t size = 0;
    uint64_t hash = 0;
    if (!HashFileFnv1a64(argv[i], &size, &hash)) {
      fprintf(stderr, "cannot hash %s\n", argv[i]);
      return 1;
    }
    total += size;
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%" PRIu64 " %.3f\n", total, seconds);
  return 0;
}
