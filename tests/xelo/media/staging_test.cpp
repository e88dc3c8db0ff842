#include "media/staging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../metadata/descriptor_builder.h"
#include "core/options.h"
#include "host/host.h"
#include "host/paths.h"
#include "host/unzip.h"
#include "log/logger.h"
#include "media/bootconfig.h"
#include "metadata/descriptors.h"
#include "test_support.h"

using namespace XELO;
using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::readFile;
using xelotest::UpdateDescriptor;
using xelotest::writeFile;
using Strings = std::vector<std::string>;

namespace fs = std::filesystem;

namespace {

const std::string kMidZip = "qor_utl_boot_tools-141_anyos_x86-64-mid.zip";
const std::string kKytZip = "qor_utl_kyt_961cp_anyos_x86-64.zip";
const std::string kKernelLine = "  linux /boot/vmlinuz iommu=soft quiet";

std::string logText() { return readFile(processLogger().getLogFilePath()); }

Strings sorted(Strings list) {
  std::sort(list.begin(), list.end());
  return list;
}

// Zips the entries `names` of `dir` with the zip program, as a repository
// package would be made.
void zipTree(const std::string& dir, const std::string& zipPath, const Strings& names) {
  xelotest::ScopedCwd cwd(dir);
  Strings argv{"zip", "-qr", zipPath};
  argv.insert(argv.end(), names.begin(), names.end());
  ASSERT_EQ(runToFile("", argv), 0);
}

// A boot environment zip with the documented layout.
void writeEnvironmentZip(const std::string& zipPath) {
  xelotest::TempDir src("xelo-env");
  const std::string boot = src / "linuxboot";
  fs::create_directories(boot + "/EFI/BOOT");
  writeFile(boot + "/EFI/BOOT/BOOTX64.EFI", "loader");
  writeFile(boot + "/EFI/BOOT/grub.cfg", "set timeout=3\nmenuentry \"Boot environment\" --id environment {\n" +
                                             kKernelLine + "\n  initrd /boot/initrd.gz\n}\n");
  writeFile(boot + "/vmlinuz", "kernel");
  writeFile(boot + "/initrd.gz", "initrd");
  writeFile(boot + "/environment.txt", "name=qor_utl_boot_tools-141_anyos_x86-64-mid\nvariant=mid\n");
  for (const char* tool : {"menu", "novpi", "kyt", "dndeploy"}) {
    fs::create_directories(boot + "/" + tool);
    writeFile(boot + "/" + tool + "/" + tool + ".sh", tool);
  }
  fs::create_directories(src / "linuxbootkyt/menu");
  fs::create_directories(src / "linuxbootkyt/kyt");
  writeFile(src / "linuxbootkyt/menu/kyt.cfg", "diagnostics entry");
  writeFile(src / "linuxbootkyt/kyt/kyt.cfg", "diagnostics");
  zipTree(src.path(), zipPath, {"linuxboot", "linuxbootkyt"});
}

// A diagnostics package: its own memory-test modules and a program.
void writeKytPackage(const std::string& zipPath) {
  xelotest::TempDir src("xelo-kyt");
  fs::create_directories(src / "mem");
  for (const char* module : kMemTestModules) writeFile(src / "mem" + "/" + module, std::string("package ") + module);
  writeFile(src / "kyt.bin", "diagnostics program");
  zipTree(src.path(), zipPath, {"mem", "kyt.bin"});
}

std::string descriptor(const std::string& name, const std::string& id, const Strings& machineTypes,
                       const std::string& payload, const Strings& preReqs = {}) {
  Strings types;
  for (const auto& t : machineTypes) types.push_back("Model [" + t + "]");
  return UpdateDescriptor(name, id, types, {"linux"}, payload, id + ".txt", "", preReqs).text();
}

// Every test works on a private working directory with the run's options
// pointed at it; the index and the boot-tree hook are restored.
class Staging : public ::testing::Test {
 protected:
  xelotest::TempDir work{"xelo-staging"};
  Options options;

  void SetUp() override {
    options.workingDir = work.path();
    options.functions = {"novpi"};
    options.machineTypes = {"7101"};
    options.toolZip = kMidZip;
  }
  void TearDown() override {
    descriptorIndex().clear();
    processLogger().setBootTreeHook(nullptr);
  }

  void addUpdate(const std::string& id, const Strings& machineTypes, const Strings& preReqs = {}) {
    writeFile(work / (id + ".xml"), descriptor(id + ".xml", id, machineTypes, id + ".bin", preReqs));
    writeFile(work / (id + ".bin"), "payload");
    writeFile(work / (id + ".txt"), "readme");
  }

  // The environment as the media-image library leaves it before it asks
  // for the boot tree: unpacked into the working directory.
  void unpackEnvironment() {
    writeEnvironmentZip(work / kMidZip);
    ASSERT_EQ(unzipArchive(work / kMidZip, work.path()), kUnzipOk);
  }

  std::string grubCfg() { return readFile(bootLoaderConfigPath(work.path())); }
};

TEST_F(Staging, GetFilesListsOnlyWhatTheSelectedToolsCarry) {
  fs::create_directories(work / "linuxboot/EFI");
  fs::create_directories(work / "novpi");
  fs::create_directories(work / "kyt");
  writeFile(work / kMidZip, "zip");
  writeFile(work / "novpi/qor_utl_novpi_9.63_anyos_x86-64.bin", "installer");
  writeFile(work / "novpi/novpi_windows.exe", "other system");
  writeFile(work / "novpi/readme.txt", "readme");
  writeFile(work / ("kyt/" + kKytZip), "diagnostics");
  writeFile(work / "earlier.iso", "image");
  writeFile(work / "xelo.config", "QOR_SYSTEM_WORKDIR=x");

  EXPECT_EQ(sorted(getFiles(options, work.path())),
            sorted({".", "..", joinPath("novpi", "qor_utl_novpi_9.63_anyos_x86-64.bin"), joinPath("novpi", "readme.txt")}));
  EXPECT_THAT(logText(), HasSubstr("DO NOT copy incompatible novpi binary:novpi_windows.exe"));

  // The diagnostics package reaches the medium only unpacked into the boot tree.
  options.functions = {"kyt"};
  EXPECT_EQ(sorted(getFiles(options, work.path())), sorted({".", ".."}));

  // Boot upgrade packages, and any other entry, go on as they are for the toolkit.
  writeFile(work / "qor_utl_boot_upgrade-2_anyos.zip", "upgrade");
  writeFile(work / "notes.txt", "notes");
  options.functions = {"linuxtk"};
  EXPECT_EQ(sorted(getFiles(options, work.path())), sorted({".", "..", "notes.txt", "qor_utl_boot_upgrade-2_anyos.zip"}));
  options.functions = {"novpi"};
  EXPECT_THAT(getFiles(options, work.path()), Not(::testing::Contains("qor_utl_boot_upgrade-2_anyos.zip")));
}

TEST_F(Staging, UpdateFilesComeFromTheIndexForTheSelectedMachineTypes) {
  fs::create_directories(work / "novpi");
  writeFile(work / "novpi/qor_utl_novpi_9.63_anyos_x86-64.bin", "installer");
  writeFile(work / "notes.txt", "notes");
  addUpdate("qor_fw_a_7101", {"7101", "7103"}, {"qor_fw_req"});
  addUpdate("qor_fw_b_7103", {"7103"});
  addUpdate("qor_fw_c_7102", {"7102"});
  addUpdate("qor_fw_req", {"9999"});  // a requisite of a, for another machine type
  addUpdate("qor_fw_cut_7101", {"7101"});
  const std::string whole = readFile(work / "qor_fw_cut_7101.xml");
  writeFile(work / "qor_fw_cut_7101.xml", whole.substr(0, whole.find("</CIM>")));
  writeFile(work / "qor_fw_esxi_3.5_xelo_32-64", "esxi");
  fs::create_directories(work / "pxeold");
  for (const char* n : {"img2a", "img3a", "tc.zip"}) writeFile(work / "pxeold" + "/" + n, n);
  fs::create_directories(work / "dunvar");
  fs::create_directories(work / "boot");  // left by an earlier run

  options.machineTypes = {"7101", "7103"};
  indexUpdateDescriptors(descriptorIndex(), options);
  const Strings files = stageUpdateFiles(options, work.path());

  EXPECT_EQ(sorted(files),
            sorted({"notes.txt", joinPath("novpi", "qor_utl_novpi_9.63_anyos_x86-64.bin"),
                    "qor_fw_a_7101.xml", "qor_fw_a_7101.txt", "qor_fw_a_7101.bin",
                    "qor_fw_b_7103.xml", "qor_fw_b_7103.txt", "qor_fw_b_7103.bin",
                    "qor_fw_req.xml", "qor_fw_req.txt", "qor_fw_req.bin",
                    // the cut descriptor stays off; the files it names still go
                    "qor_fw_cut_7101.txt", "qor_fw_cut_7101.bin"}));
  EXPECT_THAT(logText(), HasSubstr("Do not copy the damaged xml file:" + joinPath(work.path(), "qor_fw_cut_7101.xml")));
  EXPECT_THAT(logText(), HasSubstr("pxeold is a created pxe dir."));

  // Without the update function no update goes on, and no requisite either.
  options.functions = {"kyt"};
  for (const auto& name : stageUpdateFiles(options, work.path())) EXPECT_EQ(name.find("qor_fw_"), std::string::npos) << name;
}

TEST_F(Staging, UpdateIdsChooseTheUpdatesOfTheMedium) {
  addUpdate("qor_fw_a_7101", {"7101"});
  addUpdate("qor_fw_b_7101", {"7101"});
  indexUpdateDescriptors(descriptorIndex(), options);

  EXPECT_EQ(stageUpdateFilesById({"qor_fw_b_7101", "qor_fw_gone"}, work.path()),
            (Strings{"qor_fw_b_7101.xml", "qor_fw_b_7101.txt", "qor_fw_b_7101.bin"}));
  EXPECT_THAT(logText(), HasSubstr("XML file for update-id qor_fw_gone can't be found so it won't be in the created media."));

  options.updateIds = {"qor_fw_b_7101"};
  EXPECT_EQ(sorted(stageMediaFiles(options)),
            sorted({"qor_fw_b_7101.xml", "qor_fw_b_7101.txt", "qor_fw_b_7101.bin"}));
}

TEST_F(Staging, BootTreeOfAnUpdateIsoThroughTheLoggerHook) {
  unpackEnvironment();
  const std::string tool = work / "mytool";
  fs::create_directories(tool + "/bin");
  writeFile(tool + "/bin/run.sh", "tool");
  Options& o = options;
  o.isoName = "out.iso";
  o.kernelArgs = "console=ttyS0,19200 console=tty1";
  o.extToolDir = tool;
  EXPECT_EQ(environmentDirs(options), Strings{"linuxboot"});

  processLogger().setBootTreeHook([this] { return assembleBootTree(options); });
  {
    xelotest::ScopedCwd cwd(work.path());
    EXPECT_EQ(processLogger().OutputLogEntryEx(LogCopyBootDir, "[COPYBOOTDIR]"), 0);
  }

  EXPECT_FALSE(exists(work / "linuxboot"));
  EXPECT_EQ(readFile(work / "boot/EFI/BOOT/BOOTX64.EFI"), "loader");
  EXPECT_TRUE(exists(work / "boot/vmlinuz"));
  EXPECT_TRUE(exists(work / "boot/menu/menu.sh"));
  EXPECT_TRUE(exists(work / "boot/novpi/novpi.sh"));
  EXPECT_FALSE(exists(work / "boot/kyt"));
  EXPECT_FALSE(exists(work / "boot/dndeploy"));
  EXPECT_THAT(grubCfg(), HasSubstr(kKernelLine + " boot_src=3 console=ttyS0,19200 console=tty1\n"));
  EXPECT_EQ(readFile(work / "boot/Xelo_3rdPartyTool/bin/run.sh"), "tool");
}

TEST_F(Staging, DiagnosticsPackageIsUnpackedIntoTheBootTree) {
  unpackEnvironment();
  fs::create_directories(work / "kyt");
  writeKytPackage(work / ("kyt/" + kKytZip));
  Options& o = options;
  o.functions = {"kyt"};
  o.usbKey = "/dev/null-key";
  EXPECT_EQ(environmentDirs(options), (Strings{"linuxboot", "linuxbootkyt"}));
  {
    xelotest::ScopedCwd cwd(work.path());
    ASSERT_EQ(assembleBootTree(options), 0);
    EXPECT_EQ(fs::current_path(), fs::path(work.path()));
  }
  EXPECT_FALSE(exists(work / "linuxbootkyt"));
  EXPECT_FALSE(exists(work / "boot/novpi"));
  EXPECT_EQ(readFile(work / "boot/menu/kyt.cfg"), "diagnostics entry");
  EXPECT_EQ(readFile(work / "boot/kyt/kyt.bin"), "diagnostics program");
  EXPECT_FALSE(exists(work / "boot/kyt/stdout.txt"));
  // Without the scripting toolkit the package's own modules serve the menu.
  EXPECT_EQ(readFile(work / "boot/rom.c32"), "package rom.c32");
  EXPECT_THAT(grubCfg(), HasSubstr(kKernelLine + " boot_src=2\n"));

  // With the toolkit its modules win, and the package's are dropped.
  fs::remove_all(work / "boot");
  unpackEnvironment();
  fs::create_directories(work / "zad/kyt/qor/mem");
  for (const char* module : kMemTestModules) writeFile(work / "zad/kyt/qor/mem/" + module, std::string("zad ") + module);
  o.functions = {"novpi", "kyt"};
  o.usbKey.clear();
  o.pxeDir = work / "pxe";
  {
    xelotest::ScopedCwd cwd(work.path());
    ASSERT_EQ(assembleBootTree(options), 0);
  }
  EXPECT_EQ(readFile(work / "boot/intlamd.c32"), "zad intlamd.c32");
  EXPECT_FALSE(exists(work / "boot/kyt/mem/intlamd.c32"));
  EXPECT_FALSE(exists(work / "zad"));
  EXPECT_TRUE(exists(work / "boot/menu/menu.sh"));
  EXPECT_THAT(grubCfg(), HasSubstr(kKernelLine + " boot_src=4\n"));
}

TEST_F(Staging, AssemblyFailuresReturnMediaCodes) {
  options.isoName = "out.iso";
  {
    // Nothing unpacked.
    xelotest::ScopedCwd cwd(work.path());
    EXPECT_EQ(assembleBootTree(options), kBootTreeMissing);
  }

  unpackEnvironment();
  fs::remove(work / "linuxboot/EFI/BOOT/grub.cfg");
  {
    xelotest::ScopedCwd cwd(work.path());
    EXPECT_EQ(assembleBootTree(options), kBootTreeConfigMissing);
  }
  EXPECT_THAT(logText(), HasSubstr(kMidZip + " is invalid! In BMLogger::OutputLogEntryEx()"));

  // A diagnostics package that is no zip: the run names it, and the current
  // directory is the working directory again.
  fs::remove_all(work / "boot");
  unpackEnvironment();
  fs::create_directories(work / "kyt");
  writeFile(work / ("kyt/" + kKytZip), "not a zip");
  options.functions = {"kyt"};
  {
    xelotest::ScopedCwd cwd(work.path());
    EXPECT_EQ(assembleBootTree(options), kBootTreeUnzipFailed);
    EXPECT_EQ(fs::current_path(), fs::path(work.path()));
  }
  EXPECT_EQ(options.zipInError, kKytZip);
  EXPECT_THAT(logText(), HasSubstr("Unzipping kyt failed. In BMLogger::OutputLogEntryEx()"));
}

}  // namespace
