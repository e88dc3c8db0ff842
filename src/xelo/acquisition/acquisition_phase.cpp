#include "acquisition/acquisition_phase.h"

#include "cli/unavailable.h"

namespace XELO {

int acquireFromRepository(Options& options, bool& finished) {
  finished = true;
  return unavailableStep("Acquisition from the update repository", 200);
}

}  // namespace XELO

namespace XELO {

void writeLocalReport(const Options&) { unavailableStep("The local report", 217); }
void writeLocalReportXml(const Options&) { unavailableStep("The local report file", 217); }

}  // namespace XELO
