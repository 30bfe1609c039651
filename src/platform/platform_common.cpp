// The text routines both backends share.
#include <cstring>

#include "platform/platform.h"

namespace platform {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

void CopyBounded(char* dest, size_t size, const char* source) {
  const size_t len = strnlen(source, size - 1);
  memcpy(dest, source, len);
  dest[len] = '\0';
}

}  // namespace platform
