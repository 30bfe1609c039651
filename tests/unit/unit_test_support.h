// Scratch directories, report capture and file helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "base/output.h"

// Everything left to read from stream.
inline std::string ReadRest(FILE* stream) {
  std::string bytes;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, stream)) != 0) bytes.append(buffer, got);
  return bytes;
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* stream = fopen(path.c_str(), "wb");
  ASSERT_NE(stream, nullptr) << path;
  ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), stream), bytes.size());
  ASSERT_EQ(fclose(stream), 0);
}

// The file's bytes; empty when it cannot be opened.
inline std::string ReadBytes(const std::string& path) {
  FILE* stream = fopen(path.c_str(), "rb");
  if (stream == nullptr) return std::string();
  const std::string bytes = ReadRest(stream);
  fclose(stream);
  return bytes;
}

// True for anything at path, a dangling link included.
// True when only the owner may read and write path (mode 0600).
inline bool IsOwnerOnly(const std::string& path) {
  namespace fs = std::filesystem;
  return (fs::status(path).permissions() & fs::perms::all) ==
         (fs::perms::owner_read | fs::perms::owner_write);
}

inline bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

// A fresh directory under /tmp for each test, removed afterwards.
class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qv_unit_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

// A scratch directory plus the report stream pointed at a temporary file, so
// that what Tee wrote can be checked. Tests of qv_platform alone, which has no
// report stream, use ScratchDirTest.
class ScratchReportTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    g_reportStream = tmpfile();
    ASSERT_NE(g_reportStream, nullptr);
  }

  void TearDown() override {
    if (g_reportStream != nullptr) fclose(g_reportStream);
    g_reportStream = nullptr;
    ScratchDirTest::TearDown();
  }

  // Everything Tee wrote since the last call.
  std::string TakeOutput() {
    fflush(g_reportStream);
    rewind(g_reportStream);
    const std::string text = ReadRest(g_reportStream);
    fclose(g_reportStream);
    g_reportStream = tmpfile();
    return text;
  }
};
