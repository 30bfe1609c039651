// A backup directory read through its anchor: what is read is the directory that was opened,
// even after another one is put in its place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace {

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
std::string Read(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

TEST(DirectoryAnchor, ReadsTheOpenedDirectoryAfterAnotherTakesItsName) {
  char scratch[] = "/tmp/qvanchorXXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  const std::string dir = std::string(scratch) + "/BACKUP";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  Write(dir + "/MANIFEST.TXT", "the real one");
  platform::FileHandle held = platform::kInvalidHandle;
  ASSERT_EQ(platform::OpenDirectory({dir.c_str(), platform::kInvalidHandle}, &held), 0u);
  char anchor[1024];
  platform::DirectoryAnchor(held, dir.c_str(), anchor, sizeof anchor);
  ASSERT_EQ(std::rename(dir.c_str(), (dir + ".AWAY").c_str()), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  Write(dir + "/MANIFEST.TXT", "a planted one");
  EXPECT_EQ(Read(std::string(anchor) + "/MANIFEST.TXT"), "the real one");
  platform::CloseDirectory(held);
  EXPECT_EQ(std::system(("rm -rf " + std::string(scratch)).c_str()), 0);
}

}  // namespace
