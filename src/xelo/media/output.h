// The four media builders.
#pragma once
#include "cli/options.h"

namespace XELO {

// Each returns 0 or the error code that ends the run.
int createIsoMedia(Options& options);
int createUsbMedia(Options& options);
int createCdMedia(Options& options);
int createPxeMedia(Options& options);

}  // namespace XELO
