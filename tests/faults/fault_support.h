// What the fault scenarios and sweeps share: a sample BBS kept pristine with its
// database before and after an un-injected pack, runs of the real program under
// the fault shim (fault_shim.c), and the check every outcome must pass: the
// database is the old one, the packed one, or restorable from a verified backup;
// the lock and the staged files are gone.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "harness.h"

using FileMap = std::map<std::string, std::string>;  // relative path -> bytes; absent: no entry
enum class Kind { Fail, Crash, Interrupt };
inline const char* KindName(Kind kind) {
  return kind == Kind::Fail ? "fail" : kind == Kind::Crash ? "crash" : "interrupt";
}

const std::string kSummaryBanner = "\n======================= SUMMARY =======================\n";
const std::string kCommitBanner = "\n======================= COMMIT ========================\n";
const std::string kRollbackBanner = "\n======================= ROLLBACK ======================\n";
const std::string kRollbackFailed =
    "Rollback result: FAILED - keep all nodes offline and restore manually from ";

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The rest of the line after the last "prefix" in text, or "".
inline std::string LineAfter(const std::string& text, const std::string& prefix) {
  const size_t at = text.rfind(prefix);
  if (at == std::string::npos) return "";
  const size_t start = at + prefix.size();
  return text.substr(start, text.find('\n', start) - start);
}

// A value of the run's summary ("Errors:", ...), or "".
inline std::string SummaryValue(const std::string& text, const std::string& label) {
  const size_t banner = text.rfind(kSummaryBanner);
  std::string value = banner == std::string::npos ? "" : LineAfter(text.substr(banner), label);
  return value.erase(0, value.find_first_not_of(' '));
}

inline FileMap ReadDatabase(const std::string& home, const std::vector<std::string>& files) {
  FileMap map;
  for (const std::string& rel : files) {
    if (FileExists(home + "/" + rel)) map[rel] = ReadFile(home + "/" + rel);
  }
  return map;
}

// A file's bytes as compared, the audit log's clock readings masked; "<absent>".
inline std::string Version(const FileMap& map, const std::string& rel) {
  const auto found = map.find(rel);
  if (found == map.end()) return "<absent>";
  return rel == "WORK/QVPURGED.USR" ? NormaliseClock(found->second) : found->second;
}

// "changed X" / "vanished X" / "appeared X" lines.
inline std::string DiffDatabase(const FileMap& expected, const FileMap& actual) {
  std::string diff;
  for (const auto& entry : expected) {
    if (!actual.count(entry.first)) diff += "vanished " + entry.first + "\n";
    else if (Version(actual, entry.first) != Version(expected, entry.first)) diff += "changed " + entry.first + "\n";
  }
  for (const auto& entry : actual) {
    if (!expected.count(entry.first)) diff += "appeared " + entry.first + "\n";
  }
  return diff;
}

inline void CopyTree(const std::string& from, const std::string& to) {
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
}

// 40 users, of which 3, 7, 12, 19, 25, 31, 36 and 40 are purged (#1 is Deleted
// but protected), three LMR files, and an old audit log when asked.
struct Fixture {
  std::string pristine;
  std::vector<std::string> files = {"QVNODE.DAT", "WORK/QVUSERS.DAT", "WORK/QVUSERS.PTR",
                                    "WORK/QVWHOSON.DAT", "WORK/QVPURGED.USR", "MESSAGE/QVMSG1.LMR",
                                    "MESSAGE/QVMSG2.LMR", "MESSAGE/QVMSG3.LMR"};
  FileMap before, packed;
};

// The environment of one run: the shim, its log and counts files (empty: none),
// the rules QVF_RULE1.. and extra entries. A sanitized program tolerates the shim first.
inline std::vector<std::string> ShimEnvironment(const std::vector<std::string>& rules,
                                                const std::string& log,
                                                const std::string& counts = "",
                                                const std::vector<std::string>& extra = {}) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path();
  const char* asan = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> env = {
      "LD_PRELOAD=" + self + "/qv_fault_shim.so", "QVF_FAST_FSYNC=1", "QVF_LOG=" + log,
      "QVF_COUNTS=" + counts,
      "ASAN_OPTIONS=" + std::string(asan ? asan : "") + (asan ? ":" : "") + "verify_asan_link_order=0"};
  for (size_t i = 0; i < 8; ++i) {
    env.push_back("QVF_RULE" + std::to_string(i + 1) + "=" + (i < rules.size() ? rules[i] : ""));
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

inline Fixture MakeFixture(const std::string& dir, bool purgedLog) {
  SampleRecipe recipe;
  recipe.users = 40;
  recipe.conferences = 3;
  recipe.seed = 5;
  recipe.today = {2026, 1, 15};
  recipe.deletedUsers = {3, 7, 12, 19, 25, 31, 36, 40};
  recipe.user1Deleted = true;
  recipe.purgedLog = purgedLog;
  Fixture f;
  f.pristine = dir + "/pristine";
  std::string error;
  EXPECT_TRUE(WriteSampleBbs(f.pristine, recipe, &error)) << error;
  f.before = ReadDatabase(f.pristine, f.files);
  CopyTree(f.pristine, dir + "/reference");
  const RunResult run = RunProgram(dir + "/reference", {}, ShimEnvironment({}, ""));
  EXPECT_EQ(run.exitCode, 0) << "the un-injected pack failed:\n" << run.out;
  f.packed = ReadDatabase(dir + "/reference", f.files);
  RemoveTree(dir + "/reference");
  return f;
}

// One "fired" line of the shim's log.
struct Fired {
  int rule = 0;
  std::string function, site, path, path2;
};
inline std::vector<Fired> ReadFired(const std::string& log) {
  std::vector<Fired> fired;
  std::istringstream lines(ReadFile(log));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("fired ", 0) != 0) continue;
    Fired call;
    call.rule = std::atoi(LineAfter(line, "rule=").c_str());
    std::istringstream(LineAfter(line, "func=")) >> call.function;
    std::istringstream(LineAfter(line, "site=")) >> call.site;
    std::istringstream(LineAfter(line, " path=")) >> call.path;
    std::istringstream(LineAfter(line, "path2=")) >> call.path2;
    fired.push_back(call);
  }
  return fired;
}

// What one run left behind, the database it must keep or reach (with the
// test's own edits) and the injection the shim made, if any.
struct Outcome {
  std::string home;
  RunResult result;
  FileMap before, packed;
  bool injected = false;
  Kind kind = Kind::Fail;
  Fired at;
};

struct Verdict {
  std::vector<std::string> violations;
  bool succeeded = false;  // exit 0 (1 for a dry run) with the full result
  bool silent = false;     // failed with an error count of 0
};

// Empty when the backup's MANIFEST.TXT lists every pre-run file with its size
// and FNV-1a hash and every copy holds those bytes.
inline std::string BackupProblem(const Fixture& f, const std::string& dir) {
  const std::string manifest = ReadFile(dir + "/MANIFEST.TXT");
  if (manifest.rfind("QVCULLDB32 VERIFIED BACKUP MANIFEST\r\n", 0) != 0) {
    return "no MANIFEST.TXT in " + dir;
  }
  std::string problems;
  for (const auto& [rel, bytes] : f.before) {
    if (rel == "QVNODE.DAT") continue;
    const std::string area = rel.substr(0, rel.find('/')), name = rel.substr(rel.find('/') + 1);
    char line[128];
    std::snprintf(line, sizeof line, "\r\n%-8s %-20s size=%zu fnv1a64=%016llX source=", area.c_str(),
                  name.c_str(), bytes.size(), static_cast<unsigned long long>(Fnv1a64(bytes)));
    if (!Contains(manifest, line)) problems += "manifest line of " + rel + " wrong; ";
    if (ReadFile(dir + "/" + rel) != bytes) problems += "backup copy of " + rel + " wrong; ";
  }
  return problems;
}

// The checks of one run, with the text that holds its report: the console when
// the injected failure was a write of the report itself.
struct Checker {
  const Fixture& f;
  const Outcome& o;
  Verdict verdict{};
  bool crashed = o.injected && o.kind == Kind::Crash;
  bool interrupted = o.injected && o.kind == Kind::Interrupt;
  bool failedOwn(const std::string& path) const {  // the injected failure hit this path
    return o.injected && o.kind == Kind::Fail && (o.at.path == path || o.at.path2 == path);
  }
  bool outputFailed(const std::string& path) const {
    static const std::set<std::string> output = {"vfprintf", "fputs", "fflush", "fwrite", "fclose", "setvbuf"};
    return failedOwn(path) && output.count(o.at.function);
  }
  std::string reportPath = o.home + "/" + kReportName;
  const std::string& text = outputFailed(reportPath) ? o.result.out : o.result.report;

  void Violate(const std::string& what) { verdict.violations.push_back(what); }
  void Expect(bool ok, const std::string& what) { if (!ok) Violate(what); }

  // A crash ends with _exit(99), an interrupt by SIGINT, anything else with an allowed code.
  bool EndedByItself(std::initializer_list<int> allowed) {
    const RunResult& r = o.result;
    const std::string how = " (exit " + std::to_string(r.exitCode) + ", signal " + std::to_string(r.signal) + ")";
    if (crashed) Expect(r.exitCode == 99, "the crash did not end the process" + how);
    if (interrupted) Expect(r.signal == SIGINT, "SIGINT did not end the run" + how);
    if (crashed || interrupted) return false;
    Expect(std::count(allowed.begin(), allowed.end(), r.exitCode), "unexpected end of the run" + how);
    // Failed before the report was open: the console says why.
    return !(r.report.empty() && r.exitCode == 2 &&
             (Contains(r.out, "ERROR: cannot determine current directory.\n") ||
              Contains(r.out, "ERROR: cannot append " + reportPath + ": ")));
  }

  // Report and console end with the summary, except a stream whose write failed.
  void CheckSummaries() {
    const std::string tail = "Exit code:           " + std::to_string(o.result.exitCode) + "\n" +
                             std::string(60, '#') + "\n";
    for (const auto& [name, stream, path] : {std::tuple{"report", &o.result.report, reportPath},
                                             std::tuple{"console", &o.result.out, std::string("<stdout>")}}) {
      const bool ends = stream->size() >= tail.size() && stream->compare(stream->size() - tail.size(), tail.size(), tail) == 0;
      if (!outputFailed(path)) Expect(Contains(*stream, kSummaryBanner) && ends, std::string(name) + " does not end with its summary");
    }
  }

  // The lock and the staged files are gone unless the run crashed or their own
  // removal failed (then the release error names the lock); nothing else appears.
  void CheckLeftovers() {
    const std::string lock = o.home + "/MESSAGE/QVLINK.BSY";
    if (FileExists(lock) && !crashed) {
      Expect(failedOwn(lock), "QVLINK.BSY was left behind");
      Expect(Contains(text, "could not fully release its QVLINK.BSY lock. Manual cleanup may be required: " + lock + "\n"),
             "QVLINK.BSY was left behind without the release error naming it");
    }
    for (const std::string area : {"WORK/", "MESSAGE/"}) {
      for (const std::string& name : ListDirectory(o.home + "/" + area)) {
        const std::string rel = area + name;
        if (name.size() > 7 && name.compare(name.size() - 7, 7, ".QVCNEW") == 0) {
          const bool ownRemoval = failedOwn(o.home + "/" + rel) && (o.at.function == "unlink" || o.at.function == "stat");
          Expect(crashed || ownRemoval, rel + " was left behind");
        } else {
          Expect(name == "QVLINK.BSY" || std::count(f.files.begin(), f.files.end(), rel), "unexpected file " + rel);
        }
      }
    }
  }

  // A crash or an interrupt leaves each file old or new, and a mix needs the one
  // backup to restore the old database.
  void CheckEndedWriteRun(const FileMap& live) {
    if (DiffDatabase(o.before, live).empty() || DiffDatabase(o.packed, live).empty()) return;
    for (const std::string& rel : f.files) {
      const std::string now = Version(live, rel);
      Expect(now == Version(o.before, rel) || now == Version(o.packed, rel),
             rel + " is neither its old nor its packed version");
    }
    const std::vector<std::string> backups = ListDirectory(o.home + "/QVCULLDB-BACKUPS");
    if (backups.size() != 1) return Violate("the run ended inside the commit without exactly one backup");
    const std::string problem = BackupProblem(f, o.home + "/QVCULLDB-BACKUPS/" + backups[0]);
    Expect(problem.empty(), "the run ended inside the commit and the backup cannot restore: " + problem);
  }

  // A run that finished: exit 0 with the SUCCESS lines and the packed database,
  // or exit 2 with the old one, or a failed rollback naming a backup that restores it.
  void CheckFinishedWriteRun(const FileMap& live) {
    CheckSummaries();
    std::string backup = LineAfter(text, "Backup created:      ");
    backup = backup.rfind("YES - ", 0) == 0 ? backup.substr(6) : backup.rfind("NO", 0) == 0 ? "" : backup;
    if (!backup.empty() && Contains(text, kCommitBanner)) {
      const std::string problem = BackupProblem(f, backup);
      Expect(problem.empty(), "the named backup does not restore the database: " + problem);
    }
    if (o.result.exitCode == 0) {
      Expect(Contains(text, "WRITE RESULT: SUCCESS - selected records committed and verified") &&
                 Contains(text, "Result status:       SUCCESS - manual-offline user pack committed and verified.\n"),
             "exit 0 without the SUCCESS lines");
      const std::string diff = DiffDatabase(o.packed, live);
      Expect(diff.empty(), "exit 0 but the database is not the packed one:\n" + diff);
      Expect(!backup.empty(), "exit 0 without a backup directory");
      verdict.succeeded = diff.empty();
      return;
    }
    Expect(SummaryValue(text, "Result status:") == "ABORTED/FAILED - keep nodes offline until the report is reviewed.",
           "exit 2 without the ABORTED/FAILED status");
    verdict.silent = SummaryValue(text, "Errors:") == "0";
    const bool rollbackFailed = Contains(text, kRollbackFailed);
    if (Contains(text, kRollbackBanner)) {
      Expect(SummaryValue(text, "Rollback status:") == (rollbackFailed ? "FAILED" : "PASS"),
             "the summary's rollback status disagrees with the rollback");
    }
    const std::string diff = DiffDatabase(o.before, live);
    if (diff.empty()) return;
    if (!rollbackFailed) return Violate("exit 2 without a failed rollback, yet the database changed:\n" + diff);
    std::string named = LineAfter(text, kRollbackFailed);
    const std::string problem = BackupProblem(f, named.substr(0, named.size() - 1));
    Expect(problem.empty(), "the failed rollback names a backup that cannot restore: " + problem);
  }
};

inline Verdict CheckWriteRun(const Fixture& f, const Outcome& o) {
  Checker c{f, o};
  const FileMap live = ReadDatabase(o.home, f.files);
  if (!c.EndedByItself({0, 2})) {
    if (c.crashed || c.interrupted) c.CheckEndedWriteRun(live);
    else c.Expect(DiffDatabase(o.before, live).empty(), "failed before the report opened, yet the database changed");
  } else {
    c.CheckFinishedWriteRun(live);
  }
  c.CheckLeftovers();
  return c.verdict;
}

// The purge preview of a dry run's report, clock and home directory masked.
inline std::string PreviewOf(const std::string& report, const std::string& home) {
  const size_t start = report.find("\n==================== PURGE PREVIEW ====");
  const size_t end = report.find("\n================ SNAPSHOT VERIFICATION", start);
  if (start == std::string::npos || end == std::string::npos) return "";
  std::string preview = NormaliseClock(report.substr(start, end - start));
  for (size_t at = preview.find(home); at != std::string::npos; at = preview.find(home, at)) {
    preview.replace(at, home.size(), "<home>");
  }
  return preview;
}

// A dry run changes nothing and ends as complete (exit 1) only with the whole preview.
inline Verdict CheckDryRun(const Fixture& f, const std::string& preview, const Outcome& o) {
  Checker c{f, o};
  const std::string diff = DiffDatabase(o.before, ReadDatabase(o.home, f.files));
  c.Expect(diff.empty(), "a dry run changed the database:\n" + diff);
  c.Expect(!IsDirectory(o.home + "/QVCULLDB-BACKUPS"), "a dry run made a backup directory");
  if (c.EndedByItself({1, 2})) {
    c.CheckSummaries();
    if (o.result.exitCode == 2) {
      c.Expect(SummaryValue(c.text, "Result status:") == "ABORTED/UNTRUSTED - correct the reported errors and rerun.",
               "exit 2 without the ABORTED/UNTRUSTED status");
      c.verdict.silent = SummaryValue(c.text, "Errors:") == "0";
    } else if (o.result.exitCode == 1) {
      c.Expect(PreviewOf(c.text, o.home) == preview, "exit 1 with a preview unlike the un-injected one");
      c.verdict.succeeded = true;
    }
  }
  c.CheckLeftovers();
  return c.verdict;
}

// Lets SIGINT end the programs this process starts, as from an operator's shell
// (an ignored disposition and a blocked mask are inherited).
inline void AllowInterruptsInChildren() {
  std::signal(SIGINT, SIG_DFL);
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
}
