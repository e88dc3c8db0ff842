#include "metadata/descriptors.h"

#include "cli/unavailable.h"

namespace XELO {

int indexUpdateDescriptors(const std::string& workingDir) {
  return unavailableStep("Reading the update descriptors of the working directory", 217);
}

}  // namespace XELO
