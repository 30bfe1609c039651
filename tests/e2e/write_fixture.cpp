// The write-run sample and its expected texts. See write_fixture.h.
#include "write_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

const std::vector<uint32_t> kPackPurged = {5, 9, 12, 17, 26, 31, 35, 40};
const std::vector<std::string> kPackArgs = {"/SEC=77"};

const char* const kStatusSuccess =
    "Result status:       SUCCESS - manual-offline user pack committed and verified.\n";
const char* const kStatusFailed =
    "Result status:       ABORTED/FAILED - keep nodes offline until the report is reviewed.\n";
const char* const kStagingPassTail =
    "Staged QVPURGED.USR: audit entries appended and verified.\n"
    "Staged build and verification: PASS\n";
const char* const kBackupBanner = "\n=================== VERIFIED BACKUP =======================\n";

namespace {

const std::string kHashRule(60, '#');
const char kStartedLabel[] = "Started:             ";


int Security(const std::string& record) {
  return int16_t(uint8_t(record[kSecurityOffset]) | (uint8_t(record[kSecurityOffset + 1]) << 8));
}

const char* YesNo(char flag) { return flag ? "YES" : "NO"; }

std::string RecordOf(const std::string& dat, uint32_t n) {
  return dat.substr(size_t(n - 1) * kUserRecordSize, kUserRecordSize);
}

// The scan's warnings for one record, in the order they are printed.
std::string WarningLines(uint32_t n, const std::string& record) {
  const std::string name = Display(record, kUserNameOffset, kNameCapacity);
  std::string text;
  if (uint8_t(record[kUserNameOffset]) > kNameCapacity) {
    text += Format("WARN user %u: UserName Pascal length exceeds 30; display was truncated.\n", n);
  }
  if (uint8_t(record[kTimeDateOffset]) > kTimeDateCapacity) {
    text += Format("WARN user %u (%s): TimeDate Pascal length exceeds 14.\n", n, name.c_str());
  }
  const unsigned allow = uint8_t(record[kAllowPurgeOffset]);
  const unsigned deleted = uint8_t(record[kDeletedOffset]);
  if (allow > 1 || deleted > 1) {
    text += Format("WARN user %u (%s): noncanonical Boolean byte AllowPurge=%u Deleted=%u; "
                   "nonzero treated as TRUE.\n",
                   n, name.c_str(), allow, deleted);
  }
  return text;
}

// The plan's line of every selected user, read from the records themselves.
std::string PlanLines(const std::string& dat, int secRule) {
  std::string text;
  for (uint32_t n = 1; n <= dat.size() / kUserRecordSize; ++n) {
    const std::string record = RecordOf(dat, n);
    text += WarningLines(n, record);
    const bool deleted = record[kDeletedOffset] != 0;
    const bool secMatch =
        secRule >= 0 && record[kAllowPurgeOffset] != 0 && Security(record) == secRule;
    if (!deleted && !secMatch) continue;
    const char* reason = deleted && secMatch ? "already Deleted + /SEC match"
                         : deleted           ? "already Deleted"
                                             : "/SEC match";
    text += Format("%s #%-6u Name='%s' Sec=%d Last='%s' AllowPurge=%s Deleted=%s Reason=%s%s\n",
                   n == 1 ? "PROTECTED " : "WILL-PURGE", n,
                   Display(record, kUserNameOffset, kNameCapacity).c_str(), Security(record),
                   Display(record, kTimeDateOffset, kTimeDateCapacity).c_str(),
                   YesNo(record[kAllowPurgeOffset]), YesNo(record[kDeletedOffset]), reason,
                   n == 1 ? " [USER #1 WILL NOT BE PURGED]" : "");
  }
  return text;
}

std::string CounterLines(const Counts& c, uint64_t purged, uint64_t retained) {
  return "\n======================= SUMMARY =======================\n" +
         Format("User records:        %" PRIu64 "\n", c.userRecords) +
         Format("Selected by rules:   %" PRIu64 "\n", c.selected) +
         Format("Purged/committed:    %" PRIu64 "\n", purged) +
         Format("Retained after pack: %" PRIu64 "\n", retained) +
         Format("Protected user #1:   %" PRIu64 "\n", c.protectedUser1) + "Reason hits:\n" +
         Format("  Already Deleted:   %" PRIu64 "\n", c.deletedHits) +
         Format("  /SEC matches:      %" PRIu64 "\n", c.secHits) +
         Format("  /OLD matches:      %" PRIu64 "\n", c.oldHits) +
         Format("Warnings:            %" PRIu64 "\n", c.warnings) +
         Format("Errors:              %" PRIu64 "\n", c.errors);
}

}  // namespace

SampleRecipe PackRecipe() {
  SampleRecipe recipe;
  recipe.users = kPackUsers;
  recipe.conferences = kPackConferences;
  recipe.capacity = 9999;
  recipe.seed = 11;
  recipe.today = {2026, 3, 1};  // no /OLD: the plan shows no age
  recipe.deletedUsers = {5, 12, 17, 31, 40};
  recipe.user1Deleted = true;
  recipe.pointerTailDiffers = true;
  recipe.purgedLog = true;
  recipe.windowsPathRules = UnderWine();
  return recipe;
}

void MakePackSample(const SampleRecipe& recipe, PackSample* sample) {
  ASSERT_TRUE(EnsureWineReady());
  std::string error;
  ASSERT_TRUE(WriteSampleBbs(sample->scratch.path + "/BBS", recipe, &sample->paths, &error)) << error;
  const std::string& work = sample->paths.work;
  for (uint32_t n : {9u, 26u, 35u, 20u}) {
    ASSERT_TRUE(SetSecurity(work, n, kPackSec) && SetAllowPurge(work, n, n == 20 ? 0 : 1) &&
                SetDeleted(work, n, 0));
  }
  ASSERT_TRUE(SetUserName(work, 9, "TAB\tNAME \xE9T\xE9") && SetSecurity(work, 12, -5) &&
              SetTimeDate(work, 12, "01/02/03") && SetCallingFrom(work, 26, ""));
}

RunResult RunWrite(const PackSample& sample, const std::vector<std::string>& args) {
  RunResult run = RunProgram(sample.paths.home, args);
  CheckedTranscript(run);
  EXPECT_EQ(StagedFilesBelow(sample.paths.home), std::vector<std::string>{});
  EXPECT_FALSE(FileExists(sample.paths.message + "/QVLINK.BSY"));
  return run;
}

std::string RunDate(const RunResult& run) {
  const size_t at = run.out.find(kStartedLabel);
  return at == std::string::npos ? "" : run.out.substr(at + sizeof kStartedLabel - 1, 10);
}

std::string RunTime(const RunResult& run) {
  const size_t at = run.out.find(kStartedLabel);
  return at == std::string::npos ? "" : run.out.substr(at + sizeof kStartedLabel - 1 + 11, 8);
}

std::string RunStamp(const RunResult& run) {
  std::string stamp;
  for (char c : RunDate(run) + "-" + RunTime(run)) {
    if (c != ':' && !(c == '-' && stamp.size() != 8)) stamp += c;
  }
  return stamp.size() == 15 ? stamp : "";
}

std::string ExpectedOpening(const PackSample& sample, const std::vector<std::string>& args,
                            int secRule) {
  std::string dat;
  ReadWholeFile(UserFilePath(sample.paths.work), &dat);
  Rules rules;
  rules.sec = secRule;
  return HeaderText(args, true, sample.paths.home) +
         DirectoriesText(sample.paths.work, sample.paths.message) + OfflineWarningText() +
         LockAcquiredText(sample.paths.message) + CallerClearText(sample.paths.work) +
         SoundValidationText(kPackUsers, kPackConferences) + SelectionRulesText(rules) +
         ScanHeadingText(true) + PlanLines(dat, secRule);
}

std::string ExpectedStaging(const PackSample& sample, unsigned retained) {
  std::string text =
      "\n================== BUILD AND VERIFY .NEW ==================\n" +
      Format("Staged QVUSERS.DAT: %u retained record(s), verified.\n", retained) +
      Format("Staged QVUSERS.PTR: %u rebuilt pointer record(s), verified.\n", retained);
  for (uint32_t c = 1; c <= kPackConferences; ++c) {
    std::string lmr;
    ReadWholeFile(LmrFilePath(sample.paths.message, c), &lmr);
    text += Format("Staged %-16s %zu bytes; %u live user slots + zero capacity, verified.\n",
                   LmrFileName(c).c_str(), lmr.size(), retained);
  }
  return text;
}

std::string ShownBackupDir(const std::string& hostRoot, const std::string& suffix) {
  return HostPath(hostRoot) + Sep() + "QVCULLDB-YYYYMMDD-HHMMSS" + suffix;
}

std::string ExpectedThroughGate(const PackSample& sample, const std::vector<std::string>& args,
                                const std::string& shownDir) {
  const std::string root = shownDir.substr(0, shownDir.rfind(Sep()));
  return ExpectedOpening(sample, args, kPackSec) + ExpectedStaging(sample, kPackRetained) +
         kStagingPassTail + kBackupBanner +
         "Backup root:        " + root + "\n" +
         "Backup directory:   " + shownDir + "\n" +
         "Verified backup result: PASS\n"
         "\n================== FINAL SAFETY GATE ======================\n" +
         CallerClearText(sample.paths.work) +
         "Final pre-commit safety result: PASS\n"
         "\n======================= COMMIT ========================\n";
}

std::string ExpectedPackTranscript(const PackSample& sample, const std::vector<std::string>& args,
                                   const std::string& shownDir) {
  return ExpectedThroughGate(sample, args, shownDir) +
         Format("Commit: COMPLETE (%u file replacement(s)).\n", kPackConferences + 3) +
         "\n================== POST-WRITE VERIFY ======================\n" +
         CallerClearText(sample.paths.work) +
         "Post-write verification: PASS\n"
         "WRITE RESULT: SUCCESS - selected records committed and verified during manual offline "
         "maintenance.\n"
         "Backup directory:   " + shownDir + "\n" + ReleasedText() +
         BackedUpSummaryText(PackCounts(0, 0), true,
                             "\nBackup created:      YES - " + shownDir +
                                 "\nRestore warning:     immediate rollback only before callers "
                                 "return.\n",
                             kStatusSuccess, 0);
}

std::string ExpectedFailedRun(const PackSample& sample, const std::vector<std::string>& args,
                              const std::string& middle, uint64_t warnings) {
  return ExpectedOpening(sample, args, kPackSec) + middle + ReleasedText() +
         WriteSummaryText(PackCounts(warnings, 1), false);
}

Counts PackCounts(uint64_t warnings, uint64_t errors) {
  Counts counts;
  counts.userRecords = kPackUsers;
  counts.selected = kPackPurged.size() + 1;
  counts.candidates = kPackPurged.size();
  counts.retained = kPackRetained;
  counts.protectedUser1 = 1;
  counts.deletedHits = 6;
  counts.secHits = 3;
  counts.warnings = warnings;
  counts.errors = errors;
  return counts;
}

std::string BackedUpSummaryText(const Counts& counts, bool committed,
                                const std::string& backupLines, const std::string& status,
                                int exitCode) {
  return CounterLines(counts, committed ? counts.candidates : 0,
                      committed ? counts.userRecords - counts.candidates : counts.retained) +
         backupLines + status + Format("Exit code:           %d\n", exitCode) + kHashRule + "\n";
}

std::string Display(const std::string& record, unsigned offset, unsigned capacity) {
  const unsigned length = std::min<unsigned>(uint8_t(record[offset]), capacity);
  std::string text = record.substr(offset + 1, length);
  for (char& c : text) {
    if (uint8_t(c) < 0x20 || uint8_t(c) == 0x7F) c = '.';
  }
  return text;
}

std::string ExpectedAuditBlock(const std::string& dat, const std::vector<uint32_t>& purged,
                               const std::string& date, const std::string& time) {
  std::string block =
      "\r\nQVCULLDB32 0.4.0-beta1 packed on " + date + " at " + time +
      "\r\nCALLER NAME                    SECURITY  LAST CALLED     CALLING FROM\r\n" +
      std::string(79, '-') + "\r\n";
  for (uint32_t n : purged) {
    const std::string record = RecordOf(dat, n);
    block += Format("%-30s  %8d  %-14s  %s\r\n",
                    Display(record, kUserNameOffset, kNameCapacity).c_str(), Security(record),
                    Display(record, kTimeDateOffset, kTimeDateCapacity).c_str(),
                    Display(record, kCallingFromOffset, kCallingFromCapacity).c_str());
  }
  return block;
}

std::map<std::string, std::string> LiveDatabase(const PackSample& sample) {
  std::map<std::string, std::string> files;
  for (const auto& [name, bytes] : ReadTree(sample.paths.work)) files["WORK/" + name] = bytes;
  for (const auto& [name, bytes] : ReadTree(sample.paths.message)) files["MESSAGE/" + name] = bytes;
  return files;
}

std::vector<std::string> StagedFilesBelow(const std::string& root) {
  const std::string suffix = ".QVCNEW";
  std::vector<std::string> staged;
  for (const auto& [name, entry] : HashTree(root)) {
    if (entry != "dir" && name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      staged.push_back(name);
    }
  }
  return staged;
}
