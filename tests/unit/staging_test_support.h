// Scratch directories, record builders and report capture for the staging tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/output.h"
#include "cli/run_counters.h"
#include "staging/pack_context.h"
#include "userdb/user_records.h"

// A fresh directory under /tmp for each test, removed afterwards, with the
// report stream pointed at a temporary file so that Tee output can be checked.
class StagingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qv_staging_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    g_reportStream = tmpfile();
    ASSERT_NE(g_reportStream, nullptr);
    memset(&pack_, 0, sizeof pack_);
    counters_ = RunCounters{};
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

  // Sets the purge map and the three counts; purged holds user numbers.
  void SetPurge(uint32_t userCount, const std::vector<uint32_t>& purged) {
    purgeMap_.assign(userCount, 0);
    for (uint32_t number : purged) purgeMap_[number - 1] = 1;
    pack_.purgeMap = purgeMap_.data();
    pack_.userCount = userCount;
    pack_.purgeCount = static_cast<uint32_t>(purged.size());
    pack_.retainedCount = userCount - pack_.purgeCount;
  }

  std::string dir_;
  std::vector<unsigned char> purgeMap_;
  PackContext pack_;
  RunCounters counters_;
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
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, stream)) != 0) bytes.append(buffer, got);
  fclose(stream);
  return bytes;
}

inline bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

inline void SetPascal(std::string* record, unsigned offset, const std::string& text) {
  (*record)[offset] = static_cast<char>(text.size());
  record->replace(offset + 1, text.size(), text);
}

// A 315-byte user record whose uninterpreted bytes depend on the user number,
// so that records are told apart, with valid Pascal fields.
inline std::string UserRecordBytes(uint32_t number, const std::string& name) {
  std::string record(kUserRecordSize, '\0');
  for (unsigned k = 0; k < kUserRecordSize; ++k) {
    record[k] = static_cast<char>((number * 37 + k * 11 + 1) % 251);
  }
  SetPascal(&record, kUserNameOffset, name);
  SetPascal(&record, kCallingFromOffset, "TOWN " + std::to_string(number));
  SetPascal(&record, kTimeDateOffset, "01/02/24");
  record[kSecurityOffset] = 10;
  record[kSecurityOffset + 1] = 0;
  return record;
}

inline std::string NameOf(uint32_t number) {
  return "USER " + std::to_string(number);
}

// A pointer record with the user record's name but different bytes after it:
// the rebuild must take those bytes from the user record.
inline std::string PointerRecordBytes(const std::string& user) {
  std::string pointer = user.substr(0, kPointerRecordSize);
  const unsigned nameLength = static_cast<unsigned char>(user[0]);
  for (unsigned k = 1 + nameLength; k < kPointerRecordSize; ++k) pointer[k] = '#';
  return pointer;
}
