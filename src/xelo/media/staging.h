// Turning the working directory into the root of a medium. Media are built in
// place: the media-image library copies the working-directory entries named
// in a file list, plus the boot tree "boot" that is assembled in the working
// directory while the image is made (the library asks for it through the
// logger's level-6 entry, which runs assembleBootTree).
//
// The run's options come in as a parameter; the update selection reads the
// run's descriptor index (descriptorIndex()).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/options.h"

namespace XELO {

// Entries of the working directory that staging knows by name.
inline constexpr const char* kEnvironmentDir = "linuxboot";         // unpacked environment
inline constexpr const char* kEnvironmentKytDir = "linuxbootkyt";   // additions for diagnostics
inline constexpr const char* kEnvironmentPpcDir = "linuxppcboot";   // other processor family
inline constexpr const char* kToolkitDir = "zad";                   // unpacked scripting toolkit
inline constexpr const char* kBootTreeDir = "boot";                 // the medium's boot tree
inline constexpr const char* kThirdPartyToolDir = "Xelo_3rdPartyTool";
inline constexpr const char* kBootUpgradePrefix = "qor_utl_boot_upgrade-";

// Results of assembleBootTree, from the media codes the builders map to
// error codes per medium.
inline constexpr int32_t kBootTreeOk = 0;
inline constexpr int32_t kBootTreeMissing = 100;       // a directory could not be found or entered
inline constexpr int32_t kBootTreeUnzipFailed = 102;   // the diagnostics package could not be unpacked
inline constexpr int32_t kBootTreeNoSpace = 105;       // out of space while copying
inline constexpr int32_t kBootTreeCopyFailed = 106;    // a file could not be written
inline constexpr int32_t kBootTreeConfigMissing = 108; // the boot loader configuration is missing

// The environment directories the library unpacks and removes afterwards:
// "linuxboot", and "linuxbootkyt" for the "kyt" function.
std::vector<std::string> environmentDirs(const Options& options);

// Entries of `dir` that go onto the medium besides the update files, in
// listing order, "." and ".." included. Environment directories and zips,
// earlier images, media configuration files, the toolkit and the tool
// directories are left out; the NOVPI installer files come in one by one
// ("novpi/<name>") for the "novpi" function, boot upgrade packages for
// "linuxtk".
std::vector<std::string> getFiles(const Options& options, const std::string& dir);

// `dir` holds a network boot output made by this program ("img2a", "img3a"
// and "tc.zip").
bool holdsCreatedPxeOutput(const std::string& dir);

// getFiles(dir) without directories that hold an earlier network boot
// output.
std::vector<std::string> dropCreatedPxeDirs(const Options& options, const std::string& dir);

// Appends "novpi/<name>" for each file of the working directory's "novpi"
// folder, except installers made for another system ("novpi*.exe").
void pushNovpiFiles(const Options& options, std::vector<std::string>& list);

// The file list of a medium that carries the updates of the selected machine
// types: dropCreatedPxeDirs(dir), with update files taken only from the
// descriptor index, without ESXi packages, descriptors cut short (no
// "</CIM>") and the deployment kit's folders, plus the files of the
// requisite updates found in the working directory. Every name once; "."
// and ".." and a "boot" left by an earlier run are not listed (the library
// adds the boot tree itself).
std::vector<std::string> stageUpdateFiles(const Options& options, const std::string& dir);

// The files of the updates named by id ("<dir>/<id>.xml" and what it names);
// an id without a descriptor is logged and skipped.
std::vector<std::string> stageUpdateFilesById(const std::vector<std::string>& updateIds, const std::string& dir);

// The run's file list for its working directory: as stageUpdateFiles, but
// with only the updates named by the run's update ids when it has any.
std::vector<std::string> stageMediaFiles(const Options& options);


// Assembles the boot tree in the current directory, which the library has
// made the working directory: "linuxboot" (and "linuxbootkyt") becomes
// "boot", unneeded tool folders go, the boot loader configuration gets the
// boot source and kernel arguments, the diagnostics package is unpacked into
// "boot/kyt" and the user's own tool directory is copied in. Returns
// kBootTreeOk or one of the media codes above. Registered as the logger's
// boot-tree hook.
int32_t assembleBootTree(Options& options);

}  // namespace XELO
