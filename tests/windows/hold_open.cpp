// Test helper for the end-to-end runs under Wine: holds a file open for the given milliseconds
// ("QVHOLD path ms"), as a node, a scanner or a backup agent does: others may read and write it,
// not delete or replace it. Prints "held" once it is open.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) return 3;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::atol(argv[2])));
  CloseHandle(file);
  return 0;
}
