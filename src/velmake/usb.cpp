// USB keys: a block device or a disk-image file gets an MBR partition table
// with one FAT32 partition (made with mkfs.fat) that holds the medium's tree
// and the UEFI loader at EFI/BOOT/BOOTX64.EFI, where firmware looks for it.
// Files are written with mtools straight into the partition, so nothing is
// mounted. A key counts as one of ours by the label of its file system.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "internal.h"
#include "platform.h"
#include "velmake.h"

namespace fs = std::filesystem;

namespace Velmake {

using namespace detail;

namespace {

constexpr uint64_t kSector = 512;
constexpr uint64_t kPartitionStart = 2048;  // sectors: 1 MiB, the usual alignment
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kMinimumVolume = 40 * kMiB;  // FAT32 needs about 33 MiB
constexpr uint64_t kFat32MaxFile = 0xFFFFFFFFull;
constexpr const char* kKeyLabel = "XELOKEY";
constexpr const char* kCaller = "BootableUSB::CreateUSBKey()";

// BIOS boot: GRUB's El Torito image of the boot tree is written into the gap
// between the MBR and the partition, and GRUB's hybrid MBR code starts it.
// The image begins with 4 sectors of CD start code, then its disk start-up
// sector, whose block list (bytes 500-507) gives the sector address of the
// rest (its length was set when the image was made); the MBR code reads the
// start-up sector's address from its bytes 0x1b0-0x1b7.
constexpr const char* kBiosLoaderInTree = "boot/grub/i386-pc/eltorito.img";
constexpr const char* kBiosMbrCodeInTree = "boot/grub/i386-pc/boot_hybrid.img";
constexpr uint64_t kBiosLoaderSector = 64;  // where the image starts on the key
constexpr uint64_t kCdStartSectors = 4;
constexpr size_t kBlockListOffset = 500;
constexpr size_t kMbrLoaderAddress = 0x1b0;
constexpr size_t kMbrCodeBytes = 440;

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void putLe32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void putLe64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

uint64_t detail::ourPartitionStart(const std::string& volume) {
  std::array<unsigned char, kSector> mbr{};
  if (!platform::readAt(volume, 0, mbr.data(), mbr.size())) return 0;
  if (mbr[510] != 0x55 || mbr[511] != 0xAA) return 0;
  const unsigned char* entry = mbr.data() + 446;
  if (entry[4] != 0x0C && entry[4] != 0x0B) return 0;
  const uint64_t start = le32(entry + 8);
  if (start == 0) return 0;
  std::array<unsigned char, kSector> boot{};
  if (!platform::readAt(volume, start * kSector, boot.data(), boot.size())) return 0;
  if (boot[510] != 0x55 || boot[511] != 0xAA) return 0;
  if (std::memcmp(boot.data() + 82, "FAT32   ", 8) != 0) return 0;
  std::string label(reinterpret_cast<const char*>(boot.data() + 71), 11);
  while (!label.empty() && label.back() == ' ') label.pop_back();
  return label == kKeyLabel ? start : 0;
}

namespace {

// "volume, size[, model]", the size in decimal units as drives are sold.
std::string describeVolume(const std::string& volume, const platform::VolumeInfo& info) {
  const double bytes = static_cast<double>(info.sizeBytes);
  char size[32];
  if (bytes >= 1e9)
    std::snprintf(size, sizeof size, "%.1f GB", bytes / 1e9);
  else
    std::snprintf(size, sizeof size, "%.1f MB", bytes / 1e6);
  return volume + ", " + size + (info.model.empty() ? "" : ", " + info.model);
}

// Writes the first MiB of the key: an MBR with one bootable FAT32 (LBA)
// partition over the rest of the key; everything else there is zeroed so
// that no older partition table or file system signature stays visible. The
// backup GPT at the end of the key is cleared as well.
bool writePartitionTable(const std::string& volume, uint64_t volumeBytes, uint64_t partitionSectors) {
  std::vector<unsigned char> head(kPartitionStart * kSector, 0);
  std::random_device random;
  putLe32(head.data() + 440, static_cast<uint32_t>(random()));  // disk signature
  unsigned char* entry = head.data() + 446;
  entry[0] = 0x80;  // bootable
  entry[1] = 0xFE;
  entry[2] = 0xFF;
  entry[3] = 0xFF;  // CHS not used: LBA values below
  entry[4] = 0x0C;  // FAT32 with LBA
  entry[5] = 0xFE;
  entry[6] = 0xFF;
  entry[7] = 0xFF;
  putLe32(entry + 8, static_cast<uint32_t>(kPartitionStart));
  putLe32(entry + 12, static_cast<uint32_t>(partitionSectors));
  head[510] = 0x55;
  head[511] = 0xAA;
  const std::vector<unsigned char> tail(33 * kSector, 0);
  return platform::writeAt(volume, volumeBytes - tail.size(), tail.data(), tail.size()) &&
         platform::writeAt(volume, 0, head.data(), head.size());
}

}  // namespace

BootableUSB::BootableUSB(XELO::BMLoggerIfc& l) : BootableMedia(l) {}

int BootableUSB::init(const std::string& workingDir, const std::string& usbVolume, std::vector<std::string> files,
                      const std::string& toolZip, bool& needsFormatting) {
  initialised = false;
  rememberWorkingDirectory(workingDir);
  log(kLogVerbose, "BootableUSB::init(" + workingDir + ", " + usbVolume + ", " + toolZip + ")");
  const platform::VolumeInfo info = platform::volumeInfo(usbVolume);
  if (!info.exists || !(info.blockDevice || info.regularFile)) {
    log(kLogError, "BootableUSB::init() the volume " + usbVolume + " is neither a block device nor a disk image");
    return kVolumeNotFound;
  }
  if (info.inUse) {
    log(kLogError, "BootableUSB::init() the volume " + usbVolume + " is mounted or in use; it is left alone");
    return kVolumeNotFound;
  }
  volume = usbVolume;
  description = describeVolume(usbVolume, info);
  fileList = std::move(files);
  zipName = toolZip;
  keyIsOurs = ourPartitionStart(volume) != 0;
  needsFormatting = !keyIsOurs;
  initialised = true;
  log(kLogVerbose, std::string("BootableUSB::init() the key ") + (keyIsOurs ? "holds" : "does not hold") +
                       " a file system made for a medium");
  return kMediaOk;
}

int BootableUSB::CreateUSBKey(bool format) {
  if (!initialised || (!format && !keyIsOurs)) {
    log(kLogError, "BootableUSB::CreateUSBKey() the key is not initialised");
    return kNotInitialised;
  }
  initialised = false;  // one write per init
  return buildMedium(workingDirectory, zipName, [&] { return writeKey(format); });
}

int BootableUSB::writeKey(bool format) {
  const Workspace workspace = openWorkspace();
  if (!loaderInTree(workspace, kCaller, "the environment has no UEFI loader")) return kBadName;
  std::vector<MediumEntry> entries;
  if (const int collected = collectMedium(kCaller, fileList, entries); collected != kMediaOk) return collected;
  uint64_t largest = 0;
  std::error_code ec;
  const std::vector<EfiFile> efi = efiFiles(kCaller);
  uint64_t needed = totalBytes(entries, &largest);
  for (const EfiFile& f : efi) needed += fs::file_size(f.source, ec);
  if (largest > kFat32MaxFile) {
    log(kLogError, "BootableUSB::CreateUSBKey() a file of the medium is over 4 GiB, more than FAT32 holds");
    return kCreateFailed;
  }
  uint64_t start = kPartitionStart;
  if (const int code = prepareVolume(format, needed, workspace.toolLog, start); code != kMediaOk) return code;
  if (const int code = writeBiosBoot(start); code != kMediaOk) return code;
  if (const int code = copyToKey(format, start, entries, efi, workspace, needed); code != kMediaOk) return code;
  platform::syncFile(volume);
  log(kLogVerbose, "BootableUSB::CreateUSBKey() wrote the medium to " + volume);
  return kMediaOk;
}

int BootableUSB::prepareVolume(bool format, uint64_t needed, const std::string& toolLog, uint64_t& start) {
  const platform::VolumeInfo info = platform::volumeInfo(volume);
  if (!info.exists || info.inUse) {
    log(kLogError, "BootableUSB::CreateUSBKey() the volume " + volume + " is gone or in use");
    return kVolumeNotFound;
  }
  if (!format) {
    start = ourPartitionStart(volume);
    return start == 0 ? kNotInitialised : kMediaOk;
  }
  if (info.sizeBytes < kMinimumVolume) {
    log(kLogError, "BootableUSB::CreateUSBKey() the volume " + volume + " is too small for a medium");
    return kOutOfSpace;
  }
  const uint64_t sectors = (info.sizeBytes / kSector - kPartitionStart) / kPartitionStart * kPartitionStart;
  // The file system's tables take a little of the partition.
  if (needed + needed / 50 + 2 * kMiB > sectors * kSector) {
    log(kLogError, "BootableUSB::CreateUSBKey() the medium needs " + std::to_string(needed / kMiB) +
                       " MB, more than the key holds");
    return kOutOfSpace;
  }
  progress("Formatting the USB key", 0);
  if (!writePartitionTable(volume, info.sizeBytes, sectors)) {
    log(kLogError, "BootableUSB::CreateUSBKey() writing the partition table of " + volume + " failed");
    return kRawCopyFailed;
  }
  platform::rereadPartitions(volume);
  if (platform::runProgram({"mkfs.fat", "-F", "32", "-n", kKeyLabel, "--offset=" + std::to_string(start), "-h",
                            std::to_string(start), volume, std::to_string(sectors * kSector / 1024)},
                           toolLog) != 0) {
    log(kLogError, "BootableUSB::CreateUSBKey() making the file system failed: " + readText(toolLog));
    return kRawCopyFailed;
  }
  progress("Formatting the USB key", 100);
  return kMediaOk;
}

int BootableUSB::writeBiosBoot(uint64_t partitionStart) {
  const fs::path wd(workingDirectory);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(wd / kBiosLoaderInTree, ec))) {
    log(kLogVerbose, std::string(kCaller) + " the environment has no BIOS loader: the key boots by UEFI only");
    return kMediaOk;
  }
  for (const char* file : {kBiosLoaderInTree, kBiosMbrCodeInTree}) {
    if (fileInTree(wd / file, wd)) continue;
    log(kLogWarning, std::string(kCaller) + " " + (wd / file).string() +
                         " is not a file inside the working directory and is left out: the key boots by UEFI only");
    return kMediaOk;
  }
  std::string loader = readText((wd / kBiosLoaderInTree).string());
  const std::string code = readText((wd / kBiosMbrCodeInTree).string());
  const uint64_t sectors = (loader.size() + kSector - 1) / kSector;
  if (loader.size() < (kCdStartSectors + 1) * kSector || code.size() < kMbrCodeBytes || code.size() > kSector ||
      kBiosLoaderSector + sectors > partitionStart) {
    log(kLogWarning, std::string(kCaller) + " ignoring the unusable BIOS loader " + kBiosLoaderInTree + " or " +
                         kBiosMbrCodeInTree + ": the key boots by UEFI only");
    return kMediaOk;
  }
  loader.resize(sectors * kSector, 0);
  putLe64(reinterpret_cast<unsigned char*>(loader.data()) + kCdStartSectors * kSector + kBlockListOffset,
          kBiosLoaderSector + kCdStartSectors + 1);
  std::array<unsigned char, kSector> mbr{};
  if (!platform::readAt(volume, 0, mbr.data(), mbr.size())) return kCreateFailed;
  std::copy(code.begin(), code.begin() + kMbrCodeBytes, mbr.begin());
  putLe64(mbr.data() + kMbrLoaderAddress, kBiosLoaderSector + kCdStartSectors);
  // The loader first: the MBR names it only once it is all there.
  if (!platform::writeAt(volume, kBiosLoaderSector * kSector, loader.data(), loader.size()) ||
      !platform::writeAt(volume, 0, mbr.data(), mbr.size())) {
    log(kLogError, std::string(kCaller) + " writing the BIOS boot code to " + volume + " failed");
    return kCreateFailed;
  }
  log(kLogVerbose,
      std::string(kCaller) + " BIOS loader " + kBiosLoaderInTree + " at sector " + std::to_string(kBiosLoaderSector));
  return kMediaOk;
}

int BootableUSB::copyToKey(bool format, uint64_t start, const std::vector<MediumEntry>& entries,
                           const std::vector<EfiFile>& efiFiles, const Workspace& workspace, uint64_t needed) {
  const std::string fat = volume + "@@" + std::to_string(start * kSector);
  auto mtools = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin() + 1, {"-i", fat});
    return platform::runProgram(argv, workspace.toolLog, kMtoolsEnv);
  };
  auto failed = [&](const std::string& what) {
    const std::string output = readText(workspace.toolLog);
    log(kLogError, "BootableUSB::CreateUSBKey() " + what + " failed: " + output);
    return output.find("Disk full") != std::string::npos || output.find("No space") != std::string::npos
               ? kOutOfSpace
               : kCreateFailed;
  };

  if (!format) {
    // The medium's entries replace those of an earlier medium; other files stay.
    for (const MediumEntry& e : entries) {
      mtools({"mdeltree", "::/" + e.mediumPath});
      mtools({"mdel", "::/" + e.mediumPath});
    }
  }
  std::vector<std::string> made;
  auto makeDirs = [&](const fs::path& dir) {
    for (const std::string& d : directoriesToMake(dir, made))
      mtools({"mmd", "-D", "s", "::" + d});  // an existing directory is kept
  };
  std::error_code ec;
  uint64_t done = 0;
  for (const EfiFile& f : efiFiles) {
    makeDirs(fs::path(f.efiPath).parent_path());
    if (mtools({"mcopy", "-o", f.source.string(), "::/" + f.efiPath}) != 0) return failed("copying " + f.efiPath);
    done += fs::file_size(f.source, ec);
  }

  const uint64_t total = std::max<uint64_t>(needed, 1);
  const std::string step = "Copying the medium to the USB key";
  progress(step, static_cast<int>(done * 100 / total));
  for (const MediumEntry& e : entries) {
    const fs::path medium(e.mediumPath);
    makeDirs(medium.parent_path());
    const std::string parent = "::/" + medium.parent_path().generic_string();
    int rc = 0;
    if (e.contentsListed)
      makeDirs(medium);
    else
      rc = e.directory ? mtools({"mcopy", "-s", "-o", "-Q", e.sourcePath, parent})
                       : mtools({"mcopy", "-o", e.sourcePath, "::/" + e.mediumPath});
    if (rc != 0) return failed("copying " + e.mediumPath);
    done += totalBytes({e});
    progress(step, static_cast<int>(done * 100 / total));
  }
  return kMediaOk;
}

}  // namespace Velmake
