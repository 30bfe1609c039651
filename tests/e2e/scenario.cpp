#include "scenario.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>

namespace {

using Tree = std::map<std::string, std::string>;

// The write-run sample: 40 users, three LMR files of 9999 slots, pointer records whose bytes
// after the name differ from the user records', an old audit log. #1 is Deleted but protected
// (listed, never purged); /SEC=77 also purges #9 #26 #35 but keeps #20 (AllowPurge FALSE).
const std::vector<uint32_t> kPackPurged = {5, 9, 12, 17, 26, 31, 35, 40};

bool PatchPackSample(const std::string& work) {
  for (uint32_t n : {9u, 26u, 35u, 20u}) {
    if (!SetSecurity(work, n, 77) || !SetAllowPurge(work, n, n != 20) || !SetDeleted(work, n, 0)) {
      return false;
    }
  }
  return SetUserName(work, 9, "TAB\tNAME \xE9T\xE9") && SetSecurity(work, 12, -5) &&
         SetTimeDate(work, 12, "01/02/03") && SetCallingFrom(work, 26, "");
}

SampleRecipe BaseRecipe(bool pack) {
  SampleRecipe recipe;
  recipe.seed = 11;
  recipe.windowsPathRules = UnderWine();
  recipe.conferences = pack ? 3 : 2;
  recipe.deletedPercent = 0;
  recipe.today = pack ? SampleDate{2026, 3, 1} : ResolvedToday(recipe);
  if (pack) {
    recipe.users = 40;
    recipe.deletedUsers = {5, 12, 17, 31, 40};
    recipe.user1Deleted = recipe.pointerTailDiffers = recipe.purgedLog = true;
  }
  return recipe;
}

bool WriteFixtureUsers(Run& r) {
  const SampleDate today = ResolvedToday(r.recipe);
  for (uint32_t n = 1; n <= r.users.size(); ++n) {
    const FixtureUser& u = r.users[n - 1];
    const std::string timeDate =
        u.literal ? u.literal : TimeDateForAge(today, u.ageDays, u.fourDigitYear);
    if (!u.literal) {
      r.vars["<AGE " + std::to_string(u.ageDays) + (u.fourDigitYear ? ">" : " YY>")] = timeDate;
    }
    const std::string& w = r.paths.work;
    if (!SetUserName(w, n, u.name) || !SetSecurity(w, n, u.security) ||
        !SetAllowPurge(w, n, u.allowPurge) || !SetDeleted(w, n, u.deleted) ||
        !SetTimeDate(w, n, timeDate)) {
      return false;
    }
  }
  return true;
}

bool Writing() { return std::getenv("QV_WRITE_EXPECTED") != nullptr; }

// The pack sample's last calls are fixed dates and the program's today is not: its
// candidates move from one age band to the next as the days pass.
std::string MaskDatedBands(const std::string& transcript) {
  static const std::regex kBand(
      R"(((?:Under 1 year|1-2 years|2-5 years|Over 5 years) \([0-9a-z -]+\): +)[0-9]+)");
  return std::regex_replace(transcript, kBand, "$1<BY TODAY>");
}

namespace {

// "<E EIO>" stands for the errno part of an error line's cause, "; EIO: Input/output error" on
// POSIX and nothing under Wine, where the Windows code is the system's own.
const std::regex kErrnoPart("; (E[A-Z0-9]+): ([^)\n]*)\\)");

std::string ErrnoPart(const std::string& name) {
  if (UnderWine()) return "";
  for (int err = 1; err < 200; ++err) {
    const char* known = strerrorname_np(err);
    if (known != nullptr && name == known) return "; " + name + ": " + std::strerror(err);
  }
  return "<no errno " + name + ">";
}

}  // namespace

std::string Expand(const std::string& text, const std::map<std::string, std::string>& vars) {
  std::string out;
  bool inPath = false;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, 3, "<E ") == 0 && text.find('>', i) != std::string::npos) {
      const size_t end = text.find('>', i);
      out += ErrnoPart(text.substr(i + 3, end - i - 3));
      i = end + 1;
      continue;
    }
    const size_t end = text[i] == '<' ? text.find('>', i) : std::string::npos;
    const auto var = end == std::string::npos ? vars.end() : vars.find(text.substr(i, end - i + 1));
    if (var != vars.end()) {
      out += var->second;
      inPath = var->second.rfind("Z:\\", 0) == 0;
      i = end + 1;
      continue;
    }
    const char c = text[i++];
    if (c == ' ' || c == '\r' || c == '\n') inPath = false;
    out += inPath && c == '/' ? '\\' : c;
  }
  return out;
}

// The reverse of Expand for a native run: the longest texts first.
std::string Abstract(std::string text, const std::map<std::string, std::string>& vars) {
  std::vector<std::pair<std::string, std::string>> byLength(vars.begin(), vars.end());
  std::stable_sort(byLength.begin(), byLength.end(),
                   [](const auto& a, const auto& b) { return a.second.size() > b.second.size(); });
  for (const auto& [name, value] : byLength) text = Masked(text, value, name);
  std::string out;
  std::smatch m;
  while (std::regex_search(text, m, kErrnoPart)) {
    const std::string name = m[1];
    out += m.prefix().str() + (ErrnoPart(name) == m[0].str().substr(0, m[0].length() - 1)
                                   ? "<E " + name + ">)"
                                   : m[0].str());
    text = m.suffix().str();
  }
  return out + text;
}

void ExpectText(const std::string& file, const std::string& actual, const Run& r) {
  const std::string path = std::string(QV_E2E_EXPECTED_DIR) + "/" + file;
  if (Writing()) {
    ASSERT_TRUE(WriteWholeFile(path, Abstract(actual, r.vars))) << path;
    return;
  }
  std::string expected;
  ASSERT_TRUE(ReadWholeFile(path, &expected)) << path;
  EXPECT_EQ(actual, Expand(expected, r.vars)) << "expected/" << file;
}

// The expected files of a pack of explicit users are the scenario's own.
std::string Stem(const Run& r) { return r.users.empty() ? "" : r.name + "_"; }

std::string Rel(const Run& r, const std::string& path) {
  return path.substr(r.scratch.path.size() + 1);
}

Tree LiveFiles(const Run& r) {
  Tree files;
  std::vector<std::string> paths = {UserFilePath(r.paths.work), PointerFilePath(r.paths.work),
                                    CallerFilePath(r.paths.work), PurgedLogPath(r.paths.work)};
  for (uint32_t c = 1; c <= r.recipe.conferences; ++c) {
    paths.push_back(LmrFilePath(r.paths.message, c));
  }
  if (r.recipe.lowerCaseTwin) paths.push_back(r.paths.message + "/qvmsg1.lmr");
  for (const std::string& path : paths) {
    if (std::string bytes; ReadWholeFile(path, &bytes)) files[Rel(r, path)] = bytes;
  }
  return files;
}

void ExpectPacked(const Run& r, const Tree& live, Tree* expected) {
  const std::string& dat = live.at(Rel(r, UserFilePath(r.paths.work)));
  (*expected)[Rel(r, UserFilePath(r.paths.work))] = PackedUserFile(dat, r.purged);
  (*expected)[Rel(r, PointerFilePath(r.paths.work))] = PackedPointerFile(dat, r.purged);
  for (uint32_t c = 1; c <= r.recipe.conferences; ++c) {
    const std::string rel = Rel(r, LmrFilePath(r.paths.message, c));
    (*expected)[rel] = PackedLmrFile(live.at(rel), r.recipe.users, r.purged);
  }
  const std::string logRel = Rel(r, PurgedLogPath(r.paths.work));
  const std::string oldLog = live.count(logRel) ? NormaliseClock(live.at(logRel)) : "";
  (*expected)[logRel] = ReadFile(PurgedLogPath(r.paths.work));
  const std::string log = NormaliseClock(expected->at(logRel));
  EXPECT_EQ(log.substr(0, oldLog.size()), oldLog) << "the old audit log is kept";
  ExpectText(Stem(r) + "audit_block.txt", log.substr(std::min(oldLog.size(), log.size())), r);
}

// The one backup the run made: a copy of every live file, its manifest and
// its warning, in the directory the transcript names.
void ExpectBackup(const Run& r, const Tree& live, const Tree& before, const Tree& after,
                  const std::string& out, const std::string& manifestFile, Tree* expected) {
  const auto manifest = std::find_if(after.begin(), after.end(), [&](const auto& e) {
    return !before.count(e.first) && e.first.ends_with("/MANIFEST.TXT");
  });
  ASSERT_NE(manifest, after.end()) << "no new backup";
  const std::string dir = manifest->first.substr(0, manifest->first.size() - 12);  // ends in '/'
  for (size_t at = dir.find('/'); at != std::string::npos; at = dir.find('/', at + 1)) {
    expected->emplace(dir.substr(0, at + 1), "dir");
  }
  (*expected)[dir + "WORK/"] = (*expected)[dir + "MESSAGE/"] = "dir";
  for (const auto& [rel, bytes] : live) {
    const bool work = rel.rfind(Rel(r, r.paths.work) + "/", 0) == 0;
    (*expected)[dir + (work ? "WORK/" : "MESSAGE/") + rel.substr(rel.rfind('/') + 1)] = bytes;
  }
  const auto text = [&](const char* name, const std::string& file) {
    const std::string bytes = ReadFile(r.scratch.path + "/" + dir + name);
    ExpectText(file, bytes, r);
    (*expected)[dir + name] = bytes;
  };
  text("MANIFEST.TXT", manifestFile);
  // Its identity: this home, a UTC time and an id of its own.
  const std::string identity = ReadFile(r.scratch.path + "/" + dir + "IDENTITY.TXT");
  ExpectText("identity.txt",
             std::regex_replace(NormaliseClock(identity), std::regex("BEGUN-SECONDS [0-9]+\\.[0-9]{6}\r\nID [0-9A-F]{32}"),
                                "BEGUN-SECONDS <SECONDS>\r\nID <ID>"),
             r);
  (*expected)[dir + "IDENTITY.TXT"] = identity;
  const bool mixed = manifest->second.find("OF-MIXED") != std::string::npos;
  text("RESTORE_WARNING.TXT", mixed ? r.name + "_warning.txt" : "restore_warning.txt");
  // The directory the transcript names, as a host path: Wine's "Z:" gone, every
  // separator '/', and repeated separators one, as the Windows program uses it.
  std::string shown = LineAfter(out, "Backup directory:   ");
  if (UnderWine()) shown = std::regex_replace(shown.substr(2), std::regex(R"([\\/]+)"), "/");
  EXPECT_EQ(shown, r.scratch.path + "/" + dir.substr(0, dir.size() - 1));
}

void CheckOutcome(const Run& r, Outcome outcome, const Tree& sample, const Tree& before,
                  const Tree& live, const std::string& reportBefore, const RunResult& result) {
  const Tree after = ReadTree(r.scratch.path);
  Tree expected = before;
  const std::string report = ReadFile(r.home + "/" + kReportName);
  if (outcome == Outcome::kQuiet) {
    EXPECT_EQ(result.report, "");
  } else {
    EXPECT_EQ(result.out, result.report) << "console and report differ";
    EXPECT_EQ(NormaliseLineEnds(report), NormaliseLineEnds(reportBefore) + result.report);
    expected[Rel(r, r.home + "/" + kReportName)] = report;
  }
  if (outcome == Outcome::kPacked) ExpectPacked(r, live, &expected);
  // A restore puts back every file as the sample wrote it (QVWHOSON.DAT it never replaces).
  if (outcome == Outcome::kRestored) {
    const std::string log = Rel(r, PurgedLogPath(r.paths.work));
    if (!sample.count(log)) expected.erase(log);  // an audit log the pack created goes
    for (const auto& [rel, bytes] : sample) expected[rel] = bytes;
  }
  if (outcome >= Outcome::kRolledBack) {
    std::erase_if(expected, [](const auto& e) {
      return e.first.ends_with(".QVCNEW") || e.first.ends_with("/QVCOMMIT.MRK");
    });
    const std::string manifest = outcome == Outcome::kRestored ? r.name + "_manifest.txt"
                                 : r.recipe.purgedLog ? "manifest.txt"
                                                      : Stem(r) + "manifest_no_audit_log.txt";
    ExpectBackup(r, live, before, after, result.out, manifest, &expected);
  }
  EXPECT_EQ(DiffTrees(expected, after), "");
}

}  // namespace

void RunScenario(const Scenario& scenario) {
  const ScenarioSteps& s = scenario.steps;
  if (s.nativeOnly && UnderWine()) GTEST_SKIP() << "a POSIX state, or a path too deep for Wine";
  if (s.wineOnly && !UnderWine()) GTEST_SKIP() << "Windows path rules only";
  ASSERT_FALSE(Writing() && UnderWine()) << "write expected files from a native run";
  Run r(s.shortScratch ? ShortScratchRoot() : ScratchRoot());
  r.name = scenario.name;
  r.home = r.scratch.path + "/BBS";
  r.users = scenario.users;
  r.purged = r.users.empty() ? kPackPurged : s.purged;
  r.recipe = BaseRecipe(r.users.empty());
  r.args = scenario.args;
  static const std::string kProgram = ProgramPath();
  r.program = kProgram;
  if (s.prepare) s.prepare(r);
  if (!r.users.empty()) r.recipe.users = uint32_t(r.users.size());
  std::string error;
  ASSERT_TRUE(WriteSampleBbs(r.home, r.recipe, &r.paths, &error)) << error;
  ASSERT_TRUE(r.users.empty() ? PatchPackSample(r.paths.work) : WriteFixtureUsers(r));
  const Tree sample = LiveFiles(r);
  r.vars["<SCRATCH>"] = HostPath(r.scratch.path);
  r.vars["<HOME>"] = HostPath(r.home);
  r.vars["<RESTORE>"] = UnderWine() ? "QVRESTORE.EXE" : "qvrestore";
  // Windows names who may change an entry open to others (Wine: Everyone, from the mode).
  r.vars["<EVERYONE MAY CHANGE>"] =
      UnderWine() ? " (changeable by Everyone (S-1-1-0), who cannot write QVUSERS.DAT; keep backups "
                    "in a protected folder, one that only the accounts that write QVUSERS.DAT can "
                    "change)"
                  : "";
  for (const auto& [file, size] : s.sizes) {
    ASSERT_EQ(::truncate((r.home + "/" + file).c_str(), size), 0) << file;
  }
  if (s.damage) s.damage(r);
  if (testing::Test::HasFatalFailure() || testing::Test::IsSkipped()) return;
  r.vars["<PROGRAM>"] = HostPath(r.program);
  std::vector<std::string> args;
  for (const std::string& arg : r.args) args.push_back(Expand(arg, r.vars));

  const Tree before = ReadTree(r.scratch.path);
  const Tree live = s.outcome >= Outcome::kRolledBack ? LiveFiles(r) : Tree{};
  const std::string reportBefore = ReadFile(r.home + "/" + kReportName);
  ::setenv("QV_PROGRAM", r.program.c_str(), 1);
  std::vector<std::string> env;
  if (s.timeout > 0) env.push_back("QV_RUN_TIMEOUT=" + std::to_string(s.timeout));
  const RunResult result = RunProgram(r.home, args, env);

  EXPECT_TRUE(result.started) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, scenario.exitCode);
  const std::string shown = NormaliseClock(result.out);
  ExpectText(std::string(s.transcript ? s.transcript : scenario.name) + ".txt",
             r.users.empty() ? MaskDatedBands(shown) : shown, r);
  CheckOutcome(r, s.outcome, sample, before, live, reportBefore, result);
  if (s.check) s.check(r);
}
