#include "deploy/deploy.h"

#include "cli/unavailable.h"
#include "host/host.h"
#include "host/paths.h"

namespace XELO {

bool isWaikInstalled() {
  bool defined = false;
  const std::string root = getEnv("TK_Path_WAIK_Source", &defined);
  if (!defined) return false;
  const std::string script = joinPath(joinPath(joinPath(root, "Tools"), "PETools"), "copype.cmd");
  return isRegularFile(script) && fileReadable(script);
}

int runDeploymentJob(Options& options) { return unavailableStep("Deployment media creation", 244); }

}  // namespace XELO
