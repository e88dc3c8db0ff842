// The typical run, step by step: a working directory, one machine type and
// the update tool, acquired from a repository served over HTTP on loopback,
// written as an ISO image that then boots in QEMU and reports what it would
// start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "qemu_boot.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::readFile;

const std::string kBootZip = std::string(XELO_BOOTENV_DIR) + "/qor_utl_boot_tools-141_anyos_x86-64-mid.zip";

class TypicalRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!exists(kBootZip)) GTEST_SKIP() << "the boot environment was not built: " << kBootZip;
    repo.setFamilyName("7101", "Tolvane Rack R210");
    repo.addUpdate(xelotest::kStdBmcNew, {"7101"}, {xelotest::kPlatformNone, xelotest::kSles11x64}, 6000);
    repo.addUpdate(xelotest::kStdUefi, {"7101"}, {xelotest::kPlatformNone, xelotest::kSles11x64}, 9000)
        .preReqs = {xelotest::kStdBmcNew};
    repo.addUpdate(xelotest::kStdNicDriver, {"7101"}, {xelotest::kSles11x64}, 3000);  // a driver: not on firmware media
    repo.addPack("7101", {xelotest::kStdUefi, xelotest::kStdNicDriver});
    repo.addTool(xelotest::kStdNovpi, ".bin");
    repo.addTool(xelotest::kStdBootTools, ".zip").payloadSource = kBootZip;
    repo.publish();
    server.start();
    xelotest::writeConnectProperties(box.programDir(), server.baseUrl());
  }

  std::string work() const { return box.scratch() + "/w"; }
  std::string log() const { return readFile(box.supportDir() + "/" + box.logFiles().back()); }

  xelotest::ProgramSandbox box;
  xelotest::TempDir dir;
  xelotest::TestRepository repo{dir / "repo"};
  xelotest::RepoServer server{repo.root()};
};

TEST_F(TypicalRun, IsoForOneMachineTypeBootsAndStartsTheUpdateTool) {
  auto r = box.run("xelo", {"--local=" + work(), "-m", "7101", "--function=novpi", "--iso=updates.iso",
                            "--kernel-args=console=ttyS0,115200 console=tty1"});
  ASSERT_EQ(r.status, 0) << r.output;

  // What the console showed, in order.
  const auto at = [&](const std::string& text) { return r.output.find(text); };
  ASSERT_NE(at("QOR Tolvane Xelo Version 9.64.01"), std::string::npos);
  ASSERT_NE(at("Acquiring list of updates for Machine-Type=7101"), std::string::npos);
  ASSERT_NE(at("Acquiring list of requisite packages"), std::string::npos);
  ASSERT_NE(at("Creating bootable media..."), std::string::npos);
  ASSERT_NE(at("The bootable media was created successfully!"), std::string::npos);
  EXPECT_LT(at("QOR Tolvane Xelo"), at("Acquiring list of updates"));
  EXPECT_LT(at("Acquiring list of updates"), at("Acquiring list of requisite packages"));
  EXPECT_LT(at("Acquiring list of requisite packages"), at("Creating bootable media..."));
  EXPECT_LT(at("Creating bootable media..."), at("The bootable media was created successfully!"));

  // The phases, each bracketed in the log.
  const std::string text = log();
  for (const char* phase : {"Initialize environment work", "Validate general parameter",
                            "Acquiring All MachineType's NOVP: 7101", "Acquiring NOVPI binary",
                            "Acquiring MCP toolzip", "Prepare All Files for Media"}) {
    EXPECT_THAT(text, HasSubstr(std::string(phase) + " - START")) << phase;
    EXPECT_THAT(text, HasSubstr(std::string(phase) + " - END")) << phase;
  }
  EXPECT_THAT(text, HasSubstr("Create Media ISO: updates.iso - END"));
  EXPECT_THAT(text, HasSubstr("main():: to push:"));

  // The working directory is the media root: updates with their requisite,
  // the tool, the boot environment and the media configuration.
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdUefi) + ".bin"));
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdBmcNew) + ".bin"));  // the pre-requisite
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdNicDriver) + ".bin"));
  EXPECT_TRUE(exists(work() + "/novpi/" + std::string(xelotest::kStdNovpi) + ".bin"));
  const std::string config = readFile(work() + "/xelo.config");
  EXPECT_THAT(config, HasSubstr("QOR_SYSTEM_MACHINETYPE=7101\n"));
  EXPECT_THAT(config, HasSubstr("QOR_SYSTEM_AUTORUN=novpi\n"));
  EXPECT_THAT(config, HasSubstr("\nQOR_SYSTEM_MT_NOVPI=7101,"));
  EXPECT_THAT(config, Not(HasSubstr("QOR_SYSTEM_MT_KYT")));
  const std::string iso = work() + "/updates.iso";
  ASSERT_TRUE(exists(iso));

  // The medium boots under UEFI and finds its own configuration.
  const std::string missing = xelotest::missingTools({"qemu-system-x86_64"}, {xelotest::kOvmfCode});
  if (!missing.empty()) GTEST_SKIP() << "cannot boot the ISO, missing:" << missing;
  const auto boot = xelotest::bootUefi(iso, xelotest::BootDevice::Cdrom, box.scratch());
  EXPECT_EQ(boot.status, 0) << xelotest::tail(boot.serial);
  EXPECT_EQ(xelotest::reported(boot.lines, "boot_src"), "3") << xelotest::tail(boot.serial);
  EXPECT_EQ(xelotest::reported(boot.lines, "machine_types"), "7101");
  EXPECT_EQ(xelotest::reported(boot.lines, "autorun"), "novpi");
  EXPECT_THAT(xelotest::reported(boot.lines, "kernel_args"), HasSubstr("console=ttyS0,115200 console=tty1"));
}

TEST_F(TypicalRun, FrontEndFollowsTheSameRunThroughItsFiles) {
  auto r = box.run("xelo", {"--local=" + work(), "-m", "7101", "--function=novpi", "--iso=updates.iso", "--xml"},
                   "", {{"XELO_TEST_XML_WAIT_MS", "0"}});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(exists(work() + "/updates.iso"));

  const std::string progress = readFile(box.supportDir() + "/xelo_ac_result.xml");
  EXPECT_THAT(progress, HasSubstr("<MT>7101</MT>"));
  EXPECT_THAT(progress, HasSubstr("<UPDATEID>" + std::string(xelotest::kStdUefi) + "</UPDATEID>"));
  EXPECT_THAT(progress, HasSubstr("<OS>NOVPI</OS>"));
  EXPECT_THAT(progress, HasSubstr("<OS>Bootable Environment</OS>"));
  EXPECT_THAT(progress, Not(HasSubstr("<STATUS>Error</STATUS>")));
  EXPECT_THAT(progress, Not(HasSubstr("<STATUS>Acquiring</STATUS>")));

  // The last record the front end reads is media creation's, not a failure.
  const std::string record = readFile(box.supportDir() + "/xelo_cli.xml");
  EXPECT_THAT(record, HasSubstr("<CODE>0</CODE>")) << record;

  // Nothing downloaded is missing in the report the front end reads after a
  // --no-acquire --report run over the same directory.
  auto report = box.run("xelo", {"--local=" + work(), "-m", "7101", "--no-acquire", "--report", "--xml"}, "",
                        {{"XELO_TEST_XML_WAIT_MS", "0"}});
  EXPECT_EQ(report.status, 0) << report.output;
  const std::string local = readFile(box.supportDir() + "/xelo_local_report.xml");
  EXPECT_THAT(local, HasSubstr("<UPDATEID>" + std::string(xelotest::kStdUefi) + "</UPDATEID>"));
  EXPECT_THAT(local, HasSubstr("<STATUS>Locally available</STATUS>"));
}

}  // namespace
