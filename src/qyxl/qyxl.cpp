#include "qyxl.h"

namespace qyxl {

std::string clientVersion() { return "1.05"; }

}  // namespace qyxl
