// The deployment media builder in-process: choosing the kit and the Windows
// NOVPI, unpacking and filling the toolkit, running the creator and
// cleaning up after it.
#include "deploy/deploy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "../metadata/descriptor_builder.h"
#include "core/codes.h"
#include "dn_fixtures.h"
#include "host/host.h"
#include "test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using XELO::XeloDN;
using xelotest::exists;
using xelotest::readFile;
using xelotest::writeFileWithParents;

TEST(DeployRules, CreatorExitStatusToErrorCode) {
  using namespace XELO::Exit;
  const std::pair<int, int> table[] = {{0, Success},
                                       {1, DeploymentInitFailed},
                                       {255, DeploymentInitFailed},
                                       {2, DeploymentKitMissing},
                                       {3, NoSpaceForDeploymentWork},
                                       {4, NoSpaceForDeploymentIso},
                                       {5, Unmapped},
                                       {137, Unmapped},
                                       {256, Unmapped},
                                       {300, Unmapped},
                                       {-1, Unmapped}};
  for (const auto& [status, code] : table) {
    SCOPED_TRACE(status);
    EXPECT_EQ(XeloDN::mapCreatorExitCode(status), code);
  }
}

TEST(DeployRules, ArchitectureCodeAndTemporaryName) {
  EXPECT_EQ(XeloDN::architectureCode({"x64"}), "3");
  EXPECT_EQ(XeloDN::architectureCode({"x86", "x64"}), "1");
  EXPECT_EQ(XeloDN::architectureCode({"x64", "x86"}), "1");
  EXPECT_EQ(XeloDN::architectureCode({"x86"}), "2");
  EXPECT_EQ(XeloDN::architectureCode({}), "3");

  XELO::LocalTime date;
  date.year = 2026;
  date.month = 12;
  date.day = 7;
  EXPECT_EQ(XeloDN::temporaryIsoName(date), "tmpDN2026127.iso");
  date.month = 1;
  date.day = 30;
  EXPECT_EQ(XeloDN::temporaryIsoName(date), "tmpDN2026130.iso");
}

TEST(DeployRules, ToolkitIsFoundOnlyThroughItsVariable) {
  xelotest::TempDir dir;
  {
    xelotest::ScopedEnv unset("TK_Path_WAIK_Source", "", true);
    EXPECT_FALSE(XELO::isWaikInstalled());
  }
  {
    xelotest::ScopedEnv variable("TK_Path_WAIK_Source", dir.path());
    EXPECT_FALSE(XELO::isWaikInstalled());  // no copype.cmd
    XELO::ensureDirectory(dir / "Tools/PETools/copype.cmd");
    EXPECT_FALSE(XELO::isWaikInstalled());  // a directory of that name
  }
  xelotest::TempDir kit;
  xelotest::makeWaikInstallation(kit.path());
  xelotest::ScopedEnv variable("TK_Path_WAIK_Source", kit.path());
  EXPECT_TRUE(XELO::isWaikInstalled());
}

class DeployTest : public ::testing::Test {
 protected:
  static XELO::Options optionsFor(const std::string& workingDir) {
    XELO::Options options;
    options.workingDir = workingDir;
    options.functions = {"novpi", "dunvar"};
    options.machineTypes = {"7101"};
    return options;
  }

  std::string zipDir() const { return work / "dunvar"; }
  void writeKit(const std::string& name, const std::string& bytes = xelotest::deploymentKitZipBytes()) {
    writeFileWithParents(zipDir() + "/" + name, bytes);
  }
  std::vector<std::string> staged() const { return xelotest::listFiles(dn.updateDirectory()); }

  // A working directory as a Windows acquisition leaves it.
  void writeUpdates() {
    using xelotest::UpdateDescriptor;
    auto put = [&](const UpdateDescriptor& d) {
      writeFileWithParents(work / d.xmlFilename, d.text());
      for (const auto& file : {d.payload, d.readme, d.history})
        if (!file.empty()) writeFileWithParents(work / file, "content of " + file);
    };
    put(UpdateDescriptor("win.xml", "win", {"Model [7101]"}, {"Windows 2008 x64"}, "win.exe", "win.txt"));
    put(UpdateDescriptor("fw.xml", "fw", {"Model [7101]"}, {"NONE"}, "fw.bin", "", "fw.chg"));
    put(UpdateDescriptor("lnx.xml", "lnx", {"Model [7101]"}, {"SLES 11 x64"}, "lnx.bin"));
    put(UpdateDescriptor("other.xml", "other", {"Model [7102]"}, {"Windows 2008 x64"}, "other.exe"));
    // A Windows descriptor cut short in the download: indexed, never staged.
    std::string text = UpdateDescriptor("cut.xml", "cut", {"Model [7101]"}, {"Windows 2008 x64"}, "cut.exe").text();
    writeFileWithParents(work / "cut.xml", text.substr(0, text.find("</CIM>")));
    writeFileWithParents(work / "cut.exe", "payload");

    writeFileWithParents(work / "novpi/novpi963.exe", "installer");
    writeFileWithParents(work / "novpi/novpi.xml", UpdateDescriptor("novpi.xml", "novpi", {}, {"Windows 2008 x64"},
                                                                    "novpi963.exe", "novpi.txt", "novpi.chg")
                                                       .text());
    writeFileWithParents(work / "novpi/novpi.txt", "readme");
    writeFileWithParents(work / "novpi/novpi.chg", "history");
  }

  xelotest::TempDir work{"xelo-dn-work"};
  xelotest::ScopedCwd cwd{"."};  // the job changes directories
  XELO::Options options = optionsFor(work.path());
  XeloDN dn{options};
};

TEST_F(DeployTest, KitZipWithTheHighestMajorVersion) {
  EXPECT_EQ(dn.findDeploymentKitZip(), "");
  std::string message;
  EXPECT_EQ(dn.isValidDNXelo(message), XELO::Exit::EnvironmentIncomplete);
  EXPECT_THAT(message, HasSubstr("Failed to find DNXelo zip file"));

  writeKit("qor_utl_dnxelo_9.63_windows_32-64.zip");
  writeKit("qor_utl_dnxelo_9.64_windows_32-64.zip");
  writeKit("qor_utl_dnxelo_12.1_linux.zip");
  writeKit("dnxelo_19.0_windows_32-64.zip");
  // 9.63 and 9.64 share the major version 9: the one listed first stays.
  std::vector<std::string> listed;
  XELO::listDirectory(zipDir(), listed);
  std::string first;
  for (const auto& name : listed)
    if (name.rfind("qor_utl_dnxelo_9.6", 0) == 0 && first.empty()) first = name;
  EXPECT_EQ(dn.findDeploymentKitZip(), first);

  writeKit("qor_utl_dnxelo_10.0_windows_32-64.zip");
  EXPECT_EQ(dn.isValidDNXelo(message), 0);
  EXPECT_EQ(dn.getDeploymentKitZip(), "qor_utl_dnxelo_10.0_windows_32-64.zip");
}

TEST_F(DeployTest, KitNameWithoutZipExtensionIsRefused) {
  writeKit("qor_utl_dnxelo_9.63_windows_32-64.zip.part");
  std::string message;
  EXPECT_EQ(dn.isValidDNXelo(message), XELO::Exit::ZipExtensionMissing);
  EXPECT_THAT(message, HasSubstr("qor_utl_dnxelo_9.63_windows_32-64.zip.part"));
}

TEST_F(DeployTest, WindowsNovpiInstallerAndItsPackageFiles) {
  EXPECT_THAT(dn.findNovpiWindowsFiles(), IsEmpty());
  using xelotest::UpdateDescriptor;
  writeFileWithParents(work / "novpi/novpi963.exe", "old");
  writeFileWithParents(work / "novpi/novpi970.exe", "new");
  writeFileWithParents(work / "novpi/novpi.bin", "linux installer");
  writeFileWithParents(work / "novpi/old.xml",
                       UpdateDescriptor("old.xml", "old", {}, {}, "novpi963.exe", "old.txt").text());
  writeFileWithParents(work / "novpi/new.xml",
                       UpdateDescriptor("new.xml", "new", {}, {}, "novpi970.exe", "new.txt", "new.chg").text());
  EXPECT_THAT(dn.findNovpiWindowsFiles(), ElementsAre("novpi970.exe", "new.txt", "new.chg", "new.xml"));
}

TEST_F(DeployTest, StagingUnpacksTheKitAndCopiesTheWindowsUpdates) {
  writeKit(xelotest::kDnKitZip);
  writeUpdates();
  ASSERT_EQ(dn.stageDeploymentKit(), 0);

  const std::string creator = dn.kitDirectory() + "/CreateDunvar.exe";
  EXPECT_EQ(readFile(creator), xelotest::dnCreatorScript());
  EXPECT_EQ(access(creator.c_str(), X_OK), 0);
  EXPECT_EQ(XELO::currentDirectory(), work.path());
  // Windows and platform-independent updates of 7101 with the NOVPI files;
  // no Linux update, no other machine type, no damaged descriptor (its
  // payload goes).
  EXPECT_THAT(staged(), ElementsAre("cut.exe", "fw.bin", "fw.chg", "fw.xml", "novpi.chg", "novpi.txt", "novpi.xml",
                                    "novpi963.exe", "win.exe", "win.txt", "win.xml"));
  EXPECT_EQ(readFile(dn.updateDirectory() + "/win.exe"), "content of win.exe");
}

TEST_F(DeployTest, StagingWithoutNovpiCopiesNoUpdates) {
  options.functions = {"dunvar"};
  writeKit(xelotest::kDnKitZip);
  writeUpdates();
  ASSERT_EQ(dn.stageDeploymentKit(), 0);
  EXPECT_TRUE(exists(dn.kitDirectory() + "/CreateDunvar.exe"));
  EXPECT_THAT(staged(), IsEmpty());
}

TEST_F(DeployTest, KitLeavingTheToolkitIsRefused) {
  writeKit(xelotest::kDnKitZip,
           xelotest::zipBytes({{xelotest::kDnCreatorEntry, "#!/bin/sh\n"}, {"dndeploy/../../escaped.txt", "outside"}}));
  EXPECT_EQ(dn.stageDeploymentKit(), XELO::Exit::UnzipFailed);
  EXPECT_EQ(options.zipInError, xelotest::kDnKitZip);
  EXPECT_FALSE(exists(work / "escaped.txt"));
  EXPECT_FALSE(exists(dn.kitDirectory() + "/CreateDunvar.exe"));
}

TEST_F(DeployTest, KitWithoutCreatorOrNotAZip) {
  writeKit(xelotest::kDnKitZip, xelotest::zipBytes({{"dndeploy/readme.txt", "no creator"}}));
  EXPECT_EQ(dn.stageDeploymentKit(), XELO::Exit::ModeChangeFailed);

  XeloDN again(options);
  writeKit(xelotest::kDnKitZip, "not a zip archive");
  EXPECT_EQ(again.stageDeploymentKit(), XELO::Exit::UnzipFailed);
}

TEST_F(DeployTest, CreatorRunsInTheKitAndAppendsToItsLog) {
  writeKit(xelotest::kDnKitZip);
  writeUpdates();
  ASSERT_EQ(dn.stageDeploymentKit(), 0);
  options.deployArch = {"x86", "x64"};
  const std::string iso = work / "out/dn.iso";
  XELO::ensureDirectory(work / "out");

  EXPECT_EQ(dn.CreateDN(work / "out/dn.ISO"), XELO::Exit::IsoExtensionMissing);  // the extension test is case-sensitive
  ASSERT_EQ(dn.CreateDN(iso), 0);
  EXPECT_EQ(XELO::currentDirectory(), dn.kitDirectory());
  const std::string image = readFile(iso);
  EXPECT_EQ(image.rfind("DUNVAR IMAGE arch=1\n", 0), 0u);
  EXPECT_THAT(image, HasSubstr("staged:novpi963.exe"));

  const std::string before = readFile(XeloDN::dnLogPath());
  {
    xelotest::ScopedEnv status(xelotest::kDnCreatorStatus, "3");
    EXPECT_EQ(dn.CreateDN(iso), XELO::Exit::NoSpaceForDeploymentWork);
  }
  const std::string log = readFile(XeloDN::dnLogPath());
  // The log only grows: one header and the creator's output per creation.
  ASSERT_EQ(log.compare(0, before.size(), before), 0);
  const std::string added = log.substr(before.size());
  EXPECT_THAT(before, HasSubstr("creator: iso=" + iso + " arch=1"));
  EXPECT_THAT(added, HasSubstr("\n" + std::string(114, '#') + "\nStart a new Xelo Dunvar Creation\n"));
  EXPECT_THAT(added, HasSubstr("creator: iso=" + iso + " arch=1"));
  EXPECT_EQ(added.find("Start a new"), added.rfind("Start a new"));
}

TEST_F(DeployTest, CreatorSuccessWithoutAnImageIsAFailure) {
  writeKit(xelotest::kDnKitZip, xelotest::zipBytes({{xelotest::kDnCreatorEntry, "#!/bin/sh\nexit 0\n"}}));
  ASSERT_EQ(dn.stageDeploymentKit(), 0);
  EXPECT_EQ(dn.CreateDN(work / "dn.iso"), XELO::Exit::FileNotFound);
}

}  // namespace
