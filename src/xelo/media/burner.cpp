#include "media/burner.h"

#include <iostream>

#include "core/errors.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "media/output.h"
#include "velmake.h"

namespace XELO {

namespace {

constexpr int kNotBurnableVolume = 235;
constexpr int kBlankingWaitMs = 10000;

// Burning when the burner lists no address for the drive: the drive is opened
// directly, blanked and written.
int burnDirectly(const std::string& imagePath, const std::string& drive) {
  logEntry(LogError, "try with IMAPI v2");
  Velmake::DiscDrive disc(processLogger());
  if (!disc.init(drive) || !disc.hasBurnableProfile()) {
    logEntry(LogError, "volume is not valid for burning");
    disc.release();
    return kNotBurnableVolume;
  }
  logEntry(LogError, "volume is valid, first blank it...");
  writeCliError(20, "Blanking the CD/DVD media", 6);
  std::cout << " Blanking the CD/DVD media..." << std::endl;
  sleepMilliseconds(kBlankingWaitMs);
  const int erased = disc.erase();
  logEntry(LogWarning, std::string(erased == 0 ? "IMAPI2Drive::Erase() succeeded - " : "IMAPI2Drive::Erase() failed - ") +
                           drive);

  writeCliError(20, "Burning the CD/DVD media", 7);
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
    return kNotBurnableVolume;
  }
  const std::string address = findScsiAddress(drive);
  if (address.empty()) {
    logEntry(LogError, "Can not find the specified CDROM drive");
    logEntry(LogError, "get scsi bus info failed");
    return burnDirectly(imagePath, drive);
  }

  logEntry(LogError, "Get bus/target/lun for the specified CDROM drive letter");
  Velmake::BootableISO iso(processLogger());
  iso.setProgress([last = -1](const std::string& step, int percent) mutable {
    if (percent / 10 == last) return;
    last = percent / 10;
    std::cout << " " << step << "... " << last * 10 << "%" << std::endl;
  });
  const std::string logFile = processLogger().getLogFilePath();
  int code = iso.BurnISO(imagePath, address, logFile, true);
  if (code == 0) return 0;
  logEntry(LogWarning, "BootableISO::BurnISO() failed - " + address);
  if (code == 113 || code == 116) return mediaErrorCode(code, MediumKind::Iso);

  code = iso.BurnISO(imagePath, address, logFile, false);
  if (code == 0) return 0;
  if (lackSpace()) code = 105;
  if (code == 113) return mediaErrorCode(code, MediumKind::Iso);
  logEntry(LogError, "BootableISO::BurnISO() failed - ");
  return mediaErrorCode(code, MediumKind::Iso);
}

bool imapi2Status(std::string& message) {
  const int kind = getWindowsKind();
  if (kind == 109 || kind == 110) {
    message = "IMAPIv2 is pre-included in the current OS";
    return true;
  }
  if (kind == 103 || kind == 105) {
    const std::string system32 = joinPath(joinPath(systemDrive(), "windows"), "system32");
    if (isRegularFile(joinPath(system32, "imapi2.dll")) && isRegularFile(joinPath(system32, "imapi2fs.dll")))
      return true;
    message =
        "To enable burning on the current operating system, IMAPI v2 is required, please refer to: "
        "the operating system vendor's knowledge-base article on the Image Mastering API v2.0 update";
    return false;
  }
  if (kind == 0) {
    // Not Windows: discs are burned through libburn.
    const std::string version = Velmake::burnLibraryVersion();
    if (!version.empty()) {
      message = "Discs are burned through libburn " + version;
      return true;
    }
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
