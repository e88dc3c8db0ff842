#include "media/burner.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

namespace fs = std::filesystem;
using namespace XELO;
using xelotest::writeFile;

TEST(Burner, DrivesThatAreNeitherOpticalNorADiscImageAreRefused) {
  xelotest::TempDir dir("burner");
  writeFile(dir / "image.iso", std::string(4096, '\0'));
  EXPECT_EQ(burnCD(dir / "image.iso", dir.path()), 235);
  EXPECT_EQ(burnCD(dir / "image.iso", "/dev/null"), 235);
  EXPECT_EQ(burnCD(dir / "image.iso", "E:"), 235);
  EXPECT_EQ(findScsiAddress(dir.path()), "");
}

TEST(Burner, AnImageThatCannotBeBurnedIsReportedAsABurnFailure) {
  xelotest::TempDir dir("burner");
  writeFile(dir / "disc.img", "");
  writeFile(dir / "image.bin", std::string(4096, '\0'));
  EXPECT_EQ(findScsiAddress(dir / "disc.img"), "stdio:" + dir / "disc.img");
  EXPECT_EQ(burnCD(dir / "image.bin", dir / "disc.img"), 222);
  EXPECT_EQ(fs::file_size(dir / "disc.img"), 0u);
}

TEST(Burner, BurningIsAvailableThroughTheBurningLibrary) {
  std::string message;
  EXPECT_TRUE(imapi2Status(message));
  EXPECT_EQ(message.rfind("Discs are burned through libburn ", 0), 0u) << message;

  xelotest::TempDir dir("burner");
  writeFile(dir / "disc.img", "");
  EXPECT_TRUE(cdBurnerStatus(dir / "disc.img", message));
  EXPECT_FALSE(cdBurnerStatus(dir / "missing.img", message));
  EXPECT_EQ(message, "Media creation error: There is no disk or wrong disk in drive");
}
