// Media-image library: turns a staged working directory into an ISO image, a
// USB key or a network boot (PXE) directory, and burns ISO images to discs.
//
// The working directory is the root of the medium. Every create call unpacks
// the environment zip (its "linuxboot" and "linuxbootkyt" folders) into the
// working directory, makes the working directory the current directory, and
// raises the logger's boot-tree hook (OutputLogEntryEx at level 6) exactly
// once; the hook assembles the "boot" tree. The medium then holds every entry
// of the file list (relative to the working directory), the "boot" tree and
// the media configuration "xelo.config". The current directory is restored
// before the call returns.
//
// Results are 0 or one of the media codes below; nothing throws.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "bmloggerifc.h"

struct burn_source;

namespace Velmake {

namespace platform {
class SequentialFile;
}

namespace detail {
struct MediumEntry;
struct StagedFile;
struct Workspace;
struct EfiFile;
}  // namespace detail

// Media codes returned by the create and burn calls.
enum MediaCode : int {
  kMediaOk = 0,
  kNoUpdateFiles = 81,
  kNotFound = 100,        // a directory or file could not be found
  kVolumeNotFound = 101,  // USB key volume missing or unusable
  kUnzipFailed = 102,     // a zip file could not be unpacked
  kNotZip = 103,          // the environment file lacks the .zip extension
  kRawCopyFailed = 104,   // writing the USB key's partition table failed
  kOutOfSpace = 105,
  kCreateFailed = 106,  // a directory or file could not be created
  kModeChangeFailed = 107,
  kBadName = 108,  // ISO name without .iso; environment invalid (USB)
  kImageBuilderFailed = 109,
  kNotInitialised = 110,  // USB key not initialised; zipping failed (PXE)
  kBurnFailed = 111,
  kImageUnusable = 112,
  kImageTooLarge = 113,
  kNoDisc = 116,  // no disc, or a disc that cannot be written
};

// Progress of a long step: a short description and the share done, 0-100.
using ProgressFn = std::function<void(const std::string& step, int percent)>;

class BootableMedia {
 public:
  explicit BootableMedia(XELO::BMLoggerIfc& logger);
  virtual ~BootableMedia();
  BootableMedia(const BootableMedia&) = delete;
  BootableMedia& operator=(const BootableMedia&) = delete;

  // Deletes the named directories of the working directory of the last
  // create or init call (nothing relative before any), and the library's own
  // temporary files.
  virtual void removeTempFilesAndDirs(const std::vector<std::string>& dirs);

  // Receives the progress of long steps; none is reported without one.
  void setProgress(ProgressFn progress) { progressFn = std::move(progress); }

 protected:
  void log(int level, const std::string& message);
  void progress(const std::string& step, int percent);
  // Unpacks the environment, enters the working directory and raises the
  // boot-tree hook once; 0 or the media code that ends the create call. The
  // previous current directory is restored by leaveWorkingDirectory().
  int prepareBootTree(const std::string& workingDir, const std::string& toolZip);
  void leaveWorkingDirectory();
  // The frame of a create call: prepareBootTree, then `write` when that
  // succeeded; afterwards the scratch directory is removed and the previous
  // current directory restored. The first failure's code, or write's.
  int buildMedium(const std::string& workingDir, const std::string& toolZip, const std::function<int()>& write);
  // Makes the scratch directory; the paths a writer works with.
  detail::Workspace openWorkspace() const;
  // `path` is a regular file inside the working directory (fileInTree). A
  // file outside it, reached through a link or "..", is logged as an error
  // under `caller`; a missing one is left to the caller to report.
  bool fileInWorkingDirectory(const std::string& caller, const std::filesystem::path& path);
  // The workspace's UEFI loader is a regular file inside the working
  // directory; when there is none `missing` followed by the loader's path is
  // logged under `caller`.
  bool loaderInTree(const detail::Workspace& workspace, const std::string& caller, const std::string& missing);
  // The files of the UEFI boot (detail::efiBootFiles); companions left out
  // are logged as warnings under `caller`.
  std::vector<detail::EfiFile> efiFiles(const std::string& caller);
  // The medium's entries of `files` (collectEntries); the links left out are
  // logged as warnings and a refused entry as an error, under `caller`.
  // 0 or the media code that ends the create call.
  int collectMedium(const std::string& caller, const std::vector<std::string>& files,
                    std::vector<detail::MediumEntry>& entries);
  // The working directory of this object's calls, made absolute.
  void rememberWorkingDirectory(const std::string& workingDir);
  // The regular files staged for the medium of `files` in `workingDir`
  // (detail::stagedFiles); 0 or the media code of collectMedium.
  int stagedFilesOf(const std::string& caller, const std::string& workingDir, const std::vector<std::string>& files,
                    bool followLinks, std::vector<detail::StagedFile>& staged);
  // Names `file` in `firstDifference` and logs it as differing on the medium.
  void reportDifference(const std::string& caller, const detail::StagedFile& file, std::string& firstDifference);
  // Remembers a temporary file or directory for removeTempFilesAndDirs.
  void addTempPath(const std::string& path);

  XELO::BMLoggerIfc& logger;
  std::string workingDirectory;

 private:
  ProgressFn progressFn;
  std::string previousDirectory;
  std::vector<std::string> tempPaths;
};

class BootableISO : public BootableMedia {
 public:
  explicit BootableISO(XELO::BMLoggerIfc& logger);

  // Writes the ISO image `isoPath` (relative paths are taken from the current
  // directory at the call). The image is bootable by UEFI (El Torito and an
  // EFI system partition, so it also boots when written raw to a USB key) and
  // by BIOS when the environment carries a BIOS loader. `mode` is kept for
  // callers (always 1). Written under a temporary name and renamed when
  // complete.
  int CreateISO(const std::string& workingDir, const std::string& isoPath, std::vector<std::string>& files,
                const std::string& toolZip, int mode);

  // Reads the image `isoPath` back and compares every regular file staged
  // for it (the entries of `files` in `workingDir`, the boot tree, the media
  // configuration) with its copy in the image; links are not compared. Call
  // it after CreateISO while the boot tree is still in place. 0; or
  // kImageBuilderFailed with the medium path of the first file that is
  // missing or differs (the image's path when it cannot be read) in
  // `firstDifference`; or a code of collecting the entries.
  int VerifyISO(const std::string& workingDir, const std::string& isoPath, const std::vector<std::string>& files,
                std::string& firstDifference);

  // Burns `isoPath` to the drive at `driveAddress` (a device path, or a
  // regular file that stands for a disc). `fullSpeed` true writes at the
  // drive's best speed; false is the careful retry at the lowest speed.
  // The burner's messages are appended to `logFilePath` when not empty.
  int BurnISO(const std::string& isoPath, const std::string& driveAddress, std::string logFilePath, bool fullSpeed);

 private:
  int writeImage(const std::vector<detail::MediumEntry>& entries, const std::string& target);
  int writeSource(struct burn_source* source, const std::string& target);
  // Copies the image from `source` into `out` (the partial file `part`);
  // `written` counts the bytes. 0 when the whole image was written.
  int copySource(struct burn_source* source, platform::SequentialFile& out, const std::string& part, uint64_t& written);
};

class BootableUSB : public BootableMedia {
 public:
  explicit BootableUSB(XELO::BMLoggerIfc& logger);

  // Checks the USB volume (a block device or a disk-image file) and tells
  // whether it must be formatted: it must unless it holds a FAT file system
  // that this library made. Nothing is written.
  int init(const std::string& workingDir, const std::string& usbVolume, std::vector<std::string> files,
           const std::string& toolZip, bool& needsFormatting);

  // After a successful init: the volume, its size and, for a block device
  // whose disk tells it, its vendor and model ("/dev/sdb, 15.6 GB, Vendor
  // Model"), so that whoever is asked to format it knows which one it is.
  std::string volumeDescription() const { return description; }

  // Writes the medium. With `format` a new partition table and FAT32 file
  // system are written first; without it the key must already be one of the
  // library's, and the medium's entries replace those on it while other
  // files stay. 110 when init did not succeed before.
  int CreateUSBKey(bool format);

  // Reads the key of the last CreateUSBKey back through mtools and compares
  // every file staged for it (as VerifyISO; what links point to is compared)
  // and the UEFI loader at EFI/BOOT/BOOTX64.EFI with their copies on the key.
  // 0; or kCreateFailed with the first file that is missing or differs (the
  // volume when it holds no medium) in `firstDifference`; or a code of
  // collecting the entries.
  int VerifyUSBKey(std::string& firstDifference);

 private:
  int writeKey(bool format);
  // Checks the volume and, with `format`, writes the partition table and the
  // file system; `start` is then the partition's first sector.
  int prepareVolume(bool format, uint64_t needed, const std::string& toolLog, uint64_t& start);
  // Writes GRUB's BIOS loader of the boot tree into the gap before the
  // partition at `partitionStart` and the MBR code that starts it; a tree
  // without a usable one leaves the key to boot by UEFI only.
  int writeBiosBoot(uint64_t partitionStart);
  // Copies the UEFI loader and the entries into the partition at `start`.
  int copyToKey(bool format, uint64_t start, const std::vector<detail::MediumEntry>& entries,
                const std::vector<detail::EfiFile>& efiFiles, const detail::Workspace& workspace, uint64_t needed);

  bool initialised = false;
  bool keyIsOurs = false;
  std::string volume;
  std::string description;
  std::vector<std::string> fileList;
  std::string zipName;
};

class BootableIMG : public BootableMedia {
 public:
  explicit BootableIMG(XELO::BMLoggerIfc& logger);

  // Writes a network boot directory: the UEFI loader "BOOTX64.EFI", its
  // "grub.cfg", the kernel "img2a", the initrd "img3a" (with the media
  // configuration appended) and "tc.zip" (the medium's files).
  int CreateIMG(const std::string& workingDir, const std::string& pxeDir, std::vector<std::string>& files,
                const std::string& toolZip);

  // Reads the medium zip "tc.zip" of `pxeDir` back and compares every file
  // staged for it (as VerifyISO; what links point to is compared) with its
  // copy in the zip. 0; or kCreateFailed with the first file that is missing
  // or differs in `firstDifference`; or a code of collecting the entries.
  int VerifyIMG(const std::string& workingDir, const std::string& pxeDir, const std::vector<std::string>& files,
                std::string& firstDifference);

 private:
  int writeDirectory(std::vector<std::string>& files, const std::string& pxeDir);
  // The steps of writeDirectory, each into the directory `target`: the
  // loader; the kernel, the initrd with the media configuration and the menu;
  // the zip of the medium's files.
  int writeLoader(const detail::Workspace& workspace, const std::filesystem::path& target);
  int writeBootFiles(const detail::Workspace& workspace, const std::string& menu, const std::string& kernel,
                     const std::string& initrd, const std::filesystem::path& target);
  int writeMediumZip(const std::vector<detail::MediumEntry>& entries, const std::filesystem::path& target);
};

// Removes what a create call leaves behind when the process is ended in the
// middle of it: the library's scratch directory in `workingDir`, partial
// images beside `imagePath` and partial files in `pxeDir` (either may be
// empty). Finished media and every other file stay.
void removeInterruptedOutput(const std::string& workingDir, const std::string& imagePath, const std::string& pxeDir);

// ---- disc drives -----------------------------------------------------------

// The burner's address of the drive at `devicePath`: the device itself for an
// optical drive the burner can reach, "stdio:" + absolute path for a regular
// file (a disc image standing for a drive); empty when there is none.
std::string driveAddressOf(const std::string& devicePath);

// Version of the burning library, empty when it cannot be started.
std::string burnLibraryVersion();

// A disc drive opened directly by its device path, for burning without the
// address lookup.
class DiscDrive {
 public:
  explicit DiscDrive(XELO::BMLoggerIfc& logger);
  ~DiscDrive();
  DiscDrive(const DiscDrive&) = delete;
  DiscDrive& operator=(const DiscDrive&) = delete;

  bool init(const std::string& devicePath);
  // The loaded medium is a CD-R, CD-RW, DVD-R or DVD-RW (restricted overwrite).
  bool hasBurnableProfile();
  int erase();                           // 0 or kBurnFailed
  int burn(const std::string& isoPath);  // 0 or a media code
  void release();

 private:
  struct State;
  XELO::BMLoggerIfc& logger;
  State* state;
};

}  // namespace Velmake
