// Acquiring update packs, requisites, ESXi updates and tool packages from
// the update repository for a run.
#pragma once
#include "cli/options.h"

namespace XELO {

// Acquires what the run needs. Returns 0 to go on, or the exit status that
// ends the run (the report mode's 0 included, with `finished` set).
int acquireFromRepository(Options& options, bool& finished);

// What the working directory holds for the machine types: on the console,
// or as the report file read by the graphical front end.
void writeLocalReport(const Options& options);
void writeLocalReportXml(const Options& options);

}  // namespace XELO
