// The pack context and record builders for the staging tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/run_counters.h"
#include "staging/pack_context.h"
#include "unit_test_support.h"
#include "userdb/user_records.h"

// A scratch directory and report capture with an empty pack context and counters.
class StagingTest : public ScratchReportTest {
 protected:
  void SetUp() override {
    ScratchReportTest::SetUp();
    memset(&pack_, 0, sizeof pack_);
    counters_ = RunCounters{};
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

  std::vector<unsigned char> purgeMap_;
  PackContext pack_;
  RunCounters counters_;
};

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
