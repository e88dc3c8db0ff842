#include "acquireutil.h"

#include "qyxl.h"

namespace QYXAcquistion {

std::string libraryVersion() { return "9.64 (client " + qyxl::clientVersion() + ")"; }

}  // namespace QYXAcquistion
