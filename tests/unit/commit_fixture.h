// A small BBS tree in a fresh temporary directory, staged for a pack: WORK with
// the user files, MESSAGE with two LMR files, a staged .QVCNEW beside each live
// file, and the snapshots and records the backup and commit phases read.
#pragma once

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/paths.h"
#include "commit/commit.h"
#include "commit/verified_backup.h"
#include "unit_test_support.h"

namespace fs = std::filesystem;

inline void CopyPath(char* out, const std::string& path) {
  ASSERT_LT(path.size(), kPathBufferSize);
  snprintf(out, kPathBufferSize, "%s", path.c_str());
}

class CommitFixture : public ScratchReportTest {
 protected:
  // Pre-pack contents: binary bytes, so a copy that translates anything shows.
  const std::string datOld = std::string("USERS-OLD\0\r\n\xE9\xFF", 15) + std::string(300, 'u');
  const std::string ptrOld = std::string("PTR-OLD\0\x01", 9);
  const std::string whosOnOld = "WHOSON\r\n";
  const std::string lmr1Old = std::string("\x01\0\0\0\x02\0\0\0\x03\0\0\0", 12);
  const std::string lmr2Old = std::string("\x07\0\0\0\x08\0\0\0\x09\0\0\0", 12);
  const std::string purgedOld = "\r\nOLD AUDIT BLOCK\r\n";
  // Staged contents.
  const std::string datNew = "USERS-NEW";
  const std::string ptrNew = "PTR-NEW";
  const std::string lmr1New = std::string("\x01\0\0\0\x03\0\0\0\0\0\0\0", 12);
  const std::string lmr2New = std::string("\x07\0\0\0\x09\0\0\0\0\0\0\0", 12);
  const std::string purgedNew = "\r\nNEW AUDIT BLOCK\r\n";

  std::string home, work, message, datPath, ptrPath, whosOnPath, purgedPath, lmr1Path, lmr2Path;
  LiveSnapshots live{};
  std::vector<LmrFileEntry> entries = std::vector<LmrFileEntry>(kLmrInventoryCapacity);
  LmrInventory inventory{};
  std::unique_ptr<PackContext> pack = std::make_unique<PackContext>();
  std::unique_ptr<RunOptions> options = std::make_unique<RunOptions>();
  RunCounters counters{};
  struct tm startTime{};

  void SetUp() override {
    ScratchReportTest::SetUp();
    home = dir_;
    work = home + "/WORK";
    message = home + "/MESSAGE";
    fs::create_directory(work);
    fs::create_directory(message);
    datPath = work + "/QVUSERS.DAT";
    ptrPath = work + "/QVUSERS.PTR";
    whosOnPath = work + "/QVWHOSON.DAT";
    purgedPath = work + "/QVPURGED.USR";
    lmr1Path = message + "/QVMSG1.LMR";
    lmr2Path = message + "/QVMSG2.LMR";

    WriteBytes(datPath, datOld);
    WriteBytes(ptrPath, ptrOld);
    WriteBytes(whosOnPath, whosOnOld);
    WriteBytes(lmr1Path, lmr1Old);
    WriteBytes(lmr2Path, lmr2Old);
    ASSERT_TRUE(TakeSnapshot(datPath.c_str(), &live.usersDat));
    ASSERT_TRUE(TakeSnapshot(ptrPath.c_str(), &live.usersPtr));
    ASSERT_TRUE(TakeSnapshot(whosOnPath.c_str(), &live.whosOn));

    inventory.entries = entries.data();
    inventory.count = 2;
    AddLmrEntry(0, "QVMSG1.LMR", lmr1Path, lmr1New);
    AddLmrEntry(1, "QVMSG2.LMR", lmr2Path, lmr2New);

    Stage(datPath, datNew, pack->stagedDatPath, &pack->stagedDatSnapshot);
    Stage(ptrPath, ptrNew, pack->stagedPtrPath, &pack->stagedPtrSnapshot);
    CopyPath(pack->purgedLogPath, purgedPath);
    Stage(purgedPath, purgedNew, pack->stagedPurgedLogPath, &pack->stagedPurgedLogSnapshot);

    startTime.tm_year = 2026 - 1900;
    startTime.tm_mon = 11;
    startTime.tm_mday = 5;
    startTime.tm_hour = 2;
    startTime.tm_min = 7;
    startTime.tm_sec = 9;
  }

  void AddLmrEntry(uint32_t index, const char* name, const std::string& path,
                   const std::string& stagedBytes) {
    LmrFileEntry* entry = &entries[index];
    snprintf(entry->name, sizeof entry->name, "%s", name);
    CopyPath(entry->path, path);
    ASSERT_TRUE(TakeSnapshot(path.c_str(), &entry->liveSnapshot));
    entry->size = entry->liveSnapshot.size;
    entry->slotCount = entry->size / 4;
    Stage(path, stagedBytes, entry->stagedPath, &entry->stagedSnapshot);
  }

  // Writes the staged file beside livePath and snapshots it.
  void Stage(const std::string& livePath, const std::string& bytes, char* stagedPath,
             FileSnapshot* snapshot) {
    ASSERT_TRUE(StagedPathFor(stagedPath, livePath.c_str()));
    WriteBytes(stagedPath, bytes);
    ASSERT_TRUE(TakeSnapshot(stagedPath, snapshot));
  }

  // Makes QVPURGED.USR exist before the pack, as staging records it.
  void GivePrePackAuditLog() {
    WriteBytes(purgedPath, purgedOld);
    pack->purgedLogExisted = 1;
    ASSERT_TRUE(TakeSnapshot(purgedPath.c_str(), &pack->purgedLogSnapshot));
    WriteBytes(pack->stagedPurgedLogPath, purgedOld + purgedNew);
    ASSERT_TRUE(TakeSnapshot(pack->stagedPurgedLogPath, &pack->stagedPurgedLogSnapshot));
  }

  bool Backup() {
    return CreateVerifiedBackup(home.c_str(), whosOnPath.c_str(), &live, &inventory,
                                options.get(), &startTime, pack.get(), &counters);
  }

  void UseBackupRoot(const std::string& value) {
    options->backupGiven = 1;
    CopyPath(options->backupRoot, value);
  }
};
