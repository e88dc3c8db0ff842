#include "cli/run_driver.h"
#include "log/logger.h"

namespace {
// The logger exists before main runs, so that even a run that only prints
// its version leaves a log file.
[[maybe_unused]] XELO::BMLogger& startupLogger = XELO::processLogger();
}  // namespace

int main(int argc, char** argv) { return XELO::runXelo(argc, argv); }
