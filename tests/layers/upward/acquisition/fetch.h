// Includes a sibling layer: refused.
#pragma once
#include "media/writer.h"
