// Which files in the working directory make up the bootable environment and
// the tools the medium runs. Every choice here looks at file names only and
// copies nothing; an empty answer means "nothing fits" and the caller decides
// what that costs the run.
#pragma once
#include <string>
#include <vector>

#include "core/options.h"

namespace XELO {

// Boot tools packages: prefix, environment version, then one variant suffix.
// A later variant holds everything an earlier one does, so it may stand in.
inline constexpr const char* kBootToolsPrefix = "qor_utl_boot_tools-";
inline constexpr int kBootToolsVersion = 141;
inline constexpr const char* kBootToolsSuffixBasic = "_anyos_x86-64.zip";
inline constexpr const char* kBootToolsSuffixMid = "_anyos_x86-64-mid.zip";
inline constexpr const char* kBootToolsSuffixFull = "_anyos_x86-64-full.zip";
inline constexpr const char* kBootToolsSuffixes[] = {
    kBootToolsSuffixBasic, kBootToolsSuffixMid, kBootToolsSuffixFull};

// Environment names without extension, for the media configuration and messages.
inline constexpr const char* kBootToolsBaseMid = "qor_utl_boot_tools-141_anyos_x86-64-mid";
inline constexpr const char* kBootToolsBaseFull = "qor_utl_boot_tools-141_anyos_x86-64-full";

// Tool files below the working directory.
inline constexpr const char* kNovpiDirectory = "novpi";
inline constexpr const char* kNovpiPrefix = "qor_utl_novpi_";
inline constexpr const char* kNovpiSuffix = ".bin";
inline constexpr const char* kKytDirectory = "kyt";
inline constexpr const char* kKytPrefix = "qor_utl_kyt_";
inline constexpr const char* kKytSuffix = "cp_anyos_x86-64.zip";

// ESXi firmware packages in the working directory.
inline constexpr const char* kEsxiPrefix = "qor_fw_esxi_";
inline constexpr const char* kEsxiSuffix = "xelo_32-64";

// The full environment when the function list is "linuxtk" alone, otherwise
// the mid one (also for an empty list).
std::string bootToolsBaseName(const std::vector<std::string>& functions);

// The environment variant the run's functions need: 3 (full) for "linuxtk",
// else 2 (mid) for "novpi" or "kyt", else 0 (none).
int bootToolsNeed(const Options& options);

// The boot tools zip (file name only) in the working directory for `need`
// (1 basic, 2 mid, 3 full): the exact variant when present as a file, else
// the first larger one present; empty when none is, or `need` is not 1..3.
std::string findBootToolsZip(const Options& options, int need);

// The user-named environment zip is a regular file in the working directory.
bool toolZipPresent(const Options& options);

// The NOVPI installer in "<working dir>/novpi" with the highest version (the
// four characters after the prefix, read as a decimal number); of equal
// versions the first listed wins. Empty when none has a version above 0.
std::string selectNovpiBinary(const Options& options);

// The KYT package in "<working dir>/kyt" with the greatest name, or empty.
std::string selectKytPackage(const Options& options);

// Entries of `directory` that are packages of the tool `kind`, greatest name
// first (byte-wise). Only "kyt" has a name pattern; for any other kind every
// entry except "." and ".." is listed.
std::vector<std::string> listKytPackages(const std::string& directory, const std::string& kind);

// The ESXi firmware package for `version` in the working directory; of several
// the last listed wins. Empty when none matches.
std::string selectEsxiPackage(const Options& options, const std::string& version);

// `name` is an ESXi firmware package name.
bool isEsxiPackage(const std::string& name);

}  // namespace XELO
