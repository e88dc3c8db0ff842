#include "media/burner.h"

#include <iostream>

#include "core/codes.h"
#include "core/errors.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "media/output.h"
#include "velmake.h"

namespace XELO {

namespace {

constexpr int kBlankingWaitMs = 10000;

// Burning when the burner lists no address for the drive: the drive is opened
// directly, blanked and written.
int burnDirectly(const std::string& imagePath, const std::string& drive) {
  logEntry(LogError, "try with IMAPI v2");
  Velmake::DiscDrive disc(processLogger());
  if (!disc.init(drive) || !disc.hasBurnableProfile()) {
    logEntry(LogError, "volume is not valid for burning");
    disc.release();
    return Exit::DiscNotRewritable;
  }
  logEntry(LogError, "volume is valid, first blank it...");
  writeCliError(Exit::Initializing, "Blanking the CD/DVD media", Step::Create);
  std::cout << " Blanking the CD/DVD media..." << std::endl;
  sleepMilliseconds(kBlankingWaitMs);
  const int erased = disc.erase();
  logEntry(LogWarning, std::string(erased == 0 ? "IMAPI2Drive::Erase() succeeded - " : "IMAPI2Drive::Erase() failed - ") +
                           drive);

  writeCliError(Exit::Initializing, "Burning the CD/DVD media", Step::Burn);
  std::cout << " Burning the CD/DVD media..." << std::endl;
  sleepMilliseconds(kBlankingWaitMs);
  const int burned = disc.burn(imagePath);
  logEntry(LogWarning,
           std::string(burned == 0 ? "IMAPI2Drive::BurnISO() succeeded - " : "IMAPI2Drive::BurnISO() failed - ") +
               drive);
  disc.release();
  return mediaErrorCode(burned, MediumKind::Iso);
}

}  // namespace

std::string findScsiAddress(const std::string& drive) { return Velmake::driveAddressOf(drive); }

int burnCD(const std::string& imagePath, const std::string& drive) {
  if (!isOpticalVolume(drive)) {
    logEntry(LogError, "volume isn't a valid CD/DVD volume");
    return Exit::DiscNotRewritable;
  }
  const std::string address = findScsiAddress(drive);
  if (address.empty()) {
    logEntry(LogError, "Can not find the specified CDROM drive");
    logEntry(LogError, "get scsi bus info failed");
    return burnDirectly(imagePath, drive);
  }

  logEntry(LogError, "Get bus/target/lun for the specified CDROM drive letter");
  Velmake::BootableISO iso(processLogger());
  if (standardOutputIsTerminal()) {
    iso.setProgress(consoleProgress());
  } else {
    iso.setProgress([last = -1](const std::string& step, int percent) mutable {
      if (percent / 10 == last) return;
      last = percent / 10;
      std::cout << " " << step << "... " << last * 10 << "%" << std::endl;
    });
  }
  const std::string logFile = processLogger().getLogFilePath();
  int code = iso.BurnISO(imagePath, address, logFile, true);
  if (code == 0) return 0;
  logEntry(LogWarning, "BootableISO::BurnISO() failed - " + address);
  if (code == Velmake::kImageTooLarge || code == Velmake::kNoDisc) return mediaErrorCode(code, MediumKind::Iso);

  code = iso.BurnISO(imagePath, address, logFile, false);
  if (code == 0) return 0;
  if (lackSpace()) code = Velmake::kOutOfSpace;
  if (code == Velmake::kImageTooLarge) return mediaErrorCode(code, MediumKind::Iso);
  logEntry(LogError, "BootableISO::BurnISO() failed - ");
  return mediaErrorCode(code, MediumKind::Iso);
}

// Here discs are burned through the media library's burner, so a host can
// burn when that burner is present and reports its version.
bool imapi2Status(std::string& message) {
  const std::string version = Velmake::burnLibraryVersion();
  if (!version.empty()) {
    message = "Discs are burned through libburn " + version;
    return true;
  }
  message = "OS NOT Supported";
  return false;
}

bool cdBurnerStatus(const std::string& volume, std::string& message) {
  if (!volumeOpens(volume)) {
    message = "Media creation error: There is no disk or wrong disk in drive";
    return false;
  }
  return imapi2Status(message);
}

}  // namespace XELO
