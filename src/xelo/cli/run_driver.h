// The entry point of a run: rights, environment, options, then the phases of
// one job in order. Returns the process exit status.
#pragma once

namespace XELO {

int runXelo(int argc, char** argv);

}  // namespace XELO
