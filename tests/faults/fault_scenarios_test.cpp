// One row per injected fault, from rows/*.txt: the report from the failing step on, the summary,
// the database and CheckRun's invariants.
#include <unistd.h>

#include <regex>

#include "fault_support.h"

namespace {

// A row of rows/*.txt: what each field means is written there.
struct Row {
  std::string name{};
  std::vector<std::string> rules{};
  std::string tail{};
  bool log = true, dryRun = false;
  std::string free{};
  bool edited = false;
  int exitCode = 2;
  std::string errors = "1", backup = "named";
  bool committed = false;
  std::vector<std::string> packed{}, kept{};
  std::string state{};  // how "Database state:" begins, where the row says
};

void Check(const Row& row) {
  SCOPED_TRACE(row.name);
  ScratchDir scratch;
  const Fixture f = MakeFixture(scratch.path, row.log);
  const std::string home = scratch.path + "/BBS", log = scratch.path + "/shim.log";
  CopyTree(f.pristine, home);
  // As on a board, the live files' change times are older than the clock's last tick when the
  // run reads them: their stamps are settled, and the commit judges the replaced files by them.
  ::usleep(120 * 1000);
  std::vector<std::string> env = ShimEnvironment(row.rules, log), args;
  if (!row.free.empty()) env.push_back("QVF_FREE=" + home + "/" + row.free);
  if (row.dryRun) args.push_back("/DRYRUN");
  const Outcome o{.home = home, .result = RunProgram(home, args, env),
                  .before = row.edited ? Edited(f.before, row.rules) : f.before,
                  .packed = row.edited ? Edited(f.packed, row.rules) : f.packed,
                  .injected = row.exitCode == 99 ? "crash" : row.exitCode < 0 ? "interrupt" : "",
                  .dryRun = row.dryRun};
  const std::string shimLog = ReadFile(log);
  for (size_t i = 1; i <= row.rules.size(); ++i) {
    EXPECT_TRUE(Contains(shimLog, "fired rule=" + std::to_string(i) + " ")) << i;
  }
  EXPECT_FALSE(Contains(shimLog, " failed\n")) << "a test action failed";
  for (const std::string& rule : row.rules) {  // a lock another tool made ("OTHER") stays
    if (Contains(rule, "QVLINK.BSY,0,4F54484552")) {
      EXPECT_EQ(ReadFile(home + "/MESSAGE/QVLINK.BSY"), "OTHER");
    }
  }
  for (const std::string& violation : CheckRun(f, o)) ADD_FAILURE() << violation;
  FileMap expected = row.committed ? o.packed : o.before;
  for (const std::string& rel : row.packed) expected[rel] = f.packed.at(rel);
  const FileMap left = ReadTree(home);
  EXPECT_EQ(DiffDatabase(expected, left), "");
  // A backup an interrupt cut short is never offered or taken as a restorable one.
  for (const std::string& name : ListDirectory(home + "/QVCULLDB-BACKUPS")) {
    if (row.exitCode >= 0 || row.committed) break;
    const std::string listed = RunRestoreProgram(home, {"/LIST"}).out;
    EXPECT_TRUE(Contains(listed, name + "     ") && Contains(listed, "  INCOMPLETE: ")) << listed;
    for (const std::string action : {"/CHECK=", "/RESTORE="}) {
      EXPECT_EQ(RunRestoreProgram(home, {action + "QVCULLDB-BACKUPS/" + name}).exitCode, 2);
    }
    EXPECT_EQ(DiffDatabase(expected, ReadTree(home)), "");
    const std::string next = RunProgram(home, {"/DRYRUN"}).out;  // the next run names it
    EXPECT_TRUE(Contains(next, "Leftovers:           " + home + "/QVCULLDB-BACKUPS/" + name + " (") &&
                Contains(next, " - an incomplete backup of an earlier run"))
        << next;
  }
  const std::string& report = o.result.report;
  const std::string backup = LineAfter(report, "Backup directory:   ");
  const std::string masked = std::regex_replace(
      Masked(Masked(report, backup, "<backup>"), home, "<home>"), std::regex("pid \\d+"), "pid N");
  // What another process wrote during the commit is kept beside the backup.
  for (const std::string& rel : row.kept) {
    const std::string kept = ReadFile(backup + "/" + rel + ".CHANGED-DURING-COMMIT");
    EXPECT_EQ(kept, Edited(f.before, row.rules).at(rel));
  }
  // A live file another program changed during a run that wrote none is never called unchanged.
  const std::string state = SummaryValue(report, "Database state:");
  if (!row.state.empty()) {
    EXPECT_EQ(state.substr(0, row.state.size()), row.state);
  }
  EXPECT_FALSE(row.edited && !row.committed && row.packed.empty() &&
               DiffDatabase(f.before, left) != "" && state.rfind("UNCHANGED", 0) == 0)
      << state;
  // An interrupted run's report keeps what it did; a killed run's tail is the next preview's.
  if (row.exitCode < 0 || row.exitCode == 99) {
    std::remove((home + "/MESSAGE/QVLINK.BSY").c_str());
    const std::string text =
        row.exitCode < 0 ? masked : Masked(RunProgram(home, {"/DRYRUN"}).out, home, "<home>");
    EXPECT_TRUE(Contains(NormaliseClock(text), row.tail)) << text;
    return;
  }
  const std::string want = row.backup == "named" ? (row.exitCode ? "" : "YES - ") + backup : "NO";
  EXPECT_EQ(o.result.exitCode, row.exitCode);
  EXPECT_EQ(SummaryValue(report, "Errors:"), row.errors);
  EXPECT_EQ(row.dryRun ? want : SummaryValue(report, "Backup created:"), want);
  EXPECT_EQ(left.count("QVCULLDB-BACKUPS/"), !row.dryRun && row.backup != "NO");
  // The tail ends where the run's steps do: the candidate profile is the scan's, no step's.
  const size_t at = masked.find(row.tail.substr(0, row.tail.find('\n', 1)));
  const size_t end = std::min(masked.find(kProfileBanner, at), masked.find(kSummaryBanner, at));
  const std::string tail = at == masked.npos ? "<missing>" : masked.substr(at, end - at);
  EXPECT_EQ(row.tail.empty() ? "" : tail, row.tail);
}

// The rows of rows/NAME (the format is in rows/before_commit.txt).
std::vector<Row> ReadRows(const std::string& name) {
  std::istringstream in(ReadFile(std::string(QV_FAULT_ROWS) + "/" + name));
  std::vector<Row> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("@@ ", 0) == 0) rows.push_back({.name = line.substr(3)});
    if (rows.empty() || line.rfind("@@ ", 0) == 0) continue;
    Row& row = rows.back();
    const bool header = row.tail.empty();
    if (header && line.rfind("rule: ", 0) == 0) row.rules.push_back(line.substr(6));
    if (header && line.rfind("state: ", 0) == 0) row.state = line.substr(7);
    if (header && (line.rfind("rule: ", 0) == 0 || line.rfind("state: ", 0) == 0 ||
                   line.rfind("# ", 0) == 0)) {
      continue;
    }
    if (!header || line.rfind("set: ", 0) != 0) {
      row.tail += line + "\n";
      continue;
    }
    std::istringstream words(line.substr(5));
    for (std::string word; words >> word;) {
      const std::string key = word.substr(0, word.find('=')), value = LineAfter(word, key + "=");
      if (key == "log") row.log = value == "1";
      if (key == "dryRun") row.dryRun = value == "1";
      if (key == "free") row.free = value;
      if (key == "edited") row.edited = value == "1";
      if (key == "exit") row.exitCode = std::stoi(value);
      if (key == "errors") row.errors = value;
      if (key == "backup") row.backup = value;
      if (key == "committed") row.committed = value == "1";
      if (key == "packed") row.packed.push_back(value);
      if (key == "kept") row.kept.push_back(value);
    }
  }
  EXPECT_GE(rows.size(), 10u) << name;
  return rows;
}

// Stops before the commit, commit failures rolled back, an interrupted lock and broken listings.
class FaultScenarios : public testing::TestWithParam<const char*> {};
TEST_P(FaultScenarios, Rows) {
  for (const Row& row : ReadRows(GetParam())) Check(row);
}
INSTANTIATE_TEST_SUITE_P(Rows, FaultScenarios, testing::Values("before_commit.txt", "rollback.txt",
                                                                "lock_and_listing.txt"));

}  // namespace
