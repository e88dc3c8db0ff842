#include "host/paths.h"

#include <gtest/gtest.h>

namespace XELO {
namespace {

TEST(Paths, BackslashCountsAsSeparatorOnPosix) {
  EXPECT_TRUE(isPathSeparator('/'));
  EXPECT_TRUE(isPathSeparator('\\'));
  EXPECT_FALSE(isPathSeparator(':'));
  EXPECT_EQ(lastSeparator("a/b\\c"), 3u);
  EXPECT_EQ(lastSeparator("a\\b/c"), 3u);
  EXPECT_EQ(lastSeparator("abc"), std::string::npos);
  EXPECT_EQ(lastSeparator(""), std::string::npos);
}

TEST(Paths, JoinAddsOneSeparatorOnlyWhenNeeded) {
  EXPECT_EQ(joinPath("/work", "boot"), "/work/boot");
  EXPECT_EQ(joinPath("/work/", "boot"), "/work/boot");
  EXPECT_EQ(joinPath("C:\\work\\", "boot"), "C:\\work\\boot");
  EXPECT_EQ(joinPath("", "boot"), "boot");
  EXPECT_EQ(joinPath("/work", ""), "/work/");
}

TEST(Paths, AbsoluteMeansLeadingSlash) {
  EXPECT_TRUE(isAbsolutePath("/var/lib"));
  EXPECT_FALSE(isAbsolutePath("work/dir"));
  EXPECT_FALSE(isAbsolutePath("C:work"));
  EXPECT_FALSE(isAbsolutePath(""));
}

TEST(Paths, DoublingKeepsPairsAndRoundTrips) {
  EXPECT_EQ(doubleSeparators("/a/b"), "//a//b");
  EXPECT_EQ(doubleSeparators("//a//b"), "//a//b");  // already doubled
  EXPECT_EQ(doubleSeparators("a///b"), "a////b");   // a pair plus a single one
  EXPECT_EQ(doubleSeparators("a\\b"), "a\\b");      // only the native separator
  EXPECT_EQ(undoubleSeparators("//a//b"), "/a/b");
  EXPECT_EQ(undoubleSeparators("/a/b"), "/a/b");
  EXPECT_EQ(undoubleSeparators("a///b"), "a//b");
  for (const std::string path : {"/", "/w d/x", "rel/x/", "a"})
    EXPECT_EQ(undoubleSeparators(doubleSeparators(path)), path) << path;
}

}  // namespace
}  // namespace XELO
