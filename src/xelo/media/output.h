// The four media builders: an ISO image file, a CD/DVD, a USB key and a
// network boot (PXE) directory. Each hands the staged file list to the
// media-image library, interprets its result, cleans up and returns an error
// code (0 on success).
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "core/options.h"

namespace XELO {

// Console progress of the media library's long steps: one line per tenth
// done, or on a terminal one line per step rewritten in place.
std::function<void(const std::string&, int)> consoleProgress();

int createISOFile(std::vector<std::string>& files, Options& options);
int createCD(std::vector<std::string>& files, Options& options);
int createUSBKey(std::vector<std::string>& files, Options& options);
int createPXE(std::vector<std::string>& files, Options& options);

// The media kinds whose error codes differ; a CD maps like an ISO file.
enum class MediumKind { Iso, Usb, Pxe };

// The error code for an internal media code of the library.
int mediaErrorCode(int internalCode, MediumKind kind);

// The answer to the USB formatting question about `volume` (the key's
// device, size and model, printed on the console and logged before the
// question): the console's next word, or under the graphical front end the
// first word of its reply file.
std::string askFormatUsbKey(const std::string& volume);

}  // namespace XELO
