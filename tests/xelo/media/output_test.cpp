#include "media/output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "core/errors.h"
#include "host/host.h"
#include "log/logger.h"
#include "qemu_boot.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace XELO;
using xelotest::readFile;
using xelotest::writeFile;

namespace {

const std::string kZipName = "qor_utl_boot_tools-141_anyos_x86-64-mid.zip";

std::string resultRecord(int code, const std::string& message, int step) {
  return "<CLIERROR>\n\t<CODE>" + std::to_string(code) + "</CODE>\n\t<MESSAGE>" + message +
         "</MESSAGE>\n\t<STEPSERIAL>" + std::to_string(step) + "</STEPSERIAL>\n</CLIERROR>";
}

// A working directory staged for a medium, with a small environment zip, and
// the program's boot-tree hook reduced to moving "linuxboot" to "boot".
class MediaOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string absent = xelotest::missingTools({"zip", "xorriso", "mformat", "mcopy", "mkfs.fat"});
    if (!absent.empty()) GTEST_SKIP() << "not installed:" << absent;
    const std::string env = dir / "env";
    fs::create_directories(env + "/linuxboot/EFI/BOOT");
    fs::create_directories(env + "/linuxbootkyt/kyt");
    writeFile(env + "/linuxboot/EFI/BOOT/BOOTX64.EFI", std::string(64 * 1024, 'L'));
    writeFile(env + "/linuxboot/EFI/BOOT/grub.cfg",
              "menuentry \"env\" {\n  linux /boot/vmlinuz iommu=soft\n  initrd /boot/initrd.gz\n}\n");
    writeFile(env + "/linuxboot/vmlinuz", "kernel");
    writeFile(env + "/linuxboot/initrd.gz", "initrd");
    writeFile(env + "/linuxbootkyt/kyt/x", "kyt");
    fs::create_directories(work + "/novpi");
    {
      xelotest::ScopedCwd in(env);
      ASSERT_EQ(runToFile(dir / "zip.log", {"zip", "-q", "-r", work + "/" + kZipName, "linuxboot", "linuxbootkyt"}), 0);
    }
    writeFile(work + "/novpi/qor_utl_novpi_9.63.bin", "installer");
    writeFile(work + "/xelo.config", "QOR_SYSTEM_MACHINETYPE=7X21\n");
    fs::create_directories(program);

    options.workingDir = work;
    options.isoDir = dir.path();
    options.toolZip = kZipName;
    options.functions = {"novpi", "kyt"};
    processLogger().setBootTreeHook([this] {
      ++hookCalls;
      std::error_code ec;
      fs::remove_all("boot", ec);
      fs::rename("linuxboot", "boot", ec);
      return ec ? 100 : 0;
    });
  }
  void TearDown() override {
    processLogger().setBootTreeHook({});
  }

  void makeKey() {
    { std::ofstream(key, std::ios::binary); }
    fs::resize_file(key, 64u * 1024 * 1024);
  }
  std::string result() { return readFile(cliResultPath()); }

  xelotest::TempDir dir{"media-output"};
  const std::string work = dir / "work";
  const std::string program = dir / "program";
  const std::string key = dir / "key.img";
  Options options;
  std::vector<std::string> files{".", "..", "novpi/qor_utl_novpi_9.63.bin"};
  int hookCalls = 0;
};

TEST(MediaCodes, EachMediumMapsTheLibraryCodesToItsOwnErrors) {
  struct Row {
    int internal, iso, usb, pxe;
  };
  const Row rows[] = {{0, 0, 0, 0},       {81, 217, 217, 217},  {100, 211, 211, 211}, {101, 255, 230, 255},
                      {102, 213, 213, 213}, {103, 214, 214, 214}, {104, 255, 231, 255}, {105, 246, 246, 246},
                      {106, 212, 212, 212}, {107, 216, 216, 216}, {108, 220, 218, 255}, {109, 221, 255, 255},
                      {110, 255, 232, 245}, {111, 222, 255, 255}, {112, 222, 255, 255}, {113, 223, 255, 255},
                      {116, 234, 255, 255}, {114, 255, 255, 255}, {-1, 255, 255, 255}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.internal);
    EXPECT_EQ(mediaErrorCode(r.internal, MediumKind::Iso), r.iso);
    EXPECT_EQ(mediaErrorCode(r.internal, MediumKind::Usb), r.usb);
    EXPECT_EQ(mediaErrorCode(r.internal, MediumKind::Pxe), r.pxe);
  }
}

TEST_F(MediaOutput, IsoFileIsWrittenAndTheEnvironmentDirectoriesRemoved) {
  options.isoName = "media.iso";
  xelotest::ConsoleScope console;
  ASSERT_EQ(createISOFile(files, options), 0);
  EXPECT_EQ(hookCalls, 1);
  EXPECT_TRUE(fs::is_regular_file(dir / "media.iso"));
  EXPECT_EQ(result(), resultRecord(0, "Create iso file successfully", 6));
  EXPECT_FALSE(fs::exists(work + "/linuxboot"));
  EXPECT_FALSE(fs::exists(work + "/linuxbootkyt"));
  EXPECT_NE(console.output().find("Writing the ISO image... 100%"), std::string::npos) << console.output();

  options.isoName = "media.img";
  EXPECT_EQ(createISOFile(files, options), 220);
  EXPECT_FALSE(fs::exists(dir / "media.img"));
}

TEST_F(MediaOutput, UsbKeyIsFormattedOnlyAfterAYes) {
  makeKey();
  const std::string untouched = readFile(key);
  options.usbKey = key;
  for (const char* answer : {"n", "no", "x"}) {
    SCOPED_TRACE(answer);
    xelotest::ConsoleScope console(std::string(answer) + "\n");
    EXPECT_EQ(createUSBKey(files, options), 232);
    EXPECT_NE(console.output().find("Are you sure you want to continue?(y or n)"), std::string::npos);
    EXPECT_TRUE(readFile(key) == untouched);
  }
  EXPECT_EQ(hookCalls, 0);
  {
    xelotest::ConsoleScope console("Yes\n");
    ASSERT_EQ(createUSBKey(files, options), 0);
  }
  EXPECT_EQ(hookCalls, 1);
  EXPECT_EQ(result(), resultRecord(0, "Create USB key bootable media successfully", 6));
  EXPECT_FALSE(fs::exists(work + "/linuxboot"));
  const std::string fsckLog = dir / "fsck.log";
  EXPECT_EQ(runToFile(fsckLog, {"mdir", "-i", key + "@@1M", "::/EFI/BOOT/BOOTX64.EFI"}), 0) << readFile(fsckLog);
}

TEST_F(MediaOutput, ForcedUsbKeyIsFormattedWithoutAQuestion) {
  makeKey();
  options.usbKey = key;
  options.force = true;
  xelotest::ConsoleScope console;  // no answer available
  ASSERT_EQ(createUSBKey(files, options), 0);
  EXPECT_EQ(console.output().find("Are you sure"), std::string::npos);
}

TEST_F(MediaOutput, GraphicalFrontEndAnswersTheFormatQuestionThroughTheReplyFile) {
  makeKey();
  options.usbKey = key;
  xelotest::ScopedEnv gui("XELO_GUI_ENVIRONMENT", "1");
  ensureDirectory(supportDirectory());
  writeFile(tempReplyPath(), "n\n");  // an old answer must not count
  std::thread frontEnd([this] {
    for (int i = 0; i < 200 && result().find("<CODE>10</CODE>") == std::string::npos; ++i) sleepMilliseconds(25);
    EXPECT_EQ(result(), resultRecord(10, "Format your USB key? (y or n)", 0));
    writeFile(tempReplyPath(), "y\n");
  });
  const int code = createUSBKey(files, options);
  frontEnd.join();
  EXPECT_EQ(code, 0);
}

TEST_F(MediaOutput, UsbVolumeThatDoesNotExistEndsWith230AndTouchesNothingElse) {
  // The program's own environment folder lies beside it, in the current directory.
  fs::create_directories(program + "/linuxboot");
  xelotest::ScopedCwd inProgram(program);
  options.usbKey = dir / "missing.img";
  EXPECT_EQ(createUSBKey(files, options), 230);
  EXPECT_TRUE(fs::is_directory(program + "/linuxboot"));
  EXPECT_TRUE(fs::is_regular_file(work + "/" + kZipName));
}

TEST_F(MediaOutput, PxeDirectoryGetsTheTftpAddressOnlyWhenOneIsGiven) {
  options.pxeDir = dir / "pxe";
  ASSERT_EQ(createPXE(files, options), 0);
  EXPECT_EQ(result(), resultRecord(0, "Create PXE bootable media successfully", 6));
  EXPECT_NE(readFile(dir / "pxe/grub.cfg").find("iommu=soft tftp_server=\n"), std::string::npos);

  options.pxeDir = dir / "pxe2";
  options.tftpPxeAddress = "192.0.2.10";
  ASSERT_EQ(createPXE(files, options), 0);
  EXPECT_NE(readFile(dir / "pxe2/grub.cfg").find("iommu=soft tftp_server=192.0.2.10\n"), std::string::npos);
  for (const char* name : {"img2a", "img3a", "tc.zip"}) EXPECT_TRUE(fs::exists(dir / "pxe2/" + name)) << name;
}

TEST_F(MediaOutput, CdIsBurnedToAPseudoDriveAndTheTemporaryImageRemoved) {
  const std::string disc = dir / "disc.img";
  writeFile(disc, "");
  options.cdDevice = disc;
  xelotest::ScopedCwd inProgram(program);
  xelotest::ConsoleScope console;
  ASSERT_EQ(createCD(files, options), 0);
  EXPECT_EQ(result(), resultRecord(0, "Create CD/DVD bootable media successfully", 8));
  EXPECT_FALSE(fs::exists(program + "/tmp.iso"));
  const std::string report = dir / "torito.txt";
  runToFile(report, {"xorriso", "-indev", disc, "-report_el_torito", "plain"});
  EXPECT_NE(readFile(report).find("UEFI"), std::string::npos) << readFile(report);
}

TEST_F(MediaOutput, CdDriveThatIsADirectoryIsRefusedAfterTheImageIsMade) {
  options.cdDevice = dir.path();
  xelotest::ScopedCwd inProgram(program);
  EXPECT_EQ(createCD(files, options), 235);
  EXPECT_FALSE(fs::exists(program + "/tmp.iso"));
}

}  // namespace
