// What the other tests rely on in the sample-BBS writer and the harness: file
// sizes, record fields and non-zero filler, pointer records, QVNODE.DAT fields,
// caller slots, the same bytes for the same seed, the expected packed files, and
// a tree hash that sees every change.
#include <gtest/gtest.h>

#include <cstdio>

#include "harness.h"

namespace {

SampleRecipe SmallRecipe() {
  SampleRecipe recipe;
  recipe.users = 40;
  recipe.conferences = 2;
  recipe.capacity = 60;
  recipe.seed = 7;
  recipe.today = {2026, 3, 1};
  return recipe;
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

void Write(const SampleRecipe& recipe, Sample* sample) {
  std::string error;
  ASSERT_TRUE(WriteSampleBbs(sample->scratch.path + "/BBS", recipe, &sample->paths, &error)) << error;
}

std::string ReadOrEmpty(const std::string& path) {
  std::string bytes;
  ReadWholeFile(path, &bytes);
  return bytes;
}

TEST(SampleBbs, WritesEveryFileAtItsSize) {
  Sample sample;
  SampleRecipe recipe = SmallRecipe();
  recipe.purgedLog = true;
  Write(recipe, &sample);
  std::map<std::string, std::string> tree = ReadTree(sample.scratch.path + "/BBS");
  std::map<std::string, size_t> sizes;
  for (const auto& [name, bytes] : tree) sizes[name] = bytes.size();
  const std::string log = PurgedLogBytes(recipe);
  const std::map<std::string, size_t> expected = {
      {"QVNODE.DAT", 192},          {"WORK/QVUSERS.DAT", 40 * 315}, {"WORK/QVUSERS.PTR", 40 * 31},
      {"WORK/QVWHOSON.DAT", 1536},  {"WORK/QVPURGED.USR", log.size()},
      {"MESSAGE/QVMSG1.LMR", 240},  {"MESSAGE/QVMSG2.LMR", 240}};
  EXPECT_EQ(sizes, expected);
  EXPECT_EQ(sample.paths.work, sample.scratch.path + "/BBS/WORK");
  EXPECT_EQ(sample.paths.message, sample.scratch.path + "/BBS/MESSAGE");
  EXPECT_EQ(tree["WORK/QVPURGED.USR"], log);
}

TEST(SampleBbs, RecordsHoldThePlannedFieldsAndNonZeroFiller) {
  Sample sample;
  SampleRecipe recipe = SmallRecipe();
  Write(recipe, &sample);
  const std::vector<SampleUser> users = PlanSampleUsers(recipe);
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
        ASSERT_EQ(uint8_t(record[o]), UserFillerByte(recipe.seed, user.number, o)) << "offset " << o;
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

TEST(SampleBbs, SameSeedSameBytesOtherSeedOtherBytes) {
  Sample first, second, third;
  SampleRecipe recipe = SmallRecipe();
  recipe.purgedLog = true;
  recipe.callers = {{4, 9, 2}};
  Write(recipe, &first);
  Write(recipe, &second);
  recipe.seed = 8;
  Write(recipe, &third);
  const auto a = HashTree(first.scratch.path);
  EXPECT_EQ(DiffTrees(a, HashTree(second.scratch.path)), "");
  EXPECT_EQ(DiffTrees(a, HashTree(third.scratch.path)),
            "changed BBS/MESSAGE/QVMSG1.LMR\nchanged BBS/MESSAGE/QVMSG2.LMR\n"
            "changed BBS/WORK/QVPURGED.USR\nchanged BBS/WORK/QVUSERS.DAT\n"
            "changed BBS/WORK/QVUSERS.PTR\nchanged BBS/WORK/QVWHOSON.DAT\n");
}

TEST(SampleBbs, NodeFileFieldsAndWhereTheFilesGo) {
  Sample unset, relative, absolute;
  SampleRecipe recipe = SmallRecipe();
  Write(recipe, &unset);
  std::string node = ReadOrEmpty(unset.scratch.path + "/BBS/QVNODE.DAT");
  ASSERT_EQ(node.size(), 192u);
  EXPECT_EQ(node[18], 0);
  EXPECT_EQ(node[105], 0);
  for (size_t i = 0; i < node.size(); ++i) {
    if (i != 18 && i != 105) {
      ASSERT_EQ(node[i], char('A' + i % 26)) << i;
    }
  }

  recipe.workField = "DATA/WORK";
  recipe.messageField = "MSGS/";
  Write(recipe, &relative);
  node = ReadOrEmpty(relative.scratch.path + "/BBS/QVNODE.DAT");
  EXPECT_EQ(node.substr(18, 10), "\x09" "DATA/WORK");
  EXPECT_EQ(node[28], char('A' + 28 % 26));  // filler after the field's text
  EXPECT_EQ(node.substr(105, 6), "\x05MSGS/");
  EXPECT_EQ(relative.paths.work, relative.scratch.path + "/BBS/DATA/WORK");
  EXPECT_EQ(relative.paths.message, relative.scratch.path + "/BBS/MSGS");
  EXPECT_TRUE(FileExists(relative.paths.work + "/QVUSERS.DAT"));
  EXPECT_TRUE(FileExists(relative.paths.message + "/QVMSG2.LMR"));
  EXPECT_FALSE(IsDirectory(relative.scratch.path + "/BBS/WORK"));

  recipe.workField = absolute.scratch.path + "/W";
  recipe.messageField = absolute.scratch.path + "/M";
  recipe.nodeFileSize = 134;
  Write(recipe, &absolute);
  node = ReadOrEmpty(absolute.scratch.path + "/BBS/QVNODE.DAT");
  EXPECT_EQ(node.size(), 134u);
  EXPECT_EQ(node.substr(19, uint8_t(node[18])), recipe.workField);
  EXPECT_EQ(node.substr(106, uint8_t(node[105])), recipe.messageField);
  EXPECT_TRUE(FileExists(absolute.scratch.path + "/W/QVWHOSON.DAT"));
  EXPECT_TRUE(FileExists(absolute.scratch.path + "/M/QVMSG1.LMR"));

  ASSERT_TRUE(SetNodeField(absolute.scratch.path + "/BBS", kNodeWorkOffset, 29, "WORK"));
  node = ReadOrEmpty(absolute.scratch.path + "/BBS/QVNODE.DAT");
  EXPECT_EQ(node.substr(18, 5), "\x1DWORK");
}

TEST(SampleBbs, CallerFileAndLmrSlots) {
  Sample sample;
  SampleRecipe recipe = SmallRecipe();
  recipe.callers = {{3, 12, 0x0A}, {255, -1, 7}};
  Write(recipe, &sample);
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

  // Capacity slots past the users are not zero either, so that a pack that
  // forgets to zero them shows; each conference has its own values.
  const std::string lmr1 = ReadOrEmpty(LmrFilePath(sample.paths.message, 1));
  const std::string lmr2 = ReadOrEmpty(LmrFilePath(sample.paths.message, 2));
  ASSERT_EQ(lmr1.size(), 240u);
  for (size_t at = 0; at < lmr1.size(); at += 4) {
    EXPECT_NE(lmr1.substr(at, 4), std::string(4, '\0')) << "slot " << at / 4 + 1;
  }
  EXPECT_NE(lmr1, lmr2);
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
}

}  // namespace
