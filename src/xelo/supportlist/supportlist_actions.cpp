#include "supportlist/supportlist_actions.h"

#include <vector>

#include "cli/unavailable.h"
#include "host/host.h"
#include "host/paths.h"

namespace XELO {

std::pair<int, std::string> supportListAction(const Options& options) {
  const bool show = options.given("show-supportlist");
  const bool update = options.given("update-supportlist");
  const bool rollback = options.given("rollback-supportlist");
  if (update && rollback)
    return {1, "\"update-supportlist\" and \"rollback-supportlist\" should be specified exclusively."};
  if (show && update) return {5, ""};
  if (show && rollback) return {6, ""};
  if (update) return {3, ""};
  if (rollback) return {4, ""};
  if (show) return {2, ""};
  return {0, "Unknown Operation: No operation on system support list performed."};
}

void clearAcquiredToolPackages() {
  std::vector<std::string> names;
  const std::string dir = supportListDirectory();
  listDirectory(dir, names);
  for (const auto& name : names)
    if (name.rfind("qor_utl_", 0) == 0) deleteFile(joinPath(dir, name));
}

int runSupportListAction(int code, const std::string& message) {
  return unavailableStep("The system support list operation", 110);
}

std::pair<int, std::string> checkSelectedSystems(const std::vector<std::string>& tools,
                                                 const std::vector<std::string>& machineTypes) {
  return {unavailableStep("The support-list check of the selected systems", 101), ""};
}

std::pair<int, std::string> checkLocalSystemSupportability(const std::vector<std::string>& tools,
                                                           const std::vector<std::string>& machineTypes) {
  return {unavailableStep("The support-list check of the working directory", 101), ""};
}

}  // namespace XELO
