#include "media/burner.h"

#include "host/host.h"

namespace XELO {

bool cdBurnerStatus(const std::string& volume, std::string& message) {
  if (!volumeOpens(volume)) {
    message = "Media creation error: There is no disk or wrong disk in drive";
    return false;
  }
  return true;
}

}  // namespace XELO
