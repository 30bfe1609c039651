// Scratch directories, file helpers and report capture for the safety tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cli/output.h"

// A fresh directory under /tmp for each test, removed afterwards, with the
// report stream pointed at a temporary file so that Tee output can be checked.
class SafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qv_safety_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    g_reportStream = tmpfile();
    ASSERT_NE(g_reportStream, nullptr);
  }

  void TearDown() override {
    if (g_reportStream != nullptr) fclose(g_reportStream);
    g_reportStream = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Everything Tee wrote since the last call.
  std::string TakeOutput() {
    std::string text;
    fflush(g_reportStream);
    rewind(g_reportStream);
    int c;
    while ((c = fgetc(g_reportStream)) != EOF) text.push_back(static_cast<char>(c));
    fclose(g_reportStream);
    g_reportStream = tmpfile();
    return text;
  }

  std::string dir_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* stream = fopen(path.c_str(), "wb");
  ASSERT_NE(stream, nullptr) << path;
  ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), stream), bytes.size());
  ASSERT_EQ(fclose(stream), 0);
}

inline std::string ReadBytes(const std::string& path) {
  std::string bytes;
  FILE* stream = fopen(path.c_str(), "rb");
  if (stream == nullptr) return bytes;
  int c;
  while ((c = fgetc(stream)) != EOF) bytes.push_back(static_cast<char>(c));
  fclose(stream);
  return bytes;
}

inline bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}
