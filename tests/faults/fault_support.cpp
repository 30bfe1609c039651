// Support for the fault tests. See fault_support.h.
#include "fault_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

constexpr const char* kLockName = "QVLINK.BSY";
constexpr const char* kStagedSuffix = ".QVCNEW";
constexpr const char* kPurgedLog = "WORK/QVPURGED.USR";
constexpr const char* kWhosOn = "WORK/QVWHOSON.DAT";
const std::string kHashRule = std::string(60, '#') + "\n";
const std::string kSummaryBanner = "\n======================= SUMMARY =======================\n";
const std::string kCommitBanner = "\n======================= COMMIT ========================\n";
const std::string kRollbackBanner = "\n======================= ROLLBACK ======================\n";
const std::string kSuccessStatus =
    "Result status:       SUCCESS - manual-offline user pack committed and verified.\n";
const std::string kWriteSuccess =
    "WRITE RESULT: SUCCESS - selected records committed and verified during manual offline "
    "maintenance.\n";
const std::string kFailedStatus =
    "Result status:       ABORTED/FAILED - keep nodes offline until the report is reviewed.\n";
const std::string kRollbackFailed =
    "Rollback result: FAILED - keep all nodes offline and restore manually from ";
const std::string kReleaseFailed =
    "ERROR: QVCULLDB32 could not fully release its QVLINK.BSY lock. Manual cleanup may be "
    "required: ";

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The audit log's clock readings differ from run to run; nothing else may.
std::string Comparable(const std::string& rel, const std::string& bytes) {
  return rel == kPurgedLog ? NormaliseClock(bytes) : bytes;
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::string(value) : fallback;
}

// The directory of the test program, where the shim is built too.
std::string TestDirectory() {
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return ".";
  const std::string path(self, size_t(length));
  return path.substr(0, path.rfind('/'));
}

// The audit block a pack of these users appends, clock normalised.
std::string ExpectedAuditBlock(const std::vector<SampleUser>& users,
                               const std::vector<uint32_t>& purged) {
  std::string block =
      "\r\nQVCULLDB32 0.4.0-beta1 packed on YYYY-MM-DD at HH:MM:SS\r\n"
      "CALLER NAME                    SECURITY  LAST CALLED     CALLING FROM\r\n" +
      std::string(79, '-') + "\r\n";
  for (uint32_t n : purged) {
    const SampleUser& user = users[n - 1];
    char line[256];
    std::snprintf(line, sizeof line, "%-30s  %8d  %-14s  %s\r\n", user.name.c_str(),
                  int(user.security), user.timeDate.c_str(), user.callingFrom.c_str());
    block += line;
  }
  return block;
}

// Empty when the reference run left exactly what the sample library predicts.
std::string CheckPackedAgainstSample(const FaultFixture& f) {
  const FileMap& b = f.before;
  const FileMap& p = f.packed;
  auto at = [](const FileMap& map, const std::string& key) {
    const auto found = map.find(key);
    return found == map.end() ? std::string("<absent>") : found->second;
  };
  std::string problems;
  const std::string dat = at(b, "WORK/QVUSERS.DAT");
  if (at(p, "WORK/QVUSERS.DAT") != PackedUserFile(dat, f.purged)) problems += "QVUSERS.DAT ";
  if (at(p, "WORK/QVUSERS.PTR") != PackedPointerFile(dat, f.purged)) problems += "QVUSERS.PTR ";
  for (uint32_t c = 1; c <= f.recipe.conferences; ++c) {
    const std::string rel = "MESSAGE/" + LmrFileName(c);
    if (at(p, rel) != PackedLmrFile(at(b, rel), f.recipe.users, f.purged)) problems += rel + " ";
  }
  for (const char* same : {"QVNODE.DAT", kWhosOn}) {
    if (at(p, same) != at(b, same)) problems += std::string(same) + " ";
  }
  const std::string oldLog = f.recipe.purgedLog ? at(b, kPurgedLog) : "";
  const std::string audit = ExpectedAuditBlock(PlanSampleUsers(f.recipe), f.purged);
  if (NormaliseClock(at(p, kPurgedLog)) != NormaliseClock(oldLog) + audit) {
    problems += "QVPURGED.USR ";
  }
  return problems;
}

uint64_t ParseHex(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 16); }

std::string Hex16(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
  return text;
}

bool IsOutputFunction(const std::string& function) {
  return function == "vfprintf" || function == "fputs" || function == "fflush" ||
         function == "fwrite" || function == "fclose" || function == "setvbuf";
}

// Empty when text ends with a complete summary for exitCode.
std::string SummaryProblem(const std::string& text, int exitCode) {
  const std::string tail = "Exit code:           " + std::to_string(exitCode) + "\n" + kHashRule;
  if (text.find(kSummaryBanner) == std::string::npos) return "no summary";
  if (!EndsWith(text, tail)) return "does not end with \"Exit code: " + std::to_string(exitCode) + "\"";
  return "";
}

std::string LineAfter(const std::string& text, const std::string& prefix) {
  const size_t at = text.rfind(prefix);
  if (at == std::string::npos) return "";
  const size_t start = at + prefix.size();
  const size_t end = text.find('\n', start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The lock is gone unless the process died hard, or its release was the failure;
// staged files are gone unless their own removal failed or the run crashed (an
// interrupt removes them);
// nothing else appears beside the database.
void CheckLeftovers(const FaultFixture& fixture, const RunEvidence& e, const std::string& text,
                    Verdict* verdict) {
  auto violate = [&](const std::string& message) { verdict->violations.push_back(message); };
  const std::string lockPath = e.home + "/MESSAGE/" + kLockName;
  const bool crashed = e.injected && e.kind == InjectionKind::Crash;
  if (FileExists(lockPath) && !crashed) {
    const bool releaseInjected = e.injected && e.kind == InjectionKind::Fail &&
                                 (e.injection.path == lockPath || e.injection.path2 == lockPath);
    if (!releaseInjected) {
      violate("QVLINK.BSY was left behind");
    } else if (!Contains(text, kReleaseFailed + lockPath + "\n")) {
      violate("QVLINK.BSY was left behind without the release error naming it");
    }
  }

  for (const char* area : {"WORK", "MESSAGE"}) {
    for (const std::string& name : ListDirectory(e.home + "/" + area)) {
      const std::string rel = std::string(area) + "/" + name;
      const std::string full = e.home + "/" + rel;
      if (EndsWith(name, kStagedSuffix)) {
        const bool ownRemovalFailed =
            e.injected && e.kind == InjectionKind::Fail && e.injection.path == full &&
            (e.injection.function == "unlink" || e.injection.function == "stat");
        if (!crashed && !ownRemovalFailed) violate(rel + " was left behind");
      } else if (name != kLockName &&
                 std::find(fixture.files.begin(), fixture.files.end(), rel) == fixture.files.end()) {
        violate("unexpected file " + rel);
      }
    }
  }
}

}  // namespace

SampleRecipe PackFixtureRecipe(bool purgedLog, uint32_t seed) {
  SampleRecipe recipe;
  recipe.users = 40;
  recipe.conferences = 3;
  recipe.seed = seed;
  recipe.today = {2026, 1, 15};
  recipe.deletedUsers = {3, 7, 12, 19, 25, 31, 36, 40};
  recipe.user1Deleted = true;
  recipe.purgedLog = purgedLog;
  return recipe;
}

std::vector<std::string> DatabaseFiles(const SampleRecipe& recipe) {
  std::vector<std::string> files = {"QVNODE.DAT", "WORK/QVUSERS.DAT", "WORK/QVUSERS.PTR", kWhosOn,
                                    kPurgedLog};
  for (uint32_t c = 1; c <= recipe.conferences; ++c) files.push_back("MESSAGE/" + LmrFileName(c));
  return files;
}

FileMap ReadDatabase(const std::string& home, const std::vector<std::string>& files) {
  FileMap map;
  for (const std::string& rel : files) {
    std::string bytes;
    if (FileExists(home + "/" + rel) && ReadWholeFile(home + "/" + rel, &bytes)) map[rel] = bytes;
  }
  return map;
}

std::string DiffDatabase(const FileMap& expected, const FileMap& actual) {
  std::string diff;
  for (const auto& [rel, bytes] : expected) {
    const auto found = actual.find(rel);
    if (found == actual.end()) {
      diff += "vanished " + rel + "\n";
    } else if (Comparable(rel, found->second) != Comparable(rel, bytes)) {
      diff += "changed " + rel + "\n";
    }
  }
  for (const auto& entry : actual) {
    if (expected.find(entry.first) == expected.end()) diff += "appeared " + entry.first + "\n";
  }
  return diff;
}

bool CopyTree(const std::string& from, const std::string& to) {
  struct stat info;
  if (::lstat(from.c_str(), &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) {
    if (::mkdir(to.c_str(), info.st_mode & 07777) != 0) return false;
    for (const std::string& name : ListDirectory(from)) {
      if (!CopyTree(from + "/" + name, to + "/" + name)) return false;
    }
    return true;
  }
  std::string bytes;
  return ReadWholeFile(from, &bytes) && WriteWholeFile(to, bytes) &&
         ::chmod(to.c_str(), info.st_mode & 07777) == 0;
}

std::string ShimPath() {
  return EnvOr("QV_FAULT_SHIM", TestDirectory() + "/qv_fault_shim.so");
}

void AllowInterruptsInChildren() {
  std::signal(SIGINT, SIG_DFL);
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  ::sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
}

std::vector<std::string> ShimEnvironment(const std::vector<std::string>& rules,
                                         const std::string& logPath,
                                         const std::string& countsPath,
                                         const std::vector<std::string>& extra) {
  // A sanitized program wants its runtime first; the shim passes every call on to
  // it through the next definition, so the order does not matter here.
  const std::string asan = EnvOr("ASAN_OPTIONS", "");
  std::vector<std::string> env = {"LD_PRELOAD=" + ShimPath(), "QVF_FAST_FSYNC=1",
                                  "QVF_LOG=" + logPath, "QVF_COUNTS=" + countsPath,
                                  "ASAN_OPTIONS=" + asan + (asan.empty() ? "" : ":") +
                                      "verify_asan_link_order=0"};
  for (size_t i = 0; i < 8; ++i) {
    env.push_back("QVF_RULE" + std::to_string(i + 1) + "=" + (i < rules.size() ? rules[i] : ""));
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

bool PrepareFixture(const std::string& dir, const std::string& label, const SampleRecipe& recipe,
                    const std::vector<std::string>& args, FaultFixture* fixture,
                    std::string* error) {
  // Run from the build tree without ctest: the program beside the tests.
  if (std::getenv("QV_PROGRAM") == nullptr) {
    ::setenv("QV_PROGRAM", (TestDirectory() + "/../../qvculldb").c_str(), 0);
  }
  fixture->label = label;
  fixture->recipe = recipe;
  fixture->args = args;
  fixture->pristine = dir + "/pristine";
  fixture->files = DatabaseFiles(recipe);
  if (!WriteSampleBbs(fixture->pristine, recipe, error)) return false;
  fixture->before = ReadDatabase(fixture->pristine, fixture->files);
  // A plain write run purges the users marked Deleted, except the protected #1.
  fixture->purged.clear();
  for (uint32_t n : DeletedUserNumbers(PlanSampleUsers(recipe))) {
    if (n != 1) fixture->purged.push_back(n);
  }
  const std::string reference = dir + "/reference";
  if (!CopyTree(fixture->pristine, reference)) {
    *error = "cannot copy the fixture";
    return false;
  }
  const RunResult run = RunProgram(reference, args, ShimEnvironment({}, "", ""));
  if (run.exitCode != 0) {
    *error = "the reference run failed:\n" + run.out + run.err;
    return false;
  }
  fixture->packed = ReadDatabase(reference, fixture->files);
  const std::string problems = CheckPackedAgainstSample(*fixture);
  if (!problems.empty()) {
    *error = "the reference run's packed files differ from the expectation: " + problems;
    return false;
  }
  RemoveTree(reference);
  return true;
}

std::vector<SiteCount> ReadCounts(const std::string& path) {
  std::vector<SiteCount> sites;
  std::string text;
  if (!ReadWholeFile(path, &text)) return sites;
  std::istringstream lines(text);
  SiteCount site;
  while (lines >> site.function >> site.site >> site.total >> site.before) sites.push_back(site);
  return sites;
}

std::vector<FiredCall> ReadFired(const std::string& logPath) {
  std::vector<FiredCall> fired;
  std::string text;
  if (!ReadWholeFile(logPath, &text)) return fired;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("fired ", 0) != 0) continue;
    FiredCall call;
    std::istringstream words(line.substr(6));
    std::string word;
    while (words >> word) {
      const size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = word.substr(0, eq);
      const std::string value = word.substr(eq + 1);
      if (key == "rule") call.rule = std::atoi(value.c_str());
      if (key == "func") call.function = value;
      if (key == "site") call.site = value;
      if (key == "nth") call.nth = std::strtoull(value.c_str(), nullptr, 10);
      if (key == "path") call.path = value;
      if (key == "path2") call.path2 = value;
    }
    fired.push_back(call);
  }
  return fired;
}

std::vector<std::string> FailedActions(const std::string& logPath) {
  std::vector<std::string> failed;
  std::string text;
  ReadWholeFile(logPath, &text);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("action ", 0) == 0 && EndsWith(line, " failed")) failed.push_back(line);
  }
  return failed;
}

std::string DescribeSite(const std::string& function, const std::string& site) {
  static std::map<std::string, std::string> cache;
  const auto found = cache.find(site);
  if (found != cache.end()) return function + " " + site + " (" + found->second + ")";
  // The call instruction ends just before the return address.
  char address[32];
  std::snprintf(address, sizeof address, "0x%llx",
                static_cast<unsigned long long>(ParseHex(site) - 1));
  const std::string command =
      "addr2line -f -C -s -i -e '" + ProgramPath() + "' " + address + " 2>/dev/null";
  std::string where;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char line[512];
    std::vector<std::string> lines;
    while (std::fgets(line, sizeof line, pipe)) {
      std::string text = line;
      if (!text.empty() && text.back() == '\n') text.pop_back();
      lines.push_back(text);
    }
    ::pclose(pipe);
    // Pairs of function and file:line, innermost first.
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
      std::string name = lines[i].substr(0, lines[i].find('('));
      where += (where.empty() ? "" : " < ") + name + " " + lines[i + 1];
    }
  }
  if (where.empty()) where = "?";
  cache[site] = where;
  return function + " " + site + " (" + where + ")";
}

const char* KindName(InjectionKind kind) {
  switch (kind) {
    case InjectionKind::Fail: return "fail";
    case InjectionKind::Crash: return "crash";
    case InjectionKind::Interrupt: return "interrupt";
  }
  return "?";
}

bool Contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

std::string SummaryValue(const std::string& text, const std::string& label) {
  const size_t banner = text.rfind(kSummaryBanner);
  if (banner == std::string::npos) return "";
  return LineAfter(text.substr(banner), label);
}

std::string BackupDirectoryOf(const std::string& text) {
  std::string value = SummaryValue(text, "Backup created:      ");
  if (value.rfind("YES - ", 0) == 0) value = value.substr(6);
  return value == "NO" || value.rfind("NO - ", 0) == 0 ? "" : value;
}

std::string CheckBackupRestoresBefore(const FaultFixture& fixture, const std::string& backupDir) {
  std::string manifest;
  if (!ReadWholeFile(backupDir + "/MANIFEST.TXT", &manifest)) {
    return "backup " + backupDir + " has no MANIFEST.TXT";
  }
  if (manifest.rfind("QVCULLDB32 VERIFIED BACKUP MANIFEST\r\n", 0) != 0) {
    return "MANIFEST.TXT of " + backupDir + " lacks its title line";
  }
  std::string problems;
  for (const auto& [rel, bytes] : fixture.before) {
    if (rel == "QVNODE.DAT") continue;
    const std::string area = rel.substr(0, rel.find('/'));
    const std::string name = BaseName(rel);
    char head[64];
    std::snprintf(head, sizeof head, "%-8s %-20s size=", area.c_str(), name.c_str());
    const std::string expected = std::string(head) + std::to_string(bytes.size()) +
                                 " fnv1a64=" + Hex16(Fnv1a64(bytes)) + " source=";
    if (manifest.find("\r\n" + expected) == std::string::npos) {
      problems += "manifest line of " + rel + " missing or wrong; ";
    }
    std::string copy;
    if (!ReadWholeFile(backupDir + "/" + area + "/" + name, &copy) || copy != bytes) {
      problems += "backup copy of " + rel + " missing or different; ";
    }
  }
  return problems;
}

namespace {

// What the checks of one run share.
struct RunView {
  const FaultFixture* fixture;
  const RunEvidence* e;
  bool crashed;
  bool interrupted;
  bool reportInjected;   // the injected failure was a write of the report
  bool stdoutInjected;   // ... or of the console
  std::string reportPath;
  const std::string* text;  // the report, or the console when the report's write failed
  Verdict* verdict;
};

RunView ViewOf(const FaultFixture& fixture, const RunEvidence& e, Verdict* verdict) {
  RunView view{&fixture, &e, false, false, false, false, e.home + "/" + kReportName, nullptr,
               verdict};
  view.crashed = e.injected && e.kind == InjectionKind::Crash;
  view.interrupted = e.injected && e.kind == InjectionKind::Interrupt;
  const bool outputInjected = e.injected && IsOutputFunction(e.injection.function);
  view.reportInjected = outputInjected && e.injection.path == view.reportPath;
  view.stdoutInjected = outputInjected && e.injection.path == "<stdout>";
  view.text = view.reportInjected ? &e.result.out : &e.result.report;
  return view;
}

void Violate(const RunView& view, const std::string& text) {
  view.verdict->violations.push_back(text);
}

// A crash ends with _exit(99), an interrupt by SIGINT, anything else with one of
// the exit codes allowed.
void CheckProcessEnd(const RunView& view, std::initializer_list<int> allowed) {
  const RunResult& r = view.e->result;
  const std::string how = "exit " + std::to_string(r.exitCode) + ", signal " + std::to_string(r.signal);
  if (view.crashed) {
    if (r.exitCode != 99) Violate(view, "the crash did not end the process (" + how + ")");
  } else if (view.interrupted) {
    if (r.signal != SIGINT) Violate(view, "SIGINT did not end the run (" + how + ")");
  } else if (std::find(allowed.begin(), allowed.end(), r.exitCode) == allowed.end()) {
    Violate(view, "unexpected end of the run (" + how + ")");
  }
}

// Failed before the report was open: the console says why, and there is no summary.
bool EndedBeforeReport(const RunView& view) {
  const RunResult& r = view.e->result;
  return r.report.empty() && r.exitCode == 2 &&
         (Contains(r.out, "ERROR: cannot determine current directory.\n") ||
          Contains(r.out, "ERROR: cannot append " + view.reportPath + ": "));
}

// Report and console both end with the summary, except the one whose write failed.
void CheckSummaries(const RunView& view) {
  const RunResult& r = view.e->result;
  if (!view.reportInjected) {
    const std::string problem = SummaryProblem(r.report, r.exitCode);
    if (!problem.empty()) Violate(view, "report: " + problem);
  }
  if (!view.stdoutInjected) {
    const std::string problem = SummaryProblem(r.out, r.exitCode);
    if (!problem.empty()) Violate(view, "console: " + problem);
  }
}

// A write run that ended by itself, with exit 0 or 2 and its summary.
void CheckFinishedWriteRun(const RunView& view, const FileMap& before, const FileMap& packed,
                           const FileMap& live) {
  const std::string& text = *view.text;
  const int exitCode = view.e->result.exitCode;
  CheckSummaries(view);
  view.verdict->rolledBack = Contains(text, kRollbackBanner);
  // Once the commit has begun, the backup is what the database depends on.
  const std::string backupDir = BackupDirectoryOf(text);
  if (!backupDir.empty() && Contains(text, kCommitBanner)) {
    const std::string problem = CheckBackupRestoresBefore(*view.fixture, backupDir);
    if (!problem.empty()) Violate(view, "the named backup does not restore the database: " + problem);
  }
  if (exitCode == 0) {
    if (!Contains(text, kWriteSuccess) || !Contains(text, kSuccessStatus)) {
      Violate(view, "exit 0 without the SUCCESS lines");
    }
    const std::string diff = DiffDatabase(packed, live);
    if (!diff.empty()) Violate(view, "exit 0 but the database is not the packed one:\n" + diff);
    if (backupDir.empty()) Violate(view, "exit 0 without a backup directory");
    view.verdict->succeeded = diff.empty();
    return;
  }
  if (!Contains(text, kFailedStatus)) Violate(view, "exit 2 without the ABORTED/FAILED status");
  view.verdict->silent = SummaryValue(text, "Errors:              ") == "0";
  const bool rollbackFailed = Contains(text, kRollbackFailed);
  const std::string status = SummaryValue(text, "Rollback status:     ");
  if (view.verdict->rolledBack && status != (rollbackFailed ? "FAILED" : "PASS")) {
    Violate(view, "summary rollback status \"" + status + "\" disagrees with the rollback");
  }
  const std::string diff = DiffDatabase(before, live);
  if (diff.empty()) return;
  if (!rollbackFailed) {
    Violate(view, "exit 2 without a failed rollback, yet the database is not the pre-run one:\n" + diff);
    return;
  }
  std::string named = LineAfter(text, kRollbackFailed);
  if (EndsWith(named, ".")) named.pop_back();
  const std::string problem = CheckBackupRestoresBefore(*view.fixture, named);
  if (!problem.empty()) Violate(view, "rollback FAILED names a backup that cannot restore: " + problem);
}

// Ended by a crash or an interrupt: every file is its pre-run or its packed
// version, and a mix needs a backup that restores the pre-run database.
void CheckEndedWriteRun(const RunView& view, const FileMap& before, const FileMap& packed,
                        const FileMap& live) {
  if (DiffDatabase(before, live).empty() || DiffDatabase(packed, live).empty()) return;
  auto version = [](const FileMap& map, const std::string& rel) {
    const auto found = map.find(rel);
    return found == map.end() ? std::string("<absent>") : Comparable(rel, found->second);
  };
  for (const std::string& rel : view.fixture->files) {
    const std::string now = version(live, rel);
    if (now != version(before, rel) && now != version(packed, rel)) {
      Violate(view, rel + " is neither its pre-run nor its packed version");
    }
  }
  const std::string root = view.e->home + "/QVCULLDB-BACKUPS";
  const std::vector<std::string> backups = ListDirectory(root);
  if (backups.size() != 1) {
    Violate(view, "the run ended inside the commit but there is not exactly one backup directory");
    return;
  }
  const std::string problem = CheckBackupRestoresBefore(*view.fixture, root + "/" + backups[0]);
  if (!problem.empty()) Violate(view, "the run ended inside the commit and the backup cannot restore: " + problem);
}

}  // namespace

Verdict CheckWriteRun(const FaultFixture& fixture, const RunEvidence& e) {
  Verdict verdict;
  const RunView view = ViewOf(fixture, e, &verdict);
  FileMap before = fixture.before;
  FileMap packed = fixture.packed;
  for (const auto& [rel, bytes] : e.changedByTest) before[rel] = packed[rel] = bytes;
  const FileMap live = ReadDatabase(e.home, fixture.files);

  CheckProcessEnd(view, {0, 2});
  if (view.crashed || view.interrupted) {
    CheckEndedWriteRun(view, before, packed, live);
  } else if (EndedBeforeReport(view)) {
    const std::string diff = DiffDatabase(before, live);
    if (!diff.empty()) Violate(view, "failed before the report opened, yet the database changed:\n" + diff);
  } else if (e.result.exitCode == 0 || e.result.exitCode == 2) {
    CheckFinishedWriteRun(view, before, packed, live);
  }
  CheckLeftovers(fixture, e, *view.text, &verdict);
  return verdict;
}

std::string PreviewSection(const std::string& report, const std::string& home) {
  const std::string banner = "\n==================== PURGE PREVIEW ====================\n";
  const size_t start = report.find(banner);
  if (start == std::string::npos) return "";
  const size_t end = report.find("\n================ SNAPSHOT VERIFICATION", start);
  if (end == std::string::npos) return "";
  std::string section = NormaliseClock(report.substr(start, end - start));
  for (size_t at = section.find(home); at != std::string::npos; at = section.find(home, at)) {
    section.replace(at, home.size(), "<home>");
  }
  return section;
}

Verdict CheckDryRun(const FaultFixture& fixture, const std::string& preview,
                    const RunEvidence& e) {
  Verdict verdict;
  const RunView view = ViewOf(fixture, e, &verdict);
  const std::string& text = *view.text;
  const std::string diff = DiffDatabase(fixture.before, ReadDatabase(e.home, fixture.files));
  if (!diff.empty()) Violate(view, "a dry run changed the database:\n" + diff);
  if (IsDirectory(e.home + "/QVCULLDB-BACKUPS")) Violate(view, "a dry run made a backup directory");

  // This dry run has candidates: it ends with 1, or with 2 after an error.
  CheckProcessEnd(view, {1, 2});
  if (!view.crashed && !view.interrupted && !EndedBeforeReport(view)) {
    if (e.result.exitCode == 2) {
      if (!Contains(text, "Result status:       ABORTED/UNTRUSTED - correct the reported errors "
                          "and rerun.\n")) {
        Violate(view, "exit 2 without the ABORTED/UNTRUSTED status");
      }
      verdict.silent = SummaryValue(text, "Errors:              ") == "0";
    } else if (e.result.exitCode == 1) {
      // A preview that ends as trustworthy must be the whole, right preview.
      if (PreviewSection(text, e.home) != preview) {
        Violate(view, "exit 1 with a preview that differs from the un-injected one");
      }
      verdict.succeeded = true;
    }
    if (e.result.exitCode == 1 || e.result.exitCode == 2) CheckSummaries(view);
  }
  CheckLeftovers(fixture, e, text, &verdict);
  return verdict;
}
