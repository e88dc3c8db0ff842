// Update descriptors found in the working directory.
#pragma once
#include <string>

namespace XELO {

// Indexes the update descriptors of `workingDir`. 0 when the index was built.
int indexUpdateDescriptors(const std::string& workingDir);

}  // namespace XELO
