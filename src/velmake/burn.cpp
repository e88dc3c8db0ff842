// Disc burning through libburn. A regular file given as the drive is written
// as libburn's "stdio" pseudo-drive, which behaves like a blank rewritable
// disc of the file system's free size.
#include <stdint.h>
#include <sys/types.h>

#include <libburn/libburn.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "internal.h"
#include "platform.h"
#include "velmake.h"

namespace fs = std::filesystem;

namespace Velmake {

using namespace detail;
using namespace burn;  // libburn declares its C++ view in this namespace

namespace {

using LogFn = std::function<void(int, const std::string&)>;
using ProgressFn2 = std::function<void(const std::string&, int)>;

// Profiles of writable media that the burner accepts: CD-R, CD-RW, DVD-R
// (sequential), DVD-RW restricted overwrite.
constexpr int kBurnableProfiles[] = {0x09, 0x0A, 0x11, 0x13};

bool burnLibraryReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    ready = burn_initialize() == 1;
    if (ready) burn_msgs_set_severities(const_cast<char*>("ALL"), const_cast<char*>("NEVER"), const_cast<char*>("velmake"));
  });
  return ready;
}

// The burner's queued messages of severity WARNING and above.
std::string burnMessages() {
  std::string text;
  char message[BURN_MSGS_MESSAGE_LEN];
  char severity[80];
  int code = 0;
  int osErrno = 0;
  while (burn_msgs_obtain(const_cast<char*>("WARNING"), &code, message, &osErrno, severity) > 0)
    text += std::string(severity) + ": " + message + "\n";
  return text;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits until the drive has finished its current job.
void waitIdle(struct burn_drive* drive, const ProgressFn2& progress, const std::string& step) {
  struct burn_progress p {};
  while (burn_drive_get_status(drive, nullptr) == BURN_DRIVE_SPAWNING) sleepMs(50);
  int last = -1;
  while (burn_drive_get_status(drive, &p) != BURN_DRIVE_IDLE) {
    if (progress && p.sectors > 0) {
      const int percent = static_cast<int>(static_cast<int64_t>(p.sector) * 100 / p.sectors);
      if (percent != last) progress(step, last = percent);
    }
    sleepMs(200);
  }
}

// A grabbed drive, released with the object.
struct Grab {
  struct burn_drive_info* infos = nullptr;
  struct burn_drive* drive = nullptr;
  bool grab(const std::string& address) {
    if (!burnLibraryReady()) return false;
    if (burn_drive_scan_and_grab(&infos, const_cast<char*>(address.c_str()), 1) != 1 || !infos) return false;
    drive = infos[0].drive;
    return true;
  }
  void release(bool eject) {
    if (drive) burn_drive_release(drive, eject ? 1 : 0);
    if (infos) burn_drive_info_free(infos);
    drive = nullptr;
    infos = nullptr;
  }
  ~Grab() { release(false); }
};

bool isStdioDrive(struct burn_drive* drive) { return burn_drive_get_drive_role(drive) != 1; }

// 0 when the medium can take a new session: a blank disc, or a written
// rewritable one that is erased first (only with `mayErase`).
int readyMedium(struct burn_drive* drive, bool mayErase, const LogFn& log) {
  enum burn_disc_status status;
  while ((status = burn_disc_get_status(drive)) == BURN_DISC_UNREADY) sleepMs(100);
  if (status == BURN_DISC_BLANK) return kMediaOk;
  if (status == BURN_DISC_EMPTY) {
    log(kLogError, "BurnISO: there is no disc in the drive");
    return kNoDisc;
  }
  if ((status == BURN_DISC_FULL || status == BURN_DISC_APPENDABLE) && burn_disc_erasable(drive)) {
    if (!mayErase) return kMediaOk;
    log(kLogWarning, "BurnISO: blanking the written disc");
    burn_disc_erase(drive, 1);
    waitIdle(drive, nullptr, "");
    if (burn_drive_wrote_well(drive) && burn_disc_get_status(drive) == BURN_DISC_BLANK) return kMediaOk;
    log(kLogError, "BurnISO: blanking failed\n" + burnMessages());
    return kBurnFailed;
  }
  log(kLogError, "BurnISO: the disc in the drive cannot be written\n" + burnMessages());
  return kNoDisc;
}

// Writes the image as one data track; 0 or a media code.
int burnTrack(struct burn_drive* drive, const std::string& isoPath, bool fullSpeed, const LogFn& log,
               const ProgressFn2& progress) {
  std::error_code ec;
  const uint64_t size = fs::file_size(isoPath, ec);
  struct burn_write_opts* opts = burn_write_opts_new(drive);
  if (!opts) return kBurnFailed;
  burn_write_opts_set_perform_opc(opts, 0);
  burn_write_opts_set_underrun_proof(opts, 1);

  const off_t available = burn_disc_available_space(drive, opts);
  if (available > 0 && static_cast<uint64_t>(available) < size) {
    log(kLogError, "BurnISO: Size of iso image is larger than the capacity of CD.");
    burn_write_opts_free(opts);
    return kImageTooLarge;
  }

  struct burn_disc* disc = burn_disc_create();
  struct burn_session* session = burn_session_create();
  struct burn_track* track = burn_track_create();
  burn_disc_add_session(disc, session, BURN_POS_END);
  burn_track_define_data(track, 0, 0, 1, BURN_MODE1);
  burn::burn_source* source = burn_file_source_new(isoPath.c_str(), nullptr);
  int code = kMediaOk;
  if (!source || burn_track_set_source(track, source) != BURN_SOURCE_OK) {
    log(kLogError, "BurnISO: the image " + isoPath + " cannot be read");
    code = kImageUnusable;
  }
  if (source) burn_source_free(source);
  if (code == kMediaOk) {
    burn_session_add_track(session, track, BURN_POS_END);
    char reasons[BURN_REASONS_LEN] = {0};
    if (burn_write_opts_auto_write_type(opts, disc, reasons, 0) == BURN_WRITE_NONE) {
      log(kLogError, std::string("BurnISO: no write mode fits the disc: ") + reasons);
      code = kNoDisc;
    }
  }
  if (code == kMediaOk) {
    burn_drive_set_speed(drive, 0, fullSpeed ? 0 : -1);
    log(kLogWarning, "BurnISO: Start burning");
    burn_disc_write(opts, disc);
    waitIdle(drive, progress, "Burning the disc");
    if (!burn_drive_wrote_well(drive)) {
      log(kLogError, "BurnISO: Write failed\n" + burnMessages());
      code = kBurnFailed;
    } else {
      log(kLogWarning, "BurnISO: Write succeeded");
    }
  }
  burn_write_opts_free(opts);
  burn_track_free(track);
  burn_session_free(session);
  burn_disc_free(disc);
  return code;
}

int checkImage(const std::string& isoPath) {
  std::error_code ec;
  if (fs::is_directory(isoPath, ec) || !endsWithNoCase(isoPath, ".iso")) return kImageUnusable;
  std::ifstream in(isoPath, std::ios::binary);
  return in ? kMediaOk : kImageUnusable;
}

}  // namespace

std::string burnLibraryVersion() {
  if (!burnLibraryReady()) return "";
  int major = 0, minor = 0, micro = 0;
  burn_version(&major, &minor, &micro);
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(micro);
}

std::string driveAddressOf(const std::string& devicePath) {
  const platform::VolumeInfo info = platform::volumeInfo(devicePath);
  if (info.regularFile) return "stdio:" + platform::absolutePath(devicePath);
  if (!info.blockDevice || !platform::isOpticalDevice(devicePath) || !burnLibraryReady()) return "";
  char address[BURN_DRIVE_ADR_LEN] = {0};
  if (burn_drive_convert_fs_adr(const_cast<char*>(devicePath.c_str()), address) != 1) return "";
  return address;
}

int BootableISO::BurnISO(const std::string& isoPath, const std::string& driveAddress, std::string logFilePath,
                         bool fullSpeed) {
  std::string burnerLog;
  const LogFn logFn = [&](int level, const std::string& message) {
    log(level, message);
    burnerLog += message + "\n";
  };
  logFn(kLogVerbose, "BootableISO::BurnISO(" + isoPath + ", " + driveAddress + (fullSpeed ? ", full speed)" : ", lowest speed)"));
  int code = checkImage(isoPath);
  if (code != kMediaOk) {
    logFn(kLogError, "BurnISO: the image " + isoPath + " is unusable");
  } else {
    std::string address = driveAddress;
    if (address.rfind("stdio:", 0) != 0 && platform::volumeInfo(address).regularFile)
      address = "stdio:" + platform::absolutePath(address);
    Grab grab;
    if (!grab.grab(address)) {
      logFn(kLogError, "BurnISO: the drive " + address + " cannot be opened\n" + burnMessages());
      code = kBurnFailed;
    } else {
      code = readyMedium(grab.drive, true, logFn);
      if (code == kMediaOk)
        code = burnTrack(grab.drive, isoPath, fullSpeed, logFn,
                          [this](const std::string& step, int percent) { progress(step, percent); });
      grab.release(code == kMediaOk && !isStdioDrive(grab.drive));
    }
  }
  if (!logFilePath.empty()) {
    std::ofstream out(logFilePath, std::ios::app);
    out << burnerLog;
  }
  return code;
}

// ---- a drive opened by its device path ---------------------------------------

struct DiscDrive::State {
  Grab grab;
};

DiscDrive::DiscDrive(XELO::BMLoggerIfc& l) : logger(l), state(new State) {}

DiscDrive::~DiscDrive() { delete state; }

bool DiscDrive::init(const std::string& devicePath) {
  logger.OutputLogEntry(kLogError, "Initting the disc drive " + devicePath);
  if (!state->grab.grab(devicePath)) {
    logger.OutputLogEntry(kLogError, "The disc drive " + devicePath + " cannot be opened\n" + burnMessages());
    return false;
  }
  logger.OutputLogEntry(kLogError, "Initting the disc drive succeeded");
  return true;
}

bool DiscDrive::hasBurnableProfile() {
  if (!state->grab.drive) return false;
  int count = 0;
  int profiles[64] = {0};
  char current[64] = {0};
  if (burn_drive_get_all_profiles(state->grab.drive, &count, profiles, current) != 1) {
    logger.OutputLogEntry(kLogError, "get_SupportedProfiles failed");
    return false;
  }
  std::string list = "profiles:";
  bool burnable = false;
  for (int i = 0; i < count; ++i) {
    list += " " + std::to_string(profiles[i]);
    for (int accepted : kBurnableProfiles) burnable = burnable || profiles[i] == accepted;
  }
  logger.OutputLogEntry(kLogError, list);
  return burnable;
}

int DiscDrive::erase() {
  if (!state->grab.drive) return kBurnFailed;
  logger.OutputLogEntry(kLogError, "Start erasing");
  const LogFn logFn = [this](int level, const std::string& m) { logger.OutputLogEntry(level, m); };
  const int code = readyMedium(state->grab.drive, true, logFn);
  return code == kMediaOk ? kMediaOk : kBurnFailed;
}

int DiscDrive::burn(const std::string& isoPath) {
  if (!state->grab.drive) return kBurnFailed;
  if (checkImage(isoPath) != kMediaOk) return kImageUnusable;
  const LogFn logFn = [this](int level, const std::string& m) { logger.OutputLogEntry(level, m); };
  int code = readyMedium(state->grab.drive, false, logFn);
  if (code == kMediaOk) code = burnTrack(state->grab.drive, isoPath, true, logFn, nullptr);
  if (code == kMediaOk) logger.OutputLogEntry(kLogError, "Eject media after a successful burning");
  return code;
}

void DiscDrive::release() { state->grab.release(false); }

}  // namespace Velmake
