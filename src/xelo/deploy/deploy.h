// Deployment media.
#pragma once
#include "cli/options.h"

namespace XELO {

// A supported deployment kit is installed (found through TK_Path_WAIK_Source).
bool isWaikInstalled();

// Builds or acquires the deployment media the options ask for; the run's
// exit status.
int runDeploymentJob(Options& options);

}  // namespace XELO
