// Acquisition runs of the program against a repository on a loopback HTTP
// server: update packs with their requisites, the tool packages, the boot
// environment, report mode, the front end's progress file, and the
// support-list refresh from the tools' own lists.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::ProgramSandbox;
using xelotest::readFile;

class AcquisitionRun : public ::testing::Test {
 protected:
  void SetUp() override {
    xelotest::addStandardContent(repo);
    repo.publish();
    server.start();
    xelotest::writeConnectProperties(box.programDir(), server.baseUrl());
  }
  xelotest::RunResult run(std::vector<std::string> args, const std::string& input = "") {
    return box.run("xelo", args, input, {{"XELO_TEST_XML_WAIT_MS", "0"}});
  }
  std::string work() const { return box.scratch() + "/w"; }
  std::string log() const { return readFile(box.supportDir() + "/" + box.logFiles().back()); }

  ProgramSandbox box;
  xelotest::TempDir dir;
  xelotest::TestRepository repo{dir / "repo"};
  xelotest::RepoServer server{repo.root()};
};

TEST_F(AcquisitionRun, UpdatePackRequisitesToolsAndEnvironment) {
  auto r = run({"--local=" + work(), "-m", "7101", "--function=novpi"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Acquiring list of updates for Machine-Type=7101 ... "));
  EXPECT_THAT(r.output, HasSubstr("Acquiring list of requisite packages"));
  EXPECT_THAT(r.output, HasSubstr("Acquiring was finished successfully!"));
  // The firmware of the pack, without drivers, service tools or excluded names.
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdBmcNew) + ".bin"));
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdUefi) + ".xml"));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdNicDriver) + ".bin"));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdMlnx) + ".bin"));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdSvc) + ".bin"));
  // Tools by name into their folders, and the boot environment.
  EXPECT_TRUE(exists(work() + "/novpi/" + std::string(xelotest::kStdNovpi) + ".bin"));
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdBootTools) + ".zip"));
  const std::string text = log();
  EXPECT_THAT(text, HasSubstr("Acquiring All MachineType's NOVP: 7101 - START"));
  EXPECT_THAT(text, HasSubstr("Acquiring NOVPI binary - END"));
  EXPECT_THAT(text, HasSubstr("Acquiring MCP toolzip - END"));

  // A second run finds everything present and downloads nothing again.
  const int before = server.totalRequests();
  auto again = run({"--local=" + work(), "-m", "7101", "--function=novpi"});
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.output, HasSubstr("Already downloaded."));
  EXPECT_EQ(server.requestCount(repo.urlPathOf(std::string(xelotest::kStdBmcNew) + ".bin")), 1);
  EXPECT_GT(server.totalRequests(), before);  // the catalog is read again
}

TEST_F(AcquisitionRun, ReportListsWithoutDownloading) {
  auto r = run({"--local=" + work(), "-m", "7101", "--report"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Reporting acquisition status of updates for Machine-Type=7101"));
  EXPECT_THAT(r.output, HasSubstr(std::string(xelotest::kStdBmcNew) + " - Remotely available"));
  EXPECT_THAT(r.output, HasSubstr("Acquisition report successfully completed"));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdBmcNew) + ".bin"));
  EXPECT_THAT(readFile(box.supportDir() + "/reportFixIds.txt"),
              HasSubstr(std::string(xelotest::kStdBmcNew) + " - Remotely available"));
  EXPECT_THAT(readFile(box.supportDir() + "/xelo_cli.xml"),
              HasSubstr("<MESSAGE>Acquisition report successfully completed</MESSAGE>"));
}

TEST_F(AcquisitionRun, FrontEndFollowsTheProgressFile) {
  auto r = run({"--local=" + work(), "-m", "7101", "--function=novpi", "--xml"});
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string progress = readFile(box.supportDir() + "/xelo_ac_result.xml");
  EXPECT_EQ(progress.rfind("<ACQUISITION>", 0), 0u);
  EXPECT_THAT(progress, HasSubstr("<MT>7101</MT>"));
  EXPECT_THAT(progress, HasSubstr("<UPDATEID>" + std::string(xelotest::kStdBmcNew) + "</UPDATEID>"));
  EXPECT_THAT(progress, HasSubstr("<STATUS>Done</STATUS>"));
  EXPECT_THAT(progress, HasSubstr("<STATUS>Already Downloaded</STATUS>"));  // the requisite pass
  EXPECT_THAT(progress, HasSubstr("<MT>Tool</MT>\n\t\t<OS>NOVPI</OS>"));
  EXPECT_THAT(progress, HasSubstr("<OS>Bootable Environment</OS>"));
  EXPECT_THAT(progress, Not(HasSubstr("Not Started")));
}

TEST_F(AcquisitionRun, UnknownMachineTypeFindsNothingButStillFetchesTools) {
  auto r = run({"--local=" + work(), "-m", "9999", "--function=novpi"}, "y\n");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(exists(work() + "/novpi/" + std::string(xelotest::kStdNovpi) + ".bin"));
}

TEST_F(AcquisitionRun, MissingToolPackageEndsTheRun) {
  server.setFault(repo.urlPathOf(std::string(xelotest::kStdNovpi) + ".bin"), xelotest::RepoFault::notFound());
  auto r = run({"--local=" + work(), "-m", "7101", "--function=novpi"}, "y\n");
  EXPECT_EQ(r.status, 200);
  EXPECT_THAT(r.output, Not(HasSubstr("Acquiring was finished successfully!")));
  EXPECT_THAT(log(), HasSubstr("main()::Acquire qor_utl_novpi_9.63_anyos_x86-64 :: "));
  EXPECT_THAT(readFile(box.supportDir() + "/xelo_cli.xml"), HasSubstr("<CODE>200</CODE>"));
}

TEST(SupportListUpdate, RegeneratesTheWorkingListFromTheToolLists) {
  ProgramSandbox box;
  xelotest::TempDir dir;
  xelotest::TestRepository repo(dir / "repo");
  repo.setFamilyName("7101", "Tolvane Rack R210 Gen2");
  repo.setFamilyName("9001", "Tolvane Micro M1");
  repo.addTool("qor_utl_novpi_9.63_anyos_x86-64", ".bin");
  repo.addTool("qor_utl_dnxelo_9.63_windows_32-64", ".zip");
  repo.setFamilyName("9002", "Tolvane Micro M2");
  repo.addTool("qor_utl_kyt_961cp_anyos_x86-64", ".zip");
  repo.publish();
  xelotest::RepoServer server(repo.root());
  server.start();
  xelotest::writeConnectProperties(box.programDir(), server.baseUrl());

  auto r = box.run("xelo", {"--update-supportlist", "--xml"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("System support list updated successfully"));
  const std::string list = readFile(box.supportDir() + "/Xelo/SYSTEM_SUPPORT_LIST_9.64.xml");
  EXPECT_THAT(list, HasSubstr("<system><xname>Tolvane Rack R210 / Tolvane Rack R210 Gen2</xname>"
                              "<machineType>7101</machineType><kyt>yes</kyt><novpi>yes</novpi>"
                              "<dunvar>yes</dunvar></system>"));
  EXPECT_THAT(list, HasSubstr("<machineType>9002</machineType><kyt>yes</kyt><novpi>no</novpi><dunvar>no</dunvar>"));
  EXPECT_THAT(list, Not(HasSubstr("<machineType>7845</machineType>")));  // only the shipped list named it
  EXPECT_THAT(readFile(box.supportDir() + "/Xelo/supportlist_ac_result.xml"), HasSubstr("<result>SUCCESS</result>"));

  server.stop();
  auto failed = box.run("xelo", {"--update-supportlist"});
  EXPECT_EQ(failed.status, 110);
  EXPECT_THAT(failed.output, HasSubstr("System support list update failed"));
}

}  // namespace

namespace {

TEST_F(AcquisitionRun, EsxiUpdatesOfTheRequestedVersion) {
  ASSERT_EQ(run({"--rollback-supportlist"}).status, 0);
  auto r = run({"--local=" + work(), "-m", "7101", "--vmware-esxi-update=5.0"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdEsxi50)));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdEsxi41)));
  EXPECT_THAT(readFile(box.supportDir() + "/reportFixIds.txt"),
              HasSubstr(std::string(xelotest::kStdEsxi41) + " - Remotely available"));
}

}  // namespace
