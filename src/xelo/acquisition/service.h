// The connection to the update service: proxy settings and their check.
#pragma once
#include "cli/options.h"

namespace XELO {

// Tests the proxy of the options with one request through it. 1 reachable,
// 2 refused, -1 not tested. The outcome never stops a run.
int checkProxy(const Options& options);

}  // namespace XELO
