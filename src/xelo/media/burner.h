// CD/DVD burning. A drive is an optical block device, or a regular file that
// stands for one (a disc image written as a pseudo-drive).
#pragma once
#include <string>

namespace XELO {

// Burns `imagePath` to the disc in `drive`; an error code (0 on success).
// Through the drive's burner address when one is found, else by opening the
// drive directly.
int burnCD(const std::string& imagePath, const std::string& drive);

// The burner's address of `drive`, or empty when the burner cannot reach it.
std::string findScsiAddress(const std::string& drive);

// Whether this host can burn discs; `message` says how, or why not.
bool imapi2Status(std::string& message);

// Whether `volume` can take a disc image: an optical drive, or a regular file
// standing for one, that this process may write, on a host that can burn.
// On false `message` says why.
bool cdBurnerStatus(const std::string& volume, std::string& message);

}  // namespace XELO
