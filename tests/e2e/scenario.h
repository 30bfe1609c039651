// Table-driven end-to-end scenarios: a sample BBS, steps that change it, a
// command line, and what the run must print and leave (see README.md).
#pragma once

#include <sys/types.h>

#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

// One user of a small explicit sample: its last call is ageDays before today
// unless literal gives the TimeDate text.
struct FixtureUser {
  std::string name;
  int16_t security = 10;
  uint8_t allowPurge = 0;
  uint8_t deleted = 0;
  int ageDays = 10;
  bool fourDigitYear = true;
  const char* literal = nullptr;
};

// What a run must leave besides its transcript (README.md says how each is checked).
enum class Outcome { kQuiet, kUnchanged, kRolledBack, kPacked, kRestored };

// One scenario while it runs; its steps may change any of it.
struct Run {
  explicit Run(const std::string& scratchRoot) : scratch(scratchRoot) {}
  std::string name;
  ScratchDir scratch;
  std::string home;                   // default <scratch>/BBS
  SampleRecipe recipe;
  std::vector<FixtureUser> users;     // empty: the pack sample (see scenario.cpp)
  std::vector<uint32_t> purged;       // what a pack purges
  SamplePaths paths;                  // after the sample is written
  std::vector<std::string> args;
  std::map<std::string, std::string> vars;  // "<NAME>" -> text as printed
  std::string program;                // the program to run
};

struct ScenarioSteps {
  Outcome outcome = Outcome::kUnchanged;
  void (*prepare)(Run&) = nullptr;  // before the sample is written
  void (*damage)(Run&) = nullptr;   // after it is written, before the run
  void (*check)(Run&) = nullptr;    // after the run
  const char* transcript = nullptr; // a shared expected file instead of name
  std::vector<uint32_t> purged = {}; // kPacked of explicit users: the users purged
  // Files (from the home) cut or grown sparse to a size before the damage step.
  std::vector<std::pair<const char*, off_t>> sizes = {};
  bool nativeOnly = false;
  bool wineOnly = false;
  bool shortScratch = false;  // paths that fit a QVNODE.DAT field under Wine (ShortScratchRoot)
  int timeout = 0;  // seconds for a run that might hang (QV_RUN_TIMEOUT otherwise)
};

struct Scenario {
  const char* name;
  std::vector<FixtureUser> users;  // empty: the pack sample
  std::vector<std::string> args;   // placeholders allowed
  int exitCode = 0;
  ScenarioSteps steps = {};
};

void RunScenario(const Scenario& scenario);
inline void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
