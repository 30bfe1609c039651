// The progress line of a long phase, on a disk the shim makes slow: on standard error when that is
// a terminal, rewritten in place and erased at the phase's end; nothing when standard error is
// redirected; standard output and the report the same either way.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>

#include <regex>

#include "fault_support.h"

namespace {

// Runs the program in home with standard error on a new terminal and standard output into
// outPath; returns what the terminal received.
std::string RunOnTerminal(const std::string& home, const std::vector<std::string>& env,
                          const std::string& outPath) {
  std::vector<std::string> args = {ProgramPath(), "/DRYRUN"};
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY), out = open(outPath.c_str(), O_WRONLY | O_CREAT, 0600);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || chdir(home.c_str()) != 0) _exit(126);
    for (const std::string& entry : env) putenv(strdup(entry.c_str()));
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string received;
  char buffer[4096];
  for (ssize_t got; pid > 0 && (got = read(terminal, buffer, sizeof buffer)) > 0;) {
    received.append(buffer, static_cast<size_t>(got));
  }
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  if (terminal >= 0) close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << "status " << status;
  return received;
}

TEST(ProgressLine, OnATerminalOnly) {
  ScratchDir scratch;
  const Fixture f = MakeFixture(scratch.path, true, 600000);  // LMR files of 2.4 MB
  const std::string home = scratch.path + "/BBS", outPath = scratch.path + "/out.txt";
  // The second pass reads only a file whose stamp moved: one is written during the scan.
  std::vector<std::string> env = ShimEnvironment(
      {"func=fdopen pathend=/WORK/QVUSERS.DAT nth=2 do=action act=sneak,MESSAGE/QVMSG1.LMR,0"},
      scratch.path + "/shim.log");
  env.push_back("QVF_SLOW=15000");  // the hashing passes take seconds

  CopyTree(f.pristine, home);
  const RunResult redirected = RunProgram(home, {"/DRYRUN"}, env);
  EXPECT_EQ(redirected.exitCode, 2) << redirected.out;
  EXPECT_EQ(redirected.err, "");

  RemoveTree(home);
  CopyTree(f.pristine, home);
  const std::string terminal = RunOnTerminal(home, env, outPath);
  EXPECT_EQ(NormaliseClock(ReadFile(outPath)), NormaliseClock(redirected.out));
  EXPECT_EQ(NormaliseClock(ReadFile(home + "/" + kReportName)), NormaliseClock(redirected.report));

  // Every draw starts at the line's beginning; each phase shown ends erased.
  static const std::regex kDraw(R"(\r(Hashing|Scanning|Verifying): [0-9]+\.[0-9] of [0-9]+\.[0-9] MiB \([0-9]+\.[0-9] MiB/s\) *)");
  static const std::regex kErase(R"(\r +\r)");
  const std::string erased = std::regex_replace(terminal, kErase, "<erased>");
  const std::string drawn = std::regex_replace(erased, kDraw, "<$1>");
  std::string phases = std::regex_replace(drawn, std::regex(R"((<(Hashing|Scanning|Verifying)>)+)"), "$2 ");
  // The scan of these few users draws its line only on a machine slow enough at that moment.
  phases = std::regex_replace(phases, std::regex("Scanning <erased>"), "");
  EXPECT_EQ(phases, "Hashing <erased>Verifying <erased>") << terminal;
}

// An interrupt while the files are hashed stops the hashing between blocks rather than at the
// file's end: a closing console on Windows gives the clean-up only seconds. Rule 2 fires on the
// eighth read of the same file after the interrupt, which a file of 73 more blocks would reach.
TEST(ProgressLine, InterruptStopsReadingBetweenBlocks) {
  ScratchDir scratch;
  const Fixture f = MakeFixture(scratch.path, true, 600000);
  const std::string home = scratch.path + "/BBS", log = scratch.path + "/shim.log";
  CopyTree(f.pristine, home);
  const RunResult run = RunProgram(home, {"/DRYRUN"}, ShimEnvironment(
      {"func=fread pathend=/MESSAGE/QVMSG1.LMR nth=2 do=interrupt",
       "func=fread pathend=/MESSAGE/QVMSG1.LMR after=1 nth=8"}, log));
  EXPECT_EQ(run.signal, SIGINT) << run.out;
  EXPECT_NE(ReadFile(log).find("fired rule=1 "), std::string::npos);
  EXPECT_EQ(ReadFile(log).find("fired rule=2 "), std::string::npos) << ReadFile(log);
}

}  // namespace
