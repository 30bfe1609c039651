// The write-run sample and its expected texts. See write_fixture.h.
#include "write_fixture.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

const std::vector<uint32_t> kPackPurged = {5, 9, 12, 17, 26, 31, 35, 40};

const char* const kStatusSuccess =
    "Result status:       SUCCESS - manual-offline user pack committed and verified.\n";
const char* const kStatusFailed =
    "Result status:       ABORTED/FAILED - keep nodes offline until the report is reviewed.\n";
const char* const kLockReleased = "Shared QVLINK.BSY lock: RELEASED.\n";
const char* const kStagingPassTail =
    "Staged QVPURGED.USR: audit entries appended and verified.\n"
    "Staged build and verification: PASS\n";

namespace {

const std::string kHashRule(60, '#');

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Joined(const std::string& dir, const std::string& name) {
  return Shown(dir) + Sep() + name;
}

int Security(const std::string& record) {
  return int16_t(uint8_t(record[kSecurityOffset]) | (uint8_t(record[kSecurityOffset + 1]) << 8));
}

std::string YesNo(char flag) { return flag ? "YES" : "NO"; }

std::string RecordOf(const std::string& dat, uint32_t n) {
  return dat.substr(size_t(n - 1) * kUserRecordSize, kUserRecordSize);
}

std::string HeaderText(const PackSample& sample, const std::vector<std::string>& args) {
  std::string commandLine = HostPath(ProgramPath());
  for (const std::string& arg : args) commandLine += " " + arg;
  return "\n" + kHashRule + "\n" +
         "QVCULLDB32 REPORT RUN\n"
         "Started:             YYYY-MM-DD HH:MM:SS\n"
         "Version:             0.4.0-beta1\n"
         "Command line:        " + commandLine + "\n" + kHashRule + "\n" +
         "MODE: VERIFIED BACKUP + STAGED USER PACK\n"
         "BETA: MANUAL OFFLINE USE ONLY - NOT APPROVED FOR EVENTS OR BUILT-IN SYSOP MENU\n"
         "Write mode selected because /DRYRUN was not supplied.\n"
         "Executable filename: QVCULLDB.EXE\n"
         "Home directory:      " + Shown(sample.paths.home) + "\n" +
         "Report file:         " + Joined(sample.paths.home, kReportName) + "\n" +
         "Work directory:      " + Shown(sample.paths.work) + "\n" +
         "Message directory:   " + Shown(sample.paths.message) + "\n" +
         "\n============================================================\n"
         "WARNING: MANUAL OFFLINE MAINTENANCE REQUIRED\n"
         "Close every Quorvex node and prevent caller access before continuing.\n"
         "QVWHOSON.DAT can detect active callers, not idle node processes.\n"
         "============================================================\n";
}

std::string CallerLines(const PackSample& sample) {
  std::string who;
  ReadWholeFile(CallerFilePath(sample.paths.work), &who);
  return "Caller-status file:  " + Joined(sample.paths.work, "QVWHOSON.DAT") + " (" +
         std::to_string(who.size()) + " bytes)\nCaller safety check: CLEAR\n";
}

std::string SafetyText(const PackSample& sample) {
  return "\n======================= SAFETY =======================\n"
         "Shared lock file:    " + Joined(sample.paths.message, "QVLINK.BSY") + "\n" +
         "Shared QVLINK.BSY lock: ACQUIRED - QVLink32 and cooperating tools are blocked for "
         "this run.\n" + CallerLines(sample);
}

// LMR files of MESSAGE in the program's order (plain names sort the same).
std::vector<std::string> LmrNames(const PackSample& sample) {
  std::vector<std::string> names;
  for (const std::string& name : ListDirectory(sample.paths.message)) {
    if (name.size() > 9 && name.compare(0, 5, "QVMSG") == 0 &&
        name.compare(name.size() - 4, 4, ".LMR") == 0 && FileExists(sample.paths.message + "/" + name)) {
      names.push_back(name);
    }
  }
  return names;
}

uint64_t SizeOf(const std::string& path) {
  std::string bytes;
  ReadWholeFile(path, &bytes);
  return bytes.size();
}

std::string ValidationText(const PackSample& sample) {
  const uint64_t dat = SizeOf(UserFilePath(sample.paths.work));
  const uint64_t ptr = SizeOf(PointerFilePath(sample.paths.work));
  const uint64_t users = dat / kUserRecordSize;
  std::string text = "\n==================== FILE VALIDATION ==================\n" +
                     Format("QVUSERS.DAT:        %" PRIu64 " bytes = %" PRIu64 " x 315, remainder %u\n",
                            dat, users, unsigned(dat % kUserRecordSize)) +
                     Format("QVUSERS.PTR:        %" PRIu64 " bytes = %" PRIu64 " x 31, remainder %u\n",
                            ptr, ptr / kPointerRecordSize, unsigned(ptr % kPointerRecordSize));
  const std::vector<std::string> lmrs = LmrNames(sample);
  text += Format("LMR files found:     %zu\n", lmrs.size());
  for (const std::string& name : lmrs) {
    const uint64_t size = SizeOf(sample.paths.message + "/" + name);
    text += Format("  %-16s %" PRIu64 " bytes = %" PRIu64 " x 4, remainder 0  OK: capacity %" PRIu64
                   "; current users occupy slots 1..%" PRIu64 "%s\n",
                   name.c_str(), size, size / 4, size / 4, users,
                   size / 4 == 9999 ? " [standard Quorvex fixed capacity]" : "");
  }
  return text;
}

std::string RulesText(int secRule) {
  return "\nSelection rules:\n"
         "  Always include users already marked Deleted=TRUE.\n" +
         (secRule < 0 ? std::string("  /SEC: not supplied.\n")
                      : Format("  /SEC=%d: include matching users only when AllowPurge=TRUE.\n",
                               secRule)) +
         "  /OLD: not supplied.\n"
         "  Combination rule: N/A - only one or neither optional rule supplied.\n";
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

std::string PlanLines(const std::string& dat, int secRule) {
  std::string text =
      "\n==================== PURGE PLAN ====================\n"
      "Pack date:        YYYY-MM-DD\n"
      "User #1 protection: ENABLED\n" +
      std::string(55, '-') + "\n";
  for (uint32_t n = 1; n <= dat.size() / kUserRecordSize; ++n) {
    const std::string record = RecordOf(dat, n);
    text += WarningLines(n, record);
    const bool deleted = record[kDeletedOffset] != 0;
    const bool secMatch = secRule >= 0 && record[kAllowPurgeOffset] != 0 && Security(record) == secRule;
    if (!deleted && !secMatch) continue;
    const std::string reason = deleted && secMatch ? "already Deleted + /SEC match"
                               : deleted           ? "already Deleted"
                                                   : "/SEC match";
    text += Format("%s #%-6u Name='%s' Sec=%d Last='%s' AllowPurge=%s Deleted=%s Reason=%s%s\n",
                   n == 1 ? "PROTECTED " : "WILL-PURGE", n,
                   Display(record, kUserNameOffset, kNameCapacity).c_str(), Security(record),
                   Display(record, kTimeDateOffset, kTimeDateCapacity).c_str(),
                   YesNo(record[kAllowPurgeOffset]).c_str(), YesNo(record[kDeletedOffset]).c_str(),
                   reason.c_str(), n == 1 ? " [USER #1 WILL NOT BE PURGED]" : "");
  }
  return text;
}

}  // namespace

SampleSpec PackSpec() {
  SampleSpec spec;
  spec.users = 40;
  spec.conferences = 3;
  spec.capacity = 9999;
  spec.seed = 11;
  spec.today = {2026, 3, 1};
  spec.deletedUsers = {5, 12, 17, 31, 40};
  spec.user1Deleted = true;
  spec.pointerTailDiffers = true;
  spec.purgedLog = true;
  spec.windowsPathRules = UnderWine();
  return spec;
}

bool WritePackSample(const SampleSpec& spec, PackSample* sample, std::string* error) {
  if (!WriteSampleBbs(sample->scratch.path + "/BBS", spec, &sample->paths, error)) return false;
  const std::string& work = sample->paths.work;
  bool ok = true;
  for (uint32_t n : {9u, 26u, 35u, 20u}) {
    ok = ok && SetSecurity(work, n, kPackSec) && SetAllowPurge(work, n, n == 20 ? 0 : 1) &&
         SetDeleted(work, n, 0);
  }
  ok = ok && SetUserName(work, 9, "TAB\tNAME \xE9T\xE9") && SetSecurity(work, 12, -5) &&
       SetTimeDate(work, 12, "01/02/03") && SetCallingFrom(work, 26, "");
  if (!ok && error) *error = "cannot patch the sample's records";
  return ok;
}

std::string Shown(const std::string& hostPath) { return HostPath(hostPath); }

std::string RunDate(const RunResult& run) {
  const std::string label = "Started:             ";
  const size_t at = run.out.find(label);
  return at == std::string::npos ? "" : run.out.substr(at + label.size(), 10);
}

std::string RunTime(const RunResult& run) {
  const std::string label = "Started:             ";
  const size_t at = run.out.find(label);
  return at == std::string::npos ? "" : run.out.substr(at + label.size() + 11, 8);
}

std::string RunStamp(const RunResult& run) {
  std::string stamp;
  for (char c : RunDate(run) + "-" + RunTime(run).substr(0, 8)) {
    if (c != ':' && !(c == '-' && stamp.size() != 8)) stamp += c;
  }
  return stamp.size() == 15 ? stamp : "";
}

std::string ExpectedOpening(const PackSample& sample, const std::vector<std::string>& args,
                            int secRule) {
  std::string dat;
  ReadWholeFile(UserFilePath(sample.paths.work), &dat);
  return HeaderText(sample, args) + SafetyText(sample) + ValidationText(sample) +
         RulesText(secRule) + PlanLines(dat, secRule);
}

std::string ExpectedStaging(const PackSample& sample, unsigned retained) {
  std::string text = "\n================== BUILD AND VERIFY .NEW ==================\n" +
                     Format("Staged QVUSERS.DAT: %u retained record(s), verified.\n", retained) +
                     Format("Staged QVUSERS.PTR: %u rebuilt pointer record(s), verified.\n", retained);
  for (const std::string& name : LmrNames(sample)) {
    text += Format("Staged %-16s %" PRIu64 " bytes; %u live user slots + zero capacity, verified.\n",
                   name.c_str(), SizeOf(sample.paths.message + "/" + name), retained);
  }
  return text;
}

std::string ExpectedPackTranscript(const PackSample& sample, const std::vector<std::string>& args,
                                   const std::string& shownRoot) {
  const std::string dir = shownRoot + Sep() + "QVCULLDB-YYYYMMDD-HHMMSS";
  return ExpectedOpening(sample, args, kPackSec) + ExpectedStaging(sample, kPackRetained) +
         kStagingPassTail +
         "\n=================== VERIFIED BACKUP =======================\n"
         "Backup root:        " + shownRoot + "\n" +
         "Backup directory:   " + dir + "\n" +
         "Verified backup result: PASS\n"
         "\n================== FINAL SAFETY GATE ======================\n" +
         CallerLines(sample) +
         "Final pre-commit safety result: PASS\n"
         "\n======================= COMMIT ========================\n" +
         Format("Commit: COMPLETE (%zu file replacement(s)).\n", LmrNames(sample).size() + 3) +
         "\n================== POST-WRITE VERIFY ======================\n" +
         CallerLines(sample) +
         "Post-write verification: PASS\n"
         "WRITE RESULT: SUCCESS - selected records committed and verified during manual offline "
         "maintenance.\n"
         "Backup directory:   " + dir + "\n" + kLockReleased +
         ExpectedSummary(PackCounts(true, 0),
                         "\nBackup created:      YES - " + dir +
                             "\nRestore warning:     immediate rollback only before callers "
                             "return.\n",
                         kStatusSuccess, 0);
}

std::string ExpectedSummary(const SummaryCounts& c, const std::string& backupLines,
                            const std::string& status, int exitCode) {
  return "\n======================= SUMMARY =======================\n" +
         Format("User records:        %" PRIu64 "\n", c.users) +
         Format("Selected by rules:   %" PRIu64 "\n", c.selected) +
         Format("Purged/committed:    %u\n", c.purged) +
         Format("Retained after pack: %u\n", c.retained) +
         Format("Protected user #1:   %" PRIu64 "\n", c.protectedUser1) + "Reason hits:\n" +
         Format("  Already Deleted:   %" PRIu64 "\n", c.deletedHits) +
         Format("  /SEC matches:      %" PRIu64 "\n", c.secHits) +
         "  /OLD matches:      0\n" +
         Format("Warnings:            %" PRIu64 "\n", c.warnings) +
         Format("Errors:              %" PRIu64 "\n", c.errors) + backupLines + status +
         Format("Exit code:           %d\n", exitCode) + kHashRule + "\n";
}

SummaryCounts PackCounts(bool succeeded, uint64_t errors) {
  SummaryCounts counts;
  counts.users = 40;
  counts.selected = kPackPurged.size() + 1;
  counts.purged = succeeded ? unsigned(kPackPurged.size()) : 0;
  counts.retained = kPackRetained;
  counts.protectedUser1 = 1;
  counts.deletedHits = 6;
  counts.secHits = 3;
  counts.errors = errors;
  return counts;
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
  std::string block = "\r\nQVCULLDB32 0.4.0-beta1 packed on " + date + " at " + time +
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
  for (const auto& entry : HashTree(root)) {
    const std::string& name = entry.first;
    if (entry.second != "dir" && name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      staged.push_back(name);
    }
  }
  return staged;
}
