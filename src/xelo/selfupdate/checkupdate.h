// Checking for, and fetching, a newer version of the tool.
#pragma once
#include <string>

#include "cli/options.h"

namespace XELO {

// The package id of the running version in the update repository.
inline constexpr const char* kSelfPackageId = "qor_utl_xelo_9.64_windows_i386";

// A report pass saw a version of the tool other than the running one.
extern bool newerVersionSeen;

// The whole check-update job; the run's exit status.
int runCheckUpdate(Options& options);

// Downloads the service files into the working directory; false on failure.
bool downloadServiceFiles(const Options& options);

}  // namespace XELO
