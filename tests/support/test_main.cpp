// Every test binary runs with a private system drive and current directory,
// so nothing a test does reaches the real support directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "test_support.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  xelotest::TempDir drive("xelo-drive");
  xelotest::TempDir cwd("xelo-cwd");
  setenv("SYSTEMDRIVE", drive.path().c_str(), 1);
  if (chdir(cwd.path().c_str()) != 0) return 2;
  return RUN_ALL_TESTS();
}
