// Checking for, and fetching, a newer version of the tool.
#pragma once
#include <string>

#include "core/options.h"

namespace XELO {

// The whole check-update job; the run's exit status.
int runCheckUpdate(Options& options);

// Downloads the service files into the working directory; false on failure.
bool downloadServiceFiles(const Options& options);

}  // namespace XELO
