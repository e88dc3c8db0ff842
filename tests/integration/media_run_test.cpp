// Runs that build a USB key, a disc or a network boot directory from a
// prepared working directory, without acquiring anything.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "local_work.h"
#include "qemu_boot.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

namespace fs = std::filesystem;

class MediaRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string absent = xelotest::missingTools({"zip", "xorriso", "mkfs.fat", "mcopy", "mdir", "fsck.vfat"});
    if (!absent.empty()) GTEST_SKIP() << "not installed:" << absent;
    xelotest::BootEnvironment environment;
    environment.loader = std::string(100 * 1024, 'L');
    ASSERT_TRUE(
        xelotest::prepareLocalWork(box.scratch(), work, "qor_fw_a_7101", "payload of qor_fw_a_7101", environment));
  }

  xelotest::RunResult run(const std::vector<std::string>& extra, const std::string& input = "") {
    std::vector<std::string> args = {"--local=" + work, "-m", "7101", "--no-acquire"};
    args.insert(args.end(), extra.begin(), extra.end());
    return box.run("xelo", args, input);
  }
  std::string output(const std::vector<std::string>& argv) {
    const std::string out = box.scratch() + "/tool.txt";
    fs::remove(out);
    XELO::runToFile(out, argv);
    return readFile(out);
  }
  std::string result() { return readFile(box.supportDir() + "/xelo_cli.xml"); }

  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
};

TEST_F(MediaRun, UsbKeyIsWrittenOnlyAfterTheUserAgreesToFormatIt) {
  const std::string key = box.scratch() + "/key.img";
  { std::ofstream(key, std::ios::binary); }
  fs::resize_file(key, 64u * 1024 * 1024);

  auto refused = run({"--usbkey=" + key}, "n\n");
  EXPECT_EQ(refused.status, 232) << refused.output;
  EXPECT_THAT(refused.output, HasSubstr("Media creation error: USB Key has not been initialized"));
  EXPECT_EQ(readFile(key), std::string(64u * 1024 * 1024, '\0'));

  auto agreed = run({"--usbkey=" + key}, "y\n");
  ASSERT_EQ(agreed.status, 0) << agreed.output;
  // The question names the key and its size before anything is written.
  EXPECT_THAT(agreed.output, HasSubstr(" USB key: " + key + ", 67.1 MB\n Warning! USB key needs formatting."));
  EXPECT_THAT(result(), HasSubstr("<MESSAGE>Create USB key bootable media successfully</MESSAGE>"));
  EXPECT_FALSE(fs::exists(work + "/linuxboot"));

  const std::string partition = box.scratch() + "/partition.img";
  {
    std::ifstream in(key, std::ios::binary);
    in.seekg(1024 * 1024);
    std::ofstream(partition, std::ios::binary) << in.rdbuf();
  }
  EXPECT_EQ(XELO::runToFile(box.scratch() + "/fsck.txt", {"fsck.vfat", "-n", partition}), 0)
      << readFile(box.scratch() + "/fsck.txt");
  const std::string listing = output({"mdir", "-i", key + "@@1M", "-/", "-b", "::/"});
  for (const char* name : {"::/EFI/BOOT/BOOTX64.EFI", "::/boot/EFI/BOOT/grub.cfg", "::/qor_fw_a_7101.bin",
                           "::/novpi/qor_utl_novpi_9.63_anyos_x86-64.bin", "::/xelo.config"})
    EXPECT_THAT(listing, HasSubstr(name));
  EXPECT_THAT(output({"mtype", "-i", key + "@@1M", "::/boot/EFI/BOOT/grub.cfg"}), HasSubstr("boot_src=2"));

  // The key is now one of ours: a second run writes it without asking.
  auto again = run({"--usbkey=" + key});
  EXPECT_EQ(again.status, 0) << again.output;
  EXPECT_THAT(again.output, ::testing::Not(HasSubstr("needs formatting")));
}

TEST_F(MediaRun, DiscImageGivenAsTheDriveReceivesTheBurnedImage) {
  const std::string disc = box.scratch() + "/disc.img";
  writeFile(disc, "");
  auto r = run({"--cd=" + disc});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(result(), HasSubstr("<MESSAGE>Create CD/DVD bootable media successfully</MESSAGE>"));
  EXPECT_FALSE(fs::exists(box.programDir() + "/tmp.iso"));
  EXPECT_THAT(output({"xorriso", "-indev", disc, "-report_el_torito", "plain"}), HasSubstr("UEFI"));
  EXPECT_THAT(output({"xorriso", "-indev", disc, "-find", "/", "-type", "f"}), HasSubstr("'/qor_fw_a_7101.bin'"));
}

TEST_F(MediaRun, PxeDirectoryCarriesTheTftpServerAddress) {
  const std::string pxe = box.scratch() + "/pxe";
  auto r = run({"--pxe=" + pxe, "--tftp-pxe-address=192.0.2.20"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(readFile(pxe + "/grub.cfg"), HasSubstr("boot_src=4 tftp_server=192.0.2.20\n"));
  for (const char* name : {"BOOTX64.EFI", "img2a", "img3a", "tc.zip"})
    EXPECT_TRUE(fs::exists(pxe + "/" + name)) << name;
  EXPECT_THAT(output({"unzip", "-Z1", pxe + "/tc.zip"}), HasSubstr("qor_fw_a_7101.bin\n"));
}

// Each medium read back with --verify: the run succeeds, says so on a line of
// its own and leaves the same medium; without the option nothing is said.
TEST_F(MediaRun, VerifyReadsEachMediumBackAndSaysSoOnlyWhenAsked) {
  const std::string disc = box.scratch() + "/disc.img";
  const std::string key = box.scratch() + "/key.img";
  struct Case {
    std::vector<std::string> options;
    std::string message;
    std::string medium;  // a file the medium must hold afterwards
  };
  const std::vector<Case> cases = {
      {{"--iso=out.iso"}, "Create iso file successfully", work + "/out.iso"},
      {{"--pxe=" + box.scratch() + "/pxe"}, "Create PXE bootable media successfully", box.scratch() + "/pxe/tc.zip"},
      {{"--cd=" + disc}, "Create CD/DVD bootable media successfully", disc},
      {{"--usbkey=" + key, "--force"}, "Create USB key bootable media successfully", key},
  };
  const std::string said = " Verified: every file on the medium matches the staged one\n";
  for (const Case& c : cases) {
    for (bool verify : {false, true}) {
      SCOPED_TRACE(c.options[0] + (verify ? " --verify" : ""));
      fs::remove_all(box.scratch() + "/pxe");
      fs::remove(work + "/out.iso");
      writeFile(disc, "");
      { std::ofstream(key, std::ios::binary); }
      fs::resize_file(key, 64u * 1024 * 1024);
      std::vector<std::string> args = c.options;
      if (verify) args.push_back("--verify");
      auto r = run(args);
      ASSERT_EQ(r.status, 0) << r.output;
      EXPECT_THAT(result(), HasSubstr("<MESSAGE>" + c.message + "</MESSAGE>"));
      EXPECT_GT(fs::file_size(c.medium), 0u);
      EXPECT_EQ(r.output.find(said) != std::string::npos, verify) << r.output;
      EXPECT_EQ(r.output.find("Verifying the medium... 100%") != std::string::npos, verify) << r.output;
      EXPECT_FALSE(fs::exists(box.programDir() + "/tmp.iso"));
    }
  }
}

}  // namespace
