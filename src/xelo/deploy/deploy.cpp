#include "deploy/deploy.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "acquisition/orchestration.h"
#include "acquisition/service.h"
#include "core/codes.h"
#include "core/errors.h"
#include "core/text.h"
#include "host/paths.h"
#include "host/unzip.h"
#include "log/logger.h"
#include "media/burner.h"
#include "metadata/descriptors.h"

namespace XELO {

using QYXAcquistion::HTTPProxyInfo;

namespace {

// Windows PE scenario outputs the creator leaves in the toolkit, and the
// log each one holds.
struct ScenarioLog {
  const char* directory;
  const char* log;
};
constexpr ScenarioLog kScenarioLogs[] = {
    {"Local_DunvarX86Scenario", "WinPE_x86.log"},
    {"Local_DunvarX64Scenario", "WinPE_x64.log"},
    {"Local_DunvarX64WIMScenario", "WinPE_x64.log"},
    {"Local_DunvarCombinedScenario", "WinPE_x86.log"},
};

const std::string kCreatedText = "The bootable media was created successfully!";

std::string twoDigits(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }

}  // namespace

XeloDN::XeloDN(Options& options) : options(options), workDir(absolutePath(options.workingDir)) {}

// ---- names -------------------------------------------------------------------

std::string XeloDN::toolkitDirectory() const { return joinPath(workDir, "wtoolkit"); }

std::string XeloDN::kitDirectory() const {
  std::string dir = toolkitDirectory();
  for (const char* part : {"dndeploy", "DNTKWinPE", "Data", "Dunvar"}) dir = joinPath(dir, part);
  return dir;
}

std::string XeloDN::updateDirectory() const {
  return joinPath(joinPath(joinPath(toolkitDirectory(), "dndeploy"), "updates"), "novp");
}

std::string XeloDN::kitPackageDirectory() const { return joinPath(workDir, "dunvar"); }

std::string XeloDN::novpiDirectory() const { return joinPath(workDir, "novpi"); }

std::string XeloDN::dnLogPath() { return joinPath(supportDirectory(), kCreatorLogName); }

int XeloDN::mapCreatorExitCode(int status) {
  switch (status) {
    case 0: return Exit::Success;
    case 1:
    case 255: return Exit::DeploymentInitFailed;
    case 2: return Exit::DeploymentKitMissing;
    case 3: return Exit::NoSpaceForDeploymentWork;
    case 4: return Exit::NoSpaceForDeploymentIso;
    default:
      // Any other status, a status above 255 and a creator ended by a signal.
      return Exit::Unmapped;
  }
}

std::string XeloDN::architectureCode(const std::vector<std::string>& deployArch) {
  if (!contains(deployArch, "x86")) return "3";
  return contains(deployArch, "x64") ? "1" : "2";
}

std::string XeloDN::temporaryIsoName(const LocalTime& date) {
  return "tmpDN" + std::to_string(date.year) + std::to_string(date.month) + std::to_string(date.day) + ".iso";
}

// ---- reporting ---------------------------------------------------------------

void XeloDN::reportStatus(const std::string& text, Step::Serial newStep) {
  step = newStep;
  writeCliError(Exit::Initializing, text, step);
}

void XeloDN::reportFailure(int code, const std::string& message, const std::string& logPrefix) {
  logEntry(LogError, logPrefix + message);
  std::cout << message << std::endl;
  writeCliError(code, message, step);
}

// ---- finding the packages ------------------------------------------------------

std::string XeloDN::findDeploymentKitZip() {
  std::vector<std::string> names;
  listDirectory(kitPackageDirectory(), names);
  std::string best;
  int bestNumber = 0;
  for (const auto& name : names) {
    if (!name.starts_with(kKitZipPrefix) || name.find(kKitZipSuffix) == std::string::npos) continue;
    const std::string version = name.substr(std::string(kKitZipPrefix).size(), 4);
    logEntry(LogStatus, "Find a DNXelo file: " + name + " , version number is: " + version);
    // Only the major version counts; among equals the first listed stays.
    const int number = std::atoi(version.c_str());
    if (best.empty() || number > bestNumber) {
      best = name;
      bestNumber = number;
    }
  }
  logEntry(LogError, "DNXelo selected: " + best);
  return best;
}

int XeloDN::isValidDNXelo(std::string& message) {
  deploymentKitZip = findDeploymentKitZip();
  int result = 0;
  if (deploymentKitZip.empty()) {
    message = errorMessage(Exit::EnvironmentIncomplete) + " DNXelo zip file";
    result = Exit::EnvironmentIncomplete;
  } else if (!deploymentKitZip.ends_with(".zip")) {
    message = errorMessage(Exit::ZipExtensionMissing, options) + deploymentKitZip;
    result = Exit::ZipExtensionMissing;
  }
  if (result != 0) logEntry(LogError, "isValidDNXelo()::" + message);
  return result;
}

std::vector<std::string> XeloDN::findNovpiWindowsFiles() {
  const std::string dir = novpiDirectory();
  std::vector<std::string> names;
  listDirectory(dir, names);
  std::string installer;
  int bestNumber = 0;
  for (const auto& name : names) {
    if (!name.starts_with("novpi") || !name.ends_with(".exe")) continue;
    const std::string version = name.substr(5, 3);
    logEntry(LogStatus, "Find a NOVPI binary file: " + name + " ,version number is: " + version);
    const int number = std::atoi(version.c_str());
    if (installer.empty() || number > bestNumber) {
      installer = name;
      bestNumber = number;
    }
  }
  std::vector<std::string> files;
  if (installer.empty()) return files;
  files.push_back(installer);
  for (const auto& name : names) {
    if (!name.ends_with(".xml")) continue;
    const std::string descriptor = joinPath(dir, name);
    if (readDescriptorProperty(descriptor, "payload") != installer) continue;
    for (const char* property : {"readme", "revisionHistoryFile"}) {
      const std::string value = readDescriptorProperty(descriptor, property);
      if (!value.empty()) files.push_back(value);
    }
    files.push_back(name);
  }
  return files;
}

// ---- acquisition -----------------------------------------------------------------

int XeloDN::downloadUpdates(const HTTPProxyInfo& proxy, XeloAcquireCallback4XML& xmlCallback,
                            std::set<std::string>& xmlFilesOut) {
  restoreProductionServiceProvider();

  DownloadManager manager;
  manager.setDownloadPath(options.workingDir);
  manager.setMachineTypes(options.machineTypes);
  manager.setSubmitterName(kSubmitterName);
  manager.setSubmitterVersion(kSubmitterVersion);
  if (!options.proxyAddress.empty() && options.proxyPort != 0) manager.setProxy(proxy);
  if (options.latest) manager.setIsLatest(true);
  // The deployment image installs Windows: its updates are those of the
  // Windows platforms.
  manager.setOperatingSystems({{102, QYXAcquistion::ARCH_X86}});
  if (options.noFirmware)
    manager.setExcludeFirmwareOnly(true);
  else
    manager.setIncludeFirmwareAndDriver(true);

  int result;
  if (options.xmlOutput) {
    xmlCallback.reset();
    result = manager.startDownload(xmlCallback);
  } else {
    XeloAcquireCallback callback(options);
    result = manager.startDownload(callback);
  }
  int code = acquisitionCode(result);
  if (code != Exit::Success && code != Exit::NoApplicableUpdate) {
    reportFailure(code, errorMessage(code, options), "XeloDN::downloadUpdates()");
    waitForFrontEnd(options.xmlOutput);
    return code;
  }

  const std::set<std::string> xmlFiles = manager.getXMLFiles();
  result = options.xmlOutput ? acquireRequisitesXml(xmlCallback, options, xmlFiles, manager)
                             : acquireRequisites(options, xmlFiles, manager);
  xmlFilesOut.insert(xmlFiles.begin(), xmlFiles.end());
  if (options.xmlOutput) xmlCallback.setDisplayName("");
  code = acquisitionCode(result);
  if (code != Exit::Success && code != Exit::NoApplicableUpdate) {
    reportFailure(code, errorMessage(code, options), "XeloDN->downloadUpdates->acquireRequisites,");
    return code;
  }
  waitForFrontEnd(options.xmlOutput);
  return code;
}

int XeloDN::acquire(const std::string& /*isoPath*/) {
  step = Step::Acquire;
  HTTPProxyInfo proxy;
  fillProxyRecord(proxy, options);
  XeloAcquireCallback4XML& xmlCallback = runXmlCallback(options);

  // Acquisition reports its own failures; here they are logged under this
  // job's name and recorded once more for the front end.
  auto failed = [&](int code, const std::string& logPrefix) {
    logEntry(LogError, logPrefix + errorMessage(code, options));
    writeCliError(code, errorMessage(code, options), step);
    xmlCallback.setDisplayName("");
    return code;
  };

  const bool novpi = options.hasFunction("novpi");
  if (novpi) {
    if (!options.machineTypes.empty() && !(options.xmlOutput && options.machineTypes.front() == "all")) {
      std::set<std::string> xmlFiles;
      const int code = downloadUpdates(proxy, xmlCallback, xmlFiles);
      if (code != Exit::Success && code != Exit::NoApplicableUpdate) return failed(code, "XeloDN::acquire()");
    }
    const int code = acquirePackage(kNovpiWindowsPackage, proxy, options, {.useTestService = true});
    if (code != 0) return failed(code, "XeloDN::acquire()");
  }
  const int code = acquirePackage(kDunvarPackage, proxy, options, {.useTestService = true});
  if (code != 0) return failed(code, "XeloDN::createDNISO()");
  return 0;
}

// ---- building the image ------------------------------------------------------------

int XeloDN::createDNISO(const std::string& isoPath) { return createDNISO(isoPath, false); }

int XeloDN::createDNISO(const std::string& isoPath, bool forBurning) {
  // The job changes directories; a relative target is taken from where the
  // run stands now.
  const std::string target = absolutePath(isoPath);

  step = Step::Acquire;
  std::string message;
  int code;
  if (options.acquire) {
    code = acquire(target);
    message = errorMessage(code, options);
  } else {
    code = isValidDNXelo(message);
    if (code != 0) std::cout << message << std::endl;
  }
  if (code != 0) {
    logEntry(LogError, "XeloDN::createDNISO(), " + message);
    writeCliError(code, message, step);
    return code;
  }

  std::cout << "Creating bootable media..." << std::endl;
  code = stageDeploymentKit();
  if (code != 0) {
    reportFailure(code, errorMessage(code, options), "XeloDN::createDNISO()");
    return code;
  }

  code = CreateDN(target);
  // A temporary image for the burner stays, with its toolkit, until the
  // burn is done.
  if (code != 0 || !forBurning) removeTempFiles();
  if (code != 0) {
    reportFailure(code, errorMessage(code, options), "XeloDN::createDNISO()");
    return code;
  }
  if (forBurning) {
    std::cout << "Create temporary iso file successfully." << std::endl;
    logEntry(LogStatus, "Create temporary iso file successfully.");
    return 0;
  }
  std::cout << kCreatedText << std::endl;
  logEntry(LogStatus, kCreatedText);
  writeCliError(Exit::Success, "Create iso file successfully", Step::Create);
  return 0;
}

int XeloDN::copyDeploymentTools() {
  logEntry(LogStatus, "XeloDN::CreateDNISO() starts");
  reportStatus("Copying tools for Dunvar creation", Step::Tools);
  std::cout << " Copying tools for Dunvar creation..." << std::endl;
  logEntry(LogStatus, " Copying tools for Dunvar creation...");
  waitForFrontEnd(options.xmlOutput);

  std::string programDir;
  getModuleDirectory(programDir);
  for (const auto& tool : deploymentHelperPrograms()) {
    if (copyFileOver(joinPath(programDir, tool), joinPath(workDir, tool)) != 0) {
      logEntry(LogError, "Copying tool " + tool + " fails.");
      return Exit::FileNotFound;
    }
  }
  return 0;
}

void XeloDN::pushFile(const std::string& sourceDir, const std::string& name) {
  const std::string source = joinPath(sourceDir, name);
  if (name.ends_with(".xml") && !descriptorComplete(source)) {
    logEntry(LogStatus, "Do not copy the damaged xml file:" + name);
    return;
  }
  if (copyFileOver(source, joinPath(updateDirectory(), name)) != 0)
    logEntry(LogError, "Copying file " + name + " fails.");
}

int XeloDN::stageDeploymentKit() {
  DescriptorIndex index;
  indexUpdateDescriptors(index, options);

  if (makeDirectory(toolkitDirectory()) != 0 && lackSpace()) {
    logEntry(LogError, "No space left on device.");
    return Exit::CreateFileFailed;
  }
  if (const int code = copyDeploymentTools(); code != 0) return code;

  if (!changeDirectory(workDir)) {
    std::cout << "Change to working directory fails." << std::endl;
    logEntry(LogError, "Changing working directory fails.");
    return Exit::FileNotFound;
  }
  logEntry(LogStatus, "After changing, current working directory is " + workDir + ".");

  if (deploymentKitZip.empty()) deploymentKitZip = findDeploymentKitZip();

  reportStatus("Extracting files to working directory", Step::Extract);
  std::cout << " Extracting files to working directory..." << std::endl;
  waitForFrontEnd(options.xmlOutput);
  // Failures of the unpacking are also written to "stdout.txt", where the
  // out-of-space check looks for them.
  const int unzipped =
      unzipArchive(joinPath(kitPackageDirectory(), deploymentKitZip), toolkitDirectory(), "stdout.txt");
  if (unzipped != kUnzipOk) {
    std::cout << "Extracting DNXelo zip file fails." << std::endl;
    logEntry(LogError, "Extracting DNXelo zip file fails.");
    options.zipInError = deploymentKitZip;
    return Exit::UnzipFailed;
  }
  // The creator is run as a program of its own; the kit may come from a zip
  // written on a system that keeps no execute permission.
  const std::string creator = joinPath(kitDirectory(), kCreatorProgram);
  if (!makeExecutable(creator)) {
    logEntry(LogError, "Changing the mode of " + creator + " fails.");
    return Exit::ModeChangeFailed;
  }

  reportStatus("Copying files to working directory", Step::Copy);
  std::cout << " Copying files to working directory..." << std::endl;
  logEntry(LogStatus, "Start to copy updates and novpi.");
  waitForFrontEnd(options.xmlOutput);

  if (options.hasFunction("novpi")) {
    // The kit need not carry the update directory itself.
    ensureDirectory(updateDirectory());
    for (const auto& machineType : options.machineTypes) {
      for (const auto& name : filesForMachineType(index, machineType)) {
        logEntry(LogStatus, "to push:" + name);
        pushFile(workDir, name);
      }
    }
    for (const auto& name : findNovpiWindowsFiles()) {
      logEntry(LogStatus, "to push:" + name);
      pushFile(novpiDirectory(), name);
    }
  }

  reportStatus("Removing temporary files", Step::Remove);
  std::cout << " Removing temporary files..." << std::endl;
  logEntry(LogStatus, "Start to remove temporary files");
  waitForFrontEnd(options.xmlOutput);
  return 0;
}

void XeloDN::startDnLog() {
  const LocalTime now = localTimeNow();
  std::string header = "\n";
  header += std::string(114, '#') + "\n";
  header += "Start a new Xelo Dunvar Creation\n";
  header += twoDigits(now.month) + "/" + twoDigits(now.day) + "/" + std::to_string(now.year) + "\n";
  header += twoDigits(now.hour) + ":" + twoDigits(now.minute) + "\n";
  appendToFile(dnLogPath(), header);
}

int XeloDN::CreateDN(const std::string& isoPath) {
  if (!isoPath.ends_with(".iso")) {
    logEntry(LogError, "ISO file does not end with iso extension. In XeloDN::CreateDN()");
    return Exit::IsoExtensionMissing;
  }
  if ((options.force || !options.cdDevice.empty()) && isRegularFile(isoPath)) deleteFile(isoPath);

  const std::string kitDir = kitDirectory();
  if (!changeDirectory(kitDir)) {
    logEntry(LogError, "Changing to directory " + kitDir + " fails.");
    return Exit::FileNotFound;
  }
  startDnLog();

  reportStatus("Creating Dunvar ISO", Step::Create);
  std::cout << " Creating Dunvar ISO ..." << std::endl;
  logEntry(LogStatus, "Start to create Dunvar iso.");

  const std::vector<std::string> command{joinPath(kitDir, kCreatorProgram), "--iso=" + isoPath,
                                         "--arch=" + architectureCode(options.deployArch)};
  const int status = runToFile(dnLogPath(), command);
  logEntry(LogStatus, std::string(kCreatorProgram) + " ended with status " + std::to_string(status));
  const int code = mapCreatorExitCode(status);
  // A creator that claims success without leaving the image has not made
  // the media.
  if (code == 0 && !isRegularFile(isoPath)) {
    logEntry(LogError, std::string(kCreatorProgram) + " wrote no image at " + isoPath + ". In XeloDN::CreateDN()");
    return Exit::FileNotFound;
  }
  return code;
}

// ---- burning ---------------------------------------------------------------------

int XeloDN::BurnDNISO() {
  tempIsoName = temporaryIsoName(localTimeNow());
  const std::string isoPath = joinPath(workDir, tempIsoName);
  int code = createDNISO(isoPath, true);
  if (code != 0) return code;

  if (!changeDirectory(workDir)) {
    const std::string text = "Changing to directory " + workDir + " fails.";
    std::cout << text << std::endl;
    logEntry(LogError, text + "In XeloODN::BurnDNISO()");
    return Exit::FileNotFound;
  }
  if (isDirectory(isoPath) || !fileReadable(isoPath)) {
    logEntry(LogError, "ISO file does not exist. In BootableISO::BurnISO()");
    return Exit::BurnFailed;
  }

  logEntry(LogStatus, "XeloDN::BurnDNISO() starts");
  reportStatus("Burning the CD/DVD media", Step::Burn);
  std::cout << " Burning the CD/DVD media..." << std::endl;
  logEntry(LogStatus, "Burning the CD/DVD media.");
  waitForFrontEnd(options.xmlOutput);
  code = burnCD(isoPath, options.cdDevice);
  if (code == Exit::DiscNotRewritable) {
    logEntry(LogError, "Volume isn't a valid CD/DVD volume");
    return code;
  }
  if (code == Exit::NoSpaceForIso) {
    // The image stays for a larger disc.
    logEntry(LogError, "Failed to allocate the required memory of CD.");
    return code;
  }
  if (code != 0)
    logEntry(LogError, "Burning " + isoPath + " to " + options.cdDevice + " failed. In XeloDN::BurnDNISO()");

  removeTempFiles();
  if (code != 0) {
    reportFailure(code, errorMessage(code, options), "XeloDN::BurnDNISO()::");
    return code;
  }
  std::cout << kCreatedText << std::endl;
  logEntry(LogStatus, kCreatedText);
  writeCliError(Exit::Success, "Create CD/DVD bootable media successfully", Step::Burned);
  return 0;
}

// ---- cleaning up -------------------------------------------------------------------

void XeloDN::removeTempFiles() {
  const std::string scenarios = joinPath(joinPath(toolkitDirectory(), "dndeploy"), "WinPE_ScenarioOutput");
  for (const auto& scenario : kScenarioLogs) {
    const std::string log = joinPath(joinPath(scenarios, scenario.directory), scenario.log);
    if (isRegularFile(log)) copyFileOver(log, joinPath(supportDirectory(), scenario.log));
  }

  if (!changeDirectory(workDir)) {
    std::cout << "Change to working directory fails." << std::endl;
    logEntry(LogError, "Changing to working directory fails in removeTempFiles() .");
  }
  removeDirectory(toolkitDirectory());
  for (const auto& tool : deploymentHelperPrograms()) deleteFile(joinPath(workDir, tool));
  if (!options.cdDevice.empty() && !tempIsoName.empty()) deleteFile(joinPath(workDir, tempIsoName));
  deleteFile(joinPath(workDir, "stdout.txt"));
}

}  // namespace XELO
