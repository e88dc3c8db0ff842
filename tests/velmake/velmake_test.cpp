// The media-image library on a small environment made by the tests: ISO
// images, USB key images, network boot directories and burning to a
// pseudo-drive, checked with the tools an administrator would use
// (xorriso, mtools, fsck.vfat).
#include "velmake.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "host/host.h"
#include "qemu_boot.h"
#include "test_support.h"

namespace fs = std::filesystem;
using xelotest::readFile;
using xelotest::writeFile;

namespace {

const std::string kZipName = "qor_utl_boot_tools-141_anyos_x86-64-mid.zip";
const std::string kMenu =
    "set timeout=1\n"
    "menuentry \"Boot environment\" {\n"
    "  linux /boot/vmlinuz iommu=soft quiet\n"
    "  initrd /boot/initrd.gz\n"
    "}\n";

// Writes a zip holding `files` (name -> contents; a name ending in "/" is a
// directory), names taken as given, unsafe ones included.
void makeZip(const std::string& path, const std::map<std::string, std::string>& files) {
  struct archive* out = archive_write_new();
  archive_write_set_format_zip(out);
  ASSERT_EQ(archive_write_open_filename(out, path.c_str()), ARCHIVE_OK);
  for (const auto& [name, content] : files) {
    struct archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, name.c_str());
    const bool dir = name.back() == '/';
    archive_entry_set_filetype(e, dir ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(e, dir ? 0755 : 0644);
    archive_entry_set_size(e, dir ? 0 : static_cast<la_int64_t>(content.size()));
    archive_write_header(out, e);
    if (!dir) archive_write_data(out, content.data(), content.size());
    archive_entry_free(e);
  }
  archive_write_close(out);
  archive_write_free(out);
}

// Bytes that differ from file to file, so copies can be told apart.
std::string blob(const std::string& seed, size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i)
    data[i] = static_cast<char>((i * 131 + seed.size() * 7 + seed[i % seed.size()]) & 0xff);
  return data;
}

// The logger the program hands in; its boot-tree hook does what the
// program's does first: "linuxboot" becomes "boot".
class FakeLogger : public XELO::BMLoggerIfc {
 public:
  void OutputLogEntry(int32_t, std::string message) override { log += message + "\n"; }
  int32_t OutputLogEntryEx(int32_t level, std::string message) override {
    OutputLogEntry(level, message);
    if (level != 6) return 0;
    ++hookCalls;
    hookDirectory = fs::current_path().string();
    if (hookResult != 0) return hookResult;
    std::error_code ec;
    fs::remove_all("boot", ec);
    fs::rename("linuxboot", "boot", ec);
    if (ec) return 100;
    if (extraHook) extraHook();
    return 0;
  }
  std::string log;
  int hookCalls = 0;
  std::string hookDirectory;
  int hookResult = 0;
  std::function<void()> extraHook;
};

class MediaImage : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string absent = xelotest::missingTools({"xorriso", "mformat", "mcopy", "mdir", "mkfs.fat", "fsck.vfat"});
    if (!absent.empty()) GTEST_SKIP() << "not installed:" << absent;
    fs::create_directories(work);
    makeZip(work + "/" + kZipName, {{"linuxboot/EFI/BOOT/BOOTX64.EFI", loader},
                                    {"linuxboot/EFI/BOOT/grub.cfg", kMenu},
                                    {"linuxboot/vmlinuz", kernel},
                                    {"linuxboot/initrd.gz", initrd},
                                    {"linuxboot/menu/", ""},
                                    {"linuxbootkyt/kyt/readme.txt", "diagnostics"}});
    fs::create_directories(work + "/novpi");
    writeFile(work + "/novpi/qor_utl_novpi_9.63.bin", payload);
    writeFile(work + "/7X21_fw.xml", "<CIM>update</CIM>\n");
    writeFile(work + "/not_listed.txt", "left off the medium");
    writeFile(work + "/xelo.config", "QOR_SYSTEM_MACHINETYPE=7X21\n");
  }

  // What staging lists for a medium.
  std::vector<std::string> files{".", "..", "novpi\\qor_utl_novpi_9.63.bin", "7X21_fw.xml"};

  int run(const std::vector<std::string>& argv, const std::string& out) { return XELO::runToFile(out, argv); }
  std::string output(const std::vector<std::string>& argv) {
    const std::string out = dir / "tool-output.txt";
    fs::remove(out);
    run(argv, out);
    return readFile(out);
  }

  xelotest::TempDir dir{"velmake"};
  const std::string work = dir / "work";
  const std::string loader = blob("loader", 300 * 1024);
  const std::string kernel = blob("kernel", 200 * 1024);
  const std::string initrd = blob("initrd", 100 * 1024);
  const std::string payload = blob("payload", 50 * 1024);
  FakeLogger logger;
};

// ---- ISO images -------------------------------------------------------------

TEST_F(MediaImage, IsoHoldsTheListedEntriesAndTheBootTreeAndBootsByUefi) {
  const std::string iso = dir / "out.iso";
  writeFile(dir / ".out.iso.part4711.iso", "left by a run that was killed");
  const std::string before = fs::current_path().string();
  std::vector<int> percents;
  Velmake::BootableISO builder(logger);
  builder.setProgress([&](const std::string&, int p) { percents.push_back(p); });
  ASSERT_EQ(builder.CreateISO(work, iso, files, kZipName, 1), 0) << logger.log;

  EXPECT_EQ(logger.hookCalls, 1);
  EXPECT_EQ(logger.hookDirectory, fs::canonical(work).string());
  EXPECT_EQ(fs::current_path().string(), before);
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);

  const std::string torito = output({"xorriso", "-indev", iso, "-report_el_torito", "plain"});
  EXPECT_NE(torito.find("El Torito boot img :   1  UEFI"), std::string::npos) << torito;
  EXPECT_EQ(torito.find("BIOS"), std::string::npos) << torito;
  const std::string area = output({"xorriso", "-indev", iso, "-report_system_area", "plain"});
  EXPECT_NE(area.find("GPT type GUID"), std::string::npos) << area;

  // Rock Ridge keeps the names as they are; Joliet is recorded too.
  const std::string listing = output({"xorriso", "-indev", iso, "-find", "/", "-type", "f"});
  for (const char* name : {"'/boot/EFI/BOOT/grub.cfg'", "'/boot/EFI/BOOT/BOOTX64.EFI'", "'/boot/vmlinuz'",
                           "'/novpi/qor_utl_novpi_9.63.bin'", "'/7X21_fw.xml'", "'/xelo.config'"})
    EXPECT_NE(listing.find(name), std::string::npos) << name << "\n" << listing;
  for (const char* name : {"not_listed.txt", kZipName.c_str(), "linuxbootkyt", "velmake_tmp"})
    EXPECT_EQ(listing.find(name), std::string::npos) << name;
  // Without Rock Ridge the Joliet tree still carries the names unchanged.
  const std::string joliet =
      output({"xorriso", "-rockridge", "off", "-joliet", "on", "-indev", iso, "-find", "/novpi", "-type", "f"});
  EXPECT_NE(joliet.find("'/novpi/qor_utl_novpi_9.63.bin'"), std::string::npos) << joliet;

  const std::string extracted = dir / "payload.bin";
  ASSERT_EQ(run({"xorriso", "-osirrox", "on", "-indev", iso, "-extract", "/novpi/qor_utl_novpi_9.63.bin", extracted},
                dir / "x.log"),
            0)
      << readFile(dir / "x.log") << logger.log;
  EXPECT_TRUE(readFile(extracted) == payload);
  // Nothing but the image is left beside it; an earlier partial image is gone.
  EXPECT_EQ(xelotest::listFiles(dir.path()),
            (std::vector<std::string>{"out.iso", "payload.bin", "tool-output.txt", "work", "x.log"}));
}

// The little-endian number of `bytes` bytes at `at` of `data`.
uint64_t littleEndian(const std::string& data, size_t at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = bytes; i-- > 0;) value = value << 8 | static_cast<unsigned char>(data[at + i]);
  return value;
}

TEST_F(MediaImage, IsoCarriesABiosEntryAndHybridMbrWhenTheEnvironmentHasABiosLoader) {
  const std::string eltorito = blob("eltorito", 8192);
  const std::string mbrCode = blob("mbr", 512);
  const std::string host = dir / "host-mbr.img";
  writeFile(host, blob("host", 512));
  struct Case {
    const char* what;
    std::function<void()> placeMbrCode;  // run in the working directory by the hook
    bool mbrExpected;
  };
  const std::vector<Case> cases = {
      {"with GRUB's hybrid MBR code", [&] { writeFile("boot/grub/i386-pc/boot_hybrid.img", mbrCode); }, true},
      {"without MBR code", [] {}, false},
      {"MBR code longer than a sector", [&] { writeFile("boot/grub/i386-pc/boot_hybrid.img", mbrCode + mbrCode); },
       false},
      {"MBR code shorter than the boot code area",
       [&] { writeFile("boot/grub/i386-pc/boot_hybrid.img", mbrCode.substr(0, 100)); }, false},
      {"MBR code linked to a host file", [&] { fs::create_symlink(host, "boot/grub/i386-pc/boot_hybrid.img"); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    logger = FakeLogger();
    logger.extraHook = [&] {
      fs::create_directories("boot/grub/i386-pc");
      writeFile("boot/grub/i386-pc/eltorito.img", eltorito);
      c.placeMbrCode();
    };
    const std::string iso = dir / "bios.iso";
    Velmake::BootableISO builder(logger);
    ASSERT_EQ(builder.CreateISO(work, iso, files, kZipName, 1), 0) << logger.log;
    const std::string torito = output({"xorriso", "-indev", iso, "-report_el_torito", "plain"});
    EXPECT_NE(torito.find("El Torito boot img :   1  BIOS"), std::string::npos) << torito;
    EXPECT_NE(torito.find("El Torito boot img :   2  UEFI"), std::string::npos) << torito;
    // The EFI partition stays in the GPT, for UEFI boot from a disk.
    const std::string area = output({"xorriso", "-indev", iso, "-report_system_area", "plain"});
    EXPECT_NE(area.find("GPT type GUID"), std::string::npos) << area;

    const std::string image = readFile(iso);
    ASSERT_GT(image.size(), 32768u);
    const std::string bootCode = image.substr(0, 440);
    if (!c.mbrExpected) {
      EXPECT_EQ(bootCode, std::string(440, '\0'));
      EXPECT_EQ(logger.log.find("CreateISO() MBR boot code"), std::string::npos) << logger.log;
      continue;
    }
    // Bytes 432 to 439 receive the address below.
    EXPECT_TRUE(bootCode.compare(0, 432, mbrCode, 0, 432) == 0) << "the MBR does not hold the environment's boot code";
    EXPECT_EQ(littleEndian(image, 510, 2), 0xaa55u);
    // The boot code finds GRUB's disk start-up code by the block address
    // written at byte 432: 4 blocks of 512 bytes into the El Torito image.
    // (The image's first 64 bytes get the El Torito boot information table.)
    const uint64_t block = littleEndian(image, 0x1b0, 8);
    ASSERT_GE(block, 4u);
    const uint64_t imageStart = (block - 4) * 512;
    ASSERT_LT(imageStart + eltorito.size(), image.size());
    EXPECT_TRUE(image.compare(imageStart + 64, 2048 - 64, eltorito, 64, 2048 - 64) == 0)
        << "the MBR points at block " << block << ", not 4 blocks into the El Torito image";
  }
  EXPECT_NE(logger.log.find("ignoring the unusable MBR boot code"), std::string::npos) << logger.log;
}

TEST_F(MediaImage, IsoFailuresReturnTheirCodeAndLeaveAnEarlierImageAlone) {
  const std::string iso = dir / "keep.iso";
  writeFile(iso, "an image the user already has");
  struct Case {
    const char* what;
    std::function<void(std::vector<std::string>&, std::string&, std::string&)> arrange;
    int expected;
  };
  const std::vector<Case> cases = {
      {"hook failure", [&](auto&, auto&, auto&) { logger.hookResult = 108; }, 108},
      {"environment without .zip", [](auto&, auto& zip, auto&) { zip = "environment.tar"; }, 103},
      {"missing environment", [](auto&, auto& zip, auto&) { zip = "qor_utl_boot_tools-999.zip"; }, 100},
      {"corrupt environment", [&](auto&, auto&, auto&) { writeFile(work + "/" + kZipName, "not a zip"); }, 102},
      {"listed entry missing", [](auto& list, auto&, auto&) { list.push_back("gone.xml"); }, 100},
      {"listed entry outside", [](auto& list, auto&, auto&) { list.push_back("../outside"); }, 108},
      {"empty list", [](auto& list, auto&, auto&) { list.clear(); }, 81},
      {"name without .iso", [](auto&, auto&, auto& target) { target += ".img"; }, 108},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    logger = FakeLogger();
    std::vector<std::string> list = files;
    std::string zip = kZipName;
    std::string target = iso;
    c.arrange(list, zip, target);
    Velmake::BootableISO builder(logger);
    EXPECT_EQ(builder.CreateISO(work, target, list, zip, 1), c.expected) << logger.log;
    EXPECT_EQ(readFile(iso), "an image the user already has");
    EXPECT_FALSE(fs::exists(target + ".img"));
    EXPECT_FALSE(fs::exists(work + "/velmake_tmp"));
  }
}

TEST_F(MediaImage, UnpackingRefusesEntriesThatLeaveTheWorkingDirectory) {
  makeZip(work + "/" + kZipName, {{"linuxboot/EFI/BOOT/grub.cfg", kMenu}, {"../escaped.txt", "outside"}});
  Velmake::BootableISO builder(logger);
  EXPECT_EQ(builder.CreateISO(work, dir / "x.iso", files, kZipName, 1), 102);
  EXPECT_FALSE(fs::exists(dir / "escaped.txt"));
  EXPECT_EQ(logger.hookCalls, 0);

  makeZip(work + "/" + kZipName, {{"/tmp/velmake-absolute.txt", "outside"}});
  EXPECT_EQ(builder.CreateISO(work, dir / "x.iso", files, kZipName, 1), 102);
  EXPECT_FALSE(fs::exists("/tmp/velmake-absolute.txt"));
}

TEST_F(MediaImage, RemoveTempFilesAndDirsDeletesTheEnvironmentDirectories) {
  Velmake::BootableISO builder(logger);
  ASSERT_EQ(builder.CreateISO(work, dir / "out.iso", files, kZipName, 1), 0) << logger.log;
  ASSERT_TRUE(fs::is_directory(work + "/linuxbootkyt"));
  builder.removeTempFilesAndDirs({"linuxboot", "linuxbootkyt"});
  EXPECT_FALSE(fs::exists(work + "/linuxbootkyt"));
  EXPECT_TRUE(fs::exists(work + "/boot"));
  EXPECT_TRUE(fs::exists(work + "/novpi"));
}

// ---- USB keys -----------------------------------------------------------------

class UsbKeyImage : public MediaImage {
 protected:
  void makeKey(uint64_t mib) {
    { std::ofstream(key, std::ios::binary); }
    fs::resize_file(key, mib * 1024 * 1024);
  }
  // The FAT file system of the key's partition, copied out for fsck.
  std::string partitionImage() {
    const std::string part = dir / "partition.img";
    std::ifstream in(key, std::ios::binary);
    in.seekg(1024 * 1024);
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    return part;
  }
  std::string fat() { return key + "@@1M"; }
  const std::string key = dir / "key.img";
};

TEST_F(UsbKeyImage, FormattedKeyHoldsTheLoaderAndTheMediumAndPassesFsck) {
  makeKey(64);
  Velmake::BootableUSB usb(logger);
  bool needsFormat = false;
  ASSERT_EQ(usb.init(work, key, files, kZipName, needsFormat), 0) << logger.log;
  EXPECT_TRUE(needsFormat);
  EXPECT_EQ(logger.hookCalls, 0);
  ASSERT_EQ(usb.CreateUSBKey(true), 0) << logger.log;
  EXPECT_EQ(logger.hookCalls, 1);

  // One bootable FAT32 (LBA) partition from sector 2048.
  std::ifstream in(key, std::ios::binary);
  unsigned char mbr[512];
  in.read(reinterpret_cast<char*>(mbr), sizeof mbr);
  EXPECT_EQ(mbr[446], 0x80);
  EXPECT_EQ(mbr[446 + 4], 0x0C);
  EXPECT_EQ(mbr[446 + 8] | mbr[446 + 9] << 8, 2048);
  EXPECT_EQ(mbr[510], 0x55);

  const std::string fsck = dir / "fsck.log";
  EXPECT_EQ(run({"fsck.vfat", "-n", partitionImage()}, fsck), 0) << readFile(fsck);
  const std::string listing = output({"mdir", "-i", fat(), "-/", "-b", "::/"});
  for (const char* name : {"::/EFI/BOOT/BOOTX64.EFI", "::/boot/EFI/BOOT/grub.cfg", "::/boot/vmlinuz",
                           "::/novpi/qor_utl_novpi_9.63.bin", "::/7X21_fw.xml", "::/xelo.config"})
    EXPECT_NE(listing.find(name), std::string::npos) << name << "\n" << listing;
  EXPECT_EQ(listing.find("not_listed"), std::string::npos);
  const std::string copied = dir / "loader.efi";
  ASSERT_EQ(run({"mcopy", "-i", fat(), "::/EFI/BOOT/BOOTX64.EFI", copied}, dir / "m.log"), 0);
  EXPECT_TRUE(readFile(copied) == loader);

  // Made by the library: no formatting needed; the medium is replaced and a
  // file the user added stays.
  writeFile(dir / "mine.txt", "user file");
  ASSERT_EQ(run({"mcopy", "-i", fat(), dir / "mine.txt", "::/mine.txt"}, dir / "m.log"), 0);
  writeFile(work + "/7X21_fw.xml", "<CIM>newer</CIM>\n");
  Velmake::BootableUSB again(logger);
  ASSERT_EQ(again.init(work, key, files, kZipName, needsFormat), 0);
  EXPECT_FALSE(needsFormat);
  ASSERT_EQ(again.CreateUSBKey(false), 0) << logger.log;
  EXPECT_EQ(output({"mtype", "-i", fat(), "::/mine.txt"}), "user file");
  EXPECT_EQ(output({"mtype", "-i", fat(), "::/7X21_fw.xml"}), "<CIM>newer</CIM>\n");
  EXPECT_EQ(run({"fsck.vfat", "-n", partitionImage()}, fsck), 0) << readFile(fsck);
}

TEST_F(UsbKeyImage, KeyIsLeftAloneUntilFormattingIsAllowed) {
  makeKey(64);
  writeFile(dir / "pattern", blob("user data", 4096));
  {
    std::fstream f(key, std::ios::binary | std::ios::in | std::ios::out);
    f << readFile(dir / "pattern");
  }
  const std::string before = readFile(key);

  Velmake::BootableUSB usb(logger);
  bool needsFormat = false;
  ASSERT_EQ(usb.init(work, key, files, kZipName, needsFormat), 0);
  EXPECT_TRUE(needsFormat);
  EXPECT_EQ(usb.CreateUSBKey(false), 110);
  EXPECT_TRUE(readFile(key) == before);

  Velmake::BootableUSB uninitialised(logger);
  EXPECT_EQ(uninitialised.CreateUSBKey(true), 110);
  EXPECT_TRUE(readFile(key) == before);
  EXPECT_EQ(logger.hookCalls, 0);
}

TEST_F(UsbKeyImage, VolumesThatCannotHoldAKeyAreRefused) {
  Velmake::BootableUSB usb(logger);
  bool needsFormat = false;
  EXPECT_EQ(usb.init(work, dir / "no-such-key.img", files, kZipName, needsFormat), 101);
  EXPECT_EQ(usb.init(work, dir.path(), files, kZipName, needsFormat), 101);
  EXPECT_EQ(usb.CreateUSBKey(true), 110);

  makeKey(8);
  ASSERT_EQ(usb.init(work, key, files, kZipName, needsFormat), 0);
  EXPECT_EQ(usb.CreateUSBKey(true), 105);
  EXPECT_EQ(fs::file_size(key), 8u * 1024 * 1024);
}

// A key read back after writing, as written and after each kind of damage:
// the first file that differs (or the volume) is named.
TEST_F(UsbKeyImage, ReadBackNamesTheFirstFileThatDiffersOnTheKey) {
  struct Case {
    const char* what;
    std::function<void()> alter;
    int code;
    std::string named;
  };
  const std::vector<Case> cases = {
      {"a key as written", [] {}, 0, ""},
      {"a file replaced on the key",
       [&] {
         writeFile(dir / "other.xml", "<CIM>other</CIM>\n");
         ASSERT_EQ(run({"mcopy", "-o", "-i", fat(), dir / "other.xml", "::/7X21_fw.xml"}, dir / "m.log"), 0);
       },
       Velmake::kCreateFailed, "7X21_fw.xml"},
      {"the UEFI loader deleted from the key",
       [&] {
         ASSERT_EQ(run({"mdel", "-i", fat(), "::/EFI/BOOT/BOOTX64.EFI"}, dir / "m.log"), 0);
       },
       Velmake::kCreateFailed, "EFI/BOOT/BOOTX64.EFI"},
      {"the partition table wiped",
       [&] {
         std::fstream f(key, std::ios::binary | std::ios::in | std::ios::out);
         f << std::string(512, '\0');
       },
       Velmake::kCreateFailed, key},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    makeKey(64);
    Velmake::BootableUSB usb(logger);
    bool needsFormat = false;
    ASSERT_EQ(usb.init(work, key, files, kZipName, needsFormat), 0) << logger.log;
    ASSERT_EQ(usb.CreateUSBKey(true), 0) << logger.log;
    c.alter();
    std::string named;
    EXPECT_EQ(usb.VerifyUSBKey(named), c.code) << logger.log;
    EXPECT_EQ(named, c.named);
    EXPECT_FALSE(fs::exists(work + "/velmake_tmp"));
  }
}

// ---- network boot directories ------------------------------------------------------

TEST_F(MediaImage, PxeDirectoryHoldsLoaderMenuKernelInitrdAndTheZippedMedium) {
  const std::string pxe = dir / "pxe";
  Velmake::BootableIMG img(logger);
  ASSERT_EQ(img.CreateIMG(work, pxe, files, kZipName), 0) << logger.log;
  EXPECT_EQ(logger.hookCalls, 1);

  for (const char* name : {"BOOTX64.EFI", "grub.cfg", "img2a", "img3a", "tc.zip"})
    EXPECT_TRUE(fs::is_regular_file(pxe + "/" + name)) << name;
  EXPECT_TRUE(readFile(pxe + "/img2a") == kernel);
  const std::string img3a = readFile(pxe + "/img3a");
  EXPECT_GT(img3a.size(), initrd.size());
  EXPECT_TRUE(img3a.compare(0, initrd.size(), initrd) == 0);

  const std::string menu = readFile(pxe + "/grub.cfg");
  EXPECT_NE(menu.find("  linux $cmdpath/img2a iommu=soft quiet tftp_server=\n"), std::string::npos) << menu;
  EXPECT_NE(menu.find("  initrd $cmdpath/img3a\n"), std::string::npos) << menu;

  const std::string names = output({"unzip", "-Z1", pxe + "/tc.zip"});
  for (const char* name :
       {"xelo.config\n", "boot/EFI/BOOT/grub.cfg\n", "novpi/qor_utl_novpi_9.63.bin\n", "7X21_fw.xml\n"})
    EXPECT_NE(names.find(name), std::string::npos) << name << names;
  EXPECT_EQ(names.find("not_listed"), std::string::npos);
}

TEST_F(MediaImage, PxeDirectoryCarriesTheBiosLoaderOnlyFromTheEnvironment) {
  const std::string netImage = blob("core.0", 64 * 1024);
  const std::string host = dir / "host-core.0";
  writeFile(host, blob("host", 4096));
  struct Case {
    const char* what;
    std::function<void()> placeImage;  // run in the working directory by the hook
    bool expected;
  };
  const std::vector<Case> cases = {
      {"with the BIOS network image", [&] { writeFile("boot/grub/i386-pc/core.0", netImage); }, true},
      {"without it", [] {}, false},
      {"linked to a host file", [&] { fs::create_symlink(host, "boot/grub/i386-pc/core.0"); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    logger = FakeLogger();
    logger.extraHook = [&] {
      fs::create_directories("boot/grub/i386-pc");
      c.placeImage();
    };
    const std::string pxe = dir / "pxe";
    fs::remove_all(pxe);
    Velmake::BootableIMG img(logger);
    ASSERT_EQ(img.CreateIMG(work, pxe, files, kZipName), 0) << logger.log;
    EXPECT_TRUE(fs::is_regular_file(pxe + "/BOOTX64.EFI"));
    // Both loaders read the one menu beside them.
    EXPECT_TRUE(fs::is_regular_file(pxe + "/grub.cfg"));
    EXPECT_EQ(fs::exists(pxe + "/pxelinux.0"), c.expected) << logger.log;
    if (c.expected) EXPECT_TRUE(readFile(pxe + "/pxelinux.0") == netImage);
  }
}

TEST_F(MediaImage, PxeDirectoryInsideTheWorkingDirectoryIsNotZippedIntoItself) {
  files.push_back("pxe");
  fs::create_directories(work + "/pxe");
  Velmake::BootableIMG img(logger);
  ASSERT_EQ(img.CreateIMG(work, work + "/pxe", files, kZipName), 0) << logger.log;
  const std::string names = output({"unzip", "-Z1", work + "/pxe/tc.zip"});
  EXPECT_EQ(names.find("pxe/"), std::string::npos) << names;
}

// ---- files of the boot tree that lead to the host ------------------------------

// The regular files below `root` (links not followed) that hold `marker`.
std::vector<std::string> filesHolding(const std::string& root, const std::string& marker) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it); it.increment(ec))
    if (fs::is_regular_file(it->symlink_status()) && readFile(it->path().string()).find(marker) != std::string::npos)
      found.push_back(it->path().string());
  return found;
}

// A host file that a boot tree's link may point at: a usable menu, so that
// a writer reading it would get on, followed by a marker found in any copy.
class HostFileLinks : public UsbKeyImage {
 protected:
  void SetUp() override {
    UsbKeyImage::SetUp();
    host = (fs::path(dir.path()) / "host" / "secret.bin").string();
    fs::create_directories(fs::path(host).parent_path());
    writeFile(host, kMenu + "# " + kMarker + "\n" + blob("host", 4096));
  }
  // Runs one writer on the staged medium; its code.
  int write(const std::string& writer, const std::string& name) {
    if (writer == "iso") return Velmake::BootableISO(logger).CreateISO(work, dir / (name + ".iso"), files, kZipName, 1);
    if (writer == "pxe") return Velmake::BootableIMG(logger).CreateIMG(work, dir / name, files, kZipName);
    makeKey(64);
    Velmake::BootableUSB usb(logger);
    bool needsFormat = false;
    if (const int code = usb.init(work, key, files, kZipName, needsFormat); code != 0) return code;
    return usb.CreateUSBKey(true);
  }
  // The hook replaces `inTree` (relative to the working directory) by a link to `target`.
  void linkInHook(const std::string& inTree, const std::string& target) {
    logger.extraHook = [inTree, target] {
      fs::remove(inTree);
      fs::create_symlink(target, inTree);
    };
  }
  const std::string kMarker = "only on the host";
  std::string host;
};

TEST_F(HostFileLinks, NoWriterTakesALoaderThatLinksToAHostFile) {
  struct Case {
    const char* writer;
    const char* target;  // of the loader's link; %HOST% stands for the host file
    int expected;
  };
  const std::vector<Case> cases = {
      {"iso", "%HOST%", 100},
      {"usb", "%HOST%", 108},
      {"pxe", "%HOST%", 100},
      {"iso", "../../../../host/secret.bin", 100},  // relative, out of the working directory
      {"usb", "../../../../host/secret.bin", 108},
      // A link that stays inside the boot tree is an ordinary loader.
      {"iso", "../../vmlinuz", 0},
      {"usb", "../../vmlinuz", 0},
  };
  for (const Case& c : cases) {
    const std::string target = std::string(c.target) == "%HOST%" ? host : c.target;
    SCOPED_TRACE(std::string(c.writer) + " with the loader linked to " + target);
    SetUp();
    logger = FakeLogger();
    linkInHook("boot/EFI/BOOT/BOOTX64.EFI", target);
    EXPECT_EQ(write(c.writer, "loader"), c.expected) << logger.log;
    EXPECT_EQ(filesHolding(dir.path(), kMarker), std::vector<std::string>{host});
    if (c.expected != 0) {
      EXPECT_NE(logger.log.find("BOOTX64.EFI lies outside the working directory"), std::string::npos) << logger.log;
    }
    EXPECT_FALSE(fs::exists(work + "/velmake_tmp"));
  }
}

TEST_F(HostFileLinks, PxeTakesNoMenuKernelOrInitrdFromTheHost) {
  struct Case {
    const char* what;
    std::function<void(const std::string& host)> hook;
  };
  const std::vector<Case> cases = {
      {"menu linked to the host",
       [](auto& host) {
         fs::remove("boot/EFI/BOOT/grub.cfg");
         fs::create_symlink(host, "boot/EFI/BOOT/grub.cfg");
       }},
      {"kernel linked to the host",
       [](auto& host) {
         fs::remove("boot/vmlinuz");
         fs::create_symlink(host, "boot/vmlinuz");
       }},
      {"initrd linked to the host",
       [](auto& host) {
         fs::remove("boot/initrd.gz");
         fs::create_symlink(host, "boot/initrd.gz");
       }},
      {"kernel named out of the tree",
       [](auto&) {
         std::string menu = kMenu;
         menu.replace(menu.find("/boot/vmlinuz"), 13, "/../host/secret.bin");
         writeFile("boot/EFI/BOOT/grub.cfg", menu);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    logger = FakeLogger();
    logger.extraHook = [&] { c.hook(host); };
    EXPECT_EQ(write("pxe", "pxe"), 100) << logger.log;
    EXPECT_EQ(filesHolding(dir.path(), kMarker), std::vector<std::string>{host});
    EXPECT_NE(logger.log.find("lies outside the working directory"), std::string::npos) << logger.log;
  }
  // Links that stay inside the tree are followed as before.
  SetUp();
  logger = FakeLogger();
  logger.extraHook = [] {
    fs::rename("boot/vmlinuz", "boot/vmlinuz-1");
    fs::create_symlink("vmlinuz-1", "boot/vmlinuz");
  };
  ASSERT_EQ(write("pxe", "pxe-inside"), 0) << logger.log;
  EXPECT_TRUE(readFile(dir / "pxe-inside/img2a") == kernel);
}

TEST_F(HostFileLinks, BootFilesBesideTheLoaderAreTakenOnlyFromTheTree) {
  // Each writer with one file that goes beside the loader (the shim's second
  // stage and its configuration, the BIOS loader and MBR code, the signed
  // network loader) linked to the host: the file is left out with a
  // warning, the medium is still written, and the host file is on none.
  const struct {
    const char* writer;
    const char* inTree;
  } cases[] = {
      {"iso", "boot/EFI/BOOT/grubx64.efi"},      {"iso", "boot/EFI/debian/grub.cfg"},
      {"usb", "boot/EFI/BOOT/mmx64.efi"},        {"usb", "boot/EFI/debian/grub.cfg"},
      {"usb", "boot/grub/i386-pc/eltorito.img"}, {"usb", "boot/grub/i386-pc/boot_hybrid.img"},
      {"pxe", "boot/EFI/BOOT/grubnetx64.efi"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.writer) + " with " + c.inTree + " linked to the host");
    SetUp();
    logger = FakeLogger();
    const std::string inTree = c.inTree;
    const std::string target = host;
    logger.extraHook = [inTree, target] {
      // The other BIOS file is a real one, so only the link stands in the way.
      fs::create_directories("boot/grub/i386-pc");
      writeFile("boot/grub/i386-pc/eltorito.img", std::string(8192, 'E'));
      writeFile("boot/grub/i386-pc/boot_hybrid.img", std::string(512, 'M'));
      fs::create_directories(fs::path(inTree).parent_path());
      fs::remove(inTree);
      fs::create_symlink(target, inTree);
    };
    EXPECT_EQ(write(c.writer, "companion"), 0) << logger.log;
    EXPECT_EQ(filesHolding(dir.path(), kMarker), std::vector<std::string>{host});
    EXPECT_NE(logger.log.find(" left out"), std::string::npos) << logger.log;
  }
}

// ---- reading a medium back ---------------------------------------------------------

// One way a written medium can part from what was staged, the code the
// read-back returns and the medium path it names first.
struct Divergence {
  const char* what;
  bool pxe;
  std::function<void(const std::string& work, const std::string& medium, const std::string& payload)> alter;
  int code;
  std::string named;
};

// Flips one byte of `content` where it lies inside the file `path`.
void flipByteOf(const std::string& path, const std::string& content) {
  std::string bytes = readFile(path);
  const size_t at = bytes.find(content);
  ASSERT_NE(at, std::string::npos);
  bytes[at + content.size() / 2] ^= 0x5a;
  writeFile(path, bytes);
}

TEST_F(MediaImage, ReadBackNamesTheFirstFileThatDiffersFromWhatWasStaged) {
  const std::string payloadPath = "novpi/qor_utl_novpi_9.63.bin";
  const auto none = [](const std::string&, const std::string&, const std::string&) {};
  const std::vector<Divergence> cases = {
      {"an image as written", false, none, 0, ""},
      {"a byte of a file changed inside the image", false,
       [&](const std::string&, const std::string& iso, const std::string& p) { flipByteOf(iso, p); },
       Velmake::kImageBuilderFailed, payloadPath},
      {"a staged file of the boot tree changed after writing (several chunks)", false,
       [&](const std::string& w, const std::string&, const std::string&) {
         writeFile(w + "/boot/EFI/BOOT/BOOTX64.EFI", loader + "x");
       },
       Velmake::kImageBuilderFailed, "boot/EFI/BOOT/BOOTX64.EFI"},
      {"a file staged after writing", false,
       [](const std::string& w, const std::string&, const std::string&) { writeFile(w + "/boot/late.txt", ""); },
       Velmake::kImageBuilderFailed, "boot/late.txt"},
      {"an image that is not one", false,
       [](const std::string&, const std::string& iso, const std::string&) { writeFile(iso, "not an image"); },
       Velmake::kImageBuilderFailed, "out.iso"},
      {"a directory as written", true, none, 0, ""},
      {"a staged file shortened after writing", true,
       [&](const std::string& w, const std::string&, const std::string& p) {
         writeFile(w + "/" + payloadPath, p.substr(0, p.size() - 1));
       },
       Velmake::kCreateFailed, payloadPath},
      {"a file staged after writing", true,
       [](const std::string& w, const std::string&, const std::string&) { writeFile(w + "/boot/late.txt", "late"); },
       Velmake::kCreateFailed, "boot/late.txt"},
      {"the medium zip gone", true,
       [](const std::string&, const std::string& pxe, const std::string&) { fs::remove(pxe + "/tc.zip"); },
       Velmake::kCreateFailed, "novpi/qor_utl_novpi_9.63.bin"},
  };
  for (const Divergence& c : cases) {
    SCOPED_TRACE(std::string(c.pxe ? "PXE: " : "ISO: ") + c.what);
    const std::string medium = dir / (c.pxe ? "pxe" : "out.iso");
    fs::remove_all(medium);
    fs::remove(work + "/boot/late.txt");
    writeFile(work + "/" + payloadPath, payload);
    std::string named;
    if (c.pxe) {
      Velmake::BootableIMG img(logger);
      ASSERT_EQ(img.CreateIMG(work, medium, files, kZipName), 0) << logger.log;
      c.alter(work, medium, payload);
      EXPECT_EQ(img.VerifyIMG(work, medium, files, named), c.code) << logger.log;
    } else {
      Velmake::BootableISO iso(logger);
      ASSERT_EQ(iso.CreateISO(work, medium, files, kZipName, 1), 0) << logger.log;
      c.alter(work, medium, payload);
      EXPECT_EQ(iso.VerifyISO(work, medium, files, named), c.code) << logger.log;
    }
    if (c.named.empty())
      EXPECT_EQ(named, "");
    else
      EXPECT_TRUE(named.size() >= c.named.size() && named.ends_with(c.named)) << named;
  }
}

// An image of several writeback windows, with a file that ends inside a
// block: what was written under the temporary name is what was staged.
TEST_F(MediaImage, LargeIsoReadsBackAsStaged) {
  const std::string big = blob("big", (72u << 20) + 1234);
  writeFile(work + "/novpi/qor_utl_novpi_9.63.bin", big);
  const std::string iso = dir / "big.iso";
  Velmake::BootableISO builder(logger);
  ASSERT_EQ(builder.CreateISO(work, iso, files, kZipName, 1), 0) << logger.log;
  EXPECT_GT(fs::file_size(iso), big.size());
  EXPECT_EQ(fs::file_size(iso) % 2048, 0u);
  std::string named;
  EXPECT_EQ(builder.VerifyISO(work, iso, files, named), 0) << named << "\n" << logger.log;
}

TEST_F(MediaImage, ReadBackOfAPxeDirectoryInsideTheWorkingDirectoryLeavesItOut) {
  files.push_back("pxe");
  Velmake::BootableIMG img(logger);
  ASSERT_EQ(img.CreateIMG(work, work + "/pxe", files, kZipName), 0) << logger.log;
  std::string named;
  EXPECT_EQ(img.VerifyIMG(work, work + "/pxe", files, named), 0) << named << logger.log;
}

// ---- burning ----------------------------------------------------------------------

TEST_F(MediaImage, BurningToAPseudoDriveWritesTheImage) {
  const std::string iso = dir / "out.iso";
  Velmake::BootableISO builder(logger);
  ASSERT_EQ(builder.CreateISO(work, iso, files, kZipName, 1), 0) << logger.log;
  const std::string disc = dir / "disc.img";
  writeFile(disc, "");
  EXPECT_EQ(Velmake::driveAddressOf(disc), "stdio:" + disc);
  const std::string burnLog = dir / "burn.log";
  ASSERT_EQ(builder.BurnISO(iso, Velmake::driveAddressOf(disc), burnLog, true), 0) << logger.log;
  EXPECT_TRUE(readFile(disc) == readFile(iso));
  EXPECT_NE(readFile(burnLog).find("Write succeeded"), std::string::npos);

  // A written pseudo-disc is blanked and written again.
  writeFile(disc, std::string(1 << 20, 'x'));
  ASSERT_EQ(builder.BurnISO(iso, disc, "", false), 0) << logger.log;
  EXPECT_TRUE(readFile(disc) == readFile(iso));

  writeFile(dir / "image.bin", readFile(iso));
  EXPECT_EQ(builder.BurnISO(dir / "image.bin", disc, "", true), 112);
  EXPECT_EQ(builder.BurnISO(dir.path(), disc, "", true), 112);
  EXPECT_EQ(Velmake::driveAddressOf(dir.path()), "");
}

}  // namespace
