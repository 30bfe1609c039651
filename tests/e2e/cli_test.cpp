// The command line: every rejection with its exact message and the whole help
// text, the accepted value limits, help and version answers, and the limits of
// the argument storage. None of these may create or change a file.
#include <gtest/gtest.h>

#include "transcript.h"

namespace {

// The usage text exactly as an operator sees it with output redirected: no
// pause prompt, every line within 78 columns.
const char kHelpText[] = R"(QVCULLDB32 0.4.0-beta1 - manual-offline Quorvex user packer

Executable name: QVCULLDB.EXE

Read-only preview commands:
  QVCULLDB.EXE /DRYRUN
  QVCULLDB.EXE /DEL /DRYRUN
  QVCULLDB.EXE /SEC=x /DRYRUN
  QVCULLDB.EXE /OLD=x /DRYRUN
  QVCULLDB.EXE /SEC=x /OLD=x /DRYRUN
  QVCULLDB.EXE /SEC=x /OLD=x /AND /DRYRUN

Verified write commands (all Quorvex nodes must be closed):
  QVCULLDB.EXE
  QVCULLDB.EXE /DEL
  QVCULLDB.EXE /OLD=x
  QVCULLDB.EXE /SEC=x
  QVCULLDB.EXE /SEC=x /OLD=x
  QVCULLDB.EXE /SEC=x /OLD=x /AND
  Add /BACKUP=D:\QVBAK to any write command.
  QVCULLDB.EXE /VERSION
  QVCULLDB.EXE /HELP   (or /?)

IMPORTANT write-mode rule:
  Any normal invocation without /DRYRUN is a real pack. /WRITE and /LAB are no
  longer used.

Selection rules:
  No /SEC or /OLD: users already marked Deleted only (legacy behavior).
  /DEL: explicitly select only users already marked Deleted.
        /DEL cannot be combined with /SEC, /OLD, or /AND.
  /SEC=x: additionally select AllowPurge users at security x.
  /OLD=x: additionally select AllowPurge users at least x days old.
  /SEC and /OLD normally combine with legacy-compatible OR behavior.
  /AND requires both /SEC and /OLD; additional non-deleted users must match
  both.
  /OLD accepts 30 through 65535.

Backups:
  Every write requires a verified backup. There is no /NOBACKUP switch.
  /BACKUP= selects the backup root. A unique timestamped directory is created
  beneath it.
  Quote the entire /BACKUP= switch when the path contains spaces.
  Without /BACKUP=, the default is .\QVCULLDB-BACKUPS beneath the Quorvex home
  directory.

Safety:
  MANUAL OFFLINE USE ONLY: close every Quorvex node and prevent caller access
  before a write.
  QVWHOSON.DAT is checked for active callers, but it cannot prove that idle
  Quorvex node processes are closed.
  Scan commands atomically acquire MESSAGE\QVLINK.BSY and abort if another
  cooperating Quorvex maintenance utility already owns it.
  Write mode builds and verifies staged files, creates and verifies a
  timestamped backup, repeats safety checks, commits, verifies, and rolls back
  automatically on detected failure.
  The old QVCULLDB.COM should be renamed or removed. DOS normally prefers a
  .COM file over an .EXE when no extension is given.

Backup restore warning:
  The backup is intended for immediate rollback before the BBS is reopened.
  After callers return, restoring it discards newer user-database and
  last-message-read progress. Restore QVUSERS.DAT, QVUSERS.PTR, and every
  QVMSGxx.LMR together.

Beta boundary: approved for manual offline use. Scheduled-event and built-in
Sysop Menu use are not approved in this build.
)";

const char kVersionLine[] = "QVCULLDB32 0.4.0-beta1\n";
const char kRemoved[] =
    "/WRITE and /LAB were removed. Omit them for a verified write, or add /DRYRUN for a preview.";
const char kSecValue[] = "Invalid /SEC value. Use 0 through 32767.";
const char kOldValue[] = "Invalid /OLD value. Use 30 through 65535 days.";
const char kBackupPath[] = "Invalid /BACKUP path.";
const char kDelAlone[] = "/DEL cannot be combined with /SEC, /OLD, or /AND.";
const char kAndNeedsBoth[] = "/AND requires both /SEC=x and /OLD=x.";
const char kBackupOnlyForWrite[] =
    "/BACKUP is valid only for a write. Remove /DRYRUN or remove /BACKUP.";

// A sound sample home that every answer without a run must leave untouched.
struct QuietHome {
  Fixture f;
  std::map<std::string, std::string> before;
};

void WriteQuietHome(QuietHome* home) {
  ASSERT_TRUE(EnsureWineReady());
  home->f.users = {{"SYSOP", 100, 0, 0, 10, true, ""}, {"GONE USER", 10, 1, 1, 900, true, ""}};
  std::string error;
  ASSERT_TRUE(WriteFixture(&home->f, &error)) << error;
  home->before = HashTree(home->f.scratch.path);
}

// Runs the program in the quiet home and proves that nothing was written: no
// report, no lock, no byte changed.
RunResult RunQuietly(const QuietHome& home, const std::vector<std::string>& args) {
  RunResult r = RunProgram(Home(home.f), args);
  EXPECT_TRUE(r.started) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.report, "");
  EXPECT_EQ(DiffTrees(home.before, HashTree(home.f.scratch.path)), "");
  return r;
}

std::string Rejection(const std::string& message) { return "ERROR: " + message + "\n\n" + kHelpText; }

struct RejectCase {
  std::vector<std::string> args;
  std::string message;
};

std::vector<RejectCase> RejectCases() {
  const std::string longSwitch = "/" + std::string(300, 'Q');
  return {
      // Leaders and names.
      {{"DRYRUN"}, "Unknown argument: DRYRUN"},
      {{""}, "Unknown argument: "},
      {{"/FOO"}, "Unknown switch: /FOO"},
      {{"-foo"}, "Unknown switch: -foo"},
      {{"/"}, "Unknown switch: /"},
      {{"/DRY"}, "Unknown switch: /DRY"},
      {{"/DRYRUNX"}, "Unknown switch: /DRYRUNX"},
      {{"/SEC"}, "Unknown switch: /SEC"},
      {{"-old"}, "Unknown switch: -old"},
      {{"/BACKUP"}, "Unknown switch: /BACKUP"},
      {{"/WRITE"}, kRemoved},
      {{"-lab"}, kRemoved},
      {{"/DRYRUN", "/Write"}, kRemoved},
      // A message with a long argument is cut, not refused.
      {{longSwitch}, ("Unknown switch: " + longSwitch).substr(0, 255)},
      // Only the first bad argument is reported; /HELP shields nothing.
      {{"/FOO", "/WRITE"}, "Unknown switch: /FOO"},
      {{"/LAB", "/FOO"}, kRemoved},
      {{"/HELP", "/FOO"}, "Unknown switch: /FOO"},
      {{"/?", "/SEC=99999"}, kSecValue},
      {{"/HELP", "/DEL", "/SEC=5"}, kDelAlone},
      // Repetitions, tested before the value.
      {{"/DRYRUN", "-dryrun"}, "Duplicate /DRYRUN switch."},
      {{"/DEL", "/del"}, "Duplicate /DEL switch."},
      {{"/SEC=10", "/SEC=10"}, "Duplicate /SEC switch."},
      {{"/SEC=1", "/SEC=x"}, "Duplicate /SEC switch."},
      {{"/OLD=30", "-OLD=40"}, "Duplicate /OLD switch."},
      {{"/OLD=30", "/OLD=29"}, "Duplicate /OLD switch."},
      {{"/AND", "-and"}, "Duplicate /AND switch."},
      {{"/BACKUP=a", "/BACKUP=b"}, "Duplicate /BACKUP switch."},
      // Values.
      {{"/SEC=32768"}, kSecValue},
      {{"/SEC="}, kSecValue},
      {{"/SEC=-1"}, kSecValue},
      {{"/SEC=+5"}, kSecValue},
      {{"/SEC=5x"}, kSecValue},
      {{"/SEC=99999999999999999999999"}, kSecValue},
      {{"/SEC=5 /DRYRUN"}, kSecValue},  // one argument holding a blank
      {{"/OLD=29"}, kOldValue},
      {{"/OLD=00029"}, kOldValue},
      {{"/OLD=65536"}, kOldValue},
      {{"/OLD="}, kOldValue},
      {{"/OLD=0"}, kOldValue},
      {{"/BACKUP="}, kBackupPath},
      {{"/BACKUP=" + std::string(1024, 'b')}, kBackupPath},
      // Checks after the last argument, in their order.
      {{"/DEL", "/SEC=5"}, kDelAlone},
      {{"/OLD=30", "/DEL"}, kDelAlone},
      {{"/DEL", "/AND"}, kDelAlone},
      {{"/AND"}, kAndNeedsBoth},
      {{"/AND", "/SEC=5"}, kAndNeedsBoth},
      {{"/OLD=30", "/AND", "/DRYRUN"}, kAndNeedsBoth},
      {{"/BACKUP=x", "/DRYRUN"}, kBackupOnlyForWrite},
      {{"/VERSION", "/BACKUP=x"}, kBackupOnlyForWrite},
      {{"/BACKUP=x", "/HELP"}, kBackupOnlyForWrite},
      // The longest path is taken; only the mode then refuses it.
      {{"-backup=" + std::string(1023, 'b'), "/DRYRUN"}, kBackupOnlyForWrite},
  };
}

std::string Joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += (text.empty() ? "" : " ") + arg.substr(0, 40);
  return text;
}

TEST(CliRejects, EveryBadCommandLineGetsItsMessageAndTheHelpWithExitThree) {
  QuietHome home;
  WriteQuietHome(&home);
  if (HasFatalFailure()) return;
  for (const RejectCase& c : RejectCases()) {
    SCOPED_TRACE(Joined(c.args));
    const RunResult r = RunQuietly(home, c.args);
    EXPECT_EQ(r.out, Rejection(c.message));
    EXPECT_EQ(r.exitCode, 3);
  }
}

TEST(CliAnswers, HelpAndVersionAnswerWithoutARun) {
  QuietHome home;
  WriteQuietHome(&home);
  if (HasFatalFailure()) return;
  const struct {
    std::vector<std::string> args;
    const char* out;
  } cases[] = {
      {{"/HELP"}, kHelpText},
      {{"/?"}, kHelpText},
      {{"-help"}, kHelpText},
      {{"/Help", "/HELP"}, kHelpText},
      {{"/?", "/SEC=5"}, kHelpText},
      {{"/HELP", "/VERSION"}, kHelpText},  // help wins over version
      {{"/VERSION", "-?"}, kHelpText},
      {{"/VERSION"}, kVersionLine},
      {{"-version", "/VERSION"}, kVersionLine},
      {{"/version", "/SEC=5", "/OLD=30", "/AND"}, kVersionLine},
      {{"/DRYRUN", "/VERSION", "/DEL"}, kVersionLine},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    const RunResult r = RunQuietly(home, c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.exitCode, 0);
  }
}

// Arguments past the 63rd (the program name included) are never looked at.
TEST(CliLimits, SwitchesPastTheSixtySecondAreIgnored) {
  QuietHome home;
  WriteQuietHome(&home);
  if (HasFatalFailure()) return;
  std::vector<std::string> args(61, "/VERSION");
  args.push_back("/FOO");
  RunResult r = RunQuietly(home, args);
  EXPECT_EQ(r.out, Rejection("Unknown switch: /FOO"));
  EXPECT_EQ(r.exitCode, 3);

  args.insert(args.begin(), "-VERSION");  // /FOO is now the 63rd switch
  args.push_back("/BAR");
  r = RunQuietly(home, args);
  EXPECT_EQ(r.out, kVersionLine);
  EXPECT_EQ(r.exitCode, 0);
}

// The argument text, the program name included, holds 4096 bytes with one NUL
// per argument; a command line that needs more ends with exit 3 and no output.
TEST(CliLimits, ArgumentTextOverFourKilobytesEndsSilently) {
  QuietHome home;
  WriteQuietHome(&home);
  if (HasFatalFailure()) return;
  const size_t used = ShownProgramName().size() + 1 + std::string("/VERSION").size() + 1;
  const size_t room = 4096 - used - 1;  // the last argument's characters
  const std::string fits = "/SEC=" + std::string(room - 6, '0') + "7";
  ASSERT_EQ(fits.size(), room);
  RunResult r = RunQuietly(home, {"/VERSION", fits});
  EXPECT_EQ(r.out, kVersionLine);
  EXPECT_EQ(r.exitCode, 0);

  r = RunQuietly(home, {"/VERSION", "/SEC=0" + fits.substr(5)});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.exitCode, 3);

  r = RunQuietly(home, {std::string(5000, 'x')});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.exitCode, 3);
}

// Accepted values show in the selection rules of a preview; leaders and letter
// case do not matter, and the header lists the arguments as typed.
TEST(CliAccepts, ValueLimitsLeadersAndCaseReachTheScan) {
  Fixture f;
  ASSERT_TRUE(EnsureWineReady());
  f.users = {{"SYSOP", 100, 0, 0, 10, true, ""}, {"KEPT USER", 20, 0, 0, 10, true, ""}};
  std::string error;
  ASSERT_TRUE(WriteFixture(&f, &error)) << error;
  const struct {
    std::vector<std::string> args;
    Rules rules;
  } cases[] = {
      {{"-dryrun", "/sec=0007", "-OLD=65535", "-And"}, {false, 7, 65535, true}},
      {{"/DryRun", "-SEC=32767", "/old=30"}, {false, 32767, 30}},
      {{"/SEC=0", "/OLD=00030", "/dRyRuN"}, {false, 0, 30}},
      {{"-Del", "-DRYRUN"}, {true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    const RunResult r = RunProgram(Home(f), c.args);
    const std::string transcript = CheckedTranscript(r);
    EXPECT_EQ(r.exitCode, 0);
    const std::string header = HeaderText(c.args, false, Home(f));
    EXPECT_EQ(transcript.substr(0, header.size()), header);
    const std::string rules = SelectionRulesText(c.rules);
    EXPECT_NE(transcript.find(rules + ScanHeadingText(false)), std::string::npos) << transcript;
  }
}

}  // namespace
