// A run that builds a medium from a prepared working directory, without
// acquiring anything: what staging puts on the medium and how the boot tree
// comes out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "local_work.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

namespace fs = std::filesystem;

using xelotest::kMidZip;
using xelotest::kNovpiBinary;

void addUpdate(const std::string& work, const std::string& id, const std::string& machineType) {
  xelotest::addLocalUpdate(work, id, machineType, "payload of " + id);
}

TEST(StagingRun, NoAcquireIsoCarriesTheStagedFilesAndTheEditedBootTree) {
  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
  fs::create_directories(work + "/novpi");
  xelotest::BootEnvironment environment;
  environment.withKyt = true;
  ASSERT_TRUE(xelotest::writeBootEnvironmentZip(box.scratch(), work + "/" + kMidZip, environment));
  writeFile(work + "/novpi/" + kNovpiBinary, "installer");
  writeFile(work + "/novpi/novpi_windows.exe", "for another system");
  addUpdate(work, "qor_fw_a_7101", "7101");
  addUpdate(work, "qor_fw_c_7102", "7102");
  writeFile(work + "/notes.txt", "notes");
  writeFile(work + "/earlier.iso", "an image made before");

  const std::string args = "console=ttyS0,19200 console=tty1";
  auto r = box.run("xelo", {"--local=" + work, "-m", "7101", "--no-acquire", "--iso=out.iso", "--kernel-args=" + args});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("The bootable media was created successfully!"));

  const auto logs = box.logFiles();
  ASSERT_EQ(logs.size(), 1u);
  const std::string log = readFile(box.supportDir() + "/" + logs.front());
  for (const std::string& name : {"novpi/" + kNovpiBinary, std::string("qor_fw_a_7101.xml"),
                                 std::string("qor_fw_a_7101.bin"), std::string("qor_fw_a_7101.txt"),
                                 std::string("notes.txt")})
    EXPECT_THAT(log, HasSubstr("main():: to push:" + name + "\n")) << name;
  for (const std::string& name : {std::string("qor_fw_c_7102"), std::string("earlier.iso"), kMidZip,
                                 std::string("novpi_windows.exe"), std::string(".\n"), std::string("xelo.config")})
    EXPECT_THAT(log, Not(HasSubstr("main():: to push:" + name))) << name;

  // The boot tree stays in the working directory; the unpacked environment
  // does not.
  EXPECT_FALSE(exists(work + "/linuxboot"));
  EXPECT_FALSE(exists(work + "/boot/kyt"));
  EXPECT_FALSE(exists(work + "/boot/dndeploy"));
  EXPECT_TRUE(exists(work + "/boot/menu/bundle_SYSTEM_SUPPORT_LIST_9.64.xml"));
  EXPECT_THAT(readFile(work + "/boot/EFI/BOOT/grub.cfg"),
              HasSubstr("  linux /boot/vmlinuz iommu=soft quiet boot_src=3 " + args + "\n"));
  EXPECT_THAT(readFile(work + "/xelo.config"), HasSubstr("QOR_SYSTEM_MT_NOVPI="));

  const auto medium = xelotest::isoEntries(work + "/out.iso");
  EXPECT_EQ(medium.count("xelo.config"), 1u);
  EXPECT_EQ(medium.count("novpi/" + kNovpiBinary), 1u);
  EXPECT_EQ(medium.count("qor_fw_a_7101.bin"), 1u);
  EXPECT_EQ(medium.count("boot/novpi/novpi.sh"), 1u);
  EXPECT_EQ(medium.count("boot/menu/bundle_SYSTEM_SUPPORT_LIST_9.64.xml"), 1u);
  EXPECT_THAT(medium.count("boot/EFI/BOOT/grub.cfg") ? medium.at("boot/EFI/BOOT/grub.cfg") : "",
              HasSubstr("boot_src=3 " + args));
  for (const std::string& name : {std::string("qor_fw_c_7102.bin"), std::string("earlier.iso"), kMidZip,
                                 std::string("novpi/novpi_windows.exe"), std::string("linuxboot"), std::string("boot/kyt")})
    EXPECT_EQ(medium.count(name), 0u) << name;
}

}  // namespace
