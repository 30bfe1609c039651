// File identity: the FNV-1a 64 hash and the LMR file-name rule.
#include <gtest/gtest.h>

#include <string>

#include "safety/file_snapshot.h"
#include "safety/lmr_inventory.h"

namespace {

uint64_t Hash(const std::string& bytes, uint64_t start = kFnvOffsetBasis) {
  return Fnv1a64Update(start, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

TEST(Fnv1a64, KnownVectorsAndContinuation) {
  EXPECT_EQ(Hash(""), 0xCBF29CE484222325ULL);
  EXPECT_EQ(Hash("a"), 0xAF63DC4C8601EC8CULL);
  EXPECT_EQ(Hash("foobar"), 0x85944171F73967E8ULL);
  // Hashing in pieces gives the hash of the whole, wherever the pieces break.
  const std::string text = "QVUSERS.DAT and QVUSERS.PTR";
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    EXPECT_EQ(Hash(text.substr(cut), Hash(text.substr(0, cut))), Hash(text)) << cut;
  }
}

TEST(LmrFileName, AcceptsOnlyQvmsgDigitsLmr) {
  for (const char* name : {"QVMSG1.LMR", "qvmsg01.lmr", "QvMsG7.lMr", "QVMSG1234567.LMR"}) {
    EXPECT_TRUE(IsLmrFileName(name)) << name;
  }
  for (const char* name : {"QVMSG.LMR", "QVMSG12345678.LMR", "QVMSG1A.LMR", "QVMSGX1.LMR",
                           "QVMSG1.LMRX", "XQVMSG1.LMR", "QVMSG1.LMQ", "QVMSG\xB2.LMR"}) {
    EXPECT_FALSE(IsLmrFileName(name)) << name;
  }
}

}  // namespace
