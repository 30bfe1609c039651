// Shared by the fault scenarios and sweeps: a pristine sample with its database before and after
// an un-injected pack, the shim's environment, and the check every outcome must pass: the database
// old, packed, or restorable from a verified backup, and the lock and the staged files gone.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <regex>
#include <fstream>
#include <set>
#include <sstream>

#include "harness.h"

using FileMap = std::map<std::string, std::string>;  // a ReadTree; only kFiles are compared

const std::string kSummaryBanner = "\n======================= SUMMARY =======================\n";
// The candidate profile comes between a run's last step and its summary.
const std::string kProfileBanner = "\n================== CANDIDATE PROFILE ==================\n";
const std::string kCommitBanner = "\n======================= COMMIT ========================\n";
const std::string kRollbackBanner = "\n======================= ROLLBACK ======================\n";
const std::string kRollbackFailed =
    "Rollback result: FAILED - keep all nodes offline and restore manually from ";
const std::string kAuditLog = "WORK/QVPURGED.USR", kMarker = "WORK/QVCOMMIT.MRK";
const std::string kMarkerRemovalFailed = "WARNING: cannot remove the commit marker ";
const std::vector<uint32_t> kPurged = {3, 7, 12, 19, 25, 31, 36, 39};  // of 40 users
const std::vector<std::string> kLmrFiles = {"MESSAGE/QVMSG1.LMR", "MESSAGE/QVMSG2.LMR",
                                            "MESSAGE/QVMSG3.LMR"};
const std::vector<std::string> kFiles = {
    "QVNODE.DAT", "WORK/QVUSERS.DAT", "WORK/QVUSERS.PTR", "WORK/QVWHOSON.DAT",
    kAuditLog,    kLmrFiles[0],       kLmrFiles[1],       kLmrFiles[2]};

inline uint64_t Fnv1a64(const std::string& bytes) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (unsigned char b : bytes) hash = (hash ^ b) * 0x100000001B3ull;
  return hash;
}
inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != text.npos;
}
// A path the program printed, as this host names it (Wine's "Z:\\..." back to "/...").
inline std::string PosixPath(std::string path) {
  if (!UnderWine() || path.rfind("Z:", 0) != 0) return path;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path.substr(2);
}
// A console control event ends a Windows program with STATUS_CONTROL_C_EXIT, which Wine
// passes on as its low byte.
inline bool EndedByInterrupt(const RunResult& r) {
  return r.signal == SIGINT || (UnderWine() && r.exitCode == 0x3A);
}
inline void CopyTree(const std::string& from, const std::string& to) {
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
  ASSERT_TRUE(AgeFiles(to)) << to;
}

// A value of the run's summary ("Errors:", ...), or "".
inline std::string SummaryValue(const std::string& text, const std::string& label) {
  const size_t banner = text.rfind(kSummaryBanner);
  std::string value = banner == text.npos ? "" : LineAfter(text.substr(banner), label);
  return value.erase(0, value.find_first_not_of(' '));
}

// A file's bytes as compared (the audit log's clock readings masked), or "<absent>".
inline std::string Version(const FileMap& map, const std::string& rel) {
  const auto found = map.find(rel);
  if (found == map.end()) return "<absent>";
  return rel == kAuditLog ? NormaliseClock(found->second) : found->second;
}

// Whether both hold the same version of a file, compared where it lies (the sweeps compare
// megabytes of files thousands of times).
inline bool SameVersion(const FileMap& a, const FileMap& b, const std::string& rel) {
  const auto x = a.find(rel), y = b.find(rel);
  if (x == a.end() || y == b.end()) return (x == a.end()) == (y == b.end());
  return rel == kAuditLog ? NormaliseClock(x->second) == NormaliseClock(y->second)
                          : x->second == y->second;
}

// The database files that differ, but `skip`.
inline std::string DiffDatabase(const FileMap& expected, const FileMap& actual,
                                const std::string& skip = "") {
  std::string diff;
  for (const std::string& rel : kFiles) {
    if (rel != skip && !SameVersion(expected, actual, rel)) diff += "changed " + rel + "\n";
  }
  return diff;
}

// The shim (beside the test program), its log and counts files (empty: none) and the rules. A
// sanitized program lets the shim go first. Under Wine, the EXE's fault build reads them instead.
inline std::vector<std::string> ShimEnvironment(const std::vector<std::string>& rules,
                                                const std::string& log,
                                                const std::string& counts = "") {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> env = {
      "QVF_LOG=" + log, "QVF_COUNTS=" + counts,
      "ASAN_OPTIONS=" + (asan ? asan + std::string(":") : "") + "verify_asan_link_order=0"};
  if (!UnderWine()) env.push_back("LD_PRELOAD=" + self + "/qv_fault_shim.so");
  for (size_t i = 0; i < rules.size(); ++i) {
    env.push_back("QVF_RULE" + std::to_string(i + 1) + "=" + rules[i]);
  }
  return env;
}

struct Fixture {
  std::string pristine{};
  FileMap before{}, packed{};
  std::map<std::string, uint64_t> beforeHashes{};  // of each file of before
};

// 40 users of whom kPurged go (#1 is Deleted but protected), three LMR files. The un-injected
// pack must leave the sample writer's packed files and the old audit log with a block appended.
// SIGINT, ignored or blocked here, would be so in the programs the tests start.
inline Fixture MakeFixture(const std::string& dir, bool purgedLog, uint32_t capacity = 9999) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  std::signal(SIGINT, SIG_DFL);
  SampleRecipe recipe;
  recipe.users = 40;
  recipe.seed = 5;
  recipe.today = {2026, 1, 15};
  recipe.deletedUsers = kPurged;
  recipe.user1Deleted = true;
  recipe.purgedLog = purgedLog;
  recipe.capacity = capacity;
  Fixture f{.pristine = dir + "/pristine"};
  std::string error;
  EXPECT_TRUE(WriteSampleBbs(f.pristine, recipe, &error)) << error;
  f.before = ReadTree(f.pristine);
  for (const auto& [rel, bytes] : f.before) f.beforeHashes[rel] = Fnv1a64(bytes);
  CopyTree(f.pristine, dir + "/reference");
  const RunResult run = RunProgram(dir + "/reference", {}, ShimEnvironment({}, ""));
  EXPECT_EQ(run.exitCode, 0) << "the un-injected pack failed:\n" << run.out;
  f.packed = ReadTree(dir + "/reference");
  RemoveTree(dir + "/reference");
  FileMap expected = f.before;
  const std::string& dat = f.before.at("WORK/QVUSERS.DAT");
  expected["WORK/QVUSERS.DAT"] = PackedUserFile(dat, kPurged);
  expected["WORK/QVUSERS.PTR"] = PackedPointerFile(dat, kPurged);
  for (const std::string& lmr : kLmrFiles) {
    expected[lmr] = PackedLmrFile(f.before.at(lmr), 40, kPurged);
  }
  const std::string old = purgedLog ? f.before.at(kAuditLog) : "";
  const std::string log = f.packed.count(kAuditLog) ? f.packed.at(kAuditLog) : "";
  if (log.size() > old.size() && log.rfind(old, 0) == 0) expected[kAuditLog] = log;
  EXPECT_EQ(DiffDatabase(expected, f.packed), "") << "the un-injected pack is wrong";
  return f;
}

// The database as the rules' flip, sneak and poke actions leave it (none past its end).
inline FileMap Edited(FileMap map, const std::vector<std::string>& rules) {
  for (const std::string& rule : rules) {
    std::istringstream actions(LineAfter(rule, "act="));
    for (std::string action; std::getline(actions, action, ';');) {
      char kind[8], rel[64], hex[64] = "";
      long long at = 0;
      if (std::sscanf(action.c_str(), "%7[^,],%63[^,],%lld,%63s", kind, rel, &at, hex) < 3 ||
          !std::count(kFiles.begin(), kFiles.end(), rel)) {
        continue;
      }
      std::string& bytes = map[rel];
      const size_t offset = at < 0 ? bytes.size() + at : size_t(at);
      if (offset > bytes.size()) continue;  // past the end of the packed version
      if (kind == std::string("flip") || kind == std::string("sneak")) {
        bytes[offset] = char(~bytes[offset]);
      }
      for (size_t i = 0; kind[0] == 'p' && hex[i] && hex[i + 1]; i += 2) {
        bytes.replace(offset + i / 2, 1, 1, char(std::stoi(std::string(hex + i, 2), nullptr, 16)));
      }
    }
  }
  return map;
}

// What a run left, the database it must keep or reach (with the test's edits), the injection
// the shim made, and for a dry run the full preview.
struct Outcome {
  std::string home{};
  RunResult result{};
  FileMap before{}, packed{};
  std::string injected{}, function{}, path{};  // "fail", "crash" or "interrupt", and the call
  bool dryRun = false;
  std::string preview{};
};

// Empty when MANIFEST.TXT lists every pre-run file's size and hash and each copy, private to its
// owner, holds it.
inline std::string BackupProblem(const Fixture& f, const std::string& dir) {
  const std::string manifest = ReadFile(dir + "/MANIFEST.TXT");
  if (manifest.rfind("QVCULLDB32 VERIFIED BACKUP MANIFEST\r\n", 0)) return "no manifest in " + dir;
  std::string problems;
  for (const auto& [rel, bytes] : f.before) {
    if (rel == "QVNODE.DAT" || !std::count(kFiles.begin(), kFiles.end(), rel)) continue;
    const size_t slash = rel.find('/');
    char line[128];
    std::snprintf(line, sizeof line, "\r\n%-8s %-20s size=%zu fnv1a64=%016llX source=",
                  rel.substr(0, slash).c_str(), rel.substr(slash + 1).c_str(), bytes.size(),
                  static_cast<unsigned long long>(f.beforeHashes.at(rel)));
    if (!Contains(manifest, line)) problems += "manifest line of " + rel + " wrong; ";
    if (ReadFile(dir + "/" + rel) != bytes) problems += "backup copy of " + rel + " wrong; ";
    namespace fs = std::filesystem;
    const fs::perms mode = fs::status(dir + "/" + rel).permissions() & fs::perms::all;
    // Windows gives a copy its directory's access rules, not a mode.
    const bool mine = UnderWine() || mode == (fs::perms::owner_read | fs::perms::owner_write);
    if (!mine) problems += rel + " is public; ";
  }
  return problems;
}

inline std::string PreviewOf(const std::string& report, const std::string& home) {
  const size_t start = report.find("\n==================== PURGE PREVIEW ====");
  const size_t end = report.find("\n================ SNAPSHOT VERIFICATION", start);
  if (start == report.npos || end == report.npos) return "";
  return Masked(NormaliseClock(report.substr(start, end - start)), home, "<home>");
}

// Every invariant of a run's outcome. A crash ends with _exit(99), an interrupt by SIGINT, any
// other run with 2 or its success code (1 for a dry run) and the summary at the end of report and
// console (but a stream whose own write failed).
inline std::vector<std::string> CheckRun(const Fixture& f, const Outcome& o) {
  std::vector<std::string> violations;
  auto expect = [&](bool ok, const std::string& what) { if (!ok) violations.push_back(what); };
  const RunResult& r = o.result;
  const bool crashed = o.injected == "crash", ended = crashed || o.injected == "interrupt";
  auto failedAt = [&](const std::string& path, const std::string& functions) {  // "": any
    return o.injected == "fail" && o.path == path &&
           (functions.empty() || Contains(functions, " " + o.function + " "));
  };
  const char* kOutput = " write vfprintf fflush fwrite fclose setvbuf ";
  const std::string reportPath = o.home + "/" + kReportName;
  const std::string backups = o.home + "/QVCULLDB-BACKUPS", lock = o.home + "/MESSAGE/QVLINK.BSY";
  const std::string& text = failedAt(reportPath, kOutput) ? r.out : r.report;
  const std::string how = " (exit " + std::to_string(r.exitCode) + ", signal " +
                          std::to_string(r.signal) + ")";
  const FileMap live = ReadTree(o.home);
  const std::string changed = DiffDatabase(o.before, live);
  const std::string notPacked = DiffDatabase(o.packed, live);
  if (crashed) expect(r.exitCode == 99, "the crash did not end the process" + how);
  if (ended && !crashed) expect(EndedByInterrupt(r), "SIGINT did not end the run" + how);
  // Output is written in blocks; an interrupt's clean-up writes what was kept, so the console
  // and the report of a fresh tree carry every line printed up to the interrupt, the same ones
  // (once the report is being closed, a notice goes to the console alone).
  if (ended && !crashed && !r.report.empty() && o.path != reportPath) {
    expect(r.out == r.report, "the console and the report differ after the interrupt");
  }
  const size_t last = r.report.rfind("\nINTERRUPTED: ");
  const bool summaryLast = r.report.ends_with(std::string(60, '#') + "\n");  // then closing it
  expect(crashed || !ended || r.report.empty() || summaryLast ||
             std::regex_match(r.report.substr(r.report.find('\n', last + 1) + 1),
                              std::regex("((Database state|Next step|Left behind): .*\n)*")),
         "an interrupted run's report does not end with the INTERRUPTED line and its state");
  if (!ended) expect(r.exitCode == 2 || r.exitCode == int(o.dryRun), "unexpected end" + how);
  const bool beforeReport =
      r.report.empty() && r.exitCode == 2 &&
      (Contains(r.out, "ERROR: cannot determine current directory.\n") ||
       Contains(r.out, "ERROR: cannot append " + HostPath(reportPath) + " ("));
  const bool finished = !ended && !beforeReport;
  if (o.dryRun || beforeReport) expect(changed.empty(), "the run changed the database\n" + changed);
  if (o.dryRun) expect(!live.count("QVCULLDB-BACKUPS/"), "a dry run made a backup directory");
  const std::string status = SummaryValue(text, "Result status:");
  const std::string tail = "Exit code:           " + std::to_string(r.exitCode) + "\n" +
                           std::string(60, '#') + "\n";
  for (const auto& [out, path] : {std::pair{&r.report, reportPath}, {&r.out, "<stdout>"}}) {
    const bool ends = Contains(*out, kSummaryBanner) && out->size() >= tail.size() &&
                      out->compare(out->size() - tail.size(), tail.size(), tail) == 0;
    expect(!finished || ends || failedAt(path, kOutput), path + " does not end with the summary");
  }
  // The state a run says it left is the state it left.
  const std::string state = SummaryValue(text, "Database state:");
  expect(!finished || !state.empty() || failedAt(reportPath, kOutput) ||
             failedAt("<stdout>", kOutput), "no Database state line");
  expect(state.rfind("UNCHANGED", 0) != 0 || changed.empty(),
         "UNCHANGED claimed over a changed database");
  // Every state line is followed by the step it calls for.
  const std::string next = SummaryValue(text, "Next step:");
  static const std::pair<const char*, const char*> kNextSteps[] = {
      {"ROLLED BACK", "correct what the errors above say"},
      {"CHANGED ELSEWHERE", "find the program that changed"},
      {"MIXED", "run the restore command on the line above"},
      {"UNKNOWN - ", "keep the nodes closed and preview"},
      {"NOT WRITTEN - this run wrote no live file", "keep the nodes closed and preview"},
  };
  for (const auto& [stateStart, nextStart] : kNextSteps) {
    expect(state.rfind(stateStart, 0) != 0 || next.rfind(nextStart, 0) == 0 ||
               (state.rfind("UNKNOWN - a commit marker", 0) == 0 && !next.empty()),
           "the state " + state + " is followed by the next step " + next);
  }
  const bool packedWithoutLockStep =
      next.rfind("keep the nodes closed; once no other run holds the lock", 0) == 0;
  expect(state.rfind("PACKED", 0) != 0 || o.injected == "interrupt" ||
             (r.exitCode == 0 ? next.rfind("check the backup with: ", 0) == 0
                              : packedWithoutLockStep || next.rfind("check the backup", 0) == 0),
         "PACKED followed by the next step " + next);
  expect(state.empty() || !next.empty() || failedAt(reportPath, kOutput) ||
             failedAt("<stdout>", kOutput),
         "a state line without its next step");
  expect(!finished || o.dryRun || r.exitCode != 0 || state.rfind("PACKED", 0) == 0,
         "exit 0 but the state is not PACKED");
  expect(!finished || !Contains(text, kRollbackBanner) ||
             state.rfind(Contains(text, kRollbackFailed) ? "MIXED" : "ROLLED BACK", 0) == 0,
         "the state disagrees with the rollback: " + state);
  const bool mixed = !changed.empty() && !notPacked.empty(), marker = live.count(kMarker);
  const bool rollbackFailed = Contains(text, kRollbackFailed);
  // An interrupt waits for the database to be whole; a crash in between leaves the marker.
  expect(o.injected != "interrupt" || !mixed || rollbackFailed, "interrupted into a mix");
  expect(!crashed || !mixed || marker, "a crash left a mix without a commit marker");
  // A run that lost its lock during the commit keeps the marker: it may be another run's by now.
  const bool lockLost = Contains(text, "Commit marker kept: " + HostPath(o.home + "/" + kMarker) +
                                           " - this run no longer holds the lock");
  const bool lockUnconfirmed = Contains(text, "the commit marker " + HostPath(o.home + "/" + kMarker) +
                                                  " is kept for the next run");
  expect(!marker || crashed || rollbackFailed || lockLost || lockUnconfirmed ||
             Contains(text, kMarkerRemovalFailed),
         "commit marker left behind");
  expect(!marker || !finished || failedAt(reportPath, kOutput) ||
             Contains(text, "Left behind:         " + HostPath(o.home + "/" + kMarker) + " - "),
         "the kept commit marker left unnamed");
  if (ended && !o.dryRun && mixed) {
    // Ended inside the commit: every file old or new, and the one backup restores the old one.
    for (const std::string& rel : kFiles) {
      expect(SameVersion(live, o.before, rel) || SameVersion(live, o.packed, rel),
             rel + " is neither old nor packed");
    }
    const std::vector<std::string> names = ListDirectory(backups);
    const std::string lost =
        names.size() == 1 ? BackupProblem(f, backups + "/" + names[0]) : "no one backup";
    expect(lost.empty(), "the run ended inside the commit and the backup cannot restore: " + lost);
  } else if (finished && o.dryRun) {
    const std::string untrusted = "ABORTED/UNTRUSTED - correct the reported errors and rerun.";
    expect(r.exitCode == 1 || status == untrusted, "exit 2 but not UNTRUSTED");
    expect(r.exitCode != 1 || PreviewOf(text, o.home) == o.preview,
           "exit 1 with a preview unlike the un-injected one");
  } else if (finished) {
    // Once the commit has begun, the database depends on the backup the run names.
    std::string backup = SummaryValue(text, "Backup created:");
    if (backup.rfind("NO", 0) == 0) backup.clear();
    if (backup.rfind("YES - ", 0) == 0) backup.erase(0, 6);
    const bool committing = Contains(text, kCommitBanner) && !backup.empty();
    const std::string lost = committing ? BackupProblem(f, PosixPath(backup)) : "";
    expect(lost.empty(), "the named backup does not restore the database: " + lost);
    if (r.exitCode == 0) {
      expect(Contains(text, "WRITE RESULT: SUCCESS - selected records committed and verified") &&
                 status == "SUCCESS - manual-offline user pack committed and verified." &&
                 !backup.empty(),
             "exit 0 without the SUCCESS lines and a backup");
      expect(notPacked.empty(), "exit 0 but the database is not the packed one:\n" + notPacked);
    } else {
      expect(status == "ABORTED/FAILED - keep nodes offline until the report is reviewed.",
             "exit 2 but not FAILED");
      expect(!Contains(text, kRollbackBanner) ||
                 SummaryValue(text, "Rollback status:") == (rollbackFailed ? "FAILED" : "PASS"),
             "the summary's rollback status disagrees with the rollback");
      // The old database, or a failed rollback that names a backup holding it.
      const std::string named = PosixPath(LineAfter(text, kRollbackFailed));
      // Or, after the lock was lost mid-commit, the packed database whole and verified.
      const bool packedWithoutLock = lockLost && notPacked.empty() &&
                                     Contains(text, "Post-write verification: PASS\n");
      const std::string problem = changed.empty() || packedWithoutLock ? ""
                                  : !rollbackFailed ? "no failed rollback"
                                  : BackupProblem(f, named.substr(0, named.size() - 1));
      expect(problem.empty(), "exit 2 with a changed database:\n" + changed + problem);
    }
  }
  // Lock and staged files are gone unless the run crashed or their own removal failed.
  const bool named = Contains(
      text,
      "release its QVLINK.BSY lock. Manual cleanup may be required: " + HostPath(lock) + "\n");
  // Another tool's lock ("OTHER", made by a test action) is never removed.
  const bool other = ReadFile(lock) == "OTHER";
  expect(crashed || !live.count("MESSAGE/QVLINK.BSY") || (failedAt(lock, "") && named) || other,
         "QVLINK.BSY left without an error naming it");
  for (const std::string area : {"WORK/", "MESSAGE/"}) {
    for (const std::string& name : ListDirectory(o.home + "/" + area)) {
      const bool staged = name.size() > 7 && name.substr(name.size() - 7) == ".QVCNEW";
      const bool known = std::count(kFiles.begin(), kFiles.end(), area + name);
      const char* kRemovals = " unlink stat DeleteFileA GetFileAttributesA ";
      expect(!staged || crashed || failedAt(o.home + "/" + area + name, kRemovals),
             area + name + " left behind");
      // QVMSG9.LMR is made only by a test action, as another program would.
      expect(staged || name == "QVLINK.BSY" || known || area + name == kMarker ||
                 area + name == "MESSAGE/QVMSG9.LMR",
             "unexpected file " + area + name);
    }
  }
  for (const std::string& name : ListDirectory(backups)) {  // a backup cut short is named
    const bool whole = Contains(ReadFile(backups + "/" + name + "/MANIFEST.TXT"), "\r\nEND ");
    const std::string line = "Left behind:         " + HostPath(backups + "/" + name);
    if (name == "QVCULLDB.LCK") {  // the root's lock: no run holds it, the next one takes it
      expect(crashed || Contains(text, line), "the backup root's lock left unnamed");
      continue;
    }
    expect(crashed || whole || Contains(text, line),
           "the incomplete backup " + name + " left unnamed");
  }
  return violations;
}

// What the operator does after a crash: removes the stale lock and the staged files.
inline void RemoveStaleLockAndStagedFiles(const std::string& home) {
  std::filesystem::remove(home + "/MESSAGE/QVLINK.BSY");
  for (const std::string area : {"/WORK/", "/MESSAGE/"}) {
    for (const std::string& name : ListDirectory(home + area)) {
      if (name.ends_with(".QVCNEW")) std::filesystem::remove(home + area + name);
    }
  }
}

// After a crash, once the operator has removed the stale lock and staged files: the next run
// packs a whole database (old or packed) and clears the marker, or refuses a mixed one, naming
// the backup to restore, and changes nothing.
inline std::vector<std::string> CheckNextRun(const Fixture& f, const Outcome& o) {
  std::vector<std::string> violations;
  RemoveStaleLockAndStagedFiles(o.home);
  const FileMap left = ReadTree(o.home);
  const bool mixed = !DiffDatabase(f.before, left).empty() && !DiffDatabase(f.packed, left).empty();
  const RunResult next = RunProgram(o.home, {});
  const FileMap after = ReadTree(o.home);
  const std::string refusal = (UnderWine() ? "QVRESTORE.EXE /RESTORE=" : "qvrestore /RESTORE=") +
                              HostPath(o.home + "/QVCULLDB-BACKUPS/QVCULLDB-");
  if (mixed && (next.exitCode != 2 || !Contains(next.out, refusal) ||
                !DiffDatabase(left, after).empty() || !after.count(kMarker))) {
    violations.push_back("the next run did not refuse the mixed database:\n" + next.out);
  }
  if (!mixed && (next.exitCode != 0 || !DiffDatabase(f.packed, after).empty() ||
                 after.count(kMarker))) {
    violations.push_back("the next run did not complete the pack:\n" + next.out);
  }
  return violations;
}

// What the shim's QVF_POWER events say reached the disk: the listings (directory inode -> name ->
// inode and mode) at the start, as last fsync'd and at the crash, and the other events in order.
struct PowerLog {
  using Listings = std::map<uint64_t, std::map<std::string, std::pair<uint64_t, unsigned>>>;
  uint64_t root = 0;
  Listings start{}, synced{}, now{};
  std::vector<std::string> events{};
};

inline PowerLog ReadPowerLog(const std::string& dir) {
  PowerLog p;
  PowerLog::Listings* listings = &p.start;
  std::istringstream lines(ReadFile(dir + "/events"));
  for (std::string line; std::getline(lines, line);) {
    unsigned long ino = 0, entry = 0, mode = 0;
    char name[256];
    std::sscanf(line.c_str() + 1, "%lu", &ino);
    if (line[0] == 'I') p.root = ino;
    if (line[0] == 'C') listings = &p.now;
    if (line[0] == 'D') (listings = &p.synced)->operator[](ino).clear();
    if (std::sscanf(line.c_str(), "E %lu %lu %lo %255[^\n]", &ino, &entry, &mode, name) == 4) {
      (*listings)[ino][name] = {entry, mode};
    }
    if (!Contains("ICE", line.substr(0, 1))) p.events.push_back(line);
  }
  return p;
}

// The tree a power cut may leave at home: the entries as last fsync'd, else as at the start
// (keepEntries: as at the crash), each file's bytes as the shim kept them (at the start or its
// last fsync), or none.
inline void MakeCutTree(const PowerLog& p, bool keepEntries, uint64_t dir,
                        const std::string& kept, const std::string& home) {
  const PowerLog::Listings& chosen = keepEntries ? p.now : p.synced.count(dir) ? p.synced : p.start;
  static const PowerLog::Listings::mapped_type kNone;
  std::filesystem::create_directory(home);
  for (const auto& [name, entry] : chosen.count(dir) ? chosen.at(dir) : kNone) {
    const auto& [ino, mode] = entry;
    if (S_ISDIR(mode)) MakeCutTree(p, keepEntries, ino, kept, home + "/" + name);
    if (S_ISREG(mode)) std::ofstream(home + '/' + name) << ReadFile(kept + '/' + std::to_string(ino));
    std::filesystem::permissions(home + "/" + name, std::filesystem::perms(mode & 0777));
  }
}

// The restore program beside the packer the tests run, run like it.
inline RunResult RunRestoreProgram(const std::string& home, const std::vector<std::string>& args,
                                   const std::vector<std::string>& env = {}) {
  const std::string packer = ProgramPath();
  const std::string name = UnderWine() ? "QVRESTORE.EXE" : "qvrestore";
  const std::string restore = (std::filesystem::path(packer).parent_path() / name).string();
  setenv("QV_PROGRAM", restore.c_str(), 1);
  const RunResult result = RunProgram(home, args, env);
  setenv("QV_PROGRAM", packer.c_str(), 1);
  return result;
}
