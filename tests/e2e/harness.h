// End-to-end harness: runs the packer as a separate process in a sample home directory.
// Environment: QV_PROGRAM (the program; default the qvculldb of this build), QV_RUNNER (a program
// to run it with, such as wine64, in a ready prefix: see tools/run-wine-e2e.sh; CR LF then becomes
// LF in the texts), QV_KEEP_SCRATCH, QV_RUN_TIMEOUT.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sample_bbs.h"

struct RunResult {
  bool started = false;   // the process could be created and run
  int exitCode = -1;      // -1 after a signal (SIGKILL past QV_RUN_TIMEOUT) or no start
  int signal = 0;         // terminating signal, 0 when it exited
  std::string out;
  std::string err;
  std::string report;     // what this run appended to QVCULLDB32_REPORT.TXT
};

constexpr const char* kReportName = "QVCULLDB32_REPORT.TXT";

// Runs the program in cwd, stdin from /dev/null; extraEnv holds "NAME=value"
// entries added to (or replacing in) the inherited environment.
RunResult RunProgram(const std::string& cwd, const std::vector<std::string>& args,
                     const std::vector<std::string>& extraEnv = {});

std::string ProgramPath();
bool UnderWine();
// A path as the program prints it: under Wine "Z:" and every '/' as '\'.
std::string HostPath(const std::string& posixPath);
char Sep();  // the separator the program inserts
std::string NormaliseLineEnds(const std::string& text);
// Replaces the run's clock readings ("YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD at
// HH:MM:SS", the scan's "date: YYYY-MM-DD", "QVCULLDB-YYYYMMDD-HHMMSS").
std::string NormaliseClock(const std::string& transcript);

// Removes a tree, first making its directories writable again.
void RemoveTree(const std::string& path);
// Where scratch trees go: TMPDIR when set, else natively /dev/shm when it is a tmpfs (the runs
// are bound by file calls, and the power-cut states come from the shim's log, not the disk), else
// /tmp.
std::string ScratchRoot();
// Where a scratch tree whose paths must be short goes: under Wine /tmp (Z:\tmp), where no
// backup can be kept; natively ScratchRoot().
std::string ShortScratchRoot();
// A fresh directory under ScratchRoot() (or root), removed with its tree unless QV_KEEP_SCRATCH.
struct ScratchDir {
  std::string path;
  ScratchDir();
  explicit ScratchDir(const std::string& root);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
};

// Every entry of a tree by path relative to root: a file maps to its bytes
// (past 1 GiB, to its size and time), a directory ("name/") to "dir", a link to its target.
std::map<std::string, std::string> ReadTree(const std::string& root);
std::string DiffTrees(const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after);
std::vector<std::string> ListDirectory(const std::string& dir);  // sorted, no "." or ".."
std::string ReadFile(const std::string& path);  // "" when unreadable

// The rest of the line after the last "prefix" in text, or "".
inline std::string LineAfter(const std::string& text, const std::string& prefix) {
  const size_t at = text.rfind(prefix), from = at + prefix.size();
  return at == text.npos ? "" : text.substr(from, text.find('\n', at) - from);
}
inline std::string Masked(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = from.empty() ? text.npos : text.find(from); at != text.npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}
