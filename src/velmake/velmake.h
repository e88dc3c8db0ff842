// Media-image library: writes ISO images, USB keys and PXE directories and
// burns discs. The process logger is handed in by the program.
#pragma once
#include <string>

namespace Velmake {

// Version of the media-image library.
std::string libraryVersion();

}  // namespace Velmake
