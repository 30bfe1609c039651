// The programs end to end on sample BBS trees, one table row per scenario:
// the command line, previews, the run driver's checks, write runs, their
// backups and restores. Expected transcripts are in expected/<name>.txt (see scenario.h).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/xattr.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "scenario.h"

namespace {

using O = Outcome;

std::vector<FixtureUser> PlainUsers(unsigned count) {
  std::vector<FixtureUser> users;
  for (unsigned n = 1; n <= count; ++n) users.push_back({"PLAIN USER " + std::to_string(n), 10, 1});
  return users;
}

// base and nested names of up to 200 characters, length characters in all.
std::string DeepPath(std::string path, size_t length) {
  while (path.size() + 1 < length) {
    path += '/';  // appended in two steps: GCC 12 at -O3 misjudges the bounds of "/" + ...
    path.append(std::min<size_t>(200, length - path.size()), 'd');
  }
  return path;
}

//    name            sec allow del age  4-digit year
const std::vector<FixtureUser> kSelection = {
    {"SYSOP", 100, 0, 0, 10},         {"ALICE ADAMS", 10, 1, 0, 400},
    {"BOB BAKER", 10, 1, 0, 5, false}, {"CAROL CLARK", 20, 1, 1, 500},
    {"DAVE DAVIS", 10, 0, 1, 3},      {"ERIN EVANS", 10, 1, 1, 600, false},
    {"FRANK FOX", 20, 1, 0, 700, false}, {"GRACE GREEN", 10, 0, 0, 800},
    {"IVAN IRWIN", 10, 1, 1, 30}};  // exactly /OLD=30 days old
const std::vector<FixtureUser> kNobody = {
    {"SYSOP", 100, 1, 0, 900}, {"YOUNG USER", 10, 1, 0, 30}, {"OTHER LEVEL", 20, 1, 0, 900, false}};
const std::vector<FixtureUser> kProtectedOnly = {{"SYSOP", 10, 1, 1, 500},
                                                 {"KEPT USER", 20, 1, 0, 5}};
// #2 and #3 get overlong length bytes (name 40, date 20) before the run.
const std::vector<FixtureUser> kDamaged = {
    {"SYSOP", 100, 0, 0, 10},        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", 20, 0, 0, 10},
    {"LONG DATE", 20, 1, 0, 400},    {"BAD DATE", 20, 1, 3, 0, true, "garbage"},
    {"ODD FLAG", 10, 7, 0, 5},       {"FUTURE", 20, 1, 0, -30},
    {"NO DATE", 20, 1, 0, 0, true, ""}, {"FEB THIRTY", 20, 1, 0, 0, true, "02/30/2020"}};
// Under /SEC=10 /OLD=365 every reason group, several levels and every age band hold a
// known count (the band edges 364/365, 729/730, 1824/1825 among them); sixteen candidates,
// so the top ten is cut, with ties at 100, 30 and 20 and the co-sysop first. The protected
// #1 and the users AllowPurge keeps (#15, #16) are no candidates.
const std::vector<FixtureUser> kProfile = {
    {"SYSOP", 255, 0, 1, 1},          {"CO SYSOP", 250, 1, 0, 800},
    {"SEC ONLY", 10, 1, 0, 5},        {"DEL ONLY", 20, 1, 1, 100},
    {"DEL SEC", 10, 1, 1, 50},        {"DEL OLD", 30, 1, 1, 400},
    {"SEC OLD", 10, 1, 0, 2000},      {"DEL SEC 364", 10, 1, 1, 364},
    {"ALL THREE 365", 10, 1, 1, 365}, {"OLD 729", 20, 1, 0, 729},
    {"OLD 730", 20, 1, 0, 730},       {"OLD 1824", 30, 1, 0, 1824},
    {"OLD 1825", 40, 1, 0, 1825},     {"DEL BAD DATE", 100, 0, 1, 0, true, "garbage"},
    {"KEPT SEC OLD", 10, 0, 0, 900},  {"KEPT OLD", 20, 0, 0, 1000},
    {"NOT MATCHED", 5, 1, 0, 10},     {"DEL SEC FUTURE", 10, 1, 1, -30},
    {"DEL OLD 3000", 100, 1, 1, 3000}, {"NEGATIVE", -5, 1, 1, 20}};
const std::vector<FixtureUser> kPlain1 = PlainUsers(1), kPlain2 = PlainUsers(2),
                               kPlain3 = PlainUsers(3), kPack = {};  // kPack: the pack sample

void DamageFields(Run& r) {
  ASSERT_TRUE(SetLengthByte(r.paths.work, 2, kUserNameOffset, 40));
  ASSERT_TRUE(SetTimeDate(r.paths.work, 3, r.vars["<AGE 400>"] + " old"));
  ASSERT_TRUE(SetLengthByte(r.paths.work, 3, kTimeDateOffset, 20));
}

std::string Whoson(const Run& r) { return CallerFilePath(r.paths.work); }
const char* const kDat = "WORK/QVUSERS.DAT";
const char* const kPtr = "WORK/QVUSERS.PTR";
const char* const kWhoson = "WORK/QVWHOSON.DAT";
const char* const kLmr1 = "MESSAGE/QVMSG1.LMR";

// ---- The command line: nothing is written, not even the report ----------------

const Scenario kCommandLine[] = {
    {"rejected_switch", kPlain2, {"/HELP", "/FOO"}, 3, {.outcome = O::kQuiet}},
    {"help", kPlain2, {"/?"}, 0, {.outcome = O::kQuiet}},
    {"version", kPlain2, {"/VERSION"}, 0, {.outcome = O::kQuiet}},
    // Arguments past the 63rd (the program name included) are never looked at.
    {"sixty_third_switch_is_ignored", kPlain2, {}, 0,
     {.outcome = O::kQuiet,
      .prepare = [](Run& r) { r.args.assign(62, "/VERSION"), r.args.push_back("/FOO"); },
      .transcript = "version"}},
    // The argument text holds 4096 bytes with one NUL per argument, the program
    // name included: one byte more is refused, naming the argument and the limit.
    {"argument_text_one_byte_over", kPlain2, {}, 3, {.outcome = O::kQuiet,
     .prepare = [](Run& r) {
       const size_t used = HostPath(r.program).size() + 1 + std::string("/VERSION").size() + 1;
       r.args = {"/VERSION", std::string(4096 - used, '7')};
     }}},
    // Windows itself starts no program with a command line over 32,767 characters.
    {"argument_text_sec_digits", kPlain2, {}, 3, {.outcome = O::kQuiet,
     .prepare = [](Run& r) { r.args = {"/DRYRUN", "/SEC=" + std::string(100000, '7')}; },
     .nativeOnly = true}},
    {"argument_text_long_backup", kPlain2, {}, 3, {.outcome = O::kQuiet,
     .prepare = [](Run& r) { r.args = {"/BACKUP=" + std::string(5000, 'b'), "/DEL"}; }}},
};

// ---- Previews: selection, warnings, structural validation ---------------------

const Scenario kPreview[] = {
    {"dry_deleted_only", kSelection, {"/DRYRUN"}, 1},
    {"dry_del", kSelection, {"-Del", "-DRYRUN"}, 1},
    {"dry_sec", kSelection, {"/DRYRUN", "/sec=0010"}, 1},
    {"dry_old", kSelection, {"/OLD=365", "/DRYRUN"}, 1},
    {"dry_sec_or_old", kSelection, {"/SEC=10", "-old=365", "/DryRun"}, 1},
    {"dry_sec_and_old", kSelection, {"/DRYRUN", "/OLD=365", "-And", "/SEC=10"}, 1},
    {"dry_highest_values", kSelection, {"-dryrun", "-SEC=32767", "/old=65535"}, 1},
    {"dry_lowest_values", kSelection, {"/SEC=0", "/OLD=00030", "/dRyRuN"}, 1},
    {"dry_candidate_profile", kProfile, {"/DRYRUN", "/SEC=10", "/OLD=365"}, 1},
    {"dry_nobody_matches", kNobody, {"/DRYRUN", "/SEC=10", "/OLD=60", "/AND"}, 0},
    {"dry_protected_user_only", kProtectedOnly, {"/DRYRUN", "/OLD=400"}, 1},
    {"dry_damaged_fields_old", kDamaged, {"/DRYRUN", "/SEC=10", "/OLD=365"}, 1,
     {.damage = DamageFields}},
    {"dry_damaged_fields_sec", kDamaged, {"/SEC=10", "/DRYRUN"}, 1, {.damage = DamageFields}},
    {"dat_one_byte_long", kPlain2, {"/DRYRUN"}, 2, {.sizes = {{kDat, 631}}}},
    {"dat_without_a_record", kPlain1, {"/DRYRUN", "/DEL"}, 2,
     {.sizes = {{kDat, 200}, {kPtr, 0}}}},
    {"ptr_short_and_misaligned", kPlain3, {"/DRYRUN"}, 2, {.sizes = {{kPtr, 67}}}},
    // QVMSG10.LMR, larger than standard, is listed in name order before QVMSG2.LMR.
    {"lmr_misaligned_and_short", kPlain3, {"/DRYRUN"}, 2,
     {.prepare = [](Run& r) { r.recipe.conferences = 3; }, .damage = [](Run& r) {
        ASSERT_TRUE(WriteWholeFile(LmrFilePath(r.paths.message, 10), std::string(40000, '\1')));
      }, .sizes = {{"MESSAGE/QVMSG2.LMR", 39997}, {"MESSAGE/QVMSG3.LMR", 8}}}},
    {"no_lmr_files", kPlain2, {"/DRYRUN"}, 0,
     {.prepare = [](Run& r) { r.recipe.conferences = 0; }}},
};

// ---- The run driver: home, QVNODE.DAT, lock, callers, report -----------------

// A lock written 90 minutes ago: by another tool, or by this program on this host, from a
// process that no longer runs (with the marker of its cut-short commit beside it).
void WriteOldLock(Run& r, const std::string& content) {
  const std::string lock = r.paths.message + "/QVLINK.BSY";
  ASSERT_TRUE(WriteWholeFile(lock, content));
  const struct timeval written[2] = {{time(nullptr) - 5410, 0}, {time(nullptr) - 5410, 0}};
  ASSERT_EQ(::utimes(lock.c_str(), written), 0);
}
void LockOfAnotherTool(Run& r) { WriteOldLock(r, "QVLink32 maintenance\r\n"); }
std::string ThisHost() {
  char host[256] = "";
  EXPECT_EQ(::gethostname(host, sizeof host - 1), 0);
  std::string name = host;  // Windows knows the host by its first 15 characters before a '.'
  if (UnderWine()) name = name.substr(0, std::min<size_t>(15, name.find('.')));
  return name;
}
// The line a lock and a commit marker name their run with; by default a run that has ended.
std::string RunRecordLine(const std::string& pid = "99999996",
                          const std::string& since = "2026-03-01 10:00:00") {
  return "Held by process " + pid + " on host " + ThisHost() + " since " + since + "\r\n";
}
void LockOfThisProgram(Run& r, const std::string& record) {
  WriteOldLock(r, "QVCULLDB32 0.4.0-beta1\r\nShared Quorvex maintenance lock\r\n" + record);
}
void StaleLockAndMarker(Run& r) {
  LockOfThisProgram(r, RunRecordLine());
  ASSERT_TRUE(WriteWholeFile(r.paths.work + "/QVCOMMIT.MRK", "not read\r\n"));
}
std::string LocalNow() {
  const time_t now = time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  return text;
}
// A process started now that runs until the row's check ends it (EndHolder).
std::string StartLiveProcess(Run& r) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::sleep(60);
    ::_exit(0);
  }
  r.vars["<HOLDER PID>"] = r.vars["<LOCK PID>"] = std::to_string(child);
  return std::to_string(child);
}
void EndHolder(Run& r);
void RunInOwnPidNamespace(Run& r);

void EarlierReportAndLegacyCom(Run& r) {
  ASSERT_TRUE(WriteWholeFile(r.home + "/" + kReportName, "EARLIER RUN\n"));
  ASSERT_TRUE(WriteWholeFile(r.home + "/QVCULLDB.COM", std::string("\xB4\x09\xCD\x21", 4)));
}

const Scenario kDriver[] = {
    {"home_without_room_for_report", kPlain2, {"/DRYRUN"}, 2,
     {.outcome = O::kQuiet, .prepare = [](Run& r) { r.home = DeepPath(r.scratch.path, 1002); },
      .nativeOnly = true}},
    {"home_of_longest_report_path", kPlain2, {"/DRYRUN"}, 0,
     {.prepare = [](Run& r) { r.home = DeepPath(r.scratch.path, 1001); }, .nativeOnly = true}},
    {"work_without_room_for_files", kPlain2, {"/DRYRUN"}, 2, {.prepare = [](Run& r) {
       r.home = DeepPath(r.scratch.path, 990);
       r.recipe.workField = "USERBASE-WORK-DIRECTORY-0028";
     }, .nativeOnly = true}},
    {"report_is_a_directory", kPlain2, {"/DRYRUN"}, 2, {.outcome = O::kQuiet, .damage = [](Run& r) {
       ASSERT_TRUE(MakeDirectories(r.home + "/" + kReportName));
     }}},
    // Never appended through a link: its target is not created.
    {"report_is_a_link", kPlain2, {"/DRYRUN"}, 2, {.outcome = O::kQuiet, .damage = [](Run& r) {
       ASSERT_EQ(::symlink((r.scratch.path + "/ELSEWHERE").c_str(),
                           (r.home + "/" + kReportName).c_str()), 0);
     }, .nativeOnly = true}},
    {"node_file_missing", kPlain2, {"/DRYRUN"}, 2,
     {.prepare = [](Run& r) { r.home = DeepPath(r.scratch.path, 200); }, .damage = [](Run& r) {
        ASSERT_EQ(std::remove((r.home + "/QVNODE.DAT").c_str()), 0);
        r.vars["<NODE FILE CUT TO 180>"] = HostPath(r.home + "/QVNODE.DAT").substr(0, 180);
      }}},
    {"node_file_is_a_fifo", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       ASSERT_EQ(std::remove((r.home + "/QVNODE.DAT").c_str()), 0);
       ASSERT_EQ(::mkfifo((r.home + "/QVNODE.DAT").c_str(), 0600), 0);
     }, .nativeOnly = true, .timeout = 30}},
    {"node_file_133_bytes", kPlain2, {"/DRYRUN"}, 2,
     {.prepare = [](Run& r) { r.recipe.nodeFileSize = 133; }}},
    {"node_file_134_bytes", kPlain2, {"/DRYRUN"}, 0,
     {.prepare = [](Run& r) { r.recipe.nodeFileSize = 134; }}},
    {"node_fields_full_length", kPlain2, {"/DRYRUN"}, 0, {.prepare = [](Run& r) {
       r.recipe.workField = "USERBASE-WORK-DIRECTORY-0028";
       r.recipe.messageField = std::string("MSGS") + Sep();
     }}},
    {"node_fields_unset_by_length", kPlain2, {"/DRYRUN"}, 0, {.damage = [](Run& r) {
       ASSERT_TRUE(SetNodeField(r.home, kNodeWorkOffset, 29, "JUNK-THAT-MUST-BE-IGNORED"));
       ASSERT_TRUE(SetNodeField(r.home, kNodeMessageOffset, 0, "MORE-JUNK"));
     }}},
    {"node_fields_absolute_and_nested", kPlain2, {"/DRYRUN"}, 0, {.prepare = [](Run& r) {
       r.recipe.workField = HostPath(r.scratch.path + "/AW");
       r.recipe.messageField = std::string("DATA") + Sep() + "MSG";
     }, .shortScratch = true}},
    {"lock_held_dry_run", kPlain2, {"-DRYRUN"}, 2, {.damage = LockOfAnotherTool}},
    {"lock_held_write_run", kPlain2, {}, 2, {.damage = LockOfAnotherTool}},
    {"lock_stale_with_marker", kPlain2, {"/DRYRUN"}, 2, {.damage = StaleLockAndMarker}},
    // A process with the lock's id runs, but started after the lock was made: the id was
    // reused (after a reboot, in a container). These tests' own process is one.
    {"lock_stale_reused_id", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       r.vars["<LOCK PID>"] = std::to_string(::getpid());
       LockOfThisProgram(r, RunRecordLine(r.vars["<LOCK PID>"]));
     }, .nativeOnly = true}},
    // The lock names the checking run's own id (pid 1 in its own PID namespace, as in a
    // container; under Wine each program may get the id an ended one had): never counted.
    {"lock_stale_own_id", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       LockOfThisProgram(r, RunRecordLine("1", LocalNow()));
       RunInOwnPidNamespace(r);
     }, .nativeOnly = true}},
    // A run that goes on: its process has the id and started when the lock says.
    {"lock_active", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       LockOfThisProgram(r, RunRecordLine(StartLiveProcess(r), LocalNow()));
     }, .check = EndHolder, .nativeOnly = true}},
    // A holder line with a process 0 and a host name of a blank is not believed.
    {"lock_with_damaged_holder", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       WriteOldLock(r, "QVCULLDB32 0.4.0-beta1\r\n\r\nHeld by process 0 on host   since x\r\n");
     }}},
    {"lock_is_a_directory", kPlain2, {"/DRYRUN"}, 2,
     {.damage = [](Run& r) { ASSERT_TRUE(MakeDirectories(r.paths.message + "/QVLINK.BSY")); }}},
    {"lock_without_message_dir", kPlain2, {"/DRYRUN"}, 2,
     {.damage = [](Run& r) { RemoveTree(r.paths.message); }}},
    {"callers_file_missing", kPlain2, {"/DRYRUN"}, 2,
     {.damage = [](Run& r) { ASSERT_EQ(std::remove(Whoson(r).c_str()), 0); }}},
    {"callers_file_a_directory", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       ASSERT_EQ(std::remove(Whoson(r).c_str()), 0);
       ASSERT_TRUE(MakeDirectories(Whoson(r)));
     }, .transcript = "callers_file_missing"}},
    {"callers_file_1535_bytes", kPlain2, {"/DRYRUN"}, 2, {.sizes = {{kWhoson, 1535}}}},
    {"callers_file_1537_bytes", kPlain2, {"/DRYRUN"}, 2, {.sizes = {{kWhoson, 1537}}}},
    {"callers_on_line", kPlain2, {"/DRYRUN"}, 2,
     {.prepare = [](Run& r) { r.recipe.callers = {{7, 5, 0xFF}, {3, 12, 10}}; }}},
    {"caller_at_last_slot", kPlain2, {"/DRYRUN"}, 2,
     {.prepare = [](Run& r) { r.recipe.callers = {{255, 1, 0xab}}; }}},
    // Slot 0 is never looked at; a user number of 0 or below is no caller.
    {"callers_none_by_rule", kPlain2, {"/DRYRUN"}, 0, {.prepare = [](Run& r) {
       r.recipe.callers = {{0, 5, 1}, {1, -1, 2}, {2, -32768, 3}, {255, 0, 0xFF}};
     }}},
    {"report_appended_by_dry_run", kPlain3, {"/DRYRUN"}, 0, {.damage = EarlierReportAndLegacyCom}},
    {"report_appended_by_write_run", kPlain3, {"/DEL"}, 0, {.damage = EarlierReportAndLegacyCom}},
    // A wrapper removes the current directory before the program starts.
    {"current_directory_vanished", kPlain2, {"/DRYRUN"}, 2, {.outcome = O::kQuiet,
     .damage = [](Run& r) {
       const std::string real = r.program;
       r.program = r.scratch.path + "/vanish.sh";
       ASSERT_TRUE(WriteWholeFile(r.program, "#!/bin/sh\nmkdir gone && cd gone && rmdir ../gone"
                                             " && exec '" + real + "' \"$@\"\n"));
       ASSERT_EQ(::chmod(r.program.c_str(), 0755), 0);
     }, .nativeOnly = true}},
    // The header shows the program and the arguments as split, without quotes.
    {"header_without_quotes", kPlain2, {"/SEC=7", "/BACKUP=old backups", "/OLD=90"}, 0,
     {.damage = [](Run& r) {
        const std::string dir = r.scratch.path + "/old tools";
        std::string bytes;
        ASSERT_TRUE(MakeDirectories(dir) && ReadWholeFile(r.program, &bytes));
        r.program = dir + r.program.substr(r.program.rfind('/'));
        ASSERT_TRUE(WriteWholeFile(r.program, bytes) && ::chmod(r.program.c_str(), 0755) == 0);
      }}},
};

// ---- Write runs of the pack sample (/SEC=77) ----------------------------------

std::string Marker(const Run& r) { return r.paths.work + "/QVCOMMIT.MRK"; }

// The staged names of the files a pack replaces (one LMR file) and of the commit marker.
std::vector<std::string> StagedNames(const Run& r) {
  std::vector<std::string> names;
  for (const std::string& live : {UserFilePath(r.paths.work), PointerFilePath(r.paths.work),
                                  PurgedLogPath(r.paths.work), LmrFilePath(r.paths.message, 2),
                                  Marker(r)}) {
    names.push_back(live + ".QVCNEW");
  }
  return names;
}

// A backup's IDENTITY.TXT rewritten: another home, another time, another id.
void SetIdentity(const std::string& dir, const std::string& home, long long seconds, char id) {
  ASSERT_TRUE(WriteWholeFile(dir + "/IDENTITY.TXT",
                             "QVCULLDB32 BACKUP IDENTITY\r\nHOME " + home +
                                 "\r\nBEGUN 2000-01-01 00:00:00 UTC\r\nBEGUN-SECONDS " +
                                 std::to_string(seconds) + ".000000\r\nID " + std::string(32, id) +
                                 "\r\nEND\r\n"));
}
long long BegunSeconds(const std::string& dir) {
  const std::string text = ReadFile(dir + "/IDENTITY.TXT");
  return std::stoll(text.substr(text.find("BEGUN-SECONDS ") + 14));
}

void Stale(Run& r) {
  for (const std::string& staged : StagedNames(r)) {
    ASSERT_TRUE(WriteWholeFile(staged, "left by an earlier run"));
  }
}

// A link at every staged name, to a file outside the home or to nothing there.
void LinkStagedNames(Run& r, bool dangling) {
  const std::string target = r.scratch.path + "/OUTSIDE";
  if (!dangling) {
    ASSERT_TRUE(WriteWholeFile(target, "not the program's"));
  }
  int n = 0;
  for (const std::string& staged : StagedNames(r)) {
    const std::string to = target + (dangling ? std::to_string(++n) : "");
    ASSERT_EQ(::symlink(to.c_str(), staged.c_str()), 0);
  }
}

// A FIFO where a file is staged: refused as any entry that is neither a file nor a link.
void FifoAt(const std::string& staged) {
  ASSERT_EQ(::mkfifo(staged.c_str(), 0600), 0);
}

// A live file moved out of the home, a link to it in its place.
void LinkLiveFile(const Run& r, const std::string& live) {
  const std::string moved = r.scratch.path + "/MOVED";
  ASSERT_EQ(std::rename(live.c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(moved.c_str(), live.c_str()), 0);
}

// A second name for a live file, outside the home: it would keep the old bytes.
void SecondName(const Run& r, const std::string& live) {
  ASSERT_EQ(::link(live.c_str(), (r.scratch.path + "/SECOND").c_str()), 0);
}

// "<size> <FNV-1a 64 hash>" of a file as it is now, as a commit marker lists it.
std::string Listed(const std::string& path) {
  const std::string bytes = ReadFile(path);
  uint64_t hash = 0xCBF29CE484222325u;
  for (const unsigned char c : bytes) hash = (hash ^ c) * 0x100000001B3u;
  char text[48];
  std::snprintf(text, sizeof text, "%zu %016llX", bytes.size(), (unsigned long long)hash);
  return text;
}

// The commit marker of an earlier pack cut short: file lines of the pre-pack
// and packed files, then END; never a state either side has.
constexpr const char* kNeither = "1 0000000000000000";
std::string MarkerLine(const std::string& pre, const std::string& packed, const std::string& live) {
  return pre + " " + packed + " " + HostPath(live) + "\r\n";
}
void WriteMarker(const Run& r, const std::string& lines,
                 const std::string& backup = "/ROOT/QVCULLDB-20260301-120000",
                 const std::string& record = RunRecordLine()) {
  const std::string head = "QVCULLDB32 COMMIT MARKER\r\nbackup=" +
                           HostPath(r.scratch.path + backup) + "\r\n" + record;
  ASSERT_TRUE(WriteWholeFile(Marker(r), head + lines));
}

unsigned Mode(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// QVUSERS.DAT of the BBS's account, not the tests' (root): the audit log a root run creates is
// the BBS's too, as the files it replaces stay.
void UsersFileOfTheBbs(Run& r) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root gives a file to another account";
  ASSERT_EQ(::chown(UserFilePath(r.paths.work).c_str(), 4321, 4322), 0);
  ASSERT_EQ(::chmod(UserFilePath(r.paths.work).c_str(), 0640), 0);
}
void ExpectLogAsUsersFile(Run& r) {
  struct stat log = {};
  EXPECT_EQ(::stat(PurgedLogPath(r.paths.work).c_str(), &log), 0);
  EXPECT_EQ(log.st_uid, 4321u);
  EXPECT_EQ(log.st_gid, 4322u);
  EXPECT_EQ(Mode(PurgedLogPath(r.paths.work)), 0640u);
}

void ExpectModes(Run& r) {
  EXPECT_EQ(Mode(UserFilePath(r.paths.work)), 0640u);
  EXPECT_EQ(Mode(LmrFilePath(r.paths.message, 1)), 0604u);
  const std::string root = r.home + "/QVCULLDB-BACKUPS";
  EXPECT_EQ(Mode(root), 0700u);
  for (const auto& [rel, entry] : ReadTree(root)) {
    EXPECT_EQ(Mode(root + "/" + rel), entry == "dir" ? 0700u : 0600u) << rel;
  }
}

// Another process holds path open for ms milliseconds from now on: natively a child of the
// tests, under Wine QVHOLD.EXE beside the EXE (tests/windows/hold_open.cpp), which lets others
// read and write it, as a node does. kMapped: it maps the file and closes its descriptor (its
// handles), so that only the mapping holds it. A Wine start that fails now and then is tried again.
// The program as the tests were started with it: rows change QV_PROGRAM as they run.
const std::string kStartProgram = ProgramPath();
// kLocked: natively a flock besides the open, as a run holds the backup root's lock; under
// Wine the open alone, which lets others read and write it, not delete it, conflicts already.
enum class HoldHow { kOpen, kMapped, kLocked };
bool HoldNatively(const std::string& path, int ms, HoldHow how, int ready) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  if (how == HoldHow::kLocked && ::flock(fd, LOCK_EX) != 0) return false;
  if (how == HoldHow::kMapped) {
    struct stat st;
    if (::fstat(fd, &st) != 0 ||
        ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0) == MAP_FAILED) {
      return false;
    }
    ::close(fd);
  }
  if (::write(ready, "held\n", 5) != 5) return false;
  ::usleep(ms * 1000);
  return true;
}
void HoldOpen(Run& r, const std::string& path, int ms, HoldHow how = HoldHow::kOpen) {
  const std::string runner = UnderWine() ? std::getenv("QV_RUNNER") : "";
  const std::string holder = kStartProgram.substr(0, kStartProgram.rfind('/') + 1) + "QVHOLD.EXE";
  const std::string hostPath = HostPath(path), time = std::to_string(ms);
  const char* mode = how == HoldHow::kMapped ? "map" : "open";
  for (int attempt = 1; attempt <= 3; ++attempt) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      if (UnderWine()) {
        ::dup2(ready[1], 1);
        ::execl(runner.c_str(), runner.c_str(), holder.c_str(), hostPath.c_str(), time.c_str(),
                mode, nullptr);
      } else {
        HoldNatively(path, ms, how, ready[1]);
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    char held[6] = "";
    const bool opened = ::read(ready[0], held, 5) == 5;
    ::close(ready[0]);
    int status = 0;
    if (!opened) ::waitpid(child, &status, 0);
    EXPECT_TRUE(opened || attempt < 3) << "the holder did not open " << path << ": " << status;
    if (!opened) continue;
    r.vars["<HOLDER PID>"] = std::to_string(child);
    r.vars["<HOLDER>"] = UnderWine() ? ", which the system does not name"
                                     : " (pid " + std::to_string(child) + ", qv_e2e_tests" +
                                           (how == HoldHow::kMapped ? ", mapped into its memory)"
                                                                    : ")");
    return;
  }
}

// The run in a PID namespace of its own, with a /proc of its own: no other process is
// visible to it, as for a run in a container beside a node outside it. Skipped where the
// system forbids making one.
void RunInOwnPidNamespace(Run& r) {
  if (UnderWine() || std::system("unshare -pf --mount-proc true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "this system does not let the tests make a PID namespace (unshare -pf)";
  }
  const std::string wrapper = r.scratch.path + "/own-namespace";
  // bash's exec -a keeps the program's own name as its first argument, as the transcript shows.
  ASSERT_TRUE(WriteWholeFile(wrapper, "#!/bin/bash\nexec unshare -pf --mount-proc bash -c "
                                      "'exec -a \"$0\" " + r.program + " \"$@\"' \"$0\" \"$@\"\n"));
  ASSERT_EQ(::chmod(wrapper.c_str(), 0700), 0);
  r.program = wrapper;
}

void EndHolder(Run& r) {
  const pid_t holder = std::stoi("0" + r.vars["<HOLDER PID>"]);
  if (holder == 0) return;
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
}

// Another home's run holds the backup root's lock (natively by flock, under Wine by an open
// that lets others only read and write), its record naming it; the rows wait for it in vain.
void RootLockOfAnotherRun(Run& r, const std::string& use) {
  const std::string root = r.home + "/QVCULLDB-BACKUPS";
  ASSERT_TRUE(MakeDirectories(root) &&
              WriteWholeFile(root + "/QVCULLDB.LCK", "QVCULLDB32 BACKUP ROOT LOCK\r\nPROCESS 4242\r\n"
                                                     "HOST otherhost\r\nHOME /srv/otherbbs\r\nUSE " +
                                                         use + "\r\n"));
  HoldOpen(r, root + "/QVCULLDB.LCK", 40000, HoldHow::kLocked);
}

const Scenario kWrite[] = {
    // A scanner or backup agent reads QVUSERS.DAT for a moment: the run waits it out and packs.
    {"pack_after_a_brief_hold", kPack, {"/SEC=77"}, 0, {.outcome = O::kPacked,
     .damage = [](Run& r) { HoldOpen(r, UserFilePath(r.paths.work), 1500); }, .check = EndHolder,
     .transcript = "pack"}},
    // The backup waits for the root's lock a while, then fails: nothing live changed.
    {"pack_while_the_root_is_pruned", kPack, {"/SEC=77"}, 2,
     {.damage = [](Run& r) { RootLockOfAnotherRun(r, "pruning backups"); }, .check = EndHolder}},
    {"stage_refused_while_held", kPack, {"/SEC=77"}, 2,
     {.damage = [](Run& r) { HoldOpen(r, LmrFilePath(r.paths.message, 2), 8000); },
      .check = EndHolder}},
    // Mapped with no descriptor left: found among the holder's mappings. (Windows sees no
    // holder of a file only mapped; its rename refuses such a file, and the rollback follows.)
    {"stage_refused_while_mapped", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       HoldOpen(r, LmrFilePath(r.paths.message, 2), 8000, HoldHow::kMapped);
     }, .check = EndHolder, .transcript = "stage_refused_while_held", .nativeOnly = true}},
    // The system says the file is in use, and the run sees no process at all: refused all the same.
    {"stage_refused_while_held_unseen", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       HoldOpen(r, LmrFilePath(r.paths.message, 2), 8000);
       RunInOwnPidNamespace(r);
     }, .check = EndHolder, .nativeOnly = true}},
    {"pack", kPack, {"/SEC=77"}, 0, {.outcome = O::kPacked}},
    {"pack_creating_the_audit_log", kPack, {"/SEC=77"}, 0,
     {.outcome = O::kPacked, .prepare = [](Run& r) { r.recipe.purgedLog = false; },
      .transcript = "pack"}},
    {"pack_creating_the_audit_log_of_the_bbs", kPack, {"/SEC=77"}, 0,
     {.outcome = O::kPacked, .prepare = [](Run& r) { r.recipe.purgedLog = false; },
      .damage = UsersFileOfTheBbs, .check = ExpectLogAsUsersFile, .transcript = "pack",
      .nativeOnly = true}},
    // What a run killed while staging leaves: named, then replaced.
    {"pack_replacing_stale_staged_files", kPack, {"/SEC=77"}, 0,
     {.outcome = O::kPacked, .damage = Stale}},
    // A run killed during its backup leaves the staged files and a backup without its manifest.
    {"dry_run_naming_leftovers", kPack, {"/DRYRUN"}, 1, {.damage = [](Run& r) {
       Stale(r);
       const std::string work = r.home + "/QVCULLDB-BACKUPS/QVCULLDB-20260301-120000/WORK";
       ASSERT_TRUE(MakeDirectories(work) && WriteWholeFile(work + "/QVUSERS.DAT", "cut short"));
       SetIdentity(work + "/..", HostPath(r.home), 1772366400, 'F');
       // Its identity records the home as the program names it, longer under Wine.
       r.vars["<INCOMPLETE BYTES>"] = std::to_string(
           std::filesystem::file_size(work + "/QVUSERS.DAT") +
           std::filesystem::file_size(work + "/../IDENTITY.TXT"));
     }}},
    {"pack_keeping_file_modes", kPack, {"/SEC=77"}, 0, {.outcome = O::kPacked,
     .damage = [](Run& r) {
       ASSERT_EQ(::chmod(UserFilePath(r.paths.work).c_str(), 0640), 0);
       ASSERT_EQ(::chmod(LmrFilePath(r.paths.message, 1).c_str(), 0604), 0);
     }, .check = ExpectModes, .transcript = "pack", .nativeOnly = true}},
    // /SEC=10 purges #2 only: the last record is kept. A fixed date keeps the
    // manifest's hashes of the live files the same from day to day.
    {"pack_keeping_the_last_user", kNobody, {"/SEC=10"}, 0, {.outcome = O::kPacked,
     .prepare = [](Run& r) { r.recipe.today = {2026, 3, 1}; }, .purged = {2}}},
    // Only the protected user #1 is Deleted.
    {"pack_nothing_to_purge", kPack, {}, 0,
     {.prepare = [](Run& r) { r.recipe.deletedUsers.clear(); }}},
    {"stage_blocked_by_directory", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       ASSERT_TRUE(MakeDirectories(UserFilePath(r.paths.work) + ".QVCNEW"));
     }}},
    // The staged audit log starts as the existing log's verified copy: that copy is what failed.
    {"stage_audit_copy_blocked_by_directory", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       ASSERT_TRUE(MakeDirectories(PurgedLogPath(r.paths.work) + ".QVCNEW"));
     }}},
    {"stage_pointer_name_differs", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       std::string pointer;
       ASSERT_TRUE(ReadPointerRecord(r.paths.work, 17, &pointer));
       pointer[1] = char(std::tolower(uint8_t(pointer[1])));  // the same name in another case
       ASSERT_TRUE(WritePointerRecord(r.paths.work, 17, pointer));
     }}},
    // #2 is kept, so its damaged length is only warned about; #31 is purged.
    {"stage_audit_log_of_bad_record", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       ASSERT_TRUE(SetLengthByte(r.paths.work, 2, kTimeDateOffset, 15));
       ASSERT_TRUE(SetLengthByte(r.paths.work, 31, kTimeDateOffset, 15));
     }}},
    // Where the new audit log goes: the commit would replace every other file first.
    {"audit_log_is_a_directory", kPack, {"/SEC=77"}, 2,
     {.prepare = [](Run& r) { r.recipe.purgedLog = false; },
      .damage = [](Run& r) { ASSERT_TRUE(MakeDirectories(PurgedLogPath(r.paths.work))); }}},
    {"audit_log_is_a_fifo", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       ASSERT_EQ(::mkfifo(PurgedLogPath(r.paths.work).c_str(), 0600), 0);
     }, .nativeOnly = true}},
};

// ---- Limits and a console that goes away: the run ends through its own paths -----

// The program run by a bash script: after `limits`, with its standard output piped
// to a reader that quits at once (closedPipe: the script then prints what the run
// added to the report, for the transcript), or as it is.
void Wrap(Run& r, const std::string& limits, bool closedPipe) {
  const std::string real = "exec -a \"$0\" '" + r.program + "' \"$@\"";
  const std::string report = kReportName;
  r.program = r.scratch.path + "/wrapped.sh";
  ASSERT_TRUE(WriteWholeFile(r.program, "#!/bin/bash\n" + limits + "\n" + (closedPipe ?
      "size=$(stat -c %s " + report + " 2>/dev/null || echo 0)\n(" + real + ") | :\n"
      "status=${PIPESTATUS[0]}\ntail -c +$((size + 1)) " + report + "\nexit $status\n" : real)));
  ASSERT_EQ(::chmod(r.program.c_str(), 0755), 0);
}

// A write run under an address-space limit in KiB (the sanitizers map far more than any).
template <int kKiB>
void LimitMemory(Run& r) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  Wrap(r, "", false);
#else
  Wrap(r, "ulimit -v " + std::to_string(kKiB), false);
#endif
}

const Scenario kLimits[] = {
    {"stdout_closed_dry_run", kSelection, {"/DRYRUN", "/sec=0010"}, 1,
     {.damage = [](Run& r) { Wrap(r, "", true); }, .transcript = "dry_sec", .nativeOnly = true}},
    {"stdout_closed_write_run", kPack, {"/SEC=77"}, 0, {.outcome = O::kPacked,
     .damage = [](Run& r) { Wrap(r, "", true); }, .transcript = "pack", .nativeOnly = true}},
    // 20 KiB: the user files fit, the LMR files (39996 bytes) do not.
    {"file_size_limit", kPack, {"/SEC=77"}, 2,
     {.damage = [](Run& r) { Wrap(r, "ulimit -f 20", false); }, .nativeOnly = true}},
    // Just above what one thread needs; and where each helper's own arena did not fit.
    {"memory_limit_with_helpers", kPack, {"/SEC=77"}, 0, {.outcome = O::kPacked,
     .damage = LimitMemory<10000>, .transcript = "pack", .nativeOnly = true}},
    {"memory_limit_without_room_for_arenas", kPack, {"/SEC=77"}, 0, {.outcome = O::kPacked,
     .damage = LimitMemory<50000>, .transcript = "pack", .nativeOnly = true}},
};

// ---- Hostile entries at the names a run uses, links as live files, the commit marker

const Scenario kHostile[] = {
    // A link at a staged name is removed, never written through: no target is made or changed.
    {"pack_replacing_dangling_links", kPack, {"/SEC=77"}, 0, {.outcome = O::kPacked,
     .damage = [](Run& r) { LinkStagedNames(r, true); }, .nativeOnly = true}},
    {"pack_replacing_links_to_a_file", kPack, {"/SEC=77"}, 0,
     {.outcome = O::kPacked, .damage = [](Run& r) { LinkStagedNames(r, false); },
      .transcript = "pack_replacing_dangling_links", .nativeOnly = true}},
    {"stage_blocked_by_fifo", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       FifoAt(UserFilePath(r.paths.work) + ".QVCNEW");
     }, .nativeOnly = true}},
    {"stage_lmr_blocked_by_fifo", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       FifoAt(LmrFilePath(r.paths.message, 3) + ".QVCNEW");
     }, .nativeOnly = true}},
    {"live_dat_is_a_link", kPack, {"/SEC=77"}, 2,
     {.damage = [](Run& r) { LinkLiveFile(r, UserFilePath(r.paths.work)); }, .nativeOnly = true}},
    {"live_lmr_is_a_link", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       LinkLiveFile(r, LmrFilePath(r.paths.message, 1));
     }, .nativeOnly = true}},
    // Refused before anything is staged, the link count named, natively and under Wine.
    {"live_dat_has_a_second_name", kPack, {"/SEC=77"}, 2,
     {.damage = [](Run& r) { SecondName(r, UserFilePath(r.paths.work)); }}},
    {"live_lmr_has_a_second_name", kPlain2, {"/DRYRUN"}, 2,
     {.damage = [](Run& r) { SecondName(r, LmrFilePath(r.paths.message, 1)); }}},
    {"backup_root_writable_by_others", kPack, {"/SEC=77", "/BACKUP=<SCRATCH>/ROOT"}, 2,
     {.damage = [](Run& r) {
        ASSERT_TRUE(MakeDirectories(r.scratch.path + "/ROOT"));
        ASSERT_EQ(::chmod((r.scratch.path + "/ROOT").c_str(), 0777), 0);
      }}},
    // Another account could rename ROOT away and plant a backup of its own.
    {"backup_root_below_an_open_directory", kPack, {"/SEC=77", "/BACKUP=<SCRATCH>/OPEN/ROOT"}, 2,
     {.damage = [](Run& r) {
        ASSERT_TRUE(MakeDirectories(r.scratch.path + "/OPEN/ROOT"));
        ASSERT_EQ(::chmod((r.scratch.path + "/OPEN").c_str(), 0777), 0);
      }}},
    // Judged before any of it is made: nothing is made, nor staged, inside OPEN.
    {"backup_root_to_make_in_an_open_directory", kPack, {"/SEC=77", "/BACKUP=<SCRATCH>/OPEN/NEW/ROOT"},
     2, {.damage = [](Run& r) {
       ASSERT_TRUE(MakeDirectories(r.scratch.path + "/OPEN"));
       ASSERT_EQ(::chmod((r.scratch.path + "/OPEN").c_str(), 0777), 0);
     }, .check = [](Run& r) { EXPECT_TRUE(ListDirectory(r.scratch.path + "/OPEN").empty()); }}},
    {"backup_root_is_a_link", kPack, {"/SEC=77", "/BACKUP=<SCRATCH>/ROOT"}, 2,
     {.damage = [](Run& r) {
        ASSERT_EQ(::mkdir((r.scratch.path + "/REAL").c_str(), 0700), 0);
        ASSERT_EQ(::symlink("REAL", (r.scratch.path + "/ROOT").c_str()), 0);
      }, .nativeOnly = true}},
    // Every listed file as before the earlier pack (its audit log absent): the marker
    // goes and this pack runs.
    {"marker_of_nothing_replaced", kPack, {"/SEC=77"}, 0, {.outcome = O::kPacked,
     .prepare = [](Run& r) { r.recipe.purgedLog = false; }, .damage = [](Run& r) {
       const std::string dat = UserFilePath(r.paths.work), lmr = LmrFilePath(r.paths.message, 1);
       WriteMarker(r, MarkerLine(Listed(dat), kNeither, dat) +
                          MarkerLine(Listed(lmr), kNeither, lmr) +
                          MarkerLine("- -", kNeither, PurgedLogPath(r.paths.work)) + "END\r\n");
     }}},
    // The marker's run goes on (it lost its lock): its marker is left, whole or not.
    {"marker_of_a_live_run", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       const std::string dat = UserFilePath(r.paths.work);
       WriteMarker(r, MarkerLine(Listed(dat), kNeither, dat) + "END\r\n",
                   "/ROOT/QVCULLDB-20260301-120000", RunRecordLine(StartLiveProcess(r), LocalNow()));
     }, .check = EndHolder, .nativeOnly = true}},
    // The user file pre-pack, an LMR file packed: nothing is touched, the marker stays.
    {"marker_of_a_mixed_database", kPack, {"/SEC=77"}, 2, {.damage = [](Run& r) {
       const std::string dat = UserFilePath(r.paths.work), lmr = LmrFilePath(r.paths.message, 1);
       WriteMarker(r, MarkerLine(Listed(dat), kNeither, dat) +
                          MarkerLine(kNeither, Listed(lmr), lmr) + "END\r\n");
     }}},
    // Files a marker lists are read only when they are regular files, never waited on, and
    // only at this home's live names: a path elsewhere makes the marker unreadable, unread.
    {"marker_names_a_fifo", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       const std::string log = PurgedLogPath(r.paths.work);
       std::remove(log.c_str());
       ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
       WriteMarker(r, MarkerLine(kNeither, kNeither, log) + "END\r\n");
     }, .nativeOnly = true, .timeout = 30}},
    {"marker_names_dev_zero", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       const std::string lmr = LmrFilePath(r.paths.message, 9);
       ASSERT_EQ(::symlink("/dev/zero", lmr.c_str()), 0);
       WriteMarker(r, MarkerLine(kNeither, kNeither, lmr) + "END\r\n");
     }, .timeout = 30}},
    {"marker_names_a_file_elsewhere", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       const std::string outside = r.scratch.path + "/" + "QVUSERS.DAT";
       ASSERT_TRUE(WriteWholeFile(outside, "not the home's"));
       WriteMarker(r, MarkerLine(Listed(outside), Listed(outside), outside) + "END\r\n");
     }, .timeout = 30}},
    {"marker_cut_short", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       const std::string dat = UserFilePath(r.paths.work);
       WriteMarker(r, MarkerLine(Listed(dat), kNeither, dat).substr(0, 20));
     }}},
    {"marker_of_garbage", kPlain2, {"/DRYRUN"}, 2,
     {.damage = [](Run& r) { ASSERT_TRUE(WriteWholeFile(Marker(r), "\x01garbage\r\n")); }}},
    // A WORK that cannot hold a marker is no marker: the real cause is named, no restore advised.
    {"marker_of_a_work_that_is_no_directory", kPlain2, {"/DRYRUN"}, 2, {.damage = [](Run& r) {
       RemoveTree(r.paths.work);
       ASSERT_TRUE(WriteWholeFile(r.paths.work, "not a directory"));
     }}},
    {"work_on_an_unreachable_share", kPlain2, {"/DRYRUN"}, 2,
     {.damage = [](Run& r) {
       r.recipe.workField = "\\\\qvnohost\\share";
       ASSERT_TRUE(WriteWholeFile(r.home + "/QVNODE.DAT", NodeFileBytes(r.recipe)));
     }, .wineOnly = true}},
};

// ---- Where the backup goes ------------------------------------------------------

// Takes the backup directory names plain .. -<last> of every second from 1 s
// ago to 20 s ahead beneath <scratch>/ROOT (a run that starts outside that
// window fails its transcript): the plain name as a directory, as an earlier
// run leaves it, the suffixed ones as hard links to one empty file.
void TakeNames(Run& r, unsigned last) {
  const std::string root = r.scratch.path + "/ROOT", holder = r.scratch.path + "/holder";
  ASSERT_TRUE(MakeDirectories(root) && WriteWholeFile(holder, ""));
  for (std::time_t t = std::time(nullptr) - 1, end = t + 21; t <= end; ++t) {
    std::tm local{};
    char name[700];
    const size_t length =
        std::strftime(name, 100, "/QVCULLDB-%Y%m%d-%H%M%S", localtime_r(&t, &local));
    ASSERT_EQ(::mkdir((root + name).c_str(), 0700), 0);
    for (unsigned suffix = 1; suffix <= last; ++suffix) {
      std::snprintf(name + length, sizeof name - length, "-%03u", suffix);
      ASSERT_EQ(::link(holder.c_str(), (root + name).c_str()), 0);
    }
  }
}

void FileInTheWay(Run& r) { ASSERT_TRUE(WriteWholeFile(r.scratch.path + "/FILE", "not a dir")); }

const Scenario kBackup[] = {
    {"backup_relative_trailing_separators", kPack, {"/SEC=77", "/BACKUP=BAK\\//\\"}, 0,
     {.outcome = O::kPacked}},
    // Natively a /tmp path, under Wine its Z:\ form; both parents are missing.
    {"backup_absolute_trailing_separators", kPack,
     {"/SEC=77", "/BACKUP=<SCRATCH>/ABS/PACK//\\\\"}, 0, {.outcome = O::kPacked}},
    // The value is joined as typed: its '/' stays where the separator is '\'.
    {"backup_relative_nested", kPack, {"/SEC=77", "/BACKUP=BAK/PACK"}, 0, {.outcome = O::kPacked,
     .damage = [](Run& r) { r.vars["<ROOT>"] = HostPath(r.home) + Sep() + "BAK/PACK"; }}},
    // A leading backslash is relative too; on POSIX it is part of the name.
    {"backup_relative_leading_backslash", kPack, {"/SEC=77", "/BACKUP=\\BAK"}, 0,
     {.outcome = O::kPacked}},
    // A leading slash is relative on Windows; on POSIX it is an absolute path.
    {"backup_relative_leading_slash", kPack, {"/SEC=77", "/BACKUP=/BAK"}, 0, {.outcome = O::kPacked,
     .damage = [](Run& r) { r.vars["<ROOT>"] = HostPath(r.home) + "\\/BAK"; }, .wineOnly = true}},
    // A drive letter names a drive on Windows only (unit-tested there): on POSIX "C:BAK" is
    // a directory in the home, made as any relative root.
    {"backup_drive_letter_is_a_name_on_posix", kPack, {"/SEC=77", "/BACKUP=C:BAK"}, 0,
     {.outcome = O::kPacked, .nativeOnly = true}},
    {"backup_root_is_a_file", kPack, {"/SEC=77", "/BACKUP=<SCRATCH>/FILE"}, 2,
     {.damage = FileInTheWay}},
    {"backup_root_below_a_file", kPack, {"/SEC=77", "/BACKUP=<SCRATCH>/FILE/SUB"}, 2,
     {.damage = FileInTheWay}},
    {"backup_name_taken", kPack, {"/SEC=77", "/BACKUP=<SCRATCH>/ROOT"}, 0,
     {.outcome = O::kPacked, .damage = [](Run& r) { TakeNames(r, 0); }}},
    {"backup_last_suffix", kPack, {"/SEC=77", "/BACKUP=<SCRATCH>/ROOT"}, 0,
     {.outcome = O::kPacked, .damage = [](Run& r) { TakeNames(r, 998); }}},
    {"backup_every_suffix_taken", kPack, {"/SEC=77", "/BACKUP=<SCRATCH>/ROOT"}, 2,
     {.damage = [](Run& r) { TakeNames(r, 999); }}},
};

// ---- The restore program, after a pack of the pack sample (/SEC=77) -------------------

// The pack's backup, moved to a name of a fixed time.
constexpr const char* kPackBackup = "/QVCULLDB-BACKUPS/QVCULLDB-20260301-120000";
const std::vector<std::string> kRestoreIt = {
    "/RESTORE=<HOME>/QVCULLDB-BACKUPS/QVCULLDB-20260301-120000"};

// A program of this build beside the one the row runs: "qvrestore" is QVRESTORE.EXE under Wine.
std::string Beside(const Run& r, std::string name) {
  if (UnderWine()) std::transform(name.begin(), name.end(), name.begin(), ::toupper);
  return r.program.substr(0, r.program.rfind('/') + 1) + name + (UnderWine() ? ".EXE" : "");
}
void ToRestore(Run& r) { r.program = Beside(r, "qvrestore"); }
std::string Restorer() { return UnderWine() ? "QVRESTORE.EXE" : "qvrestore"; }

RunResult RunPacker(const Run& r, const std::vector<std::string>& args) {
  ::setenv("QV_PROGRAM", Beside(r, "qvculldb").c_str(), 1);
  return RunProgram(r.home, args);
}

// The pack's copy of a live file.
std::string Saved(const Run& r, const std::string& live) {
  return r.home + kPackBackup + live.substr(r.home.size());
}
void EditFile(const std::string& path, std::string (*edit)(std::string)) {
  ASSERT_TRUE(WriteWholeFile(path, edit(ReadFile(path))));
}

// Packs, moves the pack's backup to kPackBackup and takes the clock readings out of the
// new audit log (the pre-restore backup's manifest lists its hash).
void Packed(Run& r) {
  const RunResult pack = RunPacker(r, {"/SEC=77"});
  ASSERT_EQ(pack.exitCode, 0) << pack.out;
  const std::vector<std::string> made = ListDirectory(r.home + "/QVCULLDB-BACKUPS");
  ASSERT_EQ(made.size(), 1u);
  ASSERT_EQ(std::rename((r.home + "/QVCULLDB-BACKUPS/" + made[0]).c_str(),
                        (r.home + kPackBackup).c_str()), 0);
  EditFile(PurgedLogPath(r.paths.work), [](std::string log) { return NormaliseClock(log); });
  ToRestore(r);
}

// A pack cut short in its commit: QVMSG1.LMR and QVUSERS.DAT are pre-pack again, and its
// marker lists every file; the packer refuses the mix and names the backup to restore.
void MixedByPackCutShort(Run& r) {
  Packed(r);
  const std::string dat = UserFilePath(r.paths.work), lmr = LmrFilePath(r.paths.message, 1);
  std::string lines;
  for (const std::string& live : {lmr, LmrFilePath(r.paths.message, 2),
                                  LmrFilePath(r.paths.message, 3), dat,
                                  PointerFilePath(r.paths.work), PurgedLogPath(r.paths.work)}) {
    lines += MarkerLine(Listed(Saved(r, live)), Listed(live), live);
  }
  WriteMarker(r, lines + "END\r\n", "/BBS" + std::string(kPackBackup));
  ASSERT_TRUE(WriteWholeFile(dat, ReadFile(Saved(r, dat))) &&
              WriteWholeFile(lmr, ReadFile(Saved(r, lmr))));
  const RunResult dry = RunPacker(r, {"/DRYRUN"});
  EXPECT_EQ(dry.exitCode, 2);
  EXPECT_EQ(LineAfter(dry.out, Restorer() + " /RESTORE="), HostPath(r.home + kPackBackup));
}

// "<FREED>": the bytes the removal of these backups frees (the manifests name Windows paths
// under Wine: their sizes differ).
void FreedBy(Run& r, const std::vector<const char*>& names) {
  uintmax_t freed = 0;
  for (const char* name : names) {
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(r.home + "/QVCULLDB-BACKUPS/" + name)) {
      if (entry.is_regular_file()) freed += entry.file_size();
    }
  }
  r.vars["<FREED>"] = std::to_string(freed) + " bytes freed";
}

// Beside the pack's backup (newest by the time it records): an older copy, an incomplete one,
// one whose name looks newest but whose recorded time is a second before the pack's (a clock
// stepped back), another home's, one the commit marker names, one without IDENTITY.TXT, a
// directory that is no backup and one that only looks like one. /PRUNE=1 keeps the newest that
// passes the check and removes the older copies and the incomplete one, nothing else.
const char* const kPruned[] = {"QVCULLDB-20240101-000000", "QVCULLDB-20250101-000000",
                               "QVCULLDB-20270101-000000"};
const char* const kKept[] = {"QVCULLDB-20200101-000000", "QVCULLDB-20210101-000000-old",
                             "QVCULLDB-20220101-000000", "QVCULLDB-20230101-000000",
                             "QVCULLDB-20260301-120000", "QVCULLDB-NOTES"};
void BackupsToPrune(Run& r) {
  Packed(r);
  const std::string root = r.home + "/QVCULLDB-BACKUPS/";
  for (const char* name : {kKept[0], kKept[1], kKept[2], kKept[3], kPruned[0], kPruned[1],
                           kPruned[2], kKept[5]}) {
    std::filesystem::copy(r.home + kPackBackup, root + name, std::filesystem::copy_options::recursive);
  }
  const std::string home = HostPath(r.home);
  const long long packed = BegunSeconds(r.home + kPackBackup);
  SetIdentity(root + kKept[2], home, 1640995200, 'A');
  SetIdentity(root + kKept[3], HostPath(r.scratch.path + "/OLD"), 1672531200, 'B');
  SetIdentity(root + kPruned[0], home, 1704067200, 'C');
  SetIdentity(root + kPruned[1], home, 1735689600, 'D');
  SetIdentity(root + kPruned[2], home, packed - 1, 'E');
  ASSERT_EQ(std::remove((root + kKept[0] + "/IDENTITY.TXT").c_str()), 0);
  ASSERT_EQ(std::remove((root + kPruned[1] + "/MANIFEST.TXT").c_str()), 0);
  // The marker spells the root otherwise: the backup's name alone keeps it.
  WriteMarker(r, "END\r\n", "/BBS/WORK/../QVCULLDB-BACKUPS/" + std::string(kKept[2]));
  FreedBy(r, {kPruned[0], kPruned[1], kPruned[2]});
}

const Scenario kRestore[] = {
    // The dry run changes nothing; the prune itself removes exactly what it listed.
    {"restore_prune", kPack, {"/PRUNE=1", "/DRYRUN"}, 0, {.damage = BackupsToPrune,
     .check = [](Run& r) {
       const RunResult prune = RunProgram(r.home, {"/PRUNE=1"});
       EXPECT_EQ(prune.exitCode, 0) << prune.out;
       EXPECT_EQ(ListDirectory(r.home + "/QVCULLDB-BACKUPS"),
                 std::vector<std::string>(std::begin(kKept), std::end(kKept)));
     }}},
    // /PRUNE alone removes the incomplete backup, nothing complete.
    {"restore_prune_alone", kPack, {"/PRUNE", "/DRYRUN"}, 0, {.damage = [](Run& r) {
       BackupsToPrune(r);
       FreedBy(r, {kPruned[1]});
     }, .check = [](Run& r) {
       const RunResult prune = RunProgram(r.home, {"/PRUNE"});
       EXPECT_EQ(prune.exitCode, 0) << prune.out;
       std::vector<std::string> left(std::begin(kKept), std::end(kKept));
       left.insert(left.end(), {kPruned[0], kPruned[2]});
       std::sort(left.begin(), left.end());
       EXPECT_EQ(ListDirectory(r.home + "/QVCULLDB-BACKUPS"), left);
     }}},
    // Another run holds the root (it may be making the incomplete backup): nothing is removed.
    {"restore_prune_while_a_backup_is_made", kPack, {"/PRUNE"}, 2, {.damage = [](Run& r) {
       BackupsToPrune(r);
       RootLockOfAnotherRun(r, "making a backup");
     }, .check = EndHolder}},
    // The marker names its backup by id: renamed to look oldest, it is still kept.
    {"restore_prune_keeps_the_marker_backup_renamed", kPack, {"/PRUNE=1"}, 0,
     {.damage = [](Run& r) {
       Packed(r);
       const std::string root = r.home + "/QVCULLDB-BACKUPS/";
       const std::string identity = ReadFile(r.home + kPackBackup + "/IDENTITY.TXT");
       const std::string id = identity.substr(identity.find("\r\nID ") + 5, 32);
       std::filesystem::copy(r.home + kPackBackup, root + "QVCULLDB-20260401-000000",
                             std::filesystem::copy_options::recursive);
       SetIdentity(root + "QVCULLDB-20260401-000000", HostPath(r.home),
                   BegunSeconds(r.home + kPackBackup) + 1, 'A');
       ASSERT_EQ(std::rename((r.home + kPackBackup).c_str(), (root + "QVCULLDB-20190101-000000").c_str()), 0);
       WriteMarker(r, "backupid=" + id + "\r\nEND\r\n", "/BBS" + std::string(kPackBackup));
     }, .check = [](Run& r) {
       EXPECT_EQ(ListDirectory(r.home + "/QVCULLDB-BACKUPS"),
                 (std::vector<std::string>{"QVCULLDB-20190101-000000", "QVCULLDB-20260401-000000"}));
     }}},
    // Removal never crosses into a mount point: the live WORK bound inside an incomplete backup
    // stays whole (natively as root, in a mount namespace of the run's own).
    {"restore_prune_stops_at_a_mount_point", kPack, {"/PRUNE", "/DRYRUN"}, 0,
     {.damage = [](Run& r) {
       Packed(r);
       const std::string dir = r.home + "/QVCULLDB-BACKUPS/QVCULLDB-20250101-000000";
       ASSERT_TRUE(MakeDirectories(dir + "/WORK"));
       SetIdentity(dir, HostPath(r.home), 1735689600, 'D');
     }, .check = [](Run& r) {
       if (::geteuid() != 0 || std::system("unshare -m true 2>/dev/null") != 0) {
         GTEST_SKIP() << "no mount namespace for this account here";
       }
       const std::string dir = r.home + "/QVCULLDB-BACKUPS/QVCULLDB-20250101-000000";
       const auto before = ReadTree(r.paths.work);
       const std::string restorer = Beside(r, "qvrestore");
       ::setenv("QV_PROGRAM", "/usr/bin/unshare", 1);
       const RunResult prune = RunProgram(
           r.home, {"-m", "sh", "-c", "mount --bind '" + r.paths.work + "' '" + dir + "/WORK' && exec '" +
                                          restorer + "' /PRUNE"});
       ::setenv("QV_PROGRAM", restorer.c_str(), 1);
       EXPECT_EQ(prune.exitCode, 2) << prune.out;
       EXPECT_NE(prune.out.find("QVCULLDB-20250101-000000     not all of it is a backup: " + dir +
                                " holds WORK, a mount point"),
                 std::string::npos)
           << prune.out;
       EXPECT_EQ(ReadTree(r.paths.work), before) << "the live WORK was touched";
       EXPECT_TRUE(std::filesystem::exists(dir + "/IDENTITY.TXT"));
     }, .nativeOnly = true}},
    // The root's mode lets only QVUSERS.DAT's writable group write, but an access ACL lets
    // another account (1234) write it too: never trusted (natively, where the file system keeps
    // ACLs).
    {"restore_root_writable_by_an_acl", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       ASSERT_EQ(::chmod(UserFilePath(r.paths.work).c_str(), 0660), 0);
       const std::string acl = std::string("\x02\0\0\0", 4) +
                               std::string("\x01\0\x07\0\xff\xff\xff\xff", 8) +
                               std::string("\x02\0\x07\0\xd2\x04\0\0", 8) +
                               std::string("\x04\0\x05\0\xff\xff\xff\xff", 8) +
                               std::string("\x10\0\x07\0\xff\xff\xff\xff", 8) +
                               std::string("\x20\0\0\0\xff\xff\xff\xff", 8);
       const std::string root = r.home + "/QVCULLDB-BACKUPS";
       if (::setxattr(root.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
         GTEST_SKIP() << "this file system keeps no ACL: " << std::strerror(errno);
       }
     }, .nativeOnly = true}},
    // A board moved to another directory restores its own backup with /MOVED.
    {"restore_moved", kPack, {kRestoreIt[0], "/MOVED"}, 0, {.outcome = O::kRestored,
     .damage = [](Run& r) {
       Packed(r);
       const std::string manifest = r.home + kPackBackup + "/MANIFEST.TXT";
       ASSERT_TRUE(WriteWholeFile(manifest, Masked(ReadFile(manifest), "source=" + HostPath(r.home),
                                                   "source=" + HostPath(r.scratch.path + "/OLDBBS"))));
     }}},
    // Short of space for the pre-restore backup and the staged set together: refused before
    // either is begun (the fault shim tells the volume's free space).
    {"restore_without_room", kPack, kRestoreIt, 0, {.outcome = O::kRestored, .damage = Packed,
     .check = [](Run& r) {
       const std::string shim = kStartProgram.substr(0, kStartProgram.rfind('/')) +
                                "/tests/faults/qv_fault_shim.so";
       const RunResult refused = RunProgram(
           r.home, {"/RESTORE=" + r.home + "/QVCULLDB-BACKUPS/" + ListDirectory(r.home + "/QVCULLDB-BACKUPS")[0]},
           {"LD_PRELOAD=" + shim, "QVF_FREE=" + r.home + "=300000", "QVF_LOG=", "QVF_COUNTS=",
            // A sanitized program lets the shim go first.
            "ASAN_OPTIONS=" + std::string(std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
                ":verify_asan_link_order=0"});
       EXPECT_EQ(refused.exitCode, 2) << refused.out;
       EXPECT_NE(refused.out.find("ERROR: not enough free space for this restore on the volume of " +
                                  r.paths.work),
                 std::string::npos)
           << refused.out;
       EXPECT_EQ(ListDirectory(r.home + "/QVCULLDB-BACKUPS").size(), 2u) << "a backup was begun";
     }, .transcript = "restore_after_pack", .nativeOnly = true}},
    {"restore_help_anywhere", kPlain2, {"/LIST", "/?"}, 0, {.outcome = O::kQuiet,
     .damage = ToRestore}},
    {"restore_after_pack", kPack, kRestoreIt, 0, {.outcome = O::kRestored, .damage = Packed}},
    {"restore_check", kPack, {"/CHECK=<HOME>/QVCULLDB-BACKUPS/QVCULLDB-20260301-120000"}, 0,
     {.damage = Packed}},
    // A backup named as /LIST prints it; a typo; a directory that is no backup.
    {"restore_check_by_name", kPack, {"/CHECK=QVCULLDB-20260301-120000"}, 0, {.damage = Packed}},
    {"restore_check_typo", kPack, {"/CHECK=QVCULLDB-20260301-12000"}, 2, {.damage = Packed}},
    {"restore_check_not_a_backup", kPack, {"/CHECK=WORK"}, 2, {.damage = Packed}},
    // Two LMR files whose names differ only in case are two files, each restored from its own copy.
    {"restore_lmr_names_differing_in_case", kPack, kRestoreIt, 0, {.outcome = O::kRestored,
     .prepare = [](Run& r) { r.recipe.lowerCaseTwin = true; }, .damage = Packed,
     .nativeOnly = true}},
    // Nobody who cannot write the live database may be able to change a backup.
    {"restore_root_open_to_others", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       ASSERT_EQ(::chmod((r.home + "/QVCULLDB-BACKUPS").c_str(), 0777), 0);
     }}},
    {"restore_copy_open_to_others", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       ASSERT_EQ(::chmod(Saved(r, LmrFilePath(r.paths.message, 3)).c_str(), 0666), 0);
     }}},
    {"restore_backup_of_another_account", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       if (::geteuid() != 0) GTEST_SKIP() << "only root gives files away";
       Packed(r);
       ASSERT_EQ(::chown((r.home + kPackBackup).c_str(), 65534, 65534), 0);
     }, .nativeOnly = true}},
    // A FIFO or a link to a device as a copy fails the check at once.
    {"restore_check_fifo_copy", kPack, {"/CHECK=<HOME>" + std::string(kPackBackup)}, 2,
     {.damage = [](Run& r) {
        Packed(r);
        ASSERT_EQ(std::remove(Saved(r, Whoson(r)).c_str()), 0);
        ASSERT_EQ(::mkfifo(Saved(r, Whoson(r)).c_str(), 0600), 0);
      }, .nativeOnly = true, .timeout = 30}},
    {"restore_check_device_copy", kPack, {"/CHECK=<HOME>" + std::string(kPackBackup)}, 2,
     {.damage = [](Run& r) {
        Packed(r);
        ASSERT_EQ(std::remove(Saved(r, Whoson(r)).c_str()), 0);
        ASSERT_EQ(::symlink("/dev/zero", Saved(r, Whoson(r)).c_str()), 0);
        r.vars["<AS WHAT>"] = UnderWine() ? "cannot be examined" : "is a symbolic link";
      }, .timeout = 30}},
    {"restore_list", kPack, {"/LIST"}, 0, {.damage = Packed}},
    {"restore_damaged_copy", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       EditFile(Saved(r, UserFilePath(r.paths.work)), [](std::string dat) {
         dat[100] ^= 1;
         return dat;
       });
     }}},
    {"restore_missing_copy", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       ASSERT_EQ(std::remove(Saved(r, LmrFilePath(r.paths.message, 2)).c_str()), 0);
     }}},
    {"restore_manifest_cut_short", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       EditFile(r.home + kPackBackup + "/MANIFEST.TXT",
                [](std::string text) { return text.substr(0, text.size() - 5); });
     }}},
    // Cut at a line boundary: only its END line is missing.
    {"restore_manifest_cut_at_a_line", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       EditFile(r.home + kPackBackup + "/MANIFEST.TXT",
                [](std::string text) { return text.substr(0, text.rfind("END ")); });
     }}},
    {"restore_list_cut_manifest", kPack, {"/LIST"}, 0, {.damage = [](Run& r) {
       Packed(r);
       EditFile(r.home + kPackBackup + "/MANIFEST.TXT",
                [](std::string text) { return text.substr(0, text.rfind("END ")); });
     }}},
    // A name with a separator and "..": never followed, whatever its source= says.
    {"restore_manifest_names_a_path", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       EditFile(r.home + kPackBackup + "/MANIFEST.TXT", [](std::string text) {
         return Masked(text, "QVWHOSON.DAT", std::string("..") + Sep() + "WORK" + Sep() + "QVWHOSON.DAT");
       });
     }}},
    // Where case does not tell files apart, two lines for qvmsg3.lmr and QVMSG3.LMR are refused.
    {"restore_manifest_names_equal_ignoring_case", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       EditFile(r.home + kPackBackup + "/MANIFEST.TXT", [](std::string text) {
         const size_t at = text.find("MESSAGE  QVMSG3.LMR"), end = text.rfind("END ");
         return text.substr(0, end) + Masked(text.substr(at, end - at), "QVMSG3", "qvmsg3") + "END 8\r\n";
       });
     }, .wineOnly = true}},
    {"restore_manifest_edited", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       EditFile(r.home + kPackBackup + "/MANIFEST.TXT",
                [](std::string text) { return Masked(text, "size=1240 ", "size=1248 "); });
     }}},
    {"restore_backup_of_another_home", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       const std::string manifest = r.home + kPackBackup + "/MANIFEST.TXT";
       ASSERT_TRUE(WriteWholeFile(manifest, Masked(ReadFile(manifest), "source=" + HostPath(r.home),
                                                   "source=" + HostPath(r.scratch.path + "/OLD"))));
     }}},
    {"restore_source_edited", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       EditFile(r.home + kPackBackup + "/MANIFEST.TXT",
                [](std::string text) { return Masked(text, "WORK" + std::string(1, Sep()) +
                                                     "QVUSERS.PTR", "OTHER.PTR"); });
     }}},
    // The pack made the audit log: the restore removes it.
    {"restore_without_audit_log", kPack, kRestoreIt, 0, {.outcome = O::kRestored,
     .prepare = [](Run& r) { r.recipe.purgedLog = false; }, .damage = Packed}},
    {"restore_live_lmr_not_in_backup", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       ASSERT_TRUE(WriteWholeFile(LmrFilePath(r.paths.message, 4),
                                  ReadFile(LmrFilePath(r.paths.message, 3))));
     }}},
    {"restore_caller_on_line", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       r.recipe.callers = {{3, 12, 10}};
       ASSERT_TRUE(WriteWholeFile(Whoson(r), CallerFileBytes(r.recipe)));
     }}},
    {"restore_lock_held", kPack, kRestoreIt, 2, {.damage = [](Run& r) {
       Packed(r);
       LockOfAnotherTool(r);
     }}},
    // The restore clears the marker, and the packer runs again.
    {"restore_mixed_database", kPack, kRestoreIt, 0, {.outcome = O::kRestored,
     .damage = MixedByPackCutShort, .check = [](Run& r) {
       // Its pre-restore backup holds the mix: listed as such, and never restorable.
       std::vector<std::string> made = ListDirectory(r.home + "/QVCULLDB-BACKUPS");
       std::erase(made, std::string(kPackBackup).substr(18));
       ASSERT_EQ(made.size(), 1u);
       EXPECT_NE(LineAfter(RunProgram(r.home, {"/LIST"}).out, made[0]).find("MIXED"), std::string::npos);
       const RunResult check = RunProgram(r.home, {"/CHECK=" + made[0]});
       EXPECT_EQ(check.exitCode, 2);
       EXPECT_NE(check.out.find("holds a mix of packed and pre-pack files"), std::string::npos);
       const RunResult pack = RunPacker(r, {"/SEC=77"});
       EXPECT_EQ(pack.exitCode, 0) << pack.out;
       const std::string dat = UserFilePath(r.paths.work);
       EXPECT_EQ(ReadFile(dat), PackedUserFile(ReadFile(Saved(r, dat)), r.purged));
     }}},
    {"restore_rejected_switch", kPlain2, {"/FOO"}, 3, {.outcome = O::kQuiet, .damage = ToRestore}},
    {"restore_version", kPlain2, {"/VERSION"}, 0, {.outcome = O::kQuiet, .damage = ToRestore}},
    {"restore_argument_text_too_long", kPlain2, {}, 3, {.outcome = O::kQuiet,
     .prepare = [](Run& r) { r.args = {"/RESTORE=" + std::string(5000, 'r')}; },
     .damage = ToRestore}},
};

// ---- Files past 2 GiB and at 4 GiB, grown sparse ----------------------------------

constexpr off_t kPast2GiB = (off_t{1} << 31) + 4096, k4GiB = off_t{1} << 32;

const Scenario kLarge[] = {
    {"lmr_past_2_gib", kSelection, {"/DRYRUN"}, 1, {.sizes = {{kLmr1, kPast2GiB}}}},
    {"lmr_of_4_gib_dry_run", kPlain2, {"/DRYRUN"}, 2, {.sizes = {{kLmr1, k4GiB}}}},
    {"lmr_of_4_gib_write_run", kPlain2, {}, 2, {.sizes = {{kLmr1, k4GiB}}}},
    {"dat_of_4_gib", kPlain2, {}, 2, {.sizes = {{kDat, k4GiB}}}},
};

class Scenarios : public testing::TestWithParam<Scenario> {};
TEST_P(Scenarios, Run) { RunScenario(GetParam()); }
std::string Name(const testing::TestParamInfo<Scenario>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(CommandLine, Scenarios, testing::ValuesIn(kCommandLine), Name);
INSTANTIATE_TEST_SUITE_P(Preview, Scenarios, testing::ValuesIn(kPreview), Name);
INSTANTIATE_TEST_SUITE_P(Driver, Scenarios, testing::ValuesIn(kDriver), Name);
INSTANTIATE_TEST_SUITE_P(Write, Scenarios, testing::ValuesIn(kWrite), Name);
INSTANTIATE_TEST_SUITE_P(Limits, Scenarios, testing::ValuesIn(kLimits), Name);
INSTANTIATE_TEST_SUITE_P(Hostile, Scenarios, testing::ValuesIn(kHostile), Name);
INSTANTIATE_TEST_SUITE_P(Backup, Scenarios, testing::ValuesIn(kBackup), Name);
INSTANTIATE_TEST_SUITE_P(Restore, Scenarios, testing::ValuesIn(kRestore), Name);
INSTANTIATE_TEST_SUITE_P(LargeFiles, Scenarios, testing::ValuesIn(kLarge), Name);

}  // namespace
