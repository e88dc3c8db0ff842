// The built program, run from a private copy of its program directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::ProgramSandbox;
using xelotest::readFile;

std::string resultRecord(const ProgramSandbox& box) { return readFile(box.supportDir() + "/xelo_cli.xml"); }

std::string record(int code, const std::string& message) {
  return "<CLIERROR>\n\t<CODE>" + std::to_string(code) + "</CODE>\n\t<MESSAGE>" + message +
         "</MESSAGE>\n\t<STEPSERIAL>0</STEPSERIAL>\n</CLIERROR>";
}

std::string onlyLog(const ProgramSandbox& box) {
  auto logs = box.logFiles();
  EXPECT_EQ(logs.size(), 1u);
  return logs.empty() ? "" : readFile(box.supportDir() + "/" + logs.front());
}

TEST(ProgramRun, VersionPrintsTheBannerAndLeavesRecordAndLog) {
  ProgramSandbox box;
  auto r = box.run("xelo", {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.output, HasSubstr("QOR Tolvane Xelo Version 9.64.01\n"));
  EXPECT_EQ(resultRecord(box), record(0, "Get Xelo version successfully"));

  auto logs = box.logFiles();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(std::regex_match(logs[0], std::regex(R"(xelo_964_\d{14}\.(0|[1-9]\d*000)[+-]\d+\.log)")))
      << logs[0];
  const std::string log = onlyLog(box);
  EXPECT_EQ(log.substr(0, log.find('\n')), "-- Xelo Log Opened ---------------------------- ");
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(\nXelo_\[Verbose\] \d\d/\d\d/\d{4} \d\d:\d\d:\d\d  Create Log File\n)")));
  EXPECT_THAT(log, HasSubstr("Xelo_[Verbose] "));
  EXPECT_THAT(log, HasSubstr("Initialize environment work - START"));
  // No working directory is made for a version run.
  EXPECT_FALSE(xelotest::exists(box.programDir() + "/workingdir"));
}

TEST(ProgramRun, HelpIsShownWithExamples) {
  ProgramSandbox box;
  auto r = box.run("xelo", {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.output, HasSubstr("Available options"));
  EXPECT_THAT(r.output, HasSubstr("--machine-type"));
  EXPECT_THAT(r.output, HasSubstr("Examples:"));
  EXPECT_THAT(r.output, Not(HasSubstr("--oem")));  // hidden
  EXPECT_EQ(resultRecord(box), record(0, "Get Xelo help information successfully"));
}

TEST(ProgramRun, NoArgumentsAsksForTheWorkingDirectoryBeforeHelp) {
  ProgramSandbox box;
  auto yes = box.run("xelo", {}, "y\n");
  EXPECT_EQ(yes.status, 0);
  EXPECT_THAT(yes.output, HasSubstr("Warning! You haven't specified any machine type and it will be \"all\"."));
  EXPECT_THAT(yes.output, HasSubstr("Are you sure you want to continue?(y or n)"));
  EXPECT_THAT(yes.output, HasSubstr("Available options"));

  auto no = box.run("xelo", {}, "n\n");
  EXPECT_EQ(no.status, 101);
  EXPECT_THAT(no.output, Not(HasSubstr("Available options")));
}

TEST(ProgramRun, LicenseIsPrinted) {
  ProgramSandbox box;
  auto r = box.run("xelo", {"--license"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.output, HasSubstr("License"));
}

TEST(ProgramRun, AbbreviatedOptionIsRefused) {
  ProgramSandbox box;
  auto r = box.run("xelo", {"--loc=x"});
  EXPECT_EQ(r.status, 101);
  EXPECT_THAT(r.output, HasSubstr("error: unknown option loc\n"));
  EXPECT_THAT(resultRecord(box), HasSubstr("<CODE>101</CODE>"));
}

TEST(ProgramRun, ProxyPasswordNeverReachesTheLog) {
  for (const std::string spelling : {"--proxy-password", "--Proxy-PASSWORD", "--PROXY-password"}) {
    SCOPED_TRACE(spelling);
    ProgramSandbox box;
    box.run("xelo", {"--version", spelling + "=Sesame-42", "--proxy-password", "Sesame-43"});
    const std::string log = onlyLog(box);
    EXPECT_THAT(log, HasSubstr("--proxy-password=********"));
    EXPECT_THAT(log, Not(HasSubstr("Sesame-42")));
    EXPECT_THAT(log, Not(HasSubstr("Sesame-43")));  // nor as the word after the option
    EXPECT_THAT(log, HasSubstr("--version"));
    // A misspelt option is refused, and the refusal names it without the value.
    EXPECT_THAT(resultRecord(box), Not(HasSubstr("Sesame")));
  }
}

TEST(ProgramRun, WithoutSuperUserRightsTheRunEndsAtOnce) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the program as another user";
  ProgramSandbox box;
  auto r = box.run("xelo", {"--version"}, "", {}, "nobody");
  EXPECT_EQ(r.status, 255);  // the process's -1
  EXPECT_THAT(r.output, HasSubstr("Xelo must be run in a super-user mode."));
  EXPECT_THAT(r.output, Not(HasSubstr("Version 9.64.01")));
  EXPECT_EQ(resultRecord(box), record(255, "Xelo must be run in a super-user mode."));
  EXPECT_THAT(onlyLog(box), HasSubstr("[Error]"));
}

TEST(ProgramRun, ExistingIsoIsNotOverwrittenWithoutForce) {
  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
  std::filesystem::create_directories(work);
  xelotest::writeFile(work + "/old.iso", "user data");
  auto r = box.run("xelo", {"--local=" + work, "-m", "7101", "--iso=old.iso"});
  EXPECT_EQ(r.status, 101);
  EXPECT_THAT(r.output, HasSubstr("old.iso already exists in " + work));
  EXPECT_EQ(resultRecord(box), record(101, "Options error: Argument invalid or missing: force"));
  EXPECT_EQ(readFile(work + "/old.iso"), "user data");
}

TEST(ProgramRun, VlanIdWithoutAddressEndsBeforeAnyDownload) {
  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
  auto r = box.run("xelo", {"--local=" + work, "-m", "7101", "--iso=new.iso", "--vlan-id=12"});
  EXPECT_EQ(r.status, 247);
  EXPECT_THAT(r.output, HasSubstr("One of VLAN configuration arguments is missing."));
  EXPECT_TRUE(xelotest::exists(work));  // the working directory was made first
  EXPECT_THAT(onlyLog(box), HasSubstr("Validate general parameter - END"));
}

TEST(ProgramRun, UnreachableRepositoryEndsWithItsCode) {
  ProgramSandbox box;
  // Nothing listens on the discard port of the loopback address.
  xelotest::writeFile(box.programDir() + "/qyxConnect.properties", "_QOR.SP_LOCATION_URL = http://127.0.0.1:9/\n");
  const std::string work = box.scratch() + "/w";
  auto r = box.run("xelo", {"--local=" + work, "-m", "7101", "--iso=new.iso"});
  EXPECT_EQ(r.status, 204);
  EXPECT_THAT(r.output, HasSubstr("There is an error: Error preparing connectivity path"));
  EXPECT_THAT(r.output, HasSubstr("Acquisition error: Unrecoverable error downloading updates from QOR update repository"));
  EXPECT_THAT(r.output, Not(HasSubstr("created successfully")));
  EXPECT_THAT(resultRecord(box), HasSubstr("<CODE>204</CODE>"));
  EXPECT_FALSE(xelotest::exists(work + "/new.iso"));
}

}  // namespace
