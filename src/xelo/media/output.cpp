#include "media/output.h"

#include "cli/unavailable.h"

namespace XELO {

int createIsoMedia(Options&) { return unavailableStep("Writing an ISO image", 221); }
int createUsbMedia(Options&) { return unavailableStep("Writing a USB key", 231); }
int createCdMedia(Options&) { return unavailableStep("Burning a CD/DVD", 222); }
int createPxeMedia(Options&) { return unavailableStep("Writing a PXE directory", 212); }

}  // namespace XELO
