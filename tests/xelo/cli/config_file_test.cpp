#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "cli/config_file.h"
#include "cli/errors.h"
#include "host/host.h"
#include "test_support.h"

namespace XELO {
namespace {

TEST(PortablePath, RelativePathsGoBelowThePortableDirectory) {
  EXPECT_EQ(resolvePortablePath("/opt/xelo", "work"), "/opt/xelo/work");
  EXPECT_EQ(resolvePortablePath("/opt/xelo/", "work"), "/opt/xelo/work");
  EXPECT_EQ(resolvePortablePath("/opt/xelo", "./work"), "/opt/xelo/work");
  EXPECT_EQ(resolvePortablePath("/opt/xelo", "."), "/opt/xelo");
  EXPECT_EQ(resolvePortablePath("/opt/xelo", "/srv/work"), "/srv/work");
  EXPECT_EQ(resolvePortablePath("", "work"), "work");
}

class RecheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeDirectory(supportDirectory());
    oldOut = std::cout.rdbuf(out.rdbuf());
  }
  void TearDown() override { std::cout.rdbuf(oldOut); }
  std::ostringstream out;
  std::streambuf* oldOut = nullptr;
};

TEST_F(RecheckTest, MergedOptionsAreRefusedWithTheirResultWord) {
  Options options;
  options.functions = {"novpi", "kyt", "novpi"};
  options.machineTypes = {"7101", "NULL", "all"};
  options.kernelArgs = "console=ttyS0,115200 console=tty1";
  EXPECT_EQ(recheckMergedOptions(options), 0);
  EXPECT_EQ(options.functions, (std::vector<std::string>{"novpi", "kyt"}));
  EXPECT_EQ(options.machineTypes, (std::vector<std::string>{"7101", "all"}));

  options.functions = {"novpi", "floppy"};
  EXPECT_EQ(recheckMergedOptions(options), 101);
  EXPECT_NE(out.str().find("Error: The function \"floppy\" you specified is not supported!"), std::string::npos);
  EXPECT_NE(xelotest::readFile(cliResultPath()).find("Argument invalid or missing: invalid function"),
            std::string::npos);

  options.functions = {"novpi"};
  options.machineTypes = {"710"};
  EXPECT_EQ(recheckMergedOptions(options), 101);
  EXPECT_NE(xelotest::readFile(cliResultPath()).find("invalid machine type"), std::string::npos);

  options.machineTypes = {"7101"};
  options.kernelArgs = "console=ttyS2,115200 console=tty1";
  EXPECT_EQ(recheckMergedOptions(options), 101);
  EXPECT_NE(out.str().find("ERROR: Invalid console configuration provided for SOL support."), std::string::npos);
  EXPECT_NE(xelotest::readFile(cliResultPath()).find("invalid SOL configuration"), std::string::npos);
}

}  // namespace
}  // namespace XELO
