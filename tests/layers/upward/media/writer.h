// Includes the layer at the top: refused.
#pragma once
#include "cli/options.h"
#include "host/paths.h"
