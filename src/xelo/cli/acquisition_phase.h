// The acquisition phase of a run: update packs and their requisites, ESXi
// updates, the tool packages and the boot environment, from the update
// repository.
#pragma once
#include <string>
#include <vector>

#include "cli/options.h"

namespace XELO {

// The tools whose support for the selected machine types is checked: the
// functions, then "vmwareupdate" + each requested ESXi version ("all": every
// version the support list knows).
std::vector<std::string> supportCheckTools(const Options& options);

// Acquires what the run needs. Returns 0 to go on; otherwise the exit status
// that ends the run (with `finished` set, also for the report's 0).
int acquireFromRepository(Options& options, bool& finished);

}  // namespace XELO
