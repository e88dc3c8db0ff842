// The launcher, run from a private program directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using xelotest::exists;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

constexpr const char* kSupportList = "SYSTEM_SUPPORT_LIST_9.64.xml";

TEST(XelowinRun, ArgumentsReachTheProgramWholeAndItsStatusIsReturned) {
  ProgramSandbox box;
  xelotest::ServedRepository served;
  served.repo.addTool("qor_utl_xelo_9.70_windows_i386", ".exe").supersedes = {"qor_utl_xelo_9.64_windows_i386"};
  served.serve(box.programDir());

  // A directory with blanks, given with a trailing separator, as one argument.
  const std::string work = box.scratch() + "/media work dir";
  auto r = box.run("xelowin", {"--check-update", "--local", work + "/"}, "", {{"XELO_TEST_XML_WAIT_MS", "0"}});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Latest version of this tool is available at: " + work + "\n"));
  EXPECT_TRUE(exists(work + "/qor_utl_xelo_9.70_windows_i386.exe"));

  auto refused = box.run("xelowin", {"--no-such-option"});
  EXPECT_EQ(refused.status, 101) << refused.output;
  EXPECT_THAT(readFile(box.supportDir() + "/xelo_cli.xml"), HasSubstr("<CODE>101</CODE>"));
}

TEST(XelowinRun, WithoutArgumentsStartsTheFrontEndAfterInstallingTheSupportList) {
  ProgramSandbox box;
  const std::string installed = box.supportDir() + "/Xelo/" + kSupportList;
  const std::string frontEnd = box.programDir() + "/gui/launchpad";

  // No front end installed (the built one taken out of the copy): the start
  // fails and the status says so.
  std::filesystem::remove_all(box.programDir() + "/gui");
  auto missing = box.run("xelowin", {});
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(readFile(installed), readFile(box.programDir() + "/" + kSupportList));

  std::filesystem::create_directories(box.programDir() + "/gui");
  writeFile(frontEnd, "#!/bin/sh\necho \"front end: $#\" > \"$0.ran\"\nexit 7\n");
  ::chmod(frontEnd.c_str(), 0755);
  // A list already in the data directory is kept as it is.
  writeFile(installed, "<list kept/>");
  auto started = box.run("xelowin", {});
  EXPECT_EQ(started.status, 7) << started.output;
  EXPECT_EQ(readFile(frontEnd + ".ran"), "front end: 0\n");
  EXPECT_EQ(readFile(installed), "<list kept/>");
  // The console program did not run: it would have written a log.
  EXPECT_TRUE(box.logFiles().empty());
}

}  // namespace
