#include "velmake.h"

namespace Velmake {

std::string libraryVersion() { return "1.0"; }

}  // namespace Velmake
