// The cause at the end of an error line: the Windows code and its meaning, and on POSIX the
// errno the code was mapped from, by name and the system's text, when it is this thread's last.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "base/output.h"
#include "platform/platform.h"

namespace {

std::string Posix(const char* name, int err) {
  char text[128];
  return std::string("; ") + name + ": " + strerror_r(err, text, sizeof text);  // GNU: the text
}

TEST(CauseOf, NamesTheErrnoBehindASharedCode) {
  const struct {
    int err;
    const char* name;
    std::string cause;
  } rows[] = {
      {EIO, "EIO", " (Windows error 31: the device reported an error" + Posix("EIO", EIO) + ")"},
      {ELOOP, "ELOOP",
       " (Windows error 31: the device reported an error" + Posix("ELOOP", ELOOP) + ")"},
      {EINVAL, "EINVAL",
       " (Windows error 31: the device reported an error" + Posix("EINVAL", EINVAL) + ")"},
      {ENOSPC, "ENOSPC", " (Windows error 112: the disk is full" + Posix("ENOSPC", ENOSPC) + ")"},
      {EISDIR, "EISDIR", " (Windows error 5: access is denied" + Posix("EISDIR", EISDIR) + ")"},
  };
  for (const auto& row : rows) {
    const uint32_t code =
        platform::Win32ErrorFromErrno(row.err, platform::ErrnoContext::Other, nullptr);
    EXPECT_EQ(CauseOf(code).text, row.cause) << row.name;
    EXPECT_EQ(CauseOf(code, row.err).text, row.cause) << row.name;
  }
}

TEST(CauseOf, TellsTheCodeAloneWhenNoErrnoIsKnownForIt) {
  platform::Win32ErrorFromErrno(EIO, platform::ErrnoContext::Other, nullptr);
  // Another code than the last failure's: its errno is not this one's.
  EXPECT_STREQ(CauseOf(platform::kErrorAccessDenied).text, " (Windows error 5: access is denied)");
  EXPECT_STREQ(CauseOf(9999).text, " (Windows error 9999)");
  EXPECT_STREQ(CauseOf(0).text, "");
  // A failure on another thread says nothing of this thread's.
  std::thread other([] {
    platform::Win32ErrorFromErrno(ENOSPC, platform::ErrnoContext::Other, nullptr);
  });
  other.join();
  EXPECT_STREQ(CauseOf(platform::kErrorDiskFull).text, " (Windows error 112: the disk is full)");
}

}  // namespace
