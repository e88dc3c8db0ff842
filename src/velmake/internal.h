// Pieces shared by the media writers of the library.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace Velmake::detail {

// Log levels of the program's logger.
inline constexpr int kLogError = 0;
inline constexpr int kLogWarning = 1;
inline constexpr int kLogVerbose = 4;
inline constexpr int kLogCopyBootDir = 6;

// Name of the library's scratch directory inside the working directory.
inline constexpr const char* kScratchDirectory = "velmake_tmp";
// The media configuration, written by the program into the working directory.
inline constexpr const char* kMediaConfig = "xelo.config";
// The UEFI loader inside the boot tree, and where firmware looks for it.
inline constexpr const char* kEfiLoaderInTree = "boot/EFI/BOOT/BOOTX64.EFI";
inline constexpr const char* kEfiLoaderPath = "EFI/BOOT/BOOTX64.EFI";
inline constexpr const char* kBootConfigInTree = "boot/EFI/BOOT/grub.cfg";
// Files that go with the UEFI loader to where firmware looks for it (the EFI
// partition of an image, the root of a USB key), each below "boot/" in the
// tree when the environment carries it: the second stage a shim loader starts
// from its own directory, shim's key-enrolment helper, and the configuration
// the signed GRUB reads from its built-in prefix.
inline constexpr const char* kEfiCompanions[] = {"EFI/BOOT/grubx64.efi", "EFI/BOOT/mmx64.efi", "EFI/debian/grub.cfg"};

// The environment mtools run in: no configuration file, no geometry checks.
inline const std::vector<std::string> kMtoolsEnv = {"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null"};

// One entry of the medium: its path on the medium ("/" separated, relative)
// and its source in the local file system.
struct MediumEntry {
  std::string mediumPath;
  std::string sourcePath;
  bool directory = false;
  // A directory whose contents follow as entries of their own: only the
  // directory itself is made for it.
  bool contentsListed = false;
};

// What a writer works with once the boot tree is assembled.
struct Workspace {
  std::filesystem::path scratch;  // the library's scratch directory, made
  std::string toolLog;            // where the tools the writer runs write their output
  std::filesystem::path loader;   // the boot tree's UEFI loader, not yet checked
};

// A file of the UEFI boot: its source in the boot tree and its path where
// firmware looks ("EFI/BOOT/BOOTX64.EFI").
struct EfiFile {
  std::filesystem::path source;
  std::string efiPath;
};

// The directories from the top down to `dir` ("/EFI", "/EFI/BOOT") that are
// not yet in `made`, which gains them: what a writer still has to make on a
// FAT file system before copying a file into `dir`.
std::vector<std::string> directoriesToMake(const std::filesystem::path& dir, std::vector<std::string>& made);

// The UEFI loader of the boot tree in `workingDir` followed by the companions
// it carries, each a regular file inside the tree (fileInTree). Companions
// that exist but lie outside the tree are named in `leftOut`.
std::vector<EfiFile> efiBootFiles(const std::filesystem::path& workingDir, std::vector<std::string>* leftOut = nullptr);

// `path` names a regular file that lies inside `root` once every symbolic
// link on the way is followed, so a writer may copy it onto a medium. A name
// that leaves the tree (".."), a link that resolves outside it or cannot be
// resolved, and anything but a regular file are refused: the writers copy
// what links point to, and a host file must never reach a medium.
bool fileInTree(const std::filesystem::path& path, const std::filesystem::path& root);

// `path` is `root` or lies below it, compared as written (both absolute and
// normal, or both resolved): no link is followed.
bool liesWithin(const std::filesystem::path& path, const std::filesystem::path& root);

// The entries of a medium built in `workingDir`: each name of `files` (".",
// ".." and empty names skipped; "\" read as a separator), then "boot" and the
// media configuration when present. Paths that would leave the working
// directory are refused. 0, kNotFound (a listed entry is missing, named in
// `problem`) or kBadName (an unsafe name, in `problem`).
//
// Nothing from outside the working directory reaches a medium: a symbolic
// link whose target (resolved) lies outside it, or cannot be resolved, is
// left out and its path added to `outsideLinks`; a directory holding such a
// link is listed by its contents (contentsListed) so that the writers, which
// copy whole directories, never meet it.
int collectEntries(const std::string& workingDir, const std::vector<std::string>& files,
                   std::vector<MediumEntry>& entries, std::string& problem, std::vector<std::string>& outsideLinks);

// Total size of the regular files below the entries, in bytes; the largest
// single file in `largest`. Directories with contentsListed count nothing.
uint64_t totalBytes(const std::vector<MediumEntry>& entries, uint64_t* largest = nullptr);

// Unpacks the zip `zipPath` into `targetDir`, refusing archives with entries
// that would land outside it (absolute names, ".."), symbolic links whose
// target leaves it, hard links and special files. 0, or kUnzipFailed with the
// reason in `error`.
int unpackZip(const std::string& zipPath, const std::string& targetDir, std::string& error);

// Writes the entries as a zip archive at `zipPath`. False with `error`.
bool writeZip(const std::string& zipPath, const std::vector<MediumEntry>& entries, std::string& error);

// Writes a gzip-compressed cpio (newc) archive holding `name` with the
// contents of `sourcePath`, to be appended to an initrd. False with `error`.
bool writeCpioGz(const std::string& archivePath, const std::string& name, const std::string& sourcePath,
                 std::string& error);

// A regular file staged for a medium: its path on the medium and its source.
struct StagedFile {
  std::string mediumPath;
  std::filesystem::path sourcePath;
};

// The regular files below the entries, named as the writers name them on the
// medium. Symbolic links are followed when `followLinks` (the zip writer
// stores what they point to) and left out otherwise (an ISO image keeps
// them as links).
std::vector<StagedFile> stagedFiles(const std::vector<MediumEntry>& entries, bool followLinks);

// The bytes `read` hands out (a count each call, 0 at the end, negative on an
// error) are exactly those of the file `path`, no more and no fewer.
bool sameAsFile(const std::filesystem::path& path, const std::function<int64_t(char*, size_t)>& read);

// Start sector of the USB key's first partition when it holds a FAT32 file
// system that this library made; 0 otherwise.
uint64_t ourPartitionStart(const std::string& volume);

// Starts libisofs once per process, its messages kept for the log.
void initIsoLibrary();

// The name ends in `suffix`, compared without regard to case.
bool endsWithNoCase(const std::string& name, const std::string& suffix);

// Text of a file, or empty.
std::string readText(const std::string& path);

}  // namespace Velmake::detail
