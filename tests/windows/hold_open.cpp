// Test helper for the end-to-end runs under Wine: holds a file open for the given milliseconds
// ("QVHOLD path ms [open|map]"), as a node, a scanner or a backup agent does: others may read and
// write it, not delete or replace it; with "map" through a view alone, its handles closed. Prints
// "held" once it is open.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 3;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  // "map": only a view of the file holds it, its handles closed.
  if (argc == 4 && std::strcmp(argv[3], "map") == 0) {
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr || MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) == nullptr) return 2;
    CloseHandle(mapping);
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
  }
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::atol(argv[2])));
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}
