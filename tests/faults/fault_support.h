// Support for the fault tests: runs the packer under the fault shim
// (fault_shim.c) on copies of a generated sample, and checks what a run left
// behind against the invariants every outcome must keep.
//
// Environment: QV_FAULT_SHIM, the shim (default: qv_fault_shim.so beside the
// test program), besides the harness's own variables; QV_PROGRAM defaults to the
// qvculldb of the build directory.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

// Database files by path relative to the home directory; an absent file has no
// entry. QVPURGED.USR is kept with its clock readings normalised.
using FileMap = std::map<std::string, std::string>;

// The files a pack may touch (and QVNODE.DAT and QVWHOSON.DAT, which it must not).
// The fault tests' write-run sample: 40 users, of which 3, 7, 12, 19, 25, 31, 36
// and 40 are purged and #1 is Deleted but protected; three LMR files; an old
// audit log when asked.
SampleRecipe PackFixtureRecipe(bool purgedLog, uint32_t seed);

std::vector<std::string> DatabaseFiles(const SampleRecipe& recipe);
FileMap ReadDatabase(const std::string& home, const std::vector<std::string>& files);
// "changed X" / "appeared X" / "vanished X" lines; empty when equal.
std::string DiffDatabase(const FileMap& expected, const FileMap& actual);

bool CopyTree(const std::string& from, const std::string& to);

// A generated sample kept pristine, and what the database is before a write run
// and after an un-injected one.
struct FaultFixture {
  std::string label;
  SampleRecipe recipe;
  std::vector<std::string> args;   // the program's command line
  std::string pristine;            // the generated home directory, never run on
  std::vector<std::string> files;  // DatabaseFiles(recipe)
  FileMap before;
  FileMap packed;
  std::vector<uint32_t> purged;    // user numbers a pack removes
};
// Generates the sample beneath dir, makes a reference run on a copy and checks
// the packed files against the sample library's own expectation.
bool PrepareFixture(const std::string& dir, const std::string& label, const SampleRecipe& recipe,
                    const std::vector<std::string>& args, FaultFixture* fixture,
                    std::string* error);

std::string ShimPath();

// Lets SIGINT end the programs this process starts, as it would from an
// operator's shell: a disposition of "ignore" and a blocked mask are inherited.
void AllowInterruptsInChildren();

// The environment for one run: the shim, fast fsync, the log and counts files
// (empty: none) and the rules (QVF_RULE1, QVF_RULE2, ...), plus extra entries.
std::vector<std::string> ShimEnvironment(const std::vector<std::string>& rules,
                                         const std::string& logPath,
                                         const std::string& countsPath,
                                         const std::vector<std::string>& extra = {});

// One call site of the counts file.
struct SiteCount {
  std::string function;
  std::string site;     // "0x..." offset in the program
  uint64_t total = 0;
  uint64_t before = 0;  // calls made before the first rule fired
};
std::vector<SiteCount> ReadCounts(const std::string& path);

// One "fired" line of the shim's log.
struct FiredCall {
  int rule = 0;
  std::string function;
  std::string site;
  uint64_t nth = 0;
  std::string path;
  std::string path2;
};
std::vector<FiredCall> ReadFired(const std::string& logPath);
// "action KIND PATH failed" lines of the log.
std::vector<std::string> FailedActions(const std::string& logPath);

// "function site (file:line in Function)" for a report; addr2line when present.
std::string DescribeSite(const std::string& function, const std::string& site);

enum class InjectionKind { Fail, Crash, Interrupt };
const char* KindName(InjectionKind kind);

// What a run left behind and what is known about the injection that ran.
struct RunEvidence {
  std::string home;
  RunResult result;
  InjectionKind kind = InjectionKind::Fail;
  bool injected = false;        // the shim fired the injection
  FiredCall injection;          // when injected
  FileMap changedByTest;        // files as a test action left them (before and after)
};

struct Verdict {
  std::vector<std::string> violations;
  bool succeeded = false;       // exit 0 with the packed database
  bool rolledBack = false;      // a rollback ran
  bool silent = false;          // failed (exit 2) with an error count of 0
};

// Checks every invariant of a write run's outcome (see fault_sweep_test.cpp).
Verdict CheckWriteRun(const FaultFixture& fixture, const RunEvidence& evidence);
// The same for a dry run, whose complete preview (the purge preview section
// with the home directory replaced by "<home>", clock normalised) is preview.
Verdict CheckDryRun(const FaultFixture& fixture, const std::string& preview,
                    const RunEvidence& evidence);
// The purge preview section of a dry run's report, as CheckDryRun compares it.
std::string PreviewSection(const std::string& report, const std::string& home);

// Lines of text that contain needle.
bool Contains(const std::string& text, const std::string& needle);
// The summary's value after "label" up to the line end, or "" when absent.
std::string SummaryValue(const std::string& text, const std::string& label);
// The backup directory named by the run's "Backup created:" line, or "".
std::string BackupDirectoryOf(const std::string& text);
// Empty when the backup directory's MANIFEST.TXT lists every file that existed
// before the run with its size and FNV-1a hash, and each copy holds those bytes.
std::string CheckBackupRestoresBefore(const FaultFixture& fixture, const std::string& backupDir);
