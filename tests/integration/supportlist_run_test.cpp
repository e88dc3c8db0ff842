// The support-list options, run through the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using xelotest::ProgramSandbox;
using xelotest::readFile;

TEST(SupportListRun, ShowRollbackAndRefusal) {
  ProgramSandbox box;
  const std::string working = box.supportDir() + "/Xelo/SYSTEM_SUPPORT_LIST_9.64.xml";

  auto show = box.run("xelo", {"--show-supportlist"});
  EXPECT_EQ(show.status, 0);
  EXPECT_THAT(show.output, HasSubstr("localFile not existed, rollback first\n"));
  EXPECT_THAT(show.output, HasSubstr("|Machine Type|Diagnostics|Updates|Deployment\n"));
  EXPECT_THAT(show.output, HasSubstr("|7101        |yes        |yes    |yes\n"));
  EXPECT_EQ(readFile(working), readFile(box.programDir() + "/SYSTEM_SUPPORT_LIST_9.64.xml"));
  EXPECT_THAT(readFile(box.supportDir() + "/xelo_cli.xml"),
              HasSubstr("<MESSAGE>System support list displayed on console successfully</MESSAGE>"));
  const std::string log = readFile(box.supportDir() + "/" + box.logFiles().at(0));
  EXPECT_THAT(log, HasSubstr("Update System List - START"));
  EXPECT_THAT(log, HasSubstr("Update System List - END"));

  xelotest::writeFile(working, "damaged");
  auto rollback = box.run("xelo", {"--rollback-supportlist"});
  EXPECT_EQ(rollback.status, 0);
  EXPECT_THAT(rollback.output, HasSubstr("System support list rolled back successfully"));
  EXPECT_EQ(readFile(working), readFile(box.programDir() + "/SYSTEM_SUPPORT_LIST_9.64.xml"));

  auto both = box.run("xelo", {"--update-supportlist", "--rollback-supportlist"});
  EXPECT_EQ(both.status, 101);
  EXPECT_THAT(both.output,
              HasSubstr("\"update-supportlist\" and \"rollback-supportlist\" should be specified exclusively."));
}

}  // namespace
