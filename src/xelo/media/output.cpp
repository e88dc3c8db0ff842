#include "media/output.h"

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>
#include <cctype>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "core/codes.h"
#include "core/errors.h"
#include "core/progress_json.h"
#include "core/run_tally.h"
#include "core/text.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "media/bootconfig.h"
#include "media/burner.h"
#include "media/staging.h"
#include "velmake.h"

namespace XELO {

Velmake::ProgressFn consoleProgress() {
  // The line of a step that stopped short of 100 % is ended when the library
  // lets go of its progress function, so that the next output starts a line.
  struct StepLine {
    std::string step;
    int percent = -1;
    ~StepLine() {
      if (percent >= 0 && percent < 100) std::cout << std::endl;
    }
  };
  if (standardOutputIsTerminal()) {
    auto line = std::make_shared<StepLine>();
    return [line](const std::string& step, int percent) {
      std::cout << stepProgressText(line->step, line->percent, step, percent) << std::flush;
      line->step = step;
      line->percent = percent;
    };
  }
  auto last = std::make_shared<std::pair<std::string, int>>("", -1);
  return [last](const std::string& step, int percent) {
    const int tenth = percent / 10;
    if (step == last->first && tenth == last->second) return;
    last->first = step;
    last->second = tenth;
    std::cout << " " << step << "... " << tenth * 10 << "%" << std::endl;
  };
}

namespace {

// The out-of-space verdict after a failed library call. The boot tree is
// assembled with the working directory as the current directory, so the
// error text of a failed copy lies there; the program directory is looked at
// as well.
bool spaceShort(const Options& options) {
  if (lackSpace()) return true;
  const std::string here = currentDirectory();
  if (options.workingDir.empty() || !changeDirectory(options.workingDir)) return false;
  const bool full = lackSpace();
  changeDirectory(here);
  return full;
}

// The first whitespace-delimited word of a file, or empty.
std::string firstWord(const std::string& path) {
  std::ifstream in(path);
  std::string word;
  in >> word;
  return word;
}

// Internal code kBadName from the boot-tree assembly means that the environment
// lacks its boot configuration; for an ISO file the same code also stands for
// a name without ".iso". Where the name is not at fault (it has the
// extension, a CD's image is named by the program, a network boot directory
// has none) the message names the environment instead of an extension or an
// unknown error.
int environmentOr(int code, MediumKind kind, bool nameAtFault) {
  return code == Velmake::kBadName && !nameAtFault ? Exit::EnvironmentInvalid : mediaErrorCode(code, kind);
}

// The result of reading a medium back (--verify): the library's code. A
// file that is missing or differs is named on a line of its own.
int verified(int code, const std::string& firstDifference) {
  if (code == 0) {
    std::cout << " Verified: every file on the medium matches the staged one" << std::endl;
  } else if (!firstDifference.empty()) {
    const std::string line = "Verification failed: " + firstDifference + " differs from the staged file";
    std::cout << " " << line << std::endl;
    logEntry(LogError, line);
  }
  return code;
}

}  // namespace

int mediaErrorCode(int code, MediumKind kind) {
  using namespace Velmake;
  const bool iso = kind == MediumKind::Iso;
  const bool usb = kind == MediumKind::Usb;
  switch (code) {
    case kMediaOk: return Exit::Success;
    case kNoUpdateFiles: return Exit::NoUpdateFilesAfterFilter;
    case kNotFound: return Exit::FileNotFound;
    case kVolumeNotFound: return usb ? Exit::UsbVolumeNameFailed : Exit::Unmapped;
    case kUnzipFailed: return Exit::UnzipFailed;
    case kNotZip: return Exit::ZipExtensionMissing;
    case kRawCopyFailed: return usb ? Exit::RawCopyFailed : Exit::Unmapped;
    case kOutOfSpace: return Exit::NoSpaceForImage;
    case kCreateFailed: return Exit::CreateFileFailed;
    case kModeChangeFailed: return Exit::ModeChangeFailed;
    case kBadName: return iso ? Exit::IsoExtensionMissing : usb ? Exit::EnvironmentInvalid : Exit::Unmapped;
    case kImageBuilderFailed: return iso ? Exit::IsoBuildFailed : Exit::Unmapped;
    case kNotInitialised:
      return usb ? Exit::UsbKeyNotInitialized : kind == MediumKind::Pxe ? Exit::ZipFailed : Exit::Unmapped;
    case kBurnFailed:
    case kImageUnusable: return iso ? Exit::BurnFailed : Exit::Unmapped;
    case kImageTooLarge: return iso ? Exit::NoSpaceForIso : Exit::Unmapped;
    case kNoDisc: return iso ? Exit::NoDiscInDrive : Exit::Unmapped;
    default: return Exit::Unmapped;
  }
}

std::string askFormatUsbKey(const std::string& volume) {
  logEntry(LogWarning, "USB key to format: " + volume);
  bool gui = false;
  getEnv("XELO_GUI_ENVIRONMENT", &gui);
  if (gui) {
    logEntry(LogWarning, "XELO_GUI_ENVIRONMENT environment variable is defined ");
    const std::string reply = tempReplyPath();
    replaceFileContents(reply, "");
    writeCliError(Exit::FormatQuestion, "Format your USB key? (y or n)", Step::None);
    // The front end answers by writing into the reply file; there is no time limit.
    for (;;) {
      const std::string word = firstWord(reply);
      if (!word.empty()) return word;
      sleepMilliseconds(250);
    }
  }
  progressEvent("question", {{"text", "Format the USB key " + volume + "? (y or n)"}});
  std::cout << " USB key: " << volume << std::endl;
  std::cout << " Warning! USB key needs formatting. This will erase all existing data on it." << std::endl;
  std::cout << " Are you sure you want to continue?(y or n)" << std::flush;
  std::string word;
  std::cin >> word;
  return word;
}

int createISOFile(std::vector<std::string>& files, Options& options) {
  const std::string imagePath = joinPath(options.isoDir, options.isoName);
  logEntry(LogVerbose, "In createISOFile(), g_bmOption.strWorkingDir is " + options.workingDir +
                           ", g_bmOption.strISOFileName is " + options.isoName + ", g_bmOption.strToolZipFileName is " +
                           options.toolZip);
  int code = 0;
  {
    Velmake::BootableISO iso(processLogger());
    iso.setProgress(consoleProgress());
    code = iso.CreateISO(options.workingDir, imagePath, files, options.toolZip, 1);
    if (code != 0 && spaceShort(options)) {
      logEntry(LogError, "CreateISOFile failed, No space left in device.");
      code = 105;
    }
    std::string difference;
    if (code == 0 && options.verify)
      code = verified(iso.VerifyISO(options.workingDir, imagePath, files, difference), difference);
    iso.removeTempFilesAndDirs(environmentDirs(options));
  }
  if (code == 0) writeCliError(Exit::Success, "Create iso file successfully", Step::Create);
  return environmentOr(code, MediumKind::Iso, !boost::algorithm::iends_with(options.isoName, ".iso"));
}

int createCD(std::vector<std::string>& files, Options& options) {
  const std::string drive = volumeWithColon(options.cdDevice);
  if (drive != options.cdDevice) {
    std::cout << "\nWarning: The CD or DVD device " << options.cdDevice << " cannot be used. Change it to " << drive
              << "\n";
    options.cdDevice = drive;
  }
  // The image lies in the current directory (the program's) until burned.
  const std::string image = "tmp.iso";
  int result = 0;
  {
    Velmake::BootableISO iso(processLogger());
    iso.setProgress(consoleProgress());
    int code = iso.CreateISO(options.workingDir, image, files, options.toolZip, 1);
    // The image is read back before it is burned; the disc itself is not.
    std::string difference;
    if (code == 0 && options.verify) {
      code = verified(iso.VerifyISO(options.workingDir, image, files, difference), difference);
      if (code != 0) deleteFile(image);
    }
    if (code != 0) {
      if (spaceShort(options)) {
        code = 105;
        logEntry(LogError, "createCD() failed, No space left in device.");
      } else {
        logEntry(LogError, "createCD() failed");
      }
      return environmentOr(code, MediumKind::Iso, false);
    }
    result = burnCD(image, options.cdDevice);
    if (result == 0)
      writeCliError(Exit::Success, "Create CD/DVD bootable media successfully", Step::Burned);
    else if (spaceShort(options))
      result = mediaErrorCode(105, MediumKind::Iso);
    iso.removeTempFilesAndDirs(environmentDirs(options));
  }
  deleteFile(image);
  return result;
}

int createUSBKey(std::vector<std::string>& files, Options& options) {
  const std::string volume = volumeWithColon(options.usbKey);
  if (volume != options.usbKey) {
    std::cout << "\nWarning: The USB Key device " << options.usbKey << " cannot be used. Change it to " << volume
              << "\n";
    options.usbKey = volume;
  }
  logEntry(LogWarning, "Now create the USB key...");

  Velmake::BootableUSB usb(processLogger());
  usb.setProgress(consoleProgress());
  bool needsFormat = false;
  bool verifyFailed = false;
  int code = usb.init(options.workingDir, options.usbKey, files, options.toolZip, needsFormat);
  if (code != 0) {
    logEntry(LogError, "Velmake::BootableUSB::init() failed");
  } else {
    if (!needsFormat) {
      code = usb.CreateUSBKey(options.force);
    } else {
      logEntry(LogWarning, "USB key need format ");
      if (!options.force && answerYes) {
        // Formatting erases a device this tool did not make: only --force does that.
        std::cout << " USB key: " << usb.volumeDescription() << std::endl
                  << " The USB key needs formatting; --yes does not format it, --force does." << std::endl;
        logEntry(LogWarning, "USB key not formatted: --yes without --force");
        return Exit::UsbKeyNotInitialized;
      }
      if (!options.force) {
        const std::string answer = lowerCase(askFormatUsbKey(usb.volumeDescription()));
        if (answer.find('y') != std::string::npos) {
          logEntry(LogWarning, "User select to format the USB key ");
        } else if (answer.find('n') != std::string::npos) {
          logEntry(LogWarning, "User select NOT to format the USB key ");
          return Exit::UsbKeyNotInitialized;
        } else {
          logEntry(LogWarning, "Invalid input in temp file: " + answer);
          return Exit::UsbKeyNotInitialized;
        }
      }
      code = usb.CreateUSBKey(true);
    }
    if (code == 0 && options.verify) {
      std::string difference;
      code = verified(usb.VerifyUSBKey(difference), difference);
      verifyFailed = code != 0;
    }
    if (code == 0)
      writeCliError(Exit::Success, "Create USB key bootable media successfully", Step::Create);
    else
      logEntry(LogError, "Velmake::BootableUSB::CreateUSBKey() failed");
  }
  // A key read back and found different keeps that verdict.
  if (code != 0 && !verifyFailed) {
    const bool full = spaceShort(options);
    const double freeMB = getFreeSpaceMB(options.usbKey);
    if (full || freeMB < 512) {
      if (freeMB < 0) {
        logEntry(LogError, "Media creation error: Failed to get usb key volume name.");
        code = Velmake::kVolumeNotFound;
      } else {
        logEntry(LogError, "createUSBKey() failed, No space left in device.");
        code = Velmake::kOutOfSpace;
      }
    }
  }
  usb.removeTempFilesAndDirs(environmentDirs(options));
  return mediaErrorCode(code, MediumKind::Usb);
}

int createPXE(std::vector<std::string>& files, Options& options) {
  makeDirectory(options.pxeDir);
  logEntry(LogVerbose, "In createPXE(), g_bmOption.strPXEFileName is " + options.pxeDir +
                           ", g_bmOption.strWorkingDir is " + options.workingDir + ", g_bmOption.strISOFileName is " +
                           options.isoName + ", g_bmOption.strToolZipFileName is " + options.toolZip +
                           " PXE_TYPE_LINUX");
  int code = 0;
  {
    Velmake::BootableIMG img(processLogger());
    img.setProgress(consoleProgress());
    code = img.CreateIMG(options.workingDir, options.pxeDir, files, options.toolZip);
    if (code != 0 && spaceShort(options)) {
      logEntry(LogError, "CreatePXE() failed, No space left in device.");
      code = 105;
    }
    std::string difference;
    if (code == 0 && options.verify)
      code = verified(img.VerifyIMG(options.workingDir, options.pxeDir, files, difference), difference);
    img.removeTempFilesAndDirs(environmentDirs(options));
  }
  if (code == 0) {
    if (!options.tftpPxeAddress.empty())
      setPxeTftpAddress(joinPath(options.pxeDir, "grub.cfg"), options.tftpPxeAddress);
    writeCliError(Exit::Success, "Create PXE bootable media successfully", Step::Create);
  }
  return environmentOr(code, MediumKind::Pxe, false);
}

}  // namespace XELO
