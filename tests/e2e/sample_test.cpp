// Tests of the sample-BBS writer and of the harness itself, plus the first
// smoke test of the program under test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>

#include "harness.h"

namespace {

SampleSpec SmallSpec() {
  SampleSpec spec;
  spec.users = 40;
  spec.conferences = 2;
  spec.capacity = 60;
  spec.seed = 7;
  spec.today = {2026, 3, 1};
  return spec;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += char(v);
  return bytes;
}

std::string Pascal(const std::string& record, unsigned offset) {
  return record.substr(offset + 1, uint8_t(record[offset]));
}

int Le16(const std::string& bytes, size_t at) {
  return int16_t(uint8_t(bytes[at]) | (uint8_t(bytes[at + 1]) << 8));
}

bool IsFieldByte(const std::string& record, unsigned o) {
  const unsigned fields[][2] = {{kUserNameOffset, kNameCapacity},
                                {kCallingFromOffset, kCallingFromCapacity},
                                {kTimeDateOffset, kTimeDateCapacity}};
  for (const auto& field : fields) {
    if (o >= field[0] && o <= field[0] + uint8_t(record[field[0]])) return true;
  }
  return o == kSecurityOffset || o == kSecurityOffset + 1 || o == kAllowPurgeOffset ||
         o == kDeletedOffset;
}

struct Sample {
  ScratchDir scratch;
  SamplePaths paths;
};

void Write(const SampleSpec& spec, Sample* sample) {
  std::string error;
  ASSERT_TRUE(WriteSampleBbs(sample->scratch.path + "/BBS", spec, &sample->paths, &error)) << error;
}

std::string ReadOrEmpty(const std::string& path) {
  std::string bytes;
  ReadWholeFile(path, &bytes);
  return bytes;
}

TEST(SampleBbs, WritesEveryFileAtItsSize) {
  Sample sample;
  SampleSpec spec = SmallSpec();
  spec.purgedLog = true;
  Write(spec, &sample);
  std::map<std::string, std::string> tree = ReadTree(sample.scratch.path + "/BBS");
  std::map<std::string, size_t> sizes;
  for (const auto& [name, bytes] : tree) sizes[name] = bytes.size();
  const std::string log = PurgedLogBytes(spec);
  const std::map<std::string, size_t> expected = {
      {"QVNODE.DAT", 192},          {"WORK/QVUSERS.DAT", 40 * 315}, {"WORK/QVUSERS.PTR", 40 * 31},
      {"WORK/QVWHOSON.DAT", 1536},  {"WORK/QVPURGED.USR", log.size()},
      {"MESSAGE/QVMSG1.LMR", 240},  {"MESSAGE/QVMSG2.LMR", 240}};
  EXPECT_EQ(sizes, expected);
  EXPECT_EQ(sample.paths.work, sample.scratch.path + "/BBS/WORK");
  EXPECT_EQ(sample.paths.message, sample.scratch.path + "/BBS/MESSAGE");
  // An earlier audit block: CR LF lines, the column heading, ends with CR LF.
  EXPECT_EQ(tree["WORK/QVPURGED.USR"], log);
  EXPECT_EQ(log.substr(0, 2), "\r\n");
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  EXPECT_NE(log.find("\r\nCALLER NAME                    SECURITY  LAST CALLED     CALLING FROM\r\n" +
                     std::string(79, '-') + "\r\n"),
            std::string::npos);
  for (size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1)) {
    EXPECT_EQ(log[at - 1], '\r') << at;
  }
}

TEST(SampleBbs, RecordsHoldThePlannedFieldsAndNonZeroFiller) {
  Sample sample;
  SampleSpec spec = SmallSpec();
  Write(spec, &sample);
  const std::vector<SampleUser> users = PlanSampleUsers(spec);
  const std::string dat = ReadOrEmpty(UserFilePath(sample.paths.work));
  const std::string ptr = ReadOrEmpty(PointerFilePath(sample.paths.work));
  ASSERT_EQ(dat.size(), users.size() * kUserRecordSize);
  for (const SampleUser& user : users) {
    SCOPED_TRACE(user.number);
    const std::string record = dat.substr((user.number - 1) * kUserRecordSize, kUserRecordSize);
    EXPECT_EQ(Pascal(record, kUserNameOffset), user.name);
    EXPECT_EQ(Pascal(record, kCallingFromOffset), user.callingFrom);
    EXPECT_EQ(Pascal(record, kTimeDateOffset), user.timeDate);
    EXPECT_EQ(Le16(record, kSecurityOffset), user.security);
    EXPECT_EQ(record[kAllowPurgeOffset], char(user.allowPurge));
    EXPECT_EQ(record[kDeletedOffset], char(user.deleted));
    EXPECT_EQ(ptr.substr((user.number - 1) * kPointerRecordSize, kPointerRecordSize),
              record.substr(0, kPointerRecordSize));
    for (unsigned o = 0; o < kUserRecordSize; ++o) {
      if (!IsFieldByte(record, o)) {
        ASSERT_EQ(uint8_t(record[o]), UserFillerByte(spec.seed, user.number, o)) << "offset " << o;
        ASSERT_NE(record[o], 0) << "offset " << o;
      }
    }
  }
  // The filler differs between users, so mixed-up records are caught.
  EXPECT_NE(dat.substr(62, 15), dat.substr(kUserRecordSize + 62, 15));
  EXPECT_NE(dat.substr(269, 46), dat.substr(kUserRecordSize + 269, 46));
  EXPECT_EQ(users[0].name, "SYSOP");
  EXPECT_FALSE(users[0].deleted);
}

TEST(SampleBbs, PlanFollowsTheSharesListsAndAges) {
  SampleSpec spec = SmallSpec();
  spec.users = 2000;
  spec.deletedPercent = 25;
  spec.allowPurgePercent = 60;
  spec.oldPercent = 40;
  spec.oldDays = 90;
  spec.securityLevels = {-1, 5};
  const std::vector<SampleUser> users = PlanSampleUsers(spec);
  size_t deleted = 0, allow = 0, old = 0;
  for (const SampleUser& user : users) {
    deleted += user.deleted;
    allow += user.allowPurge;
    old += user.old;
    EXPECT_EQ(user.old, user.ageDays >= 90);
    EXPECT_GE(user.ageDays, 0);
    EXPECT_TRUE(user.security == -1 || user.security == 5);
    EXPECT_TRUE(user.timeDate.size() == 8 || user.timeDate.size() == 10) << user.timeDate;
  }
  EXPECT_NEAR(double(deleted) / 2000, 0.25, 0.04);
  EXPECT_NEAR(double(allow) / 2000, 0.60, 0.04);
  EXPECT_NEAR(double(old) / 2000, 0.40, 0.04);
  EXPECT_EQ(DeletedUserNumbers(users).size(), deleted);
  EXPECT_EQ(OldUserNumbers(users).size(), old);

  spec.deletedUsers = {3, 7, 1999};
  EXPECT_EQ(DeletedUserNumbers(PlanSampleUsers(spec)), (std::vector<uint32_t>{3, 7, 1999}));
  spec.user1Deleted = true;
  EXPECT_EQ(DeletedUserNumbers(PlanSampleUsers(spec)), (std::vector<uint32_t>{1, 3, 7, 1999}));
  spec.plainNames = true;
  EXPECT_EQ(PlanSampleUsers(spec)[41].name, "USER 0042");
}

TEST(SampleBbs, TimeDateCountsBackFromToday) {
  const SampleDate today = {2024, 3, 1};
  EXPECT_EQ(TimeDateForAge(today, 0, true), "03/01/2024");
  EXPECT_EQ(TimeDateForAge(today, 1, false), "02/29/24");
  EXPECT_EQ(TimeDateForAge(today, 366, true), "03/01/2023");
  EXPECT_EQ(TimeDateForAge({2000, 1, 1}, 1, false), "12/31/99");
  // Two-digit years stop at 1980: older dates keep four digits.
  EXPECT_EQ(TimeDateForAge({1980, 1, 1}, 1, false), "12/31/1979");
  EXPECT_EQ(TimeDateForAge({1900, 3, 1}, 1, true), "02/28/1900");
}

TEST(SampleBbs, SameSeedSameBytesOtherSeedOtherBytes) {
  Sample first, second, third;
  SampleSpec spec = SmallSpec();
  spec.purgedLog = true;
  spec.callers = {{4, 9, 2}};
  Write(spec, &first);
  Write(spec, &second);
  spec.seed = 8;
  Write(spec, &third);
  const auto a = HashTree(first.scratch.path);
  EXPECT_EQ(DiffTrees(a, HashTree(second.scratch.path)), "");
  EXPECT_EQ(DiffTrees(a, HashTree(third.scratch.path)),
            "changed BBS/MESSAGE/QVMSG1.LMR\nchanged BBS/MESSAGE/QVMSG2.LMR\n"
            "changed BBS/WORK/QVPURGED.USR\nchanged BBS/WORK/QVUSERS.DAT\n"
            "changed BBS/WORK/QVUSERS.PTR\nchanged BBS/WORK/QVWHOSON.DAT\n");
}

TEST(SampleBbs, NodeFileFieldsAndWhereTheFilesGo) {
  Sample unset, relative, absolute;
  SampleSpec spec = SmallSpec();
  Write(spec, &unset);
  std::string node = ReadOrEmpty(unset.scratch.path + "/BBS/QVNODE.DAT");
  ASSERT_EQ(node.size(), 192u);
  EXPECT_EQ(node[18], 0);
  EXPECT_EQ(node[105], 0);
  for (size_t i = 0; i < node.size(); ++i) {
    if (i != 18 && i != 105) {
      ASSERT_EQ(node[i], char('A' + i % 26)) << i;
    }
  }

  spec.workField = "DATA/WORK";
  spec.messageField = "MSGS/";
  Write(spec, &relative);
  node = ReadOrEmpty(relative.scratch.path + "/BBS/QVNODE.DAT");
  EXPECT_EQ(node.substr(18, 10), "\x09" "DATA/WORK");
  EXPECT_EQ(node[28], char('A' + 28 % 26));  // filler after the field's text
  EXPECT_EQ(node.substr(105, 6), "\x05MSGS/");
  EXPECT_EQ(relative.paths.work, relative.scratch.path + "/BBS/DATA/WORK");
  EXPECT_EQ(relative.paths.message, relative.scratch.path + "/BBS/MSGS");
  EXPECT_TRUE(FileExists(relative.paths.work + "/QVUSERS.DAT"));
  EXPECT_TRUE(FileExists(relative.paths.message + "/QVMSG2.LMR"));
  EXPECT_FALSE(IsDirectory(relative.scratch.path + "/BBS/WORK"));

  spec.workField = absolute.scratch.path + "/W";
  spec.messageField = absolute.scratch.path + "/M";
  spec.nodeFileSize = 134;
  Write(spec, &absolute);
  node = ReadOrEmpty(absolute.scratch.path + "/BBS/QVNODE.DAT");
  EXPECT_EQ(node.size(), 134u);
  EXPECT_EQ(node.substr(19, uint8_t(node[18])), spec.workField);
  EXPECT_EQ(node.substr(106, uint8_t(node[105])), spec.messageField);
  EXPECT_TRUE(FileExists(absolute.scratch.path + "/W/QVWHOSON.DAT"));
  EXPECT_TRUE(FileExists(absolute.scratch.path + "/M/QVMSG1.LMR"));

  ASSERT_TRUE(SetNodeField(absolute.scratch.path + "/BBS", kNodeWorkOffset, 29, "WORK"));
  node = ReadOrEmpty(absolute.scratch.path + "/BBS/QVNODE.DAT");
  EXPECT_EQ(node.substr(18, 5), "\x1DWORK");
}

TEST(SampleBbs, WindowsFieldRulesAndUnwritableFields) {
  const std::string home = "/tmp/x/BBS";
  SampleSpec spec;
  spec.windowsPathRules = true;
  spec.workField = "DATA\\WORK\\";
  spec.messageField = "Z:\\tmp\\y\\MSG";
  EXPECT_EQ(SampleWorkDir(home, spec), "/tmp/x/BBS/DATA/WORK");
  EXPECT_EQ(SampleMessageDir(home, spec), "/tmp/y/MSG");
  spec.windowsPathRules = false;
  std::string error;
  SamplePaths paths;
  EXPECT_FALSE(ResolveSamplePaths(home, spec, &paths, &error));
  EXPECT_NE(error.find("Z:\\tmp\\y\\MSG"), std::string::npos);
  spec.messageField = "";
  EXPECT_EQ(SampleWorkDir(home, spec), "/tmp/x/BBS/DATA\\WORK");  // one name natively
  EXPECT_EQ(SampleMessageDir(home + "/", spec), "/tmp/x/BBS/MESSAGE");
  spec.workField = std::string(29, 'W');
  EXPECT_FALSE(WriteSampleBbs("/tmp/never-written", spec, &error));
  EXPECT_FALSE(IsDirectory("/tmp/never-written"));
}

TEST(SampleBbs, CallerFileAndLmrSlots) {
  Sample sample;
  SampleSpec spec = SmallSpec();
  spec.callers = {{3, 12, 0x0A}, {255, -1, 7}};
  Write(spec, &sample);
  const std::string who = ReadOrEmpty(CallerFilePath(sample.paths.work));
  ASSERT_EQ(who.size(), 1536u);
  for (unsigned slot = 0; slot < 256; ++slot) {
    const int userNo = slot == 3 ? 12 : slot == 255 ? -1 : 0;
    EXPECT_EQ(Le16(who, slot * 6), userNo) << slot;
    for (unsigned i = 3; i < 6; ++i) EXPECT_NE(who[slot * 6 + i], 0) << slot;
  }
  EXPECT_EQ(who[3 * 6 + 2], 0x0A);
  ASSERT_TRUE(SetCaller(sample.paths.work, 7, 300, 0xFF));
  EXPECT_EQ(ReadOrEmpty(CallerFilePath(sample.paths.work)).substr(42, 3), Bytes({0x2C, 0x01, 0xFF}));

  for (uint32_t c = 1; c <= 2; ++c) {
    const std::string lmr = ReadOrEmpty(LmrFilePath(sample.paths.message, c));
    ASSERT_EQ(lmr.size(), 240u);
    for (uint64_t s = 1; s <= 60; ++s) {
      uint32_t value = 0;
      ASSERT_TRUE(ReadLmrSlot(sample.paths.message, c, s, &value));
      EXPECT_EQ(value, LmrSlotValue(spec.seed, c, s));
      EXPECT_NE(value, 0u) << "conference " << c << " slot " << s;  // capacity slots too
    }
  }
  EXPECT_NE(LmrSlotValue(spec.seed, 1, 5), LmrSlotValue(spec.seed, 2, 5));
  ASSERT_TRUE(WriteLmrSlot(sample.paths.message, 2, 60, 0x04030201));
  EXPECT_EQ(ReadOrEmpty(LmrFilePath(sample.paths.message, 2)).substr(236), Bytes({1, 2, 3, 4}));
}

TEST(SampleBbs, PatchHelpersChangeOnlyTheirBytes) {
  Sample sample;
  SampleSpec spec = SmallSpec();
  Write(spec, &sample);
  const std::string& work = sample.paths.work;
  std::string before, after, pointer;
  ASSERT_TRUE(ReadUserRecord(work, 5, &before));
  ASSERT_TRUE(SetUserName(work, 5, "ZED"));
  ASSERT_TRUE(SetCallingFrom(work, 5, "Nowhere"));
  ASSERT_TRUE(SetTimeDate(work, 5, "01/02/2020"));
  ASSERT_TRUE(SetSecurity(work, 5, -5));
  ASSERT_TRUE(SetAllowPurge(work, 5, 2));
  ASSERT_TRUE(SetDeleted(work, 5, 1));
  ASSERT_TRUE(ReadUserRecord(work, 5, &after));
  std::string expected = before;
  expected.replace(0, 4, "\x03ZED");
  expected.replace(31, 8, "\x07Nowhere");
  expected.replace(77, 11, "\x0A" "01/02/2020");
  expected.replace(114, 2, Bytes({0xFB, 0xFF}));
  expected[263] = 2;
  expected[268] = 1;
  EXPECT_EQ(after, expected);
  ASSERT_TRUE(ReadPointerRecord(work, 5, &pointer));
  EXPECT_EQ(pointer.substr(0, 4), "\x03ZED");
  EXPECT_EQ(pointer.substr(4), before.substr(4, 27));

  ASSERT_TRUE(SetUserName(work, 6, "ONLY DAT", false));
  ASSERT_TRUE(ReadPointerRecord(work, 6, &pointer));
  EXPECT_NE(pointer.substr(1, 8), "ONLY DAT");
  ASSERT_TRUE(SyncPointerRecord(work, 6));
  ASSERT_TRUE(ReadPointerRecord(work, 6, &pointer));
  EXPECT_EQ(pointer.substr(0, 9), "\x08ONLY DAT");

  ASSERT_TRUE(SetLengthByte(work, 7, kTimeDateOffset, 15));
  ASSERT_TRUE(ReadUserRecord(work, 7, &after));
  EXPECT_EQ(after[kTimeDateOffset], 15);
  EXPECT_FALSE(SetUserName(work, 7, std::string(31, 'N')));
  EXPECT_FALSE(SetTimeDate(work, 7, std::string(15, '1')));
  EXPECT_FALSE(ReadUserRecord(work, 41, &after));  // past the end
  EXPECT_FALSE(SetDeleted(work, 41, 1));
  EXPECT_FALSE(SetUserName(work, 41, "NEW"));
  EXPECT_EQ(ReadOrEmpty(PointerFilePath(work)).size(), 40u * kPointerRecordSize);
  EXPECT_EQ(ReadOrEmpty(UserFilePath(work)).size(), 40u * kUserRecordSize);
}

TEST(SampleBbs, PointerTailsCanDifferWhileNamesMatch) {
  Sample sample;
  SampleSpec spec = SmallSpec();
  spec.pointerTailDiffers = true;
  Write(spec, &sample);
  const std::string dat = ReadOrEmpty(UserFilePath(sample.paths.work));
  const std::string ptr = ReadOrEmpty(PointerFilePath(sample.paths.work));
  for (uint32_t n = 1; n <= spec.users; ++n) {
    const std::string record = dat.substr((n - 1) * kUserRecordSize, kPointerRecordSize);
    const std::string pointer = ptr.substr((n - 1) * kPointerRecordSize, kPointerRecordSize);
    const size_t nameEnd = 1 + uint8_t(record[0]);
    EXPECT_EQ(pointer.substr(0, nameEnd), record.substr(0, nameEnd)) << n;
    if (nameEnd < kPointerRecordSize) {
      EXPECT_NE(pointer.substr(nameEnd), record.substr(nameEnd)) << n;
    }
  }
  // A pack rebuilds pointer records from the user records' bytes.
  EXPECT_NE(PackedPointerFile(dat, {}), ptr);
  EXPECT_EQ(PackedPointerFile(dat, {}).size(), ptr.size());
}

TEST(SampleBbs, PackedFilesKeepRetainedRecordsAndZeroTheCapacity) {
  std::string dat;
  for (char c : std::string("ABCDE")) dat += std::string(kUserRecordSize, c);
  EXPECT_EQ(PackedUserFile(dat, {2, 4}),
            std::string(315, 'A') + std::string(315, 'C') + std::string(315, 'E'));
  EXPECT_EQ(PackedPointerFile(dat, {1, 5}),
            std::string(31, 'B') + std::string(31, 'C') + std::string(31, 'D'));
  const std::string lmr = "1111222233334444555566667777";  // 7 slots, 5 users
  EXPECT_EQ(PackedLmrFile(lmr, 5, {2, 4}), "111133335555" + std::string(16, '\0'));
  EXPECT_EQ(PackedLmrFile(lmr, 5, {}), "11112222333344445555" + std::string(8, '\0'));
}

TEST(SampleTool, CommandLineWritesWhatTheLibraryWrites) {
  ScratchDir scratch;
  const RunResult help = RunCommand(scratch.path, {SampleToolPath(), "--help"});
  ASSERT_TRUE(help.started) << help.err;
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option :
       {"--users=", "--conferences=", "--capacity=", "--seed=", "--today=", "--plain-names",
        "--deleted=", "--deleted-users=", "--user1-deleted", "--allow-purge=", "--old=",
        "--old-days=", "--security=", "--pointer-tail-differs", "--callers=", "--work=",
        "--message=", "--node-size=", "--windows-paths", "--purged-log", "--help"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }

  const RunResult made = RunCommand(
      scratch.path,
      {SampleToolPath(), "--users=25", "--conferences=4", "--capacity=30", "--seed=9",
       "--today=2025-12-31", "--plain-names", "--deleted-users=2,5", "--user1-deleted",
       "--allow-purge=50", "--old=20", "--old-days=45", "--security=10,-3", "--callers=3,9:4:16",
       "--work=W", "--message=M", "--node-size=150", "--purged-log", "--pointer-tail-differs",
       "cli"});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  SampleSpec spec;
  spec.users = 25;
  spec.conferences = 4;
  spec.capacity = 30;
  spec.seed = 9;
  spec.today = {2025, 12, 31};
  spec.plainNames = true;
  spec.deletedUsers = {2, 5};
  spec.user1Deleted = true;
  spec.allowPurgePercent = 50;
  spec.oldPercent = 20;
  spec.oldDays = 45;
  spec.securityLevels = {10, -3};
  spec.callers = {{3, 3, 1}, {9, 4, 16}};
  spec.workField = "W";
  spec.messageField = "M";
  spec.nodeFileSize = 150;
  spec.purgedLog = true;
  spec.pointerTailDiffers = true;
  std::string error;
  ASSERT_TRUE(WriteSampleBbs(scratch.path + "/lib", spec, &error)) << error;
  EXPECT_EQ(DiffTrees(ReadTree(scratch.path + "/lib"), ReadTree(scratch.path + "/cli")), "");
  EXPECT_EQ(ReadTree(scratch.path + "/cli").size(), 9u);

  for (const char* bad : {"--users=x", "--deleted=101", "--callers=256", "--work=" 
                          "12345678901234567890123456789", "--bogus"}) {
    const RunResult rejected = RunCommand(scratch.path, {SampleToolPath(), bad, "bad"});
    EXPECT_EQ(rejected.exitCode, 2) << bad;
  }
  EXPECT_FALSE(IsDirectory(scratch.path + "/bad"));
}

TEST(Harness, NormaliseClockReplacesTheRunClockOnly) {
  const std::string transcript =
      "Started:             2026-12-05 02:07:09\n"
      "Pack date:        2026-12-05\n"
      "Preview date:        2026-12-05\n"
      "QVCULLDB32 0.4.0-beta1 packed on 2026-12-05 at 02:07:09\r\n"
      "Backup directory:   /b/QVCULLDB-20261205-020709-001\n"
      "WILL-PURGE #7      Name='X' Sec=10 Last='12/05/2026' Age=400\n";
  EXPECT_EQ(NormaliseClock(transcript),
            "Started:             YYYY-MM-DD HH:MM:SS\n"
            "Pack date:        YYYY-MM-DD\n"
            "Preview date:        YYYY-MM-DD\n"
            "QVCULLDB32 0.4.0-beta1 packed on YYYY-MM-DD at HH:MM:SS\r\n"
            "Backup directory:   /b/QVCULLDB-YYYYMMDD-HHMMSS-001\n"
            "WILL-PURGE #7      Name='X' Sec=10 Last='12/05/2026' Age=400\n");
  EXPECT_EQ(NormaliseLineEnds("a\r\nb\rc\r\n\r\n"), "a\nb\rc\n\n");
}

// Runs a stand-in program through RunProgram to check what the harness reports.
TEST(Harness, RunProgramReportsExitSignalOutputAndNewReportText) {
  if (UnderWine()) GTEST_SKIP() << "the stand-in is a POSIX script";
  ScratchDir scratch;
  const std::string script = scratch.path + "/standin.sh";
  ASSERT_TRUE(WriteWholeFile(script,
                             "#!/bin/sh\n"
                             "printf 'out:%s|' \"$@\"; printf 'err\\n' >&2\n"
                             "printf 'run %s\\n' \"$1\" >> QVCULLDB32_REPORT.TXT\n"
                             "[ \"$1\" = kill ] && kill -TERM $$\n"
                             "read line && echo \"stdin gave $line\"\n"
                             "echo \"extra=$QV_EXTRA\"\n"
                             "exit 3\n"));
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  const std::string home = scratch.path + "/home";
  ASSERT_TRUE(MakeDirectories(home));
  ASSERT_TRUE(WriteWholeFile(home + "/" + kReportName, "earlier run\n"));
  const char* saved = std::getenv("QV_PROGRAM");
  const std::string savedProgram = saved ? saved : "";
  ::setenv("QV_PROGRAM", script.c_str(), 1);

  const RunResult first = RunProgram(home, {"one", "two words"}, {"QV_EXTRA=shim"});
  const RunResult second = RunProgram(home, {"kill"});
  if (saved) {
    ::setenv("QV_PROGRAM", savedProgram.c_str(), 1);
  } else {
    ::unsetenv("QV_PROGRAM");
  }
  EXPECT_TRUE(first.started);
  EXPECT_EQ(first.exitCode, 3);
  EXPECT_EQ(first.signal, 0);
  EXPECT_EQ(first.out, "out:one|out:two words|extra=shim\n");
  EXPECT_EQ(first.err, "err\n");
  EXPECT_EQ(first.report, "run one\n");
  EXPECT_EQ(second.exitCode, -1);
  EXPECT_EQ(second.signal, SIGTERM);
  EXPECT_EQ(second.report, "run kill\n");
  EXPECT_EQ(ReadOrEmpty(home + "/" + kReportName), "earlier run\nrun one\nrun kill\n");

  const RunResult missing = RunCommand(home, {scratch.path + "/no-such-program"});
  EXPECT_FALSE(missing.started);
}

TEST(Harness, HashTreeSeesBytesNamesAndDirectories) {
  ScratchDir scratch;
  ASSERT_TRUE(MakeDirectories(scratch.path + "/a/b"));
  ASSERT_TRUE(WriteWholeFile(scratch.path + "/a/b/f", "xyz"));
  const auto before = HashTree(scratch.path);
  char expected[64];
  std::snprintf(expected, sizeof expected, "3:%016llX",
                static_cast<unsigned long long>(Fnv1a64("xyz")));
  EXPECT_EQ(before.at("a/b/f"), expected);
  EXPECT_EQ(Fnv1a64(""), 0xCBF29CE484222325ull);
  ASSERT_TRUE(WriteWholeFile(scratch.path + "/a/b/f", "xyZ"));
  ASSERT_TRUE(MakeDirectories(scratch.path + "/a/c"));
  EXPECT_EQ(DiffTrees(before, HashTree(scratch.path)), "changed a/b/f\nadded a/c/\n");
  EXPECT_EQ(ListDirectory(scratch.path + "/a"), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(HostPath("/tmp/x"), UnderWine() ? "Z:\\tmp\\x" : "/tmp/x");
  EXPECT_EQ(Sep(), UnderWine() ? '\\' : '/');
}

TEST(Harness, RemoveTreeRemovesReadOnlyDirectories) {
  const std::string dir = MakeScratchDir();
  ASSERT_FALSE(dir.empty());
  ASSERT_TRUE(MakeDirectories(dir + "/locked/inner"));
  ASSERT_TRUE(WriteWholeFile(dir + "/locked/inner/f", "x"));
  ASSERT_EQ(::chmod((dir + "/locked/inner").c_str(), 0500), 0);
  ASSERT_EQ(::chmod((dir + "/locked").c_str(), 0500), 0);
  RemoveTree(dir);
  EXPECT_FALSE(IsDirectory(dir));
}

TEST(ProgramSmoke, VersionLine) {
  ScratchDir scratch;
  ASSERT_TRUE(EnsureWineReady());
  const RunResult result = RunProgram(scratch.path, {"/VERSION"});
  ASSERT_TRUE(result.started) << result.err;
  EXPECT_EQ(result.out, "QVCULLDB32 0.4.0-beta1\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.report, "");
}

}  // namespace
