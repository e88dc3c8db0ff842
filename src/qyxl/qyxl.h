// Update-service client library: the layer through which the acquisition
// library orders updates from a repository (HTTP(S) or a local folder).
#pragma once
#include <string>

namespace qyxl {

// Version of the client protocol this build speaks.
std::string clientVersion();

}  // namespace qyxl
