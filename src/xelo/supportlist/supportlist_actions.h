// Support-list operations asked for on the command line, and the checks of
// the selected systems before media are built.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "cli/options.h"

namespace XELO {

// The action asked for by --show/--update/--rollback-supportlist (0 none,
// 1 update and rollback together, 2 show, 3 update, 4 rollback, 5 update and
// show, 6 rollback and show) with its message.
std::pair<int, std::string> supportListAction(const Options& options);

// Removes tool list packages that an earlier update left in the support-list
// directory.
void clearAcquiredToolPackages();

// Performs the action, reports it and returns the run's exit status.
int runSupportListAction(int code, const std::string& message);

// Whether each tool supports the selected machine types: 0, or 101 with the
// list of refusing tools in the message.
std::pair<int, std::string> checkSelectedSystems(const std::vector<std::string>& tools,
                                                 const std::vector<std::string>& machineTypes);

// As checkSelectedSystems, and the working directory must hold updates:
// 0, 101 or 215.
std::pair<int, std::string> checkLocalSystemSupportability(const std::vector<std::string>& tools,
                                                           const std::vector<std::string>& machineTypes);

}  // namespace XELO
