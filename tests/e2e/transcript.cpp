// Expected transcripts and explicit fixtures. See transcript.h.
#include "transcript.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

const char kHashRule[] = "############################################################\n";


std::string Shown(const std::string& posixPath) { return HostPath(posixPath); }

std::string Joined(const std::string& dir, const char* name) { return Shown(dir + "/" + name); }

const char* YesNo(uint8_t value) { return value ? "YES" : "NO"; }

// The digits of a "####-##-##" at text[at], or year 0.
SampleDate DateAt(const std::string& text, size_t at) {
  SampleDate date;
  if (at + 10 > text.size()) return date;
  date.year = std::atoi(text.substr(at, 4).c_str());
  date.month = std::atoi(text.substr(at + 5, 2).c_str());
  date.day = std::atoi(text.substr(at + 8, 2).c_str());
  return date;
}

uint64_t CounterAfter(const std::string& out, const char* label, bool* found) {
  const size_t at = out.rfind(label);
  if (at == std::string::npos) {
    *found = false;
    return 0;
  }
  return std::strtoull(out.c_str() + at + std::string(label).size(), nullptr, 10);
}

}  // namespace

SampleRecipe FixtureRecipe(uint32_t users, uint32_t conferences) {
  SampleRecipe recipe;
  recipe.users = users;
  recipe.conferences = conferences;
  recipe.capacity = 9999;
  recipe.seed = 11;
  recipe.deletedPercent = 0;
  recipe.windowsPathRules = UnderWine();
  recipe.today = ResolvedToday(recipe);
  return recipe;
}

std::string FixtureTimeDate(const SampleRecipe& recipe, const FixtureUser& user) {
  if (!user.timeDate.empty() || user.ageDays < 0) return user.timeDate;
  return TimeDateForAge(ResolvedToday(recipe), user.ageDays, user.fourDigitYear);
}

bool WriteFixtureAt(const std::string& home, const SampleRecipe& given,
                    const std::vector<FixtureUser>& users, SamplePaths* paths, std::string* error) {
  SampleRecipe recipe = given;
  recipe.users = uint32_t(users.size());
  if (!WriteSampleBbs(home, recipe, paths, error)) return false;
  for (uint32_t n = 1; n <= users.size(); ++n) {
    const FixtureUser& user = users[n - 1];
    if (!SetUserName(paths->work, n, user.name) || !SetSecurity(paths->work, n, user.security) ||
        !SetAllowPurge(paths->work, n, user.allowPurge) ||
        !SetDeleted(paths->work, n, user.deleted) ||
        !SetTimeDate(paths->work, n, FixtureTimeDate(recipe, user))) {
      *error = "cannot patch user " + std::to_string(n);
      return false;
    }
  }
  return true;
}

bool WriteFixture(Fixture* fixture, std::string* error) {
  fixture->recipe.users = uint32_t(fixture->users.size());
  return WriteFixtureAt(Home(*fixture), fixture->recipe, fixture->users, &fixture->paths, error);
}

std::string Home(const Fixture& fixture) {
  return fixture.home.empty() ? fixture.scratch.path + "/BBS" : fixture.home;
}

int64_t DayCount(const SampleDate& date) {
  const int y = date.year - (date.month <= 2);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (date.month + (date.month > 2 ? -3 : 9)) + 2) / 5 + date.day - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy;
}

SampleDate ScanDate(const std::string& out) {
  for (const char* label : {"Preview date:        ", "Pack date:        "}) {
    const size_t at = out.find(label);
    if (at != std::string::npos) return DateAt(out, at + std::string(label).size());
  }
  return SampleDate{};
}

int64_t ClockShift(const SampleRecipe& recipe, const std::string& out) {
  const SampleDate scanned = ScanDate(out);
  if (scanned.year == 0) return 0;
  return DayCount(scanned) - DayCount(ResolvedToday(recipe));
}

std::string ShownProgramName() { return HostPath(ProgramPath()); }

std::string HeaderTextWithProgram(const std::string& program, const std::vector<std::string>& args,
                                  bool writeMode, const std::string& home) {
  std::string text = std::string("\n") + kHashRule + "QVCULLDB32 REPORT RUN\n" +
                     "Started:             YYYY-MM-DD HH:MM:SS\n" +
                     "Version:             0.4.0-beta1\n" + "Command line:        " + program;
  for (const std::string& arg : args) text += " " + arg;
  text += "\n";
  text += kHashRule;
  if (writeMode) {
    text +=
        "MODE: VERIFIED BACKUP + STAGED USER PACK\n"
        "BETA: MANUAL OFFLINE USE ONLY - NOT APPROVED FOR EVENTS OR BUILT-IN SYSOP MENU\n"
        "Write mode selected because /DRYRUN was not supplied.\n";
  } else {
    text +=
        "MODE: /DRYRUN - ALL QUORVEX DATABASE FILES OPENED READ ONLY\n"
        "No Quorvex database-write code is entered in /DRYRUN mode.\n";
  }
  text += "Executable filename: QVCULLDB.EXE\n";
  text += "Home directory:      " + Shown(home) + "\n";
  text += "Report file:         " + Joined(home, kReportName) + "\n";
  return text;
}

std::string HeaderText(const std::vector<std::string>& args, bool writeMode,
                       const std::string& home) {
  return HeaderTextWithProgram(ShownProgramName(), args, writeMode, home);
}

std::string DirectoriesText(const std::string& work, const std::string& message) {
  return "Work directory:      " + Shown(work) + "\n" + "Message directory:   " + Shown(message) +
         "\n";
}

std::string OfflineWarningText() {
  return "\n============================================================\n"
         "WARNING: MANUAL OFFLINE MAINTENANCE REQUIRED\n"
         "Close every Quorvex node and prevent caller access before continuing.\n"
         "QVWHOSON.DAT can detect active callers, not idle node processes.\n"
         "============================================================\n";
}

std::string LegacyComWarningText(const std::string& home) {
  return "\nWARNING: legacy QVCULLDB.COM exists: " + Joined(home, "QVCULLDB.COM") + "\n" +
         "DOS normally prefers .COM over .EXE when no extension is supplied.\n"
         "Rename/remove the old COM and invoke QVCULLDB.EXE explicitly.\n";
}

std::string LockLineText(const std::string& message) {
  return "\n======================= SAFETY =======================\n"
         "Shared lock file:    " +
         Joined(message, "QVLINK.BSY") + "\n";
}

std::string LockAcquiredText(const std::string& message) {
  return LockLineText(message) +
         "Shared QVLINK.BSY lock: ACQUIRED - QVLink32 and cooperating tools are blocked for this "
         "run.\n";
}

std::string LockExistsText() {
  return "SAFETY ABORT: QVLINK.BSY already exists. Another cooperating Quorvex maintenance "
         "utility may be active, or a stale lock remains.\n"
         "QVCULLDB32 did not create or remove the existing lock.\n";
}

std::string CallerFileLine(const std::string& work, uint64_t size) {
  return "Caller-status file:  " + Joined(work, "QVWHOSON.DAT") +
         Format(" (%" PRIu64 " bytes)\n", size);
}

std::string CallerClearText(const std::string& work) {
  return CallerFileLine(work, 1536) + "Caller safety check: CLEAR\n";
}

std::string ValidationBanner() {
  return "\n==================== FILE VALIDATION ==================\n";
}

std::string UserFileLines(uint64_t datSize, uint64_t ptrSize) {
  return Format("QVUSERS.DAT:        %" PRIu64 " bytes = %" PRIu64 " x 315, remainder %u\n",
                datSize, datSize / 315, unsigned(datSize % 315)) +
         Format("QVUSERS.PTR:        %" PRIu64 " bytes = %" PRIu64 " x 31, remainder %u\n",
                ptrSize, ptrSize / 31, unsigned(ptrSize % 31));
}

std::string LmrLine(const std::string& name, uint64_t size, uint64_t userRecords) {
  const uint64_t slots = size / 4;
  std::string line = Format("  %-16s %" PRIu64 " bytes = %" PRIu64 " x 4, remainder %u", name.c_str(),
                            size, slots, unsigned(size % 4));
  if (size % 4 != 0) {
    line += "  ERROR: misaligned";
  } else if (slots >= userRecords) {
    line += Format("  OK: capacity %" PRIu64 "; current users occupy slots 1..%" PRIu64, slots,
                   userRecords);
    if (slots == 9999) line += " [standard Quorvex fixed capacity]";
  } else {
    line += Format("  ERROR: only %" PRIu64 " user slots; need at least %" PRIu64, slots,
                   userRecords);
  }
  return line + "\n";
}

std::string LmrCountLine(unsigned count) { return Format("LMR files found:     %u\n", count); }

std::string ValidationAbortText() {
  return "\nVALIDATION ABORT: structural errors prevent a trustworthy purge preview.\n";
}

std::string SoundValidationText(uint64_t users, unsigned conferences) {
  std::string text = ValidationBanner() + UserFileLines(users * 315, users * 31) +
                     LmrCountLine(conferences);
  for (unsigned c = 1; c <= conferences; ++c) text += LmrLine(LmrFileName(c), 39996, users);
  if (conferences == 0) {
    text +=
        "WARN: no QVMSGxx.LMR files were found. This may be valid only on a system with no "
        "message conferences.\n";
  }
  return text;
}

std::string SelectionRulesText(const Rules& rules) {
  std::string text = "\nSelection rules:\n";
  if (rules.del) {
    return text +
           "  Selection mode: /DEL (deleted records only).\n"
           "  Include only users already marked Deleted=TRUE.\n"
           "  /SEC, /OLD, and /AND evaluation: DISABLED by /DEL.\n";
  }
  text += "  Always include users already marked Deleted=TRUE.\n";
  text += rules.sec >= 0
              ? Format("  /SEC=%d: include matching users only when AllowPurge=TRUE.\n", rules.sec)
              : std::string("  /SEC: not supplied.\n");
  text += rules.old >= 0 ? Format("  /OLD=%d: include users at least %d days old only when "
                                  "AllowPurge=TRUE.\n",
                                  rules.old, rules.old)
                         : std::string("  /OLD: not supplied.\n");
  if (rules.sec >= 0 && rules.old >= 0) {
    text += rules.andGiven ? "  Combination rule: AND\n"
                             "  /AND: non-deleted users must match both /SEC and /OLD.\n"
                           : "  Combination rule: OR (legacy-compatible)\n"
                             "  Combined /SEC and /OLD rules use OR behavior, matching the "
                             "original utility.\n";
  } else {
    text += "  Combination rule: N/A - only one or neither optional rule supplied.\n";
  }
  return text;
}

std::string ScanHeadingText(bool writeMode) {
  return writeMode ? "\n==================== PURGE PLAN ====================\n"
                     "Pack date:        YYYY-MM-DD\n"
                     "User #1 protection: ENABLED\n"
                     "-------------------------------------------------------\n"
                   : "\n==================== PURGE PREVIEW ====================\n"
                     "Preview date:        YYYY-MM-DD\n"
                     "User #1 protection: ENABLED\n"
                     "-------------------------------------------------------\n";
}

std::string PickLine(const SampleRecipe& recipe, const FixtureUser& user, const Pick& pick,
                     const Rules& rules, bool writeMode, int64_t clockShift) {
  const bool first = pick.number == 1;
  std::string line = first ? Format("PROTECTED  #%-6u", 1u)
                           : Format("%s #%-6u", writeMode ? "WILL-PURGE" : "WOULD-PURGE",
                                    unsigned(pick.number));
  line += Format(" Name='%s' Sec=%d Last='%s'", user.name.c_str(), user.security,
                 FixtureTimeDate(recipe, user).c_str());
  if (rules.old >= 0) {
    line += user.ageDays >= 0 ? Format(" Age=%" PRId64, user.ageDays + clockShift)
                              : std::string(" Age=INVALID");
  }
  line += Format(" AllowPurge=%s Deleted=%s Reason=%s%s%s\n", YesNo(user.allowPurge),
                 YesNo(user.deleted), pick.reason.c_str(), pick.andTag ? " [AND]" : "",
                 first ? " [USER #1 WILL NOT BE PURGED]" : "");
  return line;
}

std::string SnapshotPassText(const std::string& work) {
  return "\n================ SNAPSHOT VERIFICATION ================\n" + CallerClearText(work) +
         "Read-only snapshot verification: PASS - all inventoried database files are "
         "unchanged.\n";
}

std::string ReleasedText() { return "Shared QVLINK.BSY lock: RELEASED.\n"; }

namespace {

std::string CounterLines(const Counts& c, bool writeMode, uint64_t purged, uint64_t kept) {
  std::string text = "\n======================= SUMMARY =======================\n";
  text += Format("User records:        %" PRIu64 "\n", c.userRecords);
  text += Format("Selected by rules:   %" PRIu64 "\n", c.selected);
  if (writeMode) {
    text += Format("Purged/committed:    %" PRIu64 "\n", purged);
    text += Format("Retained after pack: %" PRIu64 "\n", kept);
  } else {
    text += Format("Would be purged:     %" PRIu64 "\n", c.candidates);
    text += Format("Would be retained:   %" PRIu64 "\n", c.retained);
  }
  text += Format("Protected user #1:   %" PRIu64 "\n", c.protectedUser1);
  text += "Reason hits:\n";
  text += Format("  Already Deleted:   %" PRIu64 "\n", c.deletedHits);
  text += Format("  /SEC matches:      %" PRIu64 "\n", c.secHits);
  text += Format("  /OLD matches:      %" PRIu64 "\n", c.oldHits);
  text += Format("Warnings:            %" PRIu64 "\n", c.warnings);
  text += Format("Errors:              %" PRIu64 "\n", c.errors);
  return text;
}

}  // namespace

int DryExitCode(const Counts& counts) {
  if (counts.errors != 0) return 2;
  return counts.candidates != 0 || counts.protectedUser1 != 0 ? 1 : 0;
}

std::string DrySummaryText(const Counts& counts) {
  const int exitCode = DryExitCode(counts);
  const char* status =
      exitCode == 2 ? "ABORTED/UNTRUSTED - correct the reported errors and rerun."
      : exitCode == 1 ? "COMPLETE - purge candidates were found. Review every candidate above."
                      : "COMPLETE - no purge candidates were found.";
  return CounterLines(counts, false, 0, 0) +
         "\nDRYRUN RESULT: NO QUORVEX DATABASE FILES WERE CHANGED.\n"
         "Backup created:      NO - /DRYRUN performs no database writes.\n" +
         Format("Result status:       %s\n", status) + Format("Exit code:           %d\n", exitCode) +
         kHashRule;
}

std::string WriteSummaryText(const Counts& counts, bool nothingToWrite) {
  // Nothing was committed, so the retained line shows the scan's count.
  std::string text = CounterLines(counts, true, 0, uint32_t(counts.retained));
  if (nothingToWrite && counts.errors == 0) {
    return text +
           "\nBackup created:      NO - no purge candidates required a write.\n"
           "Result status:       COMPLETE - no records matched the selected rules.\n"
           "Exit code:           0\n" +
           kHashRule;
  }
  return text +
         "\nBackup created:      NO\n"
         "Result status:       ABORTED/FAILED - keep nodes offline until the report is reviewed.\n"
         "Exit code:           2\n" +
         kHashRule;
}

bool ParseSummary(const std::string& out, Counts* counts) {
  bool found = true;
  counts->userRecords = CounterAfter(out, "User records:        ", &found);
  counts->selected = CounterAfter(out, "Selected by rules:   ", &found);
  counts->candidates = CounterAfter(out, "Would be purged:     ", &found);
  counts->retained = CounterAfter(out, "Would be retained:   ", &found);
  counts->protectedUser1 = CounterAfter(out, "Protected user #1:   ", &found);
  counts->deletedHits = CounterAfter(out, "  Already Deleted:   ", &found);
  counts->secHits = CounterAfter(out, "  /SEC matches:      ", &found);
  counts->oldHits = CounterAfter(out, "  /OLD matches:      ", &found);
  counts->warnings = CounterAfter(out, "Warnings:            ", &found);
  counts->errors = CounterAfter(out, "Errors:              ", &found);
  return found;
}

std::string CheckedTranscript(const RunResult& result) {
  EXPECT_TRUE(result.started) << result.err;
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, result.report) << "console and report differ";
  return NormaliseClock(result.out);
}

std::string PreviewOpening(const Fixture& f, const std::vector<std::string>& args,
                           const Rules& rules) {
  return HeaderText(args, false, Home(f)) + DirectoriesText(f.paths.work, f.paths.message) +
         LockAcquiredText(f.paths.message) + CallerClearText(f.paths.work) +
         SoundValidationText(f.users.size(), f.recipe.conferences) + SelectionRulesText(rules) +
         ScanHeadingText(false);
}

std::string PreviewClosing(const Fixture& f, const Counts& counts) {
  return SnapshotPassText(f.paths.work) + ReleasedText() + DrySummaryText(counts);
}

std::string Picks(const Fixture& f, const std::vector<Pick>& picks, const Rules& rules,
                  int64_t clockShift) {
  std::string text;
  for (const Pick& pick : picks) {
    text += PickLine(f.recipe, f.users[pick.number - 1], pick, rules, false, clockShift);
  }
  return text;
}

std::map<std::string, std::string> TreeWithoutReport(const Fixture& fixture) {
  std::map<std::string, std::string> tree = HashTree(fixture.scratch.path);
  tree.erase(Home(fixture).substr(fixture.scratch.path.size() + 1) + "/" + kReportName);
  return tree;
}

RunResult RunLeavingNoTrace(const Fixture& fixture, const std::vector<std::string>& args) {
  const std::map<std::string, std::string> before = TreeWithoutReport(fixture);
  RunResult result = RunProgram(Home(fixture), args);
  EXPECT_EQ(DiffTrees(before, TreeWithoutReport(fixture)), "");
  EXPECT_TRUE(FileExists(Home(fixture) + "/" + kReportName));
  return result;
}

std::string Format(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}
