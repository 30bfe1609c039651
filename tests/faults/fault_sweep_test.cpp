// Fault sweeps: a counting run lists every call site through which the program
// touches files, then one run per injection point makes that call fail, ends
// the process there (_exit) or interrupts it there (SIGINT), each on a fresh
// copy of the fixture. After every run the outcome must keep these invariants:
//
// - exit 0 only with the SUCCESS lines, the packed database and a backup that
//   restores the pre-run one (an injection the program ignores by design ends
//   this way too);
// - otherwise exit 2, the summary complete in the report and on the console
//   (except in the stream whose own write was the injected failure) with its
//   "Exit code:" line, and the database as before the run, or "Rollback result:
//   FAILED" naming a backup whose MANIFEST.TXT and copies hold the pre-run files;
// - after a crash or an interrupt every file is its pre-run or its packed
//   version, and when they are mixed the backup restores the pre-run database;
// - no *.QVCNEW file is left unless its own removal failed or the process
//   crashed (an interrupt removes them); the lock file is gone unless the process crashed or its own removal
//   failed, and then the release error names it.
//
// A dry run must leave every file as it was and may end as complete (exit 1)
// only with the preview of an un-injected run.
//
// The rollback sweeps first drive the run into a rollback (a failed rename in
// the commit; a caller appearing after the commit) and then inject a second
// fault at every call made from there on.
//
// Each sweep prints one line: call sites, injection points per kind, failures the
// run ignored (it succeeded anyway), failures that failed the run without a
// counted error ("silent"), and violations. QV_FAULT_VERBOSE=1 lists the ignored
// call sites and the silent injection points.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <set>

#include "fault_support.h"

namespace {

// Every call of a site with few calls; of a busier one the first, the last and
// evenly spread samples between.
constexpr uint64_t kEveryCallUpTo = 16;
constexpr size_t kInteriorSamples = 6;
constexpr size_t kDetailedViolations = 25;

// A run driven into the rollback before the swept fault.
struct Base {
  std::vector<std::string> rules;
  FileMap changedByTest;
};

// What a sweep runs: a write run, or a dry run with the preview it must show.
struct Mode {
  bool dryRun = false;
  std::string preview;
};

struct Point {
  InjectionKind kind;
  SiteCount site;
  uint64_t nth;
  std::string err;
};

struct SweepResult {
  size_t sites = 0;
  size_t points[3] = {0, 0, 0};
  size_t unreached = 0;
  size_t violations = 0;
  std::set<std::string> ignored;  // call sites whose failure ended in success
  std::set<std::string> silent;   // call sites whose failure failed the run with 0 errors
  std::vector<std::string> details;
};

std::vector<uint64_t> Occurrences(uint64_t first, uint64_t last) {
  std::set<uint64_t> chosen = {first, last};
  if (last - first < kEveryCallUpTo) {
    for (uint64_t nth = first; nth <= last; ++nth) chosen.insert(nth);
  } else {
    const uint64_t span = last - first;
    for (size_t i = 1; i <= kInteriorSamples; ++i) chosen.insert(first + span * i / (kInteriorSamples + 1));
  }
  return std::vector<uint64_t>(chosen.begin(), chosen.end());
}

// errno values that a function's callers may treat differently from EIO.
std::vector<std::string> TellingErrnos(const std::string& function) {
  if (function == "stat" || function == "fstatat" || function == "opendir" ||
      function == "unlink" || function == "fopen" || function == "getcwd") {
    return {"ENOENT"};
  }
  if (function == "open") return {"EEXIST", "ENOENT"};
  if (function == "mkdir") return {"EEXIST"};
  if (function == "rename") return {"EXDEV"};
  if (function == "fwrite" || function == "fflush" || function == "fclose" || function == "write") {
    return {"ENOSPC"};
  }
  return {};
}

std::vector<Point> PlanPoints(const std::vector<SiteCount>& sites, InjectionKind kind,
                              bool afterBase) {
  std::vector<Point> points;
  for (const SiteCount& site : sites) {
    const uint64_t first = afterBase ? site.before + 1 : 1;
    if (site.total < first) continue;
    for (uint64_t nth : Occurrences(first, site.total)) points.push_back({kind, site, nth, "EIO"});
    if (kind != InjectionKind::Fail) continue;
    for (const std::string& err : TellingErrnos(site.function)) {
      points.push_back({kind, site, first, err});
      if (site.total != first) points.push_back({kind, site, site.total, err});
    }
  }
  return points;
}

std::string RuleFor(const Point& point) {
  const char* action = point.kind == InjectionKind::Fail    ? "fail"
                       : point.kind == InjectionKind::Crash ? "crash"
                                                            : "interrupt";
  return "func=" + point.site.function + " site=" + point.site.site +
         " nth=" + std::to_string(point.nth) + " do=" + action + " errno=" + point.err;
}

std::string Label(const Point& point) {
  return std::string(KindName(point.kind)) + " at call " + std::to_string(point.nth) + "/" +
         std::to_string(point.site.total) + " of " +
         DescribeSite(point.site.function, point.site.site) +
         (point.kind == InjectionKind::Fail ? " errno " + point.err : "");
}

// The call sites of a run with the base rules only.
std::vector<SiteCount> CountSites(const FaultFixture& fixture, const Base& base,
                                  const std::string& scratch, Mode* mode) {
  const std::string home = scratch + "/run";
  const std::string counts = scratch + "/counts.txt";
  if (!CopyTree(fixture.pristine, home)) return {};
  const RunResult run = RunProgram(home, fixture.args, ShimEnvironment(base.rules, "", counts));
  if (mode->dryRun) mode->preview = PreviewSection(run.report, home);
  RemoveTree(home);
  EXPECT_EQ(run.exitCode, mode->dryRun ? 1 : base.rules.empty() ? 0 : 2) << run.out;
  return ReadCounts(counts);
}

void RunPoint(const FaultFixture& fixture, const Base& base, const Mode& mode,
              const Point& point, const std::string& scratch, SweepResult* result) {
  const std::string home = scratch + "/run";
  const std::string log = scratch + "/shim.log";
  RemoveTree(home);
  ::unlink(log.c_str());
  ASSERT_TRUE(CopyTree(fixture.pristine, home));
  std::vector<std::string> rules = base.rules;
  rules.push_back(RuleFor(point));
  RunEvidence evidence;
  evidence.home = home;
  evidence.kind = point.kind;
  evidence.changedByTest = base.changedByTest;
  evidence.result = RunProgram(home, fixture.args, ShimEnvironment(rules, log, ""));
  const int injectionRule = int(rules.size());
  for (const FiredCall& call : ReadFired(log)) {
    if (call.rule != injectionRule) continue;
    evidence.injected = true;
    evidence.injection = call;
  }
  ++result->points[int(point.kind)];
  if (!evidence.injected) {
    ++result->unreached;
    result->details.push_back(Label(point) + ": the call was never reached");
    return;
  }
  const Verdict verdict = mode.dryRun ? CheckDryRun(fixture, mode.preview, evidence)
                                      : CheckWriteRun(fixture, evidence);
  if (point.kind == InjectionKind::Fail && verdict.succeeded) {
    result->ignored.insert(DescribeSite(point.site.function, point.site.site) + " errno " + point.err);
  }
  if (verdict.silent) result->silent.insert(Label(point));
  if (verdict.violations.empty()) return;
  ++result->violations;
  std::string text = Label(point) + " [" + fixture.label + "]:";
  for (const std::string& violation : verdict.violations) text += "\n    " + violation;
  const std::string& tail = evidence.result.report;
  text += "\n    report tail: " + tail.substr(tail.size() > 1500 ? tail.size() - 1500 : 0);
  result->details.push_back(text);
}

void Sweep(const std::string& name, bool purgedLog, const Base& base, InjectionKind kind,
           bool dryRun = false) {
  AllowInterruptsInChildren();
  const auto start = std::chrono::steady_clock::now();
  ScratchDir scratch;
  FaultFixture fixture;
  std::string error;
  ASSERT_TRUE(PrepareFixture(scratch.path, purgedLog ? "with audit log" : "without audit log",
                             PackFixtureRecipe(purgedLog, 5), {}, &fixture, &error))
      << error;
  Mode mode;
  mode.dryRun = dryRun;
  if (dryRun) fixture.args = {"/DRYRUN"};
  const std::vector<SiteCount> sites = CountSites(fixture, base, scratch.path, &mode);
  ASSERT_FALSE(sites.empty());
  SweepResult result;
  for (const SiteCount& site : sites) {
    if (base.rules.empty() || site.total > site.before) ++result.sites;
  }
  for (const Point& point : PlanPoints(sites, kind, !base.rules.empty())) {
    RunPoint(fixture, base, mode, point, scratch.path, &result);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("SWEEP %-34s %3zu call sites, %4zu %s injections (%zu unreached), %zu ignored, "
              "%zu silent, %zu violations, %.1f s\n",
              name.c_str(), result.sites, result.points[int(kind)], KindName(kind),
              result.unreached, result.ignored.size(), result.silent.size(), result.violations,
              seconds);
  if (std::getenv("QV_FAULT_VERBOSE")) {
    for (const std::string& site : result.ignored) std::printf("  ignored: %s\n", site.c_str());
    for (const std::string& point : result.silent) std::printf("  silent: %s\n", point.c_str());
  }
  for (size_t i = 0; i < result.details.size() && i < kDetailedViolations; ++i) {
    ADD_FAILURE() << result.details[i];
  }
  EXPECT_EQ(result.violations, 0u);
  EXPECT_EQ(result.unreached, 0u);
}

// The commit fails at QVUSERS.PTR: the LMR files and QVUSERS.DAT are new, the
// rest old, and the rollback must bring every one back.
Base CommitFailureBase() { return {{"func=rename nth=1 path=QVUSERS.PTR.QVCNEW do=fail"}, {}}; }

// A caller appears right after the commit: every file is new, QVPURGED.USR was
// created by the commit, and the rollback must undo all of it.
Base CallerAfterCommitBase() {
  SampleRecipe recipe = PackFixtureRecipe(false, 5);
  std::string whosOn = CallerFileBytes(recipe);
  whosOn[18] = 5;
  whosOn[19] = 0;
  return {{"func=rename nth=1 path=QVPURGED.USR.QVCNEW when=after do=action "
           "act=poke,WORK/QVWHOSON.DAT,18,0500"},
          {{"WORK/QVWHOSON.DAT", whosOn}}};
}

TEST(FaultSweep, FailuresWithAuditLog) { Sweep("failures, audit log", true, {}, InjectionKind::Fail); }
TEST(FaultSweep, CrashesWithAuditLog) { Sweep("crashes, audit log", true, {}, InjectionKind::Crash); }
TEST(FaultSweep, InterruptsWithAuditLog) {
  Sweep("interrupts, audit log", true, {}, InjectionKind::Interrupt);
}
TEST(FaultSweep, FailuresWithoutAuditLog) {
  Sweep("failures, no audit log", false, {}, InjectionKind::Fail);
}
TEST(FaultSweep, CrashesWithoutAuditLog) {
  Sweep("crashes, no audit log", false, {}, InjectionKind::Crash);
}
TEST(FaultSweep, InterruptsWithoutAuditLog) {
  Sweep("interrupts, no audit log", false, {}, InjectionKind::Interrupt);
}

// A dry run changes nothing whatever happens, and a preview that ends as
// complete (exit 1) is the whole preview.
TEST(FaultSweep, DryRunUnderFaults) {
  for (InjectionKind kind : {InjectionKind::Fail, InjectionKind::Crash, InjectionKind::Interrupt}) {
    Sweep(std::string("dry run, ") + KindName(kind), true, {}, kind, true);
  }
}

TEST(FaultSweep, RollbackAfterFailedCommitUnderFaults) {
  for (InjectionKind kind : {InjectionKind::Fail, InjectionKind::Crash, InjectionKind::Interrupt}) {
    Sweep(std::string("rollback after commit, ") + KindName(kind), true, CommitFailureBase(), kind);
  }
}

TEST(FaultSweep, RollbackOfCallerAfterCommitUnderFaults) {
  for (InjectionKind kind : {InjectionKind::Fail, InjectionKind::Crash, InjectionKind::Interrupt}) {
    Sweep(std::string("rollback after caller, ") + KindName(kind), false, CallerAfterCommitBase(),
          kind);
  }
}

}  // namespace
