// ISO 9660 images (Rock Ridge and Joliet, ISO level 3 for files over 4 GiB)
// written in-process with libisofs. UEFI boot: a FAT image holding the
// loader, appended as a GPT EFI system partition and named by the El Torito
// catalog, so the same file boots as a CD and when written raw to a USB key.
// BIOS boot: an El Torito entry for the environment's BIOS loader, when the
// boot tree carries one, and with GRUB's hybrid boot code also an MBR that
// starts the same loader when the image is written raw to a disk.
#include <stdint.h>
#include <sys/types.h>

// The image is read straight from libisofs' data source; libburn is not
// needed for writing a file.
#define LIBISOFS_WITHOUT_LIBBURN 1
#include <libisofs/libisofs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#include "internal.h"
#include "platform.h"
#include "velmake.h"

namespace fs = std::filesystem;

namespace Velmake {

using namespace detail;

namespace {

constexpr const char* kVolumeId = "XELO";
constexpr const char* kBootCatalog = "/boot/boot.cat";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr const char* kCaller = "BootableISO::CreateISO()";
constexpr const char* kWriteStep = "Writing the ISO image";

// BIOS loaders the boot tree may carry, with their El Torito patch options
// (bit0 boot info table, bit9 GRUB2 boot info) and the MBR boot code that
// starts them from a disk (none: the image boots by BIOS from a CD only).
struct BiosLoader {
  const char* path;
  int isolinuxOptions;
  const char* mbrCode;
};
constexpr BiosLoader kBiosLoaders[] = {
    {"boot/grub/i386-pc/eltorito.img", 0x201, "boot/grub/i386-pc/boot_hybrid.img"},
    {"boot/isolinux/isolinux.bin", 0x1, nullptr},
};

// The system area (the first 32 KiB of the image) and its size; the MBR
// boot code takes the first 440 bytes of its first sector, the partition
// table follows.
constexpr size_t kSystemAreaBytes = 32768;
constexpr size_t kMbrCodeBytes = 440;
constexpr size_t kSectorBytes = 512;
// System area options: bit14 writes the 512-byte block address of the first
// El Torito image (plus the 4 blocks of its CD start code) into the MBR, where
// GRUB's hybrid boot code reads it; bit15 marks an MBR partition active, as
// some firmware boots only a disk with an active partition.
constexpr int kGrubHybridMbr = (1 << 14) | (1 << 15);

}  // namespace

void detail::initIsoLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    iso_init();
    // Messages are fetched into the log, never printed by the library.
    iso_set_msgs_severities(const_cast<char*>("ALL"), const_cast<char*>("NEVER"), const_cast<char*>("velmake"));
  });
}

namespace {

// The library's queued messages of severity WARNING and above, one per line.
std::string isoMessages() {
  std::string text;
  char message[4096];
  char severity[80];
  int code = 0;
  int imgid = 0;
  while (iso_obtain_msgs(const_cast<char*>("WARNING"), &code, &imgid, message, severity) > 0)
    text += std::string(severity) + ": " + message + "\n";
  return text;
}

// A unique name beside `path` for writing before the final rename. It ends
// in ".iso" so that a partial image left by a killed run is never taken for a
// file of the next medium, and holds ".part" so it is never taken for a
// finished image.
std::string partPrefix(const std::string& path) {
  const fs::path p(path);
  return (p.parent_path() / ("." + p.filename().string() + ".part")).string();
}

std::string temporaryBeside(const std::string& path) {
  std::random_device random;
  return partPrefix(path) + std::to_string(random() % 1000000) + ".iso";
}

// Removes partial images of `path` left by earlier runs that were killed.
void removeStaleParts(const std::string& path) {
  const fs::path dir = fs::path(path).parent_path();
  const std::string prefix = fs::path(partPrefix(path)).filename().string();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir.empty() ? fs::path(".") : dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".iso") == 0)
      fs::remove(entry.path(), ec);
  }
}

// The directory `path` ("a/b") of the image, created with its parents.
IsoDir* imageDirectory(IsoImage* image, const std::string& path) {
  IsoDir* dir = iso_image_get_root(image);
  if (path.empty()) return dir;
  std::string sofar;
  for (const auto& part : fs::path(path)) {
    sofar += "/" + part.string();
    IsoNode* node = nullptr;
    if (iso_tree_path_to_node(image, sofar.c_str(), &node) == 1) {
      if (iso_node_get_type(node) != LIBISO_DIR) return nullptr;
      dir = reinterpret_cast<IsoDir*>(node);
      continue;
    }
    IsoDir* made = nullptr;
    if (iso_tree_add_new_dir(dir, part.string().c_str(), &made) < 0) return nullptr;
    dir = made;
  }
  return dir;
}

// Adds the entries to the image; kImageBuilderFailed with the reason in
// `failure` when one cannot be added.
int addEntries(IsoImage* image, const std::vector<MediumEntry>& entries, std::string& failure) {
  for (const MediumEntry& e : entries) {
    const fs::path medium(e.mediumPath);
    IsoDir* parent = imageDirectory(image, medium.parent_path().generic_string());
    int rc = parent ? 1 : -1;
    if (rc > 0 && e.directory) {
      IsoDir* dir = imageDirectory(image, e.mediumPath);
      rc = !dir ? -1 : e.contentsListed ? 1 : iso_tree_add_dir_rec(image, dir, e.sourcePath.c_str());
    } else if (rc > 0) {
      rc = iso_tree_add_new_node(image, parent, medium.filename().string().c_str(), e.sourcePath.c_str(), nullptr);
    }
    if (rc < 0) {
      failure = "cannot add " + e.sourcePath + ": " + iso_error_to_msg(rc) + "\n" + isoMessages();
      return kImageBuilderFailed;
    }
  }
  return kMediaOk;
}

// The BIOS loader the boot tree in `workingDir` carries, or none.
const BiosLoader* biosLoaderIn(const std::string& workingDir) {
  const BiosLoader* bios = nullptr;
  std::error_code ec;
  for (const BiosLoader& candidate : kBiosLoaders)
    if (fs::is_regular_file(fs::path(workingDir) / candidate.path, ec)) bios = &candidate;
  return bios;
}

// The El Torito catalog: the BIOS loader when there is one, and the UEFI
// loader's FAT image, appended as the image's second partition.
int setBootImages(IsoImage* image, const BiosLoader* bios) {
  ElToritoBootImage* boot = nullptr;
  const std::string efiInterval = "--interval:appended_partition_2:all::";
  if (bios) {
    // BIOS first: firmware without UEFI takes the default entry.
    int rc =
        iso_image_set_boot_image(image, (std::string("/") + bios->path).c_str(), ELTORITO_NO_EMUL, kBootCatalog, &boot);
    if (rc >= 0) {
      el_torito_set_load_size(boot, 4);
      el_torito_set_isolinux_options(boot, bios->isolinuxOptions, 0);
      rc = iso_image_add_boot_image(image, efiInterval.c_str(), ELTORITO_NO_EMUL, 0, &boot);
    }
    if (rc < 0) return kImageBuilderFailed;
  } else if (iso_image_set_boot_image(image, efiInterval.c_str(), ELTORITO_NO_EMUL, kBootCatalog, &boot) < 0) {
    return kImageBuilderFailed;
  }
  el_torito_set_boot_platform_id(boot, 0xef);
  return kMediaOk;
}

// The system area holding the MBR boot code at `treePath` of the boot tree
// in `workingDir` (nullptr: none) in `area`; empty when the tree lacks it.
// False when the file is there but unusable: too short or long for a boot
// sector, or outside the working directory (a host file never reaches the
// image).
bool mbrBootCode(const std::string& workingDir, const char* treePath, std::vector<char>& area) {
  area.clear();
  if (!treePath) return true;
  const fs::path path = fs::path(workingDir) / treePath;
  std::error_code ec;
  if (!fs::exists(path, ec)) return true;
  const uint64_t size = fs::file_size(path, ec);
  if (!fileInTree(path, workingDir) || ec || size < kMbrCodeBytes || size > kSectorBytes) return false;
  area.assign(kSystemAreaBytes, 0);
  std::ifstream in(path, std::ios::binary);
  if (in.read(area.data(), static_cast<std::streamsize>(kMbrCodeBytes))) return true;
  area.clear();
  return false;
}

// The options the image is written with, the FAT image `efiImage` appended
// as a GPT EFI system partition and `mbr` (empty, or a boot sector) as the
// system area; nullptr when they cannot be made.
IsoWriteOpts* writeOptions(const std::string& efiImage, std::vector<char>& mbr) {
  IsoWriteOpts* opts = nullptr;
  if (iso_write_opts_new(&opts, 0) < 0) return nullptr;
  iso_write_opts_set_iso_level(opts, 3);  // files over 4 GiB in several extents
  iso_write_opts_set_rockridge(opts, 1);
  iso_write_opts_set_joliet(opts, 1);
  iso_write_opts_set_joliet_longer_paths(opts, 1);
  iso_write_opts_set_allow_deep_paths(opts, 1);
  iso_write_opts_set_hardlinks(opts, 1);
  iso_write_opts_set_always_gmt(opts, 1);
  iso_write_opts_set_partition_img(opts, 2, 0xef, const_cast<char*>(efiImage.c_str()), 0);
  iso_write_opts_set_appended_as_gpt(opts, 1);
  if (!mbr.empty() && iso_write_opts_set_system_area(opts, mbr.data(), kGrubHybridMbr, 0) < 0) {
    iso_write_opts_free(opts);
    return nullptr;
  }
  return opts;
}

}  // namespace

void removeInterruptedOutput(const std::string& workingDir, const std::string& imagePath, const std::string& pxeDir) {
  std::error_code ec;
  if (!workingDir.empty()) fs::remove_all(fs::path(workingDir) / kScratchDirectory, ec);
  if (!imagePath.empty()) removeStaleParts(imagePath);
  if (pxeDir.empty()) return;
  for (const auto& entry : fs::directory_iterator(pxeDir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0 && entry.is_regular_file(ec))
      fs::remove(entry.path(), ec);
  }
}

BootableISO::BootableISO(XELO::BMLoggerIfc& l) : BootableMedia(l) {}

// Makes the FAT image that holds the UEFI loader at EFI/BOOT/BOOTX64.EFI and
// the files that go with it.
static int makeEfiImage(const std::vector<EfiFile>& files, const std::string& image, const std::string& toolLog) {
  std::error_code ec;
  uint64_t loaderSize = 0;
  for (const EfiFile& f : files) {
    loaderSize += fs::file_size(f.source, ec);
    if (ec) return kNotFound;
  }
  // Room for the loader and the file system's own tables; at least 16 MiB,
  // which holds a GRUB image of the usual size with shim beside it.
  const uint64_t bytes = std::max<uint64_t>(16 * kMiB, (loaderSize + loaderSize / 8 + 2 * kMiB) / kMiB * kMiB);
  {
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    if (!out) return kCreateFailed;
  }
  fs::resize_file(image, bytes, ec);
  if (ec) return ec == std::errc::no_space_on_device ? kOutOfSpace : kCreateFailed;
  if (platform::runProgram({"mformat", "-i", image, "-T", std::to_string(bytes / 512), "-h", "64", "-s", "32", "::"},
                           toolLog, kMtoolsEnv) != 0)
    return kImageBuilderFailed;
  std::vector<std::string> made;
  for (const EfiFile& f : files) {
    for (const std::string& dir : directoriesToMake(fs::path(f.efiPath).parent_path(), made))
      if (platform::runProgram({"mmd", "-i", image, "::" + dir}, toolLog, kMtoolsEnv) != 0) return kImageBuilderFailed;
    if (platform::runProgram({"mcopy", "-i", image, f.source.string(), "::/" + f.efiPath}, toolLog, kMtoolsEnv) != 0)
      return kImageBuilderFailed;
  }
  return kMediaOk;
}

int BootableISO::CreateISO(const std::string& workingDir, const std::string& isoPath, std::vector<std::string>& files,
                           const std::string& toolZip, int mode) {
  log(kLogVerbose, "BootableISO::CreateISO(" + workingDir + ", " + isoPath + ", " + toolZip + ")");
  rememberWorkingDirectory(workingDir);
  if (files.empty()) {
    log(kLogError, "BootableISO::CreateISO() has no files for the medium");
    return kNoUpdateFiles;
  }
  if (!endsWithNoCase(isoPath, ".iso")) {
    log(kLogError, "BootableISO::CreateISO() the image " + isoPath + " has no .iso extension");
    return kBadName;
  }
  const std::string target = platform::absolutePath(isoPath);
  return buildMedium(workingDir, toolZip, [&] {
    std::vector<MediumEntry> entries;
    const int code = collectMedium(kCaller, files, entries);
    return code == kMediaOk ? writeImage(entries, target) : code;
  });
}

int BootableISO::writeImage(const std::vector<MediumEntry>& entries, const std::string& target) {
  const Workspace workspace = openWorkspace();
  if (!loaderInTree(workspace, kCaller, "the boot tree has no UEFI loader")) return kNotFound;
  const std::string efiImage = (workspace.scratch / "efiboot.img").string();
  progress("Preparing the UEFI boot image", 0);
  if (const int code = makeEfiImage(efiFiles(kCaller), efiImage, workspace.toolLog); code != kMediaOk) {
    log(kLogError, "BootableISO::CreateISO() the UEFI boot image could not be made: " + readText(workspace.toolLog));
    return code;
  }

  initIsoLibrary();
  IsoImage* image = nullptr;
  if (iso_image_new(kVolumeId, &image) < 0) return kImageBuilderFailed;
  iso_image_set_application_id(image, "XELO MEDIA");
  iso_tree_set_follow_symlinks(image, 0);
  iso_tree_set_ignore_hidden(image, 0);

  std::string failure;
  int code = addEntries(image, entries, failure);
  if (code != kMediaOk) log(kLogError, "BootableISO::CreateISO() " + failure);
  const BiosLoader* bios = biosLoaderIn(workingDirectory);
  if (code == kMediaOk) {
    code = setBootImages(image, bios);
    if (bios) log(kLogVerbose, std::string("BootableISO::CreateISO() BIOS loader ") + bios->path);
  }
  std::vector<char> mbr;
  if (code == kMediaOk && bios && !mbrBootCode(workingDirectory, bios->mbrCode, mbr))
    log(kLogWarning, std::string("BootableISO::CreateISO() ignoring the unusable MBR boot code ") + bios->mbrCode +
                         ": the image boots by BIOS from a CD only");
  if (!mbr.empty()) log(kLogVerbose, std::string("BootableISO::CreateISO() MBR boot code ") + bios->mbrCode);
  IsoWriteOpts* opts = code == kMediaOk ? writeOptions(efiImage, mbr) : nullptr;
  if (code == kMediaOk && !opts) code = kImageBuilderFailed;

  struct burn_source* source = nullptr;
  if (code == kMediaOk && iso_image_create_burn_source(image, opts, &source) < 0) {
    log(kLogError, "BootableISO::CreateISO() the image could not be laid out\n" + isoMessages());
    code = kImageBuilderFailed;
  }
  if (code == kMediaOk) code = writeSource(source, target);
  if (source && --source->refcount <= 0) {
    if (source->free_data) source->free_data(source);
    free(source);
  }
  if (opts) iso_write_opts_free(opts);
  iso_image_unref(image);
  return code;
}

int BootableISO::writeSource(struct burn_source* source, const std::string& target) {
  const uint64_t size = static_cast<uint64_t>(source->get_size(source));
  const fs::path dir = fs::path(target).parent_path();
  const int64_t free = platform::freeBytes(dir.empty() ? "." : dir.string());
  if (free >= 0 && static_cast<uint64_t>(free) < size) {
    log(kLogError, "BootableISO::CreateISO() the image needs " + std::to_string(size / kMiB) + " MB, " + dir.string() +
                       " has " + std::to_string(free / kMiB) + " MB free");
    source->cancel(source);
    return kImageTooLarge;
  }

  removeStaleParts(target);
  const std::string part = temporaryBeside(target);
  addTempPath(part);
  platform::SequentialFile out;
  if (!out.open(part)) {
    log(kLogError, "BootableISO::CreateISO() cannot create " + part + ": " + std::strerror(errno));
    source->cancel(source);
    return kCreateFailed;
  }
  uint64_t written = 0;
  int code = copySource(source, out, part, written);
  if (code != kMediaOk) source->cancel(source);
  if (code == kMediaOk) progress(kWriteStep, 100);
  // The image is on the device before it gets its final name.
  if (code == kMediaOk && !out.finish()) {
    const int err = errno;
    log(kLogError, "BootableISO::CreateISO() finishing " + part + " failed: " + std::strerror(err));
    code = err == ENOSPC ? kImageTooLarge : kCreateFailed;
  }
  std::error_code ec;
  if (code == kMediaOk) {
    fs::rename(part, target, ec);
    if (ec) {
      log(kLogError, "BootableISO::CreateISO() cannot rename " + part + " to " + target + ": " + ec.message());
      code = kCreateFailed;
    }
  }
  if (code != kMediaOk) fs::remove(part, ec);
  if (code == kMediaOk)
    log(kLogVerbose, "BootableISO::CreateISO() wrote " + target + ", " + std::to_string(written) + " of " +
                         std::to_string(size) + " bytes");
  return code;
}

int BootableISO::copySource(struct burn_source* source, platform::SequentialFile& out, const std::string& part,
                            uint64_t& written) {
  const uint64_t size = static_cast<uint64_t>(source->get_size(source));
  // The source hands out whole 2 KiB blocks only: a larger request at the
  // end of the image would be answered with end-of-data. Blocks are gathered
  // into 64 KiB writes: small enough for the buffer to stay in the CPU's
  // cache while the kernel copies it.
  constexpr int kBlock = 2048;
  std::vector<char> buffer(32 * kBlock);
  size_t filled = 0;
  int lastPercent = -1;
  progress(kWriteStep, 0);
  auto flush = [&] {
    if (filled == 0) return true;
    if (!out.write(buffer.data(), filled)) return false;
    written += filled;
    filled = 0;
    const int percent = size ? static_cast<int>(written * 100 / size) : 0;
    if (percent != lastPercent) progress(kWriteStep, lastPercent = percent);
    return true;
  };
  for (;;) {
    const int got = source->read_xt(source, reinterpret_cast<unsigned char*>(buffer.data() + filled), kBlock);
    if (got < 0) {
      log(kLogError, "BootableISO::CreateISO() reading the medium's files failed\n" + isoMessages());
      return kImageBuilderFailed;
    }
    filled += static_cast<size_t>(got);
    if ((got == 0 || filled == buffer.size()) && !flush()) {
      const int err = errno;
      log(kLogError, "BootableISO::CreateISO() writing " + part + " failed: " + std::strerror(err));
      return err == ENOSPC ? kImageTooLarge : kCreateFailed;
    }
    if (got == 0) break;
  }
  if (written != size) {
    log(kLogError, "BootableISO::CreateISO() the image ended after " + std::to_string(written) + " of " +
                       std::to_string(size) + " bytes\n" + isoMessages());
    return kImageBuilderFailed;
  }
  return kMediaOk;
}

}  // namespace Velmake
