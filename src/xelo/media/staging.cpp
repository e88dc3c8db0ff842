#include "media/staging.h"

#include "cli/unavailable.h"

namespace XELO {

int stageMediaFiles(Options& options, std::vector<std::string>& pushed) {
  return unavailableStep("Staging the media files", 212);
}

}  // namespace XELO
