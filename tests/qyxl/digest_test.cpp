// SHA-1 digests: known vectors, files larger than one read block, files
// that cannot be hashed, and bytes hashed as they arrive.
#include "digest.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using xelotest::TempDir;
using xelotest::writeFile;

TEST(Digest, Sha1OfFilesInLowerCaseHex) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string content;
    const char* sha1;
  };
  const Case cases[] = {
      {"abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      // Larger than one read block, and not a multiple of it.
      {"million", std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / c.name, c.content);
    EXPECT_EQ(qyxl::hexText(qyxl::sha1OfFile(dir / c.name)), c.sha1);
  }
  EXPECT_TRUE(qyxl::sha1OfFile(dir / "missing").empty());
  EXPECT_TRUE(qyxl::sha1OfFile(dir.path()).empty());  // a directory has no contents to hash
}

TEST(Digest, HexTextGivesTwoLowerCaseDigitsPerByte) {
  EXPECT_EQ(qyxl::hexText({0x00, 0x0f, 0xa0, 0xff}), "000fa0ff");
  EXPECT_EQ(qyxl::hexText({}), "");
}

TEST(Digest, RunningHashEqualsTheHashOfTheWhole) {
  const std::string text = "The quick brown fox jumps over the lazy dog";
  qyxl::Sha1 pieces;
  for (std::size_t at = 0; at < text.size(); at += 7)
    EXPECT_TRUE(pieces.update(text.data() + at, std::min<std::size_t>(7, text.size() - at)));
  EXPECT_TRUE(pieces.update(nullptr, 0));
  EXPECT_EQ(qyxl::hexText(pieces.finish()), "2fd4e1c67a2d28fced849ee1bb76e7391b93eb12");
}

TEST(Digest, ADigestIsTakenOnlyOnce) {
  // A spent hasher must not hand out a digest that no longer describes the
  // bytes given to it.
  qyxl::Sha1 sha1;
  ASSERT_TRUE(sha1.update("abc", 3));
  EXPECT_EQ(qyxl::hexText(sha1.finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_FALSE(sha1.update("d", 1));
  EXPECT_TRUE(sha1.finish().empty());
}

}  // namespace
