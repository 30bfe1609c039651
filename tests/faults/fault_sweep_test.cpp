// Fault sweeps: a counting run lists the call sites through which the program touches files; then
// each run, on a fresh copy of the sample, fails (EIO and telling errno values), crashes or
// interrupts one call, and CheckRun judges it. The rollback sweeps first force a rollback.
#include <functional>
#include <regex>

#include "fault_support.h"

namespace {

// A call site (its calls, those before the first rule fired) and the call to inject at; an end
// is its first or last call, or a telling errno value.
struct Point {
  std::string function, site, err = "EIO";
  uint64_t total = 0, before = 0, nth = 0;
  bool end = false;
};

// errno values that a function's callers may treat apart from EIO.
const std::map<std::string, std::vector<std::string>> kTellingErrnos = {
    {"open", {"EEXIST", "ENOENT"}}, {"mkdir", {"EEXIST"}},   {"rename", {"EXDEV"}},
    {"stat", {"ENOENT"}},           {"fstatat", {"ENOENT"}}, {"opendir", {"ENOENT"}},
    {"unlink", {"ENOENT"}},         {"fopen", {"ENOENT"}},   {"getcwd", {"ENOENT"}},
    {"fwrite", {"ENOSPC"}},         {"fflush", {"ENOSPC"}},  {"fclose", {"ENOSPC"}},
    {"write", {"ENOSPC"}},          {"CreateFileA", {"EBUSY", "EEXIST", "ENOENT", "ENOSPC"}},
    {"SetFileInformationByHandle", {"EBUSY"}}, {"DeleteFileA", {"EBUSY", "ENOENT"}},
    {"WriteFile", {"ENOSPC"}},      {"FlushFileBuffers", {"ENOSPC"}},
    {"CreateDirectoryA", {"183"}},  {"GetFileAttributesA", {"ENOENT"}}};

// Which planned injections a sweep makes. Whole (QV_SWEEP=full, as `make test-full` runs them):
// all. A share (the default, as `make test` runs them): every end, and of the calls between, those
// whose place among them plus the offset is a multiple of QV_SWEEP_SHARE (default 4). Every n-th
// (QV_SWEEP_SAMPLE=n, the quick pass under Wine): every n-th point from the offset. The offset
// (QV_SWEEP_OFFSET, by default the day's number) turns the share from day to day; each SWEEP line
// prints the settings that replay it exactly.
struct Sampling {
  enum class Kind { Whole, Share, Every } kind = Kind::Whole;
  size_t n = 1, offset = 0;
};

size_t EnvCount(const char* name, size_t fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtoul(value, nullptr, 10) : fallback;
}

// Read once, so that a sweep that runs past midnight prints the offset it used.
const Sampling& SweepSampling() {
  static const Sampling sampling = [] {
    Sampling s;
    const char* sweep = std::getenv("QV_SWEEP");
    if (sweep && std::string(sweep) == "full") return s;
    const size_t every = EnvCount("QV_SWEEP_SAMPLE", 0);
    s.kind = every > 0 ? Sampling::Kind::Every : Sampling::Kind::Share;
    s.n = std::max<size_t>(1, every > 0 ? every : EnvCount("QV_SWEEP_SHARE", 4));
    s.offset = EnvCount("QV_SWEEP_OFFSET", size_t(std::time(nullptr) / 86400)) % s.n;
    return s;
  }();
  return sampling;
}

// The environment that replays a sweep's sampling.
std::string Describe(const Sampling& s) {
  if (s.kind == Sampling::Kind::Whole) return "[QV_SWEEP=full]";
  return std::string(s.kind == Sampling::Kind::Every ? "[QV_SWEEP_SAMPLE=" : "[QV_SWEEP_SHARE=") +
         std::to_string(s.n) + " QV_SWEEP_OFFSET=" + std::to_string(s.offset) + "]";
}

std::vector<Point> Sampled(const std::vector<Point>& points, const Sampling& s) {
  std::vector<Point> taken;
  size_t between = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    const bool take = s.kind == Sampling::Kind::Whole ? true
                      : s.kind == Sampling::Kind::Every
                          ? (i + s.offset) % s.n == 0
                          : points[i].end || (between++ + s.offset) % s.n == 0;
    if (take) taken.push_back(points[i]);
  }
  return taken;
}

// Every call of a site with few calls; of a busier one the first, the last and six between; the
// telling errno values at the first and the last. Then the sampling's share of them.
std::vector<Point> PlanPoints(const std::string& counts, const std::string& kind, bool afterBase) {
  std::vector<Point> points;
  std::istringstream lines(counts);
  for (Point site; lines >> site.function >> site.site >> site.total >> site.before;) {
    const uint64_t first = afterBase ? site.before + 1 : 1, last = site.total, span = last - first;
    if (last < first) continue;
    std::set<uint64_t> nths = {first, last};
    for (uint64_t i = 1; i < (span < 16 ? span : 7); ++i) {
      nths.insert(first + (span < 16 ? i : span * i / 7));
    }
    for (uint64_t nth : nths) {
      site.nth = nth, site.err = "EIO", site.end = nth == first || nth == last;
      points.push_back(site);
    }
    if (kind != "fail" || !kTellingErrnos.count(site.function)) continue;
    for (const std::string& err : kTellingErrnos.at(site.function)) {
      for (uint64_t nth : std::set{first, last}) {
        site.nth = nth, site.err = err, site.end = true, points.push_back(site);
      }
    }
  }
  return Sampled(points, SweepSampling());
}

// The shim rule that injects kind at the point.
std::string RuleFor(const Point& point, const std::string& kind) {
  return "func=" + point.function + " site=" + point.site + " nth=" + std::to_string(point.nth) +
         " do=" + kind + " errno=" + point.err;
}

// Runs `run` on a fresh copy of start at home until the shim's log shows that rule number `rule`
// fired: once, and under Wine, where a busy server now and then does not start a program, twice.
// Returns the log's line after "fired rule=N " ("" when it never fired).
std::string RunUntilFired(const std::string& start, const std::string& home,
                          const std::string& shimLog, size_t rule,
                          const std::function<RunResult()>& run, RunResult* result) {
  std::string fired;
  for (int attempt = 0; fired.empty() && attempt < (UnderWine() ? 2 : 1); ++attempt) {
    RemoveTree(home);
    ::unlink(shimLog.c_str());
    CopyTree(start, home);
    *result = run();
    fired = LineAfter(ReadFile(shimLog), "fired rule=" + std::to_string(rule) + " ");
  }
  return fired;
}

// Failures a run may meet and still succeed, each with the reason that is safe; an ignored
// injection ("FUNCTION ERRNO PATH") that none of these matches fails its sweep.
const std::pair<std::regex, const char*> kSafelyIgnored[] = {
    {std::regex("(fclose|closedir|close|CloseHandle|FindClose) E\\w+ (<tmp>|<scratch>|<home>(/("
                "QVNODE\\.DAT|WORK(/QV\\w+\\.(DAT|PTR|USR))?|MESSAGE(/QVMSG(\\d|\\*)\\.LMR)?|"
                "QVCULLDB-BACKUPS.*))?)"),
     "closing what was only read, or a directory held open: every byte read was checked"},
    {std::regex("(write|fflush|fclose|vfprintf) E\\w+ (<home>/QVCULLDB32_REPORT\\.TXT|<stdout>)"),
     "the console and the report carry the same lines: the other one still has them"},
    {std::regex("setvbuf EIO .*"), "a refused stream buffer only costs speed"},
    {std::regex("(open|fstat|lstat|unlink|CreateFileA|GetFileInformationByHandle|"
                "SetFileInformationByHandle|CloseHandle) E\\w+ <home>/QVCULLDB-BACKUPS/QVCULLDB\\.LCK"),
     "the backup root's lock: a create that meets a name opens it; a failed release is named, "
     "and the next run takes the lock over"},
    {std::regex("(stat|GetFileAttributesExA) E\\w+ <home>/QVCULLDB\\.COM"),
     "it only decides the legacy-name warning"},
    {std::regex("(stat|GetFileSecurityA) E\\w+ <home>/WORK/QVUSERS\\.DAT"),
     "whose backups to trust: unknown, only root and the running user are, which is stricter"},
    {std::regex("fstatat E\\w+ <home>/MESSAGE/QVMSG\\d\\.LMR"),
     "an entry the listing cannot examine is listed as a file and examined again"},
    {std::regex("GetFileAttributesA ENOENT "
                "<home>/(WORK/QV\\w+\\.(DAT|PTR|USR)|MESSAGE/QVMSG\\d\\.LMR)"),
     "the look for a link reads it as missing; it is then opened as a regular file and validated"},
    {std::regex("(fstatat|l?stat|unlink|GetFileAttributesA) E\\w+ <home>/.*\\.QVCNEW"),
     "a staged name: the exclusive create, or the check for staged files left, meets what is there"},
    {std::regex("(CreateFileA|SetFileInformationByHandle) EBUSY <home>/.*\\.QVCNEW"),
     "a brief hold by another program is waited out"},
    {std::regex("CloseHandle E\\w+ <home>/.*\\.QVCNEW"),
     "a handle that only read a staged file's identity before its move, released all the same"},
    {std::regex("(l?stat|GetFileAttributes(Ex)?A) E\\w+ "
                "<home>/WORK/(QVPURGED\\.USR|QVCOMMIT\\.MRK)"),
     "a name absent here: a failed look reads as absent, and the gate or the create meets it"},
    {std::regex("(stat|GetFileAttributesExA|CreateFileA|GetFileInformationByHandle) E\\w+ "
                "(<tmp>|<scratch>|<home>(/QVCULLDB-BACKUPS|/WORK|/MESSAGE)?)"),
     "a directory of the backup root, examined again after mkdir; a volume not told apart is "
     "summed with all the others"},
    {std::regex("(unlink|close|fstat|lstat|CreateFileA|CloseHandle|GetFileInformationByHandle|"
                "SetFileInformationByHandle) E\\w+ <home>/MESSAGE/QVLINK\\.BSY"),
     "reported as a lock not released (or not known for its own), after the database was verified"},
    {std::regex("(open|CreateFileA) E\\w+ "
                "<home>/(WORK/QV\\w+\\.(DAT|PTR|USR)|MESSAGE/QVMSG\\d\\.LMR)"),
     "a lease probe that cannot open the file asks /proc instead (Windows: warns, or probes a held "
     "one again); a replaced file not held open is not read again after the commit, but the gate "
     "proved it unchanged and held by no one"},
    {std::regex("stat E\\w+ <home>/(WORK/QV\\w+\\.(DAT|PTR)|MESSAGE/QVMSG\\d\\.LMR)"),
     "a file the probe for other holders cannot examine is warned about, or missing, held by no "
     "one; it is read and checked after the probe"},
    {std::regex("(unlink|open|fsync|close|DeleteFileA|CreateFileA|FlushFileBuffers|CloseHandle) "
                "E\\w+ <home>/WORK(/QVCOMMIT\\.MRK)?"),
     "removing the marker after a verified commit: a warning now, and the next run resolves it"},
    {std::regex("(lstat|fstat|GetFileInformationByHandle(Ex)?|GetFileSizeEx|CreateFileA) E\\w+ "
                "<home>/(WORK/QV\\w+\\.(DAT|PTR|USR)|MESSAGE/QVMSG\\d\\.LMR)"),
     "a stamp that cannot be taken (the fresh look of a state line, a replaced file after the "
     "renames): the file is read again instead"},
    {std::regex("(fopen|fdopen|open|fread|ferror|CreateFileA|ReadFile) E\\w+ "
                "<home>/(WORK/QV\\w+\\.(DAT|PTR|USR)|MESSAGE/QVMSG\\d\\.LMR)"),
     "the fresh look of a state line reads a file again whose stamp moved: one that cannot be "
     "read is named, UNKNOWN, never claimed unchanged (CheckRun checks every state line)"},
    {std::regex("SetConsoleCtrlHandler E\\w+ "), "registered again with each file and each hold"},
    {std::regex("(GetStdHandle|GetConsoleMode) E\\w+ "), "a console not seen: no progress line"},
    {std::regex("GetComputerNameA E\\w+ "), "the lock names its holder without the host name"},
};

bool SafelyIgnored(const std::string& injection) {
  return std::any_of(std::begin(kSafelyIgnored), std::end(kSafelyIgnored),
                     [&](const auto& entry) { return std::regex_match(injection, entry.first); });
}

void Sweep(const std::string& name, bool log, const std::vector<std::string>& base,
           bool dryRun = false) {
  ScratchDir scratch;
  const Fixture f = MakeFixture(scratch.path, log);
  std::vector<std::string> args;
  if (dryRun) args.push_back("/DRYRUN");
  const std::string home = scratch.path + "/run", shimLog = scratch.path + "/shim.log";
  CopyTree(f.pristine, home);
  const auto env = ShimEnvironment(base, "", scratch.path + "/counts");
  const RunResult counted = RunProgram(home, args, env);
  EXPECT_EQ(counted.exitCode, dryRun ? 1 : base.empty() ? 0 : 2) << counted.out;
  const std::string counts = ReadFile(scratch.path + "/counts");
  ASSERT_FALSE(counts.empty());

  Outcome o{.home = home, .before = Edited(f.before, base), .packed = Edited(f.packed, base),
            .dryRun = dryRun, .preview = PreviewOf(counted.report, home)};
  for (const std::string kind : {"fail", "crash", "interrupt"}) {
    size_t points = 0, unreached = 0, violations = 0;
    std::set<std::string> sites, ignored, silent;
    for (const Point& point : PlanPoints(counts, kind, !base.empty())) {
      std::vector<std::string> rules = base;
      rules.push_back(RuleFor(point, kind));
      const std::string fired = RunUntilFired(
          f.pristine, home, shimLog, rules.size(),
          [&] { return RunProgram(home, args, ShimEnvironment(rules, shimLog)); }, &o.result);
      o.injected = fired.empty() ? "" : kind;
      o.function = point.function;
      o.path = PosixPath(LineAfter(fired, " path="));
      ++points;
      sites.insert(point.function + point.site);
      if (o.injected.empty()) {
        ++unreached;
        ADD_FAILURE() << rules.back() << ": the call was never reached (exit "
                      << o.result.exitCode << ")\n" << o.result.out << o.result.err;
        continue;
      }
      std::vector<std::string> found = CheckRun(f, o);
      if (kind == "crash" && !dryRun && o.before == f.before) {
        for (const std::string& next : CheckNextRun(f, o)) found.push_back(next);
      }
      // A failure the run ignored (it succeeded), or one that failed it with no error counted.
      const std::string& report = o.result.report;
      // Windows lists a directory through a pattern in it (WORK\*.QVCNEW).
      const std::string listed = Contains(o.path, "*")
                                     ? std::filesystem::path(o.path).parent_path().string()
                                     : o.path;
      if (kind == "fail" && found.empty() && o.result.exitCode == int(dryRun) &&
          !Contains(report, "WARNING: cannot list " + HostPath(listed) + " ")) {
        // The directories above the scratch tree are the backup root's too: "<tmp>".
        const bool above =
            !o.path.empty() && (o.path == "/" || scratch.path.starts_with(o.path + "/"));
        const std::string injection =
            point.function + " " + point.err + " " +
            (above ? "<tmp>" : Masked(Masked(o.path, home, "<home>"), scratch.path, "<scratch>"));
        ignored.insert(injection);
        if (!SafelyIgnored(injection)) ADD_FAILURE() << injection << ": ignored without a reason";
      }
      if (o.result.exitCode == 2 && SummaryValue(report, "Errors:") == "0") {
        silent.insert(rules.back());
      }
      if (found.empty()) continue;
      std::string text = rules.back() + ":\n    report tail: " +
                         report.substr(report.size() - std::min<size_t>(report.size(), 1500));
      for (const std::string& violation : found) text += "\n    " + violation;
      if (++violations <= 25) ADD_FAILURE() << text;
    }
    std::printf("SWEEP %-34s %3zu call sites, %4zu %s injections (%zu unreached), %zu ignored, "
                "%zu silent, %zu violations %s\n",
                (name + kind).c_str(), sites.size(), points, kind.c_str(), unreached,
                ignored.size(), silent.size(), violations, Describe(SweepSampling()).c_str());
    EXPECT_EQ(violations, 0u);
    EXPECT_EQ(silent.size(), 0u) << "runs that failed without naming a cause";
  }
}

// The commit fails at QVUSERS.PTR: the LMR files and QVUSERS.DAT are new, the rest old, and the
// rollback must bring every one back.
const std::string kRename = UnderWine() ? "func=SetFileInformationByHandle" : "func=rename";
const std::vector<std::string> kCommitFails = {kRename + " path=QVUSERS.PTR.QVCNEW"};

// A caller (UserNo 5, mode 1, node slot 3) appears right after the commit: every file is new,
// QVPURGED.USR was created by it, and the rollback must undo all of it.
const std::vector<std::string> kCallerAppears = {
    kRename + " path=QVPURGED.USR.QVCNEW when=after do=action "
              "act=poke,WORK/QVWHOSON.DAT,18,050001"};

// ---- The restore's write path: a pack first, then its backup restored with one call failed,
// crashed or interrupted, each on a fresh copy of the packed home. The live set must be the packed
// one, the restored (pre-pack) one, or, after a crash, a mix flagged by the marker that a second
// restore finishes; an interrupt never leaves a mix.

// Packs the fixture where the restores will run (the manifest names the live files by their
// paths), moves the result to packed and returns the backup's name. A second passes, so that no
// restore's own backup meets the pack's name (a -001 that other runs would not make).
std::string PackInPlace(const Fixture& f, const std::string& home, const std::string& packed) {
  CopyTree(f.pristine, home);
  EXPECT_EQ(RunProgram(home, {}).exitCode, 0);
  const std::vector<std::string> names = ListDirectory(home + "/QVCULLDB-BACKUPS");
  std::filesystem::rename(home, packed);
  sleep(1);
  return names.empty() ? "" : names[0];
}

// The restore of one backup under the packed home.
RunResult RunRestore(const std::string& home, const std::string& backup,
                     const std::vector<std::string>& env) {
  return RunRestoreProgram(home, {"/RESTORE=QVCULLDB-BACKUPS/" + backup}, env);
}

std::vector<std::string> CheckRestore(const Fixture& f, const std::string& home,
                                      const std::string& backup, const RunResult& r,
                                      const std::string& kind) {
  std::vector<std::string> violations;
  auto expect = [&](bool ok, const std::string& what) { if (!ok) violations.push_back(what); };
  const FileMap live = ReadTree(home);
  const bool restored = DiffDatabase(f.before, live).empty();
  const bool packed = DiffDatabase(f.packed, live).empty(), marker = live.count(kMarker);
  const bool rollbackFailed = Contains(r.report, kRollbackFailed);
  if (kind == "crash") {
    expect(restored || packed || marker, "a crash left a mix without a commit marker");
  } else if (kind == "interrupt") {
    expect(EndedByInterrupt(r), "SIGINT did not end the run");
    expect(restored || packed || rollbackFailed, "interrupted into a mix");
  } else {
    expect(r.exitCode == 2 || (r.exitCode == 0 && restored), "exit 0 without the restored set");
    expect(r.exitCode == 0 || packed || (rollbackFailed && marker), "exit 2 with a changed set");
  }
  for (const std::string area : {"WORK/", "MESSAGE/"}) {
    for (const std::string& name : ListDirectory(home + "/" + area)) {
      const bool leftover = name == "QVLINK.BSY" || name.find(".QVCNEW") != name.npos;
      expect(!leftover || kind == "crash" || kind == "fail", area + name + " left behind");
    }
  }
  if (kind != "crash" || restored || packed) return violations;
  // The operator removes the stale lock and staged files; the same restore then finishes.
  RemoveStaleLockAndStagedFiles(home);
  const RunResult again = RunRestore(home, backup, {});
  const FileMap after = ReadTree(home);
  expect(again.exitCode == 0 && DiffDatabase(f.before, after).empty() && !after.count(kMarker),
         "the second restore did not finish:\n" + again.out);
  return violations;
}

void RestoreSweep() {
  ScratchDir scratch;
  const Fixture f = MakeFixture(scratch.path, true);
  const std::string packed = scratch.path + "/packed", home = scratch.path + "/run";
  const std::string backup = PackInPlace(f, home, packed);
  CopyTree(packed, home);
  ASSERT_EQ(RunRestore(home, backup, ShimEnvironment({}, "", scratch.path + "/counts")).exitCode, 0);
  const std::string counts = ReadFile(scratch.path + "/counts");
  for (const std::string kind : {"fail", "crash", "interrupt"}) {
    size_t points = 0, violations = 0;
    for (const Point& point : PlanPoints(counts, kind, false)) {
      const std::string rule = RuleFor(point, kind), shimLog = scratch.path + "/shim.log";
      RunResult r;
      const std::string fired = RunUntilFired(
          packed, home, shimLog, 1,
          [&] { return RunRestore(home, backup, ShimEnvironment({rule}, shimLog)); }, &r);
      ++points;
      EXPECT_FALSE(fired.empty()) << rule << ": never reached (exit " << r.exitCode << ")\n"
                                  << r.out;
      for (const std::string& v : CheckRestore(f, home, backup, r, kind)) {
        if (++violations <= 25) ADD_FAILURE() << rule << ": " << v << "\n" << r.out.substr(r.out.size() > 1500 ? r.out.size() - 1500 : 0);
      }
    }
    std::printf("SWEEP restore, %-25s %4zu %s injections, %zu violations %s\n", kind.c_str(),
                points, kind.c_str(), violations, Describe(SweepSampling()).c_str());
    EXPECT_EQ(violations, 0u);
  }
}

// ---- /PRUNE=1 over a root holding the newest backup, an older one and an incomplete one ----

// The backup copied under another name, its IDENTITY.TXT saying it was begun `age` seconds
// before the original (and an id of its own); without its manifest when incomplete.
void CopyBackup(const std::string& root, const std::string& from, const std::string& to, int age,
                char id, bool incomplete) {
  std::filesystem::copy(root + "/" + from, root + "/" + to, std::filesystem::copy_options::recursive);
  std::string identity = ReadFile(root + "/" + from + "/IDENTITY.TXT");
  const size_t at = identity.find("BEGUN-SECONDS ") + 14;
  const long long begun = std::stoll(identity.substr(at)) - age;
  identity.replace(at, identity.find('.', at) - at, std::to_string(begun));
  identity.replace(identity.find("\r\nID ") + 5, 32, std::string(32, id));
  ASSERT_TRUE(WriteWholeFile(root + "/" + to + "/IDENTITY.TXT", identity));
  if (incomplete) {
    ASSERT_EQ(std::remove((root + "/" + to + "/MANIFEST.TXT").c_str()), 0);
  }
}

// After a prune, whatever happened to it: the live files and the newest backup as they were;
// every other backup whole, gone, or incomplete with its IDENTITY.TXT (so that the next prune
// knows it), never a manifest without its copies; success only with both removed; the locks
// gone unless the run was killed or named what it left.
std::vector<std::string> CheckPrune(const std::string& start, const std::string& home,
                                    const RunResult& r, const std::string& kind) {
  std::vector<std::string> violations;
  auto expect = [&](bool ok, const std::string& what) { if (!ok) violations.push_back(what); };
  const FileMap before = ReadTree(start), after = ReadTree(home);
  const std::string root = "QVCULLDB-BACKUPS/";
  for (const auto& [rel, bytes] : before) {
    const bool other = rel.starts_with(root + "QVCULLDB-20000101-");
    if (rel.ends_with("QVCULLDB32_REPORT.TXT") || other) continue;
    expect(after.count(rel) && after.at(rel) == bytes, rel + " changed or gone");
  }
  for (const std::string name : {"QVCULLDB-20000101-000000", "QVCULLDB-20000101-000001"}) {
    const std::string dir = home + "/" + root + name;
    if (!std::filesystem::exists(dir)) continue;
    const bool whole = Contains(ReadFile(dir + "/MANIFEST.TXT"), "\r\nEND ");
    expect(std::filesystem::exists(dir + "/IDENTITY.TXT") || std::filesystem::is_empty(dir),
           name + " left without IDENTITY.TXT");
    for (const auto& [rel, bytes] : before) {
      if (!whole || !rel.starts_with(root + name + "/")) continue;
      expect(after.count(rel) && after.at(rel) == bytes, rel + " gone under a whole manifest");
    }
  }
  const bool pruned = !std::filesystem::exists(home + "/" + root + "QVCULLDB-20000101-000000") &&
                      !std::filesystem::exists(home + "/" + root + "QVCULLDB-20000101-000001");
  if (kind == "fail") {
    expect(r.exitCode == 2 || (r.exitCode == 0 && pruned), "exit 0 with a backup not removed");
    expect(r.exitCode == 2 || !Contains(r.report, "fails the check"), "exit 0 over a failed check");
    expect(r.exitCode == 0 || SummaryValue(r.report, "Errors:") != "0", "exit 2 with no error");
  }
  if (kind == "interrupt") expect(EndedByInterrupt(r), "SIGINT did not end the run");
  for (const std::string& lock : {std::string("MESSAGE/QVLINK.BSY"), root + "QVCULLDB.LCK"}) {
    const bool named = Contains(r.report, "Left behind:         " + HostPath(home + "/" + lock));
    expect(!after.count(lock) || kind == "crash" || (kind == "fail" && (named || lock[0] == 'M')),
           lock + " left behind");
  }
  return violations;
}

void PruneSweep() {
  ScratchDir scratch;
  const Fixture f = MakeFixture(scratch.path, true);
  const std::string packed = scratch.path + "/packed", home = scratch.path + "/run";
  const std::string backup = PackInPlace(f, home, packed);
  const std::string root = packed + "/QVCULLDB-BACKUPS";
  CopyBackup(root, backup, "QVCULLDB-20000101-000000", 3600, 'A', false);
  CopyBackup(root, backup, "QVCULLDB-20000101-000001", 60, 'B', true);
  const std::vector<std::string> prune = {"/PRUNE=1"};
  CopyTree(packed, home);
  ASSERT_EQ(RunRestoreProgram(home, prune, ShimEnvironment({}, "", scratch.path + "/counts")).exitCode, 0);
  const std::string counts = ReadFile(scratch.path + "/counts");
  for (const std::string kind : {"fail", "crash", "interrupt"}) {
    size_t points = 0, violations = 0;
    for (const Point& point : PlanPoints(counts, kind, false)) {
      const std::string rule = RuleFor(point, kind), shimLog = scratch.path + "/shim.log";
      RunResult r;
      const std::string fired = RunUntilFired(
          packed, home, shimLog, 1,
          [&] { return RunRestoreProgram(home, prune, ShimEnvironment({rule}, shimLog)); }, &r);
      ++points;
      EXPECT_FALSE(fired.empty()) << rule << ": never reached (exit " << r.exitCode << ")\n" << r.out;
      std::vector<std::string> found = CheckPrune(packed, home, r, kind);
      // The operator removes a lock a killed run left, or one it said it could not release; the
      // next prune then finishes the job.
      if (kind == "crash" || Contains(r.report, "could not fully release its QVLINK.BSY lock")) {
        std::filesystem::remove(home + "/MESSAGE/QVLINK.BSY");
      }
      const RunResult again = RunRestoreProgram(home, prune);
      if (again.exitCode != 0 || !CheckPrune(packed, home, again, "fail").empty()) {
        found.push_back("the next prune did not finish:\n" + again.out);
      }
      for (const std::string& v : found) {
        if (++violations <= 25) ADD_FAILURE() << rule << ": " << v << "\n" << r.out.substr(r.out.size() > 1500 ? r.out.size() - 1500 : 0);
      }
    }
    std::printf("SWEEP prune, %-27s %4zu %s injections, %zu violations %s\n", kind.c_str(),
                points, kind.c_str(), violations, Describe(SweepSampling()).c_str());
    EXPECT_EQ(violations, 0u);
  }
}

// A state a power cut may leave: the database old or packed (packed once the run verified it), a
// mix only with the marker, which names a backup holding the old one; the next run completes the
// pack or refuses a mix (judged once per state: `judged` holds the verdicts by what the next run
// sees, the clock masked). A caller's entry is no part of the pack. Returns the violations.
std::string CheckCutState(const Fixture& f, const std::string& home, bool verified, bool restoring,
                          std::map<std::string, std::string>* judged) {
  const FileMap live = ReadTree(home);
  const std::string who = kFiles[3], named = LineAfter(Version(live, kMarker), "backup=");
  const std::string changed = DiffDatabase(f.before, live, who);
  const std::string unpacked = DiffDatabase(f.packed, live, who);
  const std::string notDone = restoring ? changed : unpacked;  // a restore ends pre-pack
  std::string found = verified && !notDone.empty() ? "\n    verified, lost:\n" + notDone : "";
  const std::string lost = live.count(kMarker) ? BackupProblem(f, named.substr(0, named.size() - 1))
                           : !changed.empty() && !unpacked.empty() ? "no commit marker" : "";
  if (!lost.empty()) found += "\n    mixed or marked, without a backup: " + lost + "\n" + changed;
  if (!SameVersion(live, f.before, who)) return found;  // waits for the caller
  std::string key;
  for (const auto& [rel, bytes] : live) {
    if (rel == kReportName || Contains(rel, ".QVCNEW") || Contains(rel, "QVLINK.BSY")) continue;
    key += NormaliseClock(rel) + std::to_string(std::hash<std::string>{}(
                                     bytes.size() < 4096 ? NormaliseClock(bytes) : bytes));
  }
  if (!judged->count(key)) {
    for (const std::string& next : CheckNextRun(f, {.home = home})) (*judged)[key] += "\n  " + next;
  }
  return found + (*judged)[key];
}

// Of an un-crashed run: each rename moves a file fsync'd since its last write (or change of mode
// or owner), and its directory is fsync'd before the next rename, before a live file is opened
// again and before the end; the marker goes after the last live file was opened (verified).
void CheckOrder(const std::vector<std::string>& events, const std::string& home) {
  std::map<std::string, size_t> written, synced;
  std::set<std::string> unsyncedDirs;  // directories renamed into since their last fsync
  std::string removed;
  for (size_t i = 0; i < events.size(); ++i) {
    std::string kind, a, b;
    std::istringstream(events[i]) >> kind >> a >> b;
    if (kind == "W" || kind == "F") (kind == "W" ? written : synced)[a] = i + 1;
    if (kind == "D") unsyncedDirs.erase(b);
    const std::string rel = Masked(a, home + "/", "");
    const bool opened = kind == "O" && std::count(kFiles.begin(), kFiles.end(), rel);
    const std::string dir = kind == "R" ? b.substr(0, b.rfind('/')) : "";
    // A series of renames into one directory shares its fsync, made before a rename into
    // another directory and before any live file is opened again.
    const bool otherDir = kind == "R" && !unsyncedDirs.empty() && !unsyncedDirs.count(dir);
    if (otherDir || (opened && !unsyncedDirs.empty())) ADD_FAILURE() << "no fsync: " << events[i];
    if (kind == "R" && synced[a] <= written[a]) ADD_FAILURE() << "data not fsync'd: " << events[i];
    if (kind == "R") unsyncedDirs.insert(dir);
    if (opened || (kind == "U" && a == home + "/" + kMarker)) removed = opened ? "" : a;
  }
  EXPECT_TRUE(unsyncedDirs.empty()) << "no directory fsync after the last rename";
  EXPECT_NE(removed, "") << "the marker was not removed after the last live file was verified";
}

// Power cuts: a logged run checks its order; then a crash at each call that changes or flushes a
// file or a directory, and each state a power cut may leave there (what was flushed; also every
// directory change; everything) put in the run's place and checked.
void PowerSweep(const std::string& name, bool log, const std::vector<std::string>& base,
                bool restoring = false) {
  if (UnderWine()) GTEST_SKIP() << "the power-cut log comes from the POSIX shim";
  const std::string kChanging = " write fwrite fflush fclose fsync rename unlink unlinkat mkdir "
                                "mkdirat openat open fchmod fchown ";
  ScratchDir scratch;
  const Fixture f = MakeFixture(scratch.path, log, 600000);
  const std::string home = scratch.path + "/run", power = scratch.path + "/power";
  const std::string crashed = scratch.path + "/crashed", shimLog = scratch.path + "/shim.log";
  const std::string start = restoring ? scratch.path + "/packed" : f.pristine;
  const std::string backup = restoring ? PackInPlace(f, home, start) : "";
  auto run = [&](const std::vector<std::string>& rules, const std::string& counts) {
    for (const std::string& path : {home, power, crashed, shimLog}) RemoveTree(path);
    std::filesystem::create_directory(power);
    CopyTree(start, home);
    std::vector<std::string> env = ShimEnvironment(rules, shimLog, counts);
    env.push_back("QVF_POWER=" + power);
    return restoring ? RunRestore(home, backup, env) : RunProgram(home, {}, env);
  };
  EXPECT_EQ(run(base, scratch.path + "/counts").exitCode, base.empty() ? 0 : 2);
  CheckOrder(ReadPowerLog(power).events, home);
  size_t points = 0, states = 0, violations = 0;
  std::set<std::string> sites;
  std::map<std::string, std::string> judged;
  const std::string counts = ReadFile(scratch.path + "/counts");
  for (const Point& point : PlanPoints(counts, "crash", !base.empty())) {
    if (!Contains(kChanging, " " + point.function + " ")) continue;
    std::vector<std::string> rules = base;
    rules.push_back(RuleFor(point, "crash"));
    const RunResult r = run(rules, "");
    ++points, sites.insert(point.function + point.site);
    const PowerLog cut = ReadPowerLog(power);
    EXPECT_TRUE(Contains(ReadFile(shimLog), "fired rule=" + std::to_string(rules.size()) + " "))
        << rules.back() << ": the call was never reached";
    std::filesystem::rename(home, crashed);
    for (const std::string form : {" flushed:", " entries kept:", " all kept:"}) {
      RemoveTree(home);
      if (form[1] == 'a') std::filesystem::rename(crashed, home);
      if (form[1] != 'a') MakeCutTree(cut, form[1] == 'e', cut.root, power, home);
      ++states;
      const std::string found =
          CheckCutState(f, home, Contains(r.report, "Post-write verification: PASS"), restoring,
                        &judged);
      if (!found.empty() && ++violations <= 10) ADD_FAILURE() << rules.back() << form << found;
    }
  }
  std::printf("SWEEP %-34s %3zu call sites, %4zu crash points, %4zu states checked (%zu unlike), "
              "%zu violations %s\n", ("power loss, " + name).c_str(), sites.size(), points, states,
              judged.size(), violations, Describe(SweepSampling()).c_str());
  EXPECT_EQ(violations, 0u);
}

// Another program holds a staged file through its rename (Windows only: POSIX renames are never
// held): seven refusals are waited out and the pack succeeds; eight outlast the retries, and the
// commit fails naming the cause and is rolled back.
TEST(FaultSweep, HeldThroughTheRename) {
  if (!UnderWine()) GTEST_SKIP() << "only Windows refuses a rename of a file another program has open";
  ScratchDir scratch;
  const Fixture f = MakeFixture(scratch.path, true);
  Outcome o{.home = scratch.path + "/run", .before = f.before, .packed = f.packed,
            .injected = "fail", .function = "SetFileInformationByHandle"};
  for (int refusals : {7, 8}) {
    std::vector<std::string> rules;
    for (int nth = 1; nth <= refusals; ++nth) {
      rules.push_back(kRename + " path=QVMSG2.LMR.QVCNEW errno=EBUSY nth=" + std::to_string(nth));
    }
    RemoveTree(o.home);
    CopyTree(f.pristine, o.home);
    o.result = RunProgram(o.home, {}, ShimEnvironment(rules, ""));
    o.path = o.home + "/MESSAGE/QVMSG2.LMR.QVCNEW";
    EXPECT_EQ(CheckRun(f, o), std::vector<std::string>{}) << o.result.out;
    EXPECT_EQ(o.result.exitCode, refusals == 7 ? 0 : 2) << o.result.out;
    const std::string cause = "ERROR: commit failed while replacing QVMSG2.LMR (Windows error 32: "
                              "another program has the file open).";
    EXPECT_EQ(o.result.out.find(cause) != std::string::npos, refusals == 8) << o.result.out;
  }
}

TEST(FaultSweep, WithAuditLog) { Sweep("audit log, ", true, {}); }
TEST(FaultSweep, WithoutAuditLog) { Sweep("no audit log, ", false, {}); }
TEST(FaultSweep, DryRun) { Sweep("dry run, ", true, {}, true); }
TEST(FaultSweep, RollbackAfterCommit) { Sweep("rollback after commit, ", true, kCommitFails); }
TEST(FaultSweep, RollbackOfCaller) { Sweep("rollback after caller, ", false, kCallerAppears); }
TEST(FaultSweep, Restore) { RestoreSweep(); }
TEST(FaultSweep, Prune) { PruneSweep(); }
TEST(PowerLoss, WithAuditLog) { PowerSweep("audit log", true, {}); }
TEST(PowerLoss, WithoutAuditLog) { PowerSweep("no audit log", false, {}); }
TEST(PowerLoss, RollbackAfterCommit) { PowerSweep("rollback after commit", true, kCommitFails); }
TEST(PowerLoss, RollbackOfCaller) { PowerSweep("rollback after caller", false, kCallerAppears); }
TEST(PowerLoss, Restore) { PowerSweep("restore", true, {}, true); }

}  // namespace
