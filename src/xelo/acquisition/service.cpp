#include "acquisition/service.h"

#include "log/logger.h"

namespace XELO {

int checkProxy(const Options& options) {
  logEntry(LogWarning, "main():: The proxy " + options.proxyAddress + ":" + std::to_string(options.proxyPort) +
                           " was not tested: the proxy check is not available in this build.");
  return -1;
}

}  // namespace XELO
