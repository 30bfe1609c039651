// Table-driven end-to-end scenarios: a sample BBS, a change to it, a command
// line, and what the run must print and leave. The expected transcript of
// scenario X is expected/X.txt; its placeholders stand for what varies from
// run to run and between native and Wine runs:
//   <PROGRAM> <SCRATCH> <HOME>  the program, the scratch directory and the
//                               BBS home as the program prints them; under
//                               Wine the '/' after them up to the next blank
//                               becomes '\'
//   <AGE n> / <AGE n YY>        a fixture user's last-call date n days before
//                               today, with a four- or two-digit year
//   others                      set by the scenario's own steps
// and clock readings are normalised as NormaliseClock says.
//
// QV_WRITE_EXPECTED=1 (natively) writes the expected files from the program
// instead of comparing them; review every changed line before committing.
#pragma once

#include <map>
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
  ScratchDir scratch;
  std::string home;                   // host path, default <scratch>/BBS
  SampleRecipe recipe;
  std::vector<FixtureUser> users;     // empty: the pack sample (see scenario.cpp)
  SamplePaths paths;                  // after the sample is written
  std::vector<std::string> args;
  std::map<std::string, std::string> vars;  // "<NAME>" -> text as printed
  std::string program;                // a copy of the program to run instead
};

struct ScenarioSteps {
  void (*prepare)(Run&) = nullptr;  // before the sample is written
  void (*damage)(Run&) = nullptr;   // after it is written, before the run
  void (*check)(Run&) = nullptr;    // after the run
  const char* transcript = nullptr; // a shared expected file instead of name
  bool nativeOnly = false;
  bool wineOnly = false;
};

struct Scenario {
  const char* name;
  std::vector<FixtureUser> users;  // empty: the pack sample
  std::vector<std::string> args;   // placeholders allowed
  int exitCode = 0;
  Outcome outcome = Outcome::kUnchanged;
  ScenarioSteps steps = {};
};

void RunScenario(const Scenario& scenario);
std::string ScenarioName(const Scenario& scenario);

// Small helpers for the scenarios' steps.
std::vector<FixtureUser> PlainUsers(unsigned count);
std::string DeepPath(const std::string& base, size_t length);
bool Truncate(const std::string& path, size_t size);
bool Append(const std::string& path, const std::string& extra);
