// Cancelling a run with SIGINT or SIGTERM (Ctrl-C, kill, a service manager
// stopping the job): the run's temporary files go, the result record says the
// run was cancelled, and the process ends with 130 or 143.
#pragma once
#include "cli/options.h"

namespace XELO {

// Starts watching for the signals. Until setCancelCleanup is called a
// cancelled run only records its end.
void watchForCancel();

// The run's targets are settled: a cancelled run from now on also removes
// the temporary files it makes for them.
void setCancelCleanup(const Options& options);

}  // namespace XELO
