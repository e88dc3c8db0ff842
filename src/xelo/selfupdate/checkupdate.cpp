#include "selfupdate/checkupdate.h"

#include "cli/unavailable.h"

namespace XELO {

bool newerVersionSeen = false;

int runCheckUpdate(Options& options) { return unavailableStep("Checking for a newer version of Xelo", 201); }

bool downloadServiceFiles(const Options& options) {
  unavailableStep("Downloading the service files", 120);
  return false;
}

}  // namespace XELO
