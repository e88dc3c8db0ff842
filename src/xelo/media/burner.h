// CD/DVD burning.
#pragma once
#include <string>

namespace XELO {

// Whether `volume` can take a disc image: an optical drive, or a regular file
// standing for one, that this process may write. On false `message` says why.
bool cdBurnerStatus(const std::string& volume, std::string& message);

}  // namespace XELO
