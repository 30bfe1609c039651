// End-to-end harness: runs the packer as a separate process in a sample home
// directory and gives tests its exit code, console output and the part of the
// run report that the run appended. Environment: QV_PROGRAM (the program;
// default the qvculldb of this build), QV_RUNNER (a program to run it with,
// such as wine64, in a ready prefix: see tools/run-wine-e2e.sh; CR LF then
// becomes LF in the texts), QV_KEEP_SCRATCH, QV_RUN_TIMEOUT.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sample_bbs.h"

struct RunResult {
  bool started = false;   // the process could be created and run
  int exitCode = -1;      // -1 when it ended by a signal or did not start
  int signal = 0;         // terminating signal, 0 when it exited
  bool timedOut = false;  // killed after QV_RUN_TIMEOUT
  std::string out;        // standard output
  std::string err;        // standard error
  std::string report;     // what this run appended to QVCULLDB32_REPORT.TXT
};

constexpr const char* kReportName = "QVCULLDB32_REPORT.TXT";

// Runs the program in cwd with args (not including the program name), stdin
// from /dev/null. extraEnv holds "NAME=value" entries added to (or replacing
// in) the inherited environment, e.g. an LD_PRELOAD fault shim.
RunResult RunProgram(const std::string& cwd, const std::vector<std::string>& args,
                     const std::vector<std::string>& extraEnv = {});

std::string ProgramPath();
bool UnderWine();
// A path as the program prints it: unchanged natively; under Wine "Z:" and the
// path with '/' replaced by '\'.
std::string HostPath(const std::string& posixPath);
// The separator the program inserts: '/' natively, '\' under Wine.
char Sep();
std::string NormaliseLineEnds(const std::string& text);

// Replaces the run's clock readings with fixed placeholders so that whole
// transcripts can be compared:
//   "YYYY-MM-DD HH:MM:SS"    any date-time stamp such as the "Started:" line
//   "YYYY-MM-DD at HH:MM:SS" the audit log's "packed on ... at ..."
//   "YYYY-MM-DD"             the "Pack date:" / "Preview date:" value
//   "QVCULLDB-YYYYMMDD-HHMMSS" the backup directory name (a "-001" style
//                            suffix is kept)
std::string NormaliseClock(const std::string& transcript);

// Removes a tree, first making its directories writable again.
void RemoveTree(const std::string& path);
// A fresh directory under /tmp, removed with its tree unless QV_KEEP_SCRATCH.
struct ScratchDir {
  std::string path;
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
};

uint64_t Fnv1a64(const std::string& bytes);
// "<size>:<FNV-1a hex>" of a file's bytes, as HashTree shows a file.
std::string HashEntry(const std::string& bytes);
// Every entry of a tree by path relative to root: a file maps to its
// HashEntry, a directory (path ending in '/') to "dir". Two equal maps mean no
// byte, name or directory of the tree changed.
std::map<std::string, std::string> HashTree(const std::string& root);
// "changed X", "added Y", "removed Z" lines; empty when both are equal.
std::string DiffTrees(const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after);
// Names in one directory (not "." and ".."), sorted.
std::vector<std::string> ListDirectory(const std::string& dir);
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
