// Table-driven end-to-end scenarios: a sample BBS, steps that change it, a
// command line, and what the run must print and leave. expected/<name>.txt
// holds the transcript with placeholders (<HOME>, <AGE 400>, ...); README.md
// says what they stand for and how to regenerate and review the files.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "harness.h"

// One user of a small explicit sample. Its last call is ageDays before today
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

// What a run must leave besides its transcript.
enum class Outcome {
  kQuiet,       // no report, no byte of the tree changed
  kUnchanged,   // the report grew by what the console showed; nothing else changed
  kRolledBack,  // as kUnchanged, plus one complete backup
  kPacked,      // the database packed, the audit log extended, one complete backup
};

// One scenario while it runs; its steps may change any of it.
struct Run {
  std::string name;                   // the scenario's
  ScratchDir scratch;
  std::string home;                   // host path, default <scratch>/BBS
  SampleRecipe recipe;
  std::vector<FixtureUser> users;     // empty: the pack sample (see scenario.cpp)
  std::vector<uint32_t> purged;       // what a pack purges
  SamplePaths paths;                  // after the sample is written
  std::vector<std::string> args;
  std::map<std::string, std::string> vars;  // "<NAME>" -> text as printed
  std::string program;                // a copy of the program to run instead
};

struct ScenarioSteps {
  Outcome outcome = Outcome::kUnchanged;
  void (*prepare)(Run&) = nullptr;  // before the sample is written
  void (*damage)(Run&) = nullptr;   // after it is written, before the run
  void (*check)(Run&) = nullptr;    // after the run
  const char* transcript = nullptr; // a shared expected file instead of name
  std::vector<uint32_t> purged = {}; // kPacked of explicit users: the users purged
  bool nativeOnly = false;
  bool wineOnly = false;
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
