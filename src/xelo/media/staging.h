// Turning the working directory into the root of a medium.
#pragma once
#include <string>
#include <vector>

#include "cli/options.h"

namespace XELO {

// Collects the update files and metadata for the medium and stages the rest
// of the media tree. 0, or the error code that ends the run; `pushed` gets
// the names that go onto the medium.
int stageMediaFiles(Options& options, std::vector<std::string>& pushed);

}  // namespace XELO
