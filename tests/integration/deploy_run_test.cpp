// Deployment (Dunvar) media runs of the program: the kit and the Windows
// updates acquired from a loopback repository, the toolkit staged and the
// kit's creator run, creator failures, a missing deployment toolkit, and a
// disc burned to a pseudo-drive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "deploy/deploy.h"
#include "dn_fixtures.h"
#include "host/host.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::readFile;

const char* const kNoToolkit = "Error: No Supported English Windows Automated Installation Kit(AIK) was detected.";

class DeployRun : public ::testing::Test {
 protected:
  void SetUp() override {
    xelotest::addDeploymentContent(repo);
    served.serve(box.programDir());
    xelotest::makeWaikInstallation(waik());
  }

  xelotest::RunResult run(const std::vector<std::string>& args,
                          std::vector<std::pair<std::string, std::string>> env = {}) {
    env.emplace_back("XELO_TEST_XML_WAIT_MS", "0");
    env.emplace_back("TK_Path_WAIK_Source", waik());
    return box.run("xelo", args, "", env);
  }
  // Fetches the updates, the Windows NOVPI and the kit without building media.
  void acquireOnly(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--local=" + work(), "-m", "7101", "--function=novpi,dunvar"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto r = run(args);
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_THAT(r.output, HasSubstr("Acquiring was finished successfully!"));
  }

  std::string work() const { return box.scratch() + "/w"; }
  std::string waik() const { return box.scratch() + "/waik"; }
  std::string log() const { return readFile(box.supportDir() + "/" + box.logFiles().back()); }
  std::string result() const { return readFile(box.supportDir() + "/xelo_cli.xml"); }
  std::string creatorLog() const { return readFile(box.supportDir() + "/xelo_dn.dat"); }
  // Nothing of the job's own is left in the working directory.
  void expectCleanedUp() const {
    EXPECT_FALSE(exists(work() + "/wtoolkit"));
    EXPECT_FALSE(exists(work() + "/stdout.txt"));
    for (const char* tool : {"miniunz.exe", "cdrecord.exe", "cygwinz.dll"}) EXPECT_FALSE(exists(work() + "/" + tool));
  }

  xelotest::ProgramSandbox box;
  xelotest::ServedRepository served;
  xelotest::TestRepository& repo = served.repo;
  xelotest::RepoServer& server = served.server;
};

TEST_F(DeployRun, IsoFromAcquiredKitAndWindowsUpdates) {
  auto r = run({"--local=" + work(), "-m", "7101", "--function=novpi,dunvar", "--iso=" + work() + "/dn.iso"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr(" Extracting files to working directory..."));
  EXPECT_THAT(r.output, HasSubstr(" Creating Dunvar ISO ..."));
  EXPECT_THAT(r.output, HasSubstr("The bootable media was created successfully!"));

  // The creator was given the image path and the x64 architecture, and saw
  // the Windows updates, the platform-independent firmware and the Windows
  // NOVPI in the toolkit's update directory; the Linux driver stayed out.
  const std::string image = readFile(work() + "/dn.iso");
  EXPECT_EQ(image.rfind("DUNVAR IMAGE arch=3\n", 0), 0u) << image;
  const std::string raid = xelotest::kStdRaidWinDriver;
  const std::string bmc = xelotest::kStdBmcNew;
  const std::string nic = xelotest::kStdNicDriver;
  const std::string novpi = xelotest::kDnNovpiWinPackage;
  for (const std::string& name : {raid + ".bin", raid + ".xml", raid + ".txt", bmc + ".bin", bmc + ".xml",
                                  std::string(xelotest::kDnNovpiInstaller), novpi + ".xml", novpi + ".txt",
                                  novpi + ".chg"})
    EXPECT_THAT(image, HasSubstr("staged:" + name + "\n"));
  EXPECT_THAT(image, Not(HasSubstr("staged:" + nic)));
  EXPECT_THAT(creatorLog(), HasSubstr("creator: iso=" + work() + "/dn.iso arch=3"));

  expectCleanedUp();
  EXPECT_TRUE(exists(work() + "/dunvar/" + std::string(xelotest::kDnKitZip)));
  EXPECT_THAT(readFile(box.supportDir() + "/WinPE_x64.log"), HasSubstr("arch 3"));
  EXPECT_THAT(result(), HasSubstr("<CODE>0</CODE>\n\t<MESSAGE>Create iso file successfully</MESSAGE>"));
  const std::string text = log();
  EXPECT_THAT(text, HasSubstr("Create Dunvar ISO - END"));
  EXPECT_THAT(text, HasSubstr("Handle Dunvar media- END"));
  EXPECT_THAT(text, HasSubstr("DNXelo selected: " + std::string(xelotest::kDnKitZip)));

  // Again from what the working directory holds, for x86, over the image.
  const int requests = server.totalRequests();
  auto again = run({"--local=" + work(), "-m", "7101", "--function=novpi,dunvar", "--no-acquire", "--arch=x86",
                    "--force", "--iso=" + work() + "/dn.iso"});
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(server.totalRequests(), requests);
  EXPECT_EQ(readFile(work() + "/dn.iso").rfind("DUNVAR IMAGE arch=2\n", 0), 0u);
  expectCleanedUp();
}

TEST_F(DeployRun, CreatorFailuresEndWithTheirCodes) {
  // The front end follows the acquisition of the Windows updates.
  acquireOnly({"--xml"});
  const std::string progress = readFile(box.supportDir() + "/xelo_ac_result.xml");
  EXPECT_THAT(progress, HasSubstr("<MT>7101</MT>"));
  EXPECT_THAT(progress, HasSubstr("<UPDATEID>" + std::string(xelotest::kStdRaidWinDriver) + "</UPDATEID>"));
  EXPECT_THAT(progress, Not(HasSubstr(xelotest::kStdNicDriver)));

  const std::pair<int, int> cases[] = {{1, 244}, {2, 241}, {3, 242}, {4, 243}, {7, 255}};
  for (const auto& [status, code] : cases) {
    SCOPED_TRACE("creator status " + std::to_string(status));
    auto r = run({"--local=" + work(), "-m", "7101", "--function=novpi,dunvar", "--no-acquire",
                  "--iso=" + work() + "/dn.iso"},
                 {{xelotest::kDnCreatorStatus, std::to_string(status)}});
    EXPECT_EQ(r.status, code) << r.output;
    EXPECT_THAT(r.output, Not(HasSubstr("The bootable media was created successfully!")));
    EXPECT_THAT(result(), HasSubstr("<CODE>" + std::to_string(code) + "</CODE>"));
    EXPECT_FALSE(exists(work() + "/dn.iso"));
    expectCleanedUp();
  }
  EXPECT_THAT(log(), HasSubstr("Handle Dunvar media- END"));
}

TEST_F(DeployRun, MissingDeploymentToolkitIsRefused) {
  auto unset = box.run("xelo", {"--local=" + work(), "-m", "7101", "--function=dunvar", "--iso=dn.iso"}, "",
                       {{"XELO_TEST_XML_WAIT_MS", "0"}});
  EXPECT_EQ(unset.status, 101);
  EXPECT_THAT(unset.output, HasSubstr(kNoToolkit));
  EXPECT_THAT(result(), HasSubstr("<CODE>101</CODE>\n\t<MESSAGE>" + std::string(kNoToolkit) + "</MESSAGE>"));

  // A toolkit directory without its PE tools counts as missing too.
  xelotest::TempDir empty;
  auto r = box.run("xelo", {"--local=" + work(), "-m", "7101", "--function=dunvar", "--iso=dn.iso"}, "",
                   {{"TK_Path_WAIK_Source", empty.path()}});
  EXPECT_EQ(r.status, 101);
  EXPECT_THAT(r.output, HasSubstr(kNoToolkit));
  EXPECT_EQ(server.totalRequests(), 0);
}

TEST_F(DeployRun, MissingKitEndsTheRun) {
  // Nothing acquired: no kit in the working directory.
  auto local = run({"--local=" + work(), "-m", "7101", "--function=dunvar", "--no-acquire",
                    "--iso=" + work() + "/dn.iso"});
  EXPECT_EQ(local.status, 210);
  EXPECT_THAT(local.output, HasSubstr("DNXelo zip file"));
  EXPECT_FALSE(exists(work() + "/wtoolkit"));

  // The repository fails to serve the kit.
  server.setFault(repo.urlPathOf(xelotest::kDnKitZip), xelotest::RepoFault::notFound());
  auto remote = run({"--local=" + work(), "-m", "7101", "--function=dunvar", "--iso=" + work() + "/dn.iso"});
  EXPECT_EQ(remote.status, 200) << remote.output;
  EXPECT_THAT(log(), HasSubstr("XeloDN::createDNISO()"));
  EXPECT_THAT(result(), HasSubstr("<CODE>200</CODE>"));
  EXPECT_FALSE(exists(work() + "/dn.iso"));
}

TEST_F(DeployRun, CdRunBurnsTheTemporaryImageAndRemovesIt) {
  acquireOnly();
  const std::string drive = box.scratch() + "/disc.img";
  xelotest::writeFile(drive, "");
  const std::string temporary = XELO::XeloDN::temporaryIsoName(XELO::localTimeNow());

  auto r = run({"--local=" + work(), "-m", "7101", "--function=novpi,dunvar", "--no-acquire", "--cd=" + drive});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Create temporary iso file successfully."));
  EXPECT_THAT(r.output, HasSubstr("The bootable media was created successfully!"));
  EXPECT_THAT(creatorLog(), HasSubstr("creator: iso=" + work() + "/" + temporary + " arch=3"));
  // The pseudo-drive holds the image the creator wrote.
  const std::string disc = readFile(drive);
  EXPECT_EQ(disc.rfind("DUNVAR IMAGE arch=3\n", 0), 0u);
  EXPECT_THAT(disc, HasSubstr("staged:" + std::string(xelotest::kDnNovpiInstaller)));
  EXPECT_FALSE(exists(work() + "/" + temporary));
  expectCleanedUp();
  EXPECT_THAT(result(), HasSubstr("<MESSAGE>Create CD/DVD bootable media successfully</MESSAGE>"));
  EXPECT_THAT(log(), HasSubstr("Create Dunvar CD- END"));
}

}  // namespace
