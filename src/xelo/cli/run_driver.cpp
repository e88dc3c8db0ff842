// The run driver: one strictly ordered pass from the command line to an exit
// status. Each phase is bracketed by "- START" and "- END" log lines; every
// way out of a run logs, prints and records its code.
#include "cli/run_driver.h"

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/orchestration.h"
#include "acquisition/service.h"
#include "cli/acquisition_phase.h"
#include "cli/cancel.h"
#include "cli/config.h"
#include "cli/config_file.h"
#include "cli/options.h"
#include "cli/summary.h"
#include "core/codes.h"
#include "core/errors.h"
#include "core/options.h"
#include "core/progress_json.h"
#include "core/text.h"
#include "deploy/deploy.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "media/environment.h"
#include "media/output.h"
#include "media/staging.h"
#include "metadata/descriptors.h"
#include "selfupdate/checkupdate.h"
#include "supportlist/supportlist_actions.h"

namespace XELO {

namespace {

// A phase either lets the run go on (nullopt) or ends it with a status.
using Outcome = std::optional<int>;

const std::string M101 = "Options error: Argument invalid or missing: ";

void timeStamp(const std::string& text) { markPhase(text); }

// An argument that names the proxy password: the option in any letter case,
// with one dash or two, or shortened so far that it can stand for nothing
// else ("--proxy-pa", "--proxy-p"); the parser refuses all but the plain
// spelling, but the value typed with them is a password all the same.
bool namesProxyPassword(const std::string& lowerArgument) {
  if (lowerArgument.find("--proxy-password") != std::string::npos) return true;
  const auto start = lowerArgument.find_first_not_of('-');
  if (start == 0 || start == std::string::npos) return false;
  const std::string name = lowerArgument.substr(start, lowerArgument.find('=') - start);
  return name.size() >= 7 && std::string("proxy-password").rfind(name, 0) == 0;
}

// The command line as logged: the proxy password never reaches the log,
// whatever the spelling of the option, and also not when it is given as the
// word after the option.
std::string loggedCommandLine(int argc, char** argv) {
  std::string line = "Xelo command is: ";
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i] ? argv[i] : "";
    const std::string lower = lowerCase(arg);
    if (namesProxyPassword(lower)) {
      line += "--proxy-password=********";
      if (lower.find('=') == std::string::npos && i + 1 < argc) ++i;  // the value word
    } else {
      line += arg;
    }
    line += " ";
  }
  return line;
}

// `text` with every token that names the proxy password (as above), value
// included, replaced by the option and eight asterisks.
std::string maskedProxyPassword(std::string text) {
  const std::string marker = "proxy-pa";
  const std::string masked = "--proxy-password=********";
  std::string::size_type at = 0;
  while ((at = lowerCase(text).find(marker, at)) != std::string::npos) {
    auto start = at;
    while (start > 0 && text[start - 1] == '-') --start;
    auto end = text.find_first_of(" '\"", at);
    if (end == std::string::npos) end = text.size();
    if (start == at) {
      at = end;  // not an option
      continue;
    }
    text.replace(start, end - start, masked);
    at = start + masked.size();
  }
  return text;
}

bool proxyComplete(const Options& options) { return !options.proxyAddress.empty() && options.proxyPort != 0; }

// Resolves a path against the portable installation directory; a result
// that is only the root becomes the root of that directory's volume.
std::string resolveAgainstPortable(const std::string& execDir, const std::string& path) {
  const std::string resolved = resolvePortablePath(execDir, path);
  return resolved == std::string(1, kPathSeparator) ? volumeRoot(execDir) : resolved;
}

// ---- Environment: logger, program directory, options ------------------------

Outcome initializeEnvironment(Options& options, int argc, char** argv) {
  std::string moduleDir;
  getModuleDirectory(moduleDir);
  changeDirectory(moduleDir);
  printBanner(std::cout);
  logEntry(LogVerbose, std::string(kProductLine) + " Version " + kToolVersion);
  getEnv("XELO_GUI_ENVIRONMENT", &guiEnvironment);
  logEntry(LogVerbose, loggedCommandLine(argc, argv));
  timeStamp("Initialize environment work - START");

  bool testFsp = false;
  const std::string testFspValue = getEnv("XELO_TEST_FSP", &testFsp);
  if (testFsp) {
    selectTestServiceProvider(true);
    logEntry(LogVerbose, "XELO_TEST_FSP environment variable is defined to " + testFspValue);
  }

  writeCliError(Exit::Initializing, "Xelo initializing...", Step::None);
  initOptionKeys(options);
  std::string errorText;
  const int parsed = parseOptions(argv, errorText, options, argc);
  if (parsed == kParseExitSuccess) return Exit::Success;
  if (parsed != 0) {
    // A refused option is quoted in the error text; a password must not
    // reach the result file or the log that way.
    errorText = maskedProxyPassword(errorText);
    writeCliError(Exit::OptionsInvalid, errorText, Step::None);
    logEntry(LogVerbose, errorText);
    return Exit::OptionsInvalid;
  }
  if (options.showVersion) {
    writeCliError(Exit::Success, "Get Xelo version successfully", Step::None);
    return Exit::Success;
  }
  if (options.showHelp) {
    writeCliError(Exit::Success, "Get Xelo help information successfully", Step::None);
    std::cout << options.helpText << std::flush;
    return Exit::Success;
  }
  if (!options.progressJson.empty()) {
    if (!openProgressJson(options.progressJson))
      return failWith(Exit::OptionsInvalid, M101 + "progress-json", "main()::Options::");
    // The phase began before the destination was known.
    progressEvent("phase_start", {{"phase", "Initialize environment work"}});
  }
  timeStamp("Initialize environment work - END");
  return std::nullopt;
}

// ---- General parameters -----------------------------------------------------

Outcome validateGeneralParameters(Options& options, const std::string& portableDir) {
  timeStamp("Validate general parameter - START");

  if (!options.toolZip.empty() && options.toolZip != findBootToolsZip(options, bootToolsNeed(options))) {
    std::cout << "The bootable environment is not the supported version. It may cause failure to create media."
              << std::endl;
    if (auto outcome = continueOrFail(Exit::EnvironmentInvalid, errorMessage(Exit::EnvironmentInvalid), "main()::"))
      return outcome;
  }

  fillProxyRecord(runProxyRecord(), options);
  if (options.acquire && proxyComplete(options)) checkProxy(runProxyRecord());

  const std::string reportFile = joinPath(supportDirectory(), "reportFixIds.txt");
  if (!isDirectory(reportFile) && fileReadable(reportFile)) deleteFile(reportFile);

  if (options.given("show-supportlist") || options.given("update-supportlist") ||
      options.given("rollback-supportlist")) {
    timeStamp("Update System List - START");
    const auto [action, message] = supportListAction(options);
    clearAcquiredToolPackages();
    const int status = runSupportListAction(options, action, message);
    timeStamp("Update System List - END");
    return status;
  }

  if (!portableDir.empty() && !options.configFile.empty())
    options.configFile = resolvePortablePath(portableDir, options.configFile);

  if (!options.configFile.empty()) {
    if (isDirectory(options.configFile) || !fileReadable(options.configFile) ||
        !loadConfigFile(options, options.configFile))
      return failWith(Exit::OptionsInvalid, M101 + "configfile", "main()::Options::");

    if (options.configVersion != kConfigVersion && !options.xmlOutput) {
      std::cout << "The config file to be loaded is generated by Xelo " << options.configVersion << std::endl
                << "It may cause some functions of this tool to work improperly." << std::endl;
      continueConfirmed = false;
      if (auto outcome = continueOrFail(Exit::OptionsInvalid, M101 + "configfile", "main()::Options::")) return outcome;
    }
    if (options.acquire && proxyComplete(options)) {
      fillProxyRecord(runProxyRecord(), options);
      checkProxy(runProxyRecord());
    }

    // A path with the other platform's separator came from a file written
    // on the other platform.
    const char foreign = kPathSeparator == '/' ? '\\' : '/';
    for (const std::string* path : {&options.workingDir, &options.isoName, &options.pxeDir, &options.isoDir,
                                    &options.usbKey, &options.cdDevice}) {
      if (path->find(foreign) == std::string::npos) continue;
      std::cout << "The config file to be loaded is generated by linux" << std::endl
                << "It may cause some functions of this tool to work improperly." << std::endl;
      continueConfirmed = false;
      if (auto outcome = continueOrFail(Exit::OptionsInvalid, M101 + "configfile", "main()::Options::")) return outcome;
      break;
    }
    if (const int status = recheckMergedOptions(options); status != 0) return status;
  }
  fillProxyRecord(runProxyRecord(), options);

  if (options.hasFunction("dunvar") && !isWaikInstalled()) {
    const std::string text = "Error: No Supported English Windows Automated Installation Kit(AIK) was detected.";
    std::cout << text << std::endl;
    writeCliError(Exit::OptionsInvalid, text, Step::None);
    logEntry(LogVerbose, text);
    return Exit::OptionsInvalid;
  }

  if (const int status = checkUnattendedUrl(options); status != 0) return status;

  timeStamp("Validate general parameter - END");

  if (!portableDir.empty() && !options.workingDir.empty())
    options.workingDir = resolveAgainstPortable(portableDir, options.workingDir);
  return std::nullopt;
}

// ---- Targets: overwrite, space, the working directory's lock ----------------

// Asks (with a configuration file) or refuses to overwrite an existing target.
// True when the user chose to overwrite.
bool overwriteAllowed(Options& options, bool iso) {
  const std::string name = iso ? options.isoName : options.pxeDir;
  const std::string object = iso ? "iso file " : "pxedir ";
  if (!options.configFile.empty()) {
    const std::string question = "Do you want to overwrite the " + name + "?(y or n)";
    progressEvent("question", {{"text", question}});
    std::cout << name << " already exists" << std::endl;
    std::string word = "y";
    if (answerYes) {
      answerQuestionYes(question);
    } else {
      std::cout << question << std::flush;
      std::cin >> word;
      word = lowerCase(word);
    }
    if (word.find('y') != std::string::npos) {
      logEntry(LogWarning, "User select to overwrite the " + object);
      options.force = true;
      return true;
    }
    if (word.find('n') != std::string::npos)
      logEntry(LogWarning, "User select NOT to overwrite the " + object);
    else
      logEntry(LogError, "Invalid input in temp file: " + word);
  } else if (iso) {
    std::cout << name << " already exists in " << options.isoDir << std::endl;
  } else {
    std::cout << name << " already exists" << std::endl;
  }
  return false;
}

int refuseOverwrite() {
  const std::string text = M101 + "force";
  logEntry(LogError, "main()::Options::" + text);
  std::cout << text << std::endl;
  std::cout << "Run again with --force to overwrite it." << std::endl;
  writeCliError(Exit::OptionsInvalid, text, Step::None);
  return Exit::OptionsInvalid;
}

int noSpace() {
  std::cout << "No space left on device." << std::endl;
  writeCliError(Exit::NoSpaceLeft, "No space left on device.", Step::None);
  return Exit::NoSpaceLeft;
}

// The directory holds network boot files: this program's own output or
// another loader's.
bool holdsPxeOutput(const std::string& dir) {
  const std::string loader = joinPath(dir, "pxelinux.0");
  return (!isDirectory(loader) && fileReadable(loader)) || holdsCreatedPxeOutput(dir);
}

Outcome prepareTargets(Options& options, const std::string& portableDir) {
  if (!portableDir.empty()) {
    if (!options.isoDir.empty()) options.isoDir = resolveAgainstPortable(portableDir, options.isoDir);
    if (!options.pxeDir.empty()) options.pxeDir = resolveAgainstPortable(portableDir, options.pxeDir);
  }

  // The working directory was made when the run took its lock.

  if (!options.isoName.empty()) {
    if (options.isoDir != options.workingDir)
      logEntry(LogWarning, "main()::using a different diretory for iso file: " + options.isoDir);
    if (!isDirectory(options.isoDir)) {
      logEntry(LogWarning, "main()::need to create the diretory for iso file: " + options.isoDir);
      if (makeDirectory(options.isoDir) != 0 && lackSpace()) return noSpace();
    }
    const std::string target = joinPath(options.isoDir, options.isoName);
    if (!isDirectory(target) && fileReadable(target) && !options.force && !overwriteAllowed(options, true))
      return refuseOverwrite();
  }

  if (!options.pxeDir.empty()) {
    if (holdsPxeOutput(options.pxeDir)) {
      if (!options.force) {
        if (!overwriteAllowed(options, false)) return refuseOverwrite();
      } else {
        removeTree(options.pxeDir);
      }
    }
  }
  return std::nullopt;
}

// One run at a time per working directory: two runs staging, downloading or
// writing into the same tree corrupt each other's media. The lock is the
// kernel's, so a killed run never blocks the next.
Outcome lockWorkingDirectory(const Options& options) {
  if (options.workingDir.empty()) return std::nullopt;
  if (makeDirectory(options.workingDir) != 0 && lackSpace()) return noSpace();
  std::string holder;
  std::string error;
  if (lockDirectory(options.workingDir, holder, error)) return std::nullopt;
  if (!error.empty())
    return failWith(Exit::CreateFileFailed,
                    errorMessage(Exit::CreateFileFailed) + ": " + joinPath(options.workingDir, kWorkingDirLockName) +
                        " (" + error + ")",
                    "main()::");
  return failWith(Exit::OptionsInvalid,
                  "The working directory " + options.workingDir + " is in use by another xelo run (process " +
                      (holder.empty() ? std::string("unknown") : holder) +
                      "). Wait for that run to end, or choose another working directory with --local.",
                  "main()::Options::");
}

// ---- Deployment media -------------------------------------------------------

int buildDeploymentMedia(Options& options) {
  timeStamp("Handle Dunvar media- START");
  writeMediaConfig(options);
  XeloDN deployment(options);
  int result = 0;
  if (!options.isoName.empty()) {
    timeStamp("Create Dunvar ISO - START");
    result = deployment.createDNISO(joinPath(options.isoDir, options.isoName));
    timeStamp("Create Dunvar ISO - END");
  }
  if (options.isoName.empty() && options.cdDevice.empty()) {
    timeStamp("Dunvar Acquiring - START");
    result = deployment.acquire("");
    if (result == 0) std::cout << "Acquiring was finished successfully!" << std::endl;
    timeStamp("Dunvar Acquiring - END");
  }
  // A disc is burned only when the image asked for as well was made: a
  // failed image must not end in a run that reports success.
  if (!options.cdDevice.empty() && result == 0) {
    timeStamp("Create Dunvar CD- START");
    result = deployment.BurnDNISO();
    timeStamp("Create Dunvar CD- END");
    if (result != 0) failWith(result, errorMessage(result, options), "main()::");
  }
  timeStamp("Handle Dunvar media- END");
  return result;
}

// ---- Acquisition, or the check of local files -------------------------------

int missingTool(const std::string& suffix) {
  return failWith(Exit::EnvironmentIncomplete, errorMessage(Exit::EnvironmentIncomplete) + suffix, "main()::");
}

bool readableFile(const std::string& path) { return !isDirectory(path) && fileReadable(path); }

Outcome acquireOrCheckLocal(Options& options) {
  if (options.vlanId.empty() != options.vlanIp.empty())
    return failWith(Exit::VlanArgumentMissing, errorMessage(Exit::VlanArgumentMissing), "main()::");

  if (options.acquire) {
    bool finished = false;
    const int status = acquireFromRepository(options, finished);
    if (finished || status != 0) return status;
    return std::nullopt;
  }

  indexUpdateDescriptors(descriptorIndex(), options);
  if (options.report) {
    if (options.xmlOutput)
      writeLocalReportXml(options.machineTypes);
    else
      writeLocalReport(options.machineTypes);
  }
  if (options.toolZip.empty()) options.toolZip = findBootToolsZip(options, bootToolsNeed(options));
  if (!toolZipPresent(options))
    return failWith(Exit::EnvironmentInvalid, errorMessage(Exit::EnvironmentInvalid), "main()::");

  if (!options.hasFunction("dunvar") && !options.xmlOutput) {
    const auto [result, message] = checkLocalSystemSupportability(supportCheckTools(options), options.machineTypes);
    if (result == Exit::NoNovpiUpdates) {
      writeCliError(Exit::NoNovpiUpdates, "No NOVPI updates found in the working directory you specified", Step::None);
      return Exit::NoNovpiUpdates;
    }
    if (result != 0) {
      if (!message.empty()) std::cout << message << std::endl;
      logEntry(LogError, message);
      if (!message.empty()) writeCliError(result, message, Step::None);
      return result;
    }
  }
  if (options.hasFunction("novpi") &&
      !readableFile(joinPath(joinPath(options.workingDir, "novpi"), selectNovpiBinary(options))))
    return missingTool(" novpi.");
  if (options.hasFunction("kyt") &&
      !readableFile(joinPath(joinPath(options.workingDir, "kyt"), selectKytPackage(options))))
    return missingTool(" kyt.");
  for (std::string version : options.vmwareVersions) {
    if (version.find("NO") != std::string::npos) continue;
    if (version.find("YES") != std::string::npos) version = "3.5";
    if (!readableFile(joinPath(options.workingDir, selectEsxiPackage(options, version))))
      return missingTool(" version " + version + " vmware update.");
  }
  return std::nullopt;
}

// ---- Media: boot tree, tools, the medium ------------------------------------

// Makes `dirName` in the working directory and fills it from the copy beside
// the program.
Outcome prepareBootTree(const Options& options, const std::string& dirName) {
  const std::string target = joinPath(options.workingDir, dirName);
  const int made = makeDirectory(target);
  if (made != 0 && !isDirectory(target)) {
    const int code = lackSpace() ? Exit::NoSpaceForImage : Exit::CreateFileFailed;
    return failWith(code, errorMessage(code, options), "main()::");
  }
  if (!copyDirectory(dirName, target)) {
    const int code = lackSpace() ? Exit::NoSpaceForImage : Exit::FileNotFound;
    return failWith(code, errorMessage(code, options), "main()::");
  }
  return std::nullopt;
}

// No medium was asked for: the run only acquired or reported.
bool noMediumAsked(const Options& options) {
  return options.isoName.empty() && options.usbKey.empty() && options.cdDevice.empty() && options.pxeDir.empty();
}

// The boot environment tree of the medium, with the support lists in its
// menu folder.
Outcome prepareEnvironmentTree(const Options& options) {
  // Environment folders left by an interrupted run would be merged into this
  // run's environment.
  removeTree(joinPath(options.workingDir, "linuxboot"));
  removeTree(joinPath(options.workingDir, "linuxbootkyt"));
  if (auto outcome = prepareBootTree(options, "linuxboot")) return outcome;
  // The support lists go into the menu folder; it is made first so that the
  // copies never take the folder's name as a file.
  const std::string menu = joinPath(joinPath(options.workingDir, "linuxboot"), "menu");
  ensureDirectory(menu);
  copyFileOver(joinPath(supportListDirectory(), kSupportListName), menu);
  copyFileOver(kSupportListName, joinPath(menu, std::string("bundle_") + kSupportListName));
  return std::nullopt;
}

// The boot environment zip, and the third party tool directory named from
// the current directory (or dropped with a warning when it is missing).
void settleTools(Options& options, const std::string& portableDir) {
  if (options.toolZip.empty()) options.toolZip = findBootToolsZip(options, bootToolsNeed(options));
  if (options.extToolDir.empty()) return;
  options.extToolDir = resolvePortablePath(portableDir, options.extToolDir);
  if (!isDirectory(options.extToolDir)) {
    options.extToolDir.clear();
    setConfigValue(options, "QOR_SYSTEM_EXT_TOOL", "");
    logEntry(LogWarning, "main():: The third party tool directory doesn't exist.");
    std::cout << " Warning! The third party tool directory doesn't exist." << std::endl;
  } else {
    // The boot tree is assembled with the working directory as the
    // current directory; the tool directory is named from here.
    options.extToolDir = absolutePath(options.extToolDir);
  }
}

// Makes the one medium the run asks for from the staged files.
Outcome createMedium(Options& options, std::vector<std::string>& pushed) {
  struct Medium {
    const char* kind;
    const std::string& target;
    int (*create)(std::vector<std::string>&, Options&);
  };
  const Medium media[] = {{"ISO", options.isoName, createISOFile},
                          {"USB", options.usbKey, createUSBKey},
                          {"CD", options.cdDevice, createCD},
                          {"PXE", options.pxeDir, createPXE}};
  for (const auto& medium : media) {
    if (medium.target.empty()) continue;
    const std::string label = std::string("Create Media ") + medium.kind + ": " + medium.target;
    timeStamp(label + " - START");
    const int result = medium.create(pushed, options);
    if (result != 0) return failWith(result, errorMessage(result, options), "main()::");
    timeStamp(label + " - END");
    break;
  }
  return std::nullopt;
}

Outcome buildMedia(Options& options, const std::string& portableDir) {
  const bool serviceRun = options.service && options.acquire;
  if (serviceRun && !downloadServiceFiles(options))
    return failWith(Exit::FtpDownloadFailed, errorMessage(Exit::FtpDownloadFailed), "main()::");

  if (noMediumAsked(options)) {
    const bool localReport = options.report && !options.acquire;
    const std::string done =
        localReport ? "Reporting was finished successfully!" : "Acquiring was finished successfully!";
    std::cout << done << std::endl;
    noteResultMessage(done);
    if (localReport)
      printReportSummary(options);
    else
      printAcquisitionSummary(options);
    return Exit::Success;
  }

  // The service files' start script is kept aside while the environment
  // tree is made.
  const std::string startScript = joinPath(options.workingDir, "start.sh");
  const std::string startBackup = joinPath(options.workingDir, "start.sh.XeloServiceBak");
  if (serviceRun) moveFileOver(startScript, startBackup);

  timeStamp("Creating Bootable Media - START");
  std::cout << "Creating bootable media..." << std::endl;
  timeStamp("Prepare All Files for Media - START");
  if (auto outcome = prepareEnvironmentTree(options)) return outcome;
  if (serviceRun) moveFileOver(startBackup, startScript);
  if (options.hasFunction("kyt"))
    if (auto outcome = prepareBootTree(options, "linuxbootkyt")) return outcome;
  settleTools(options, portableDir);

  writeMediaConfig(options);
  std::vector<std::string> pushed = stageMediaFiles(options);
  for (const auto& name : pushed) logEntry(LogWarning, "main():: to push:" + name);
  timeStamp("Prepare All Files for Media - END");

  // The media-image library asks for the boot tree through the logger.
  processLogger().setBootTreeHook([&options] { return assembleBootTree(options); });
  if (auto outcome = createMedium(options, pushed)) return outcome;

  const std::string done = "The bootable media was created successfully!";
  std::cout << done << std::endl;
  noteResultMessage(done);
  printMediumSummary(options, pushed);
  logEntry(LogError, "main()::" + done);
  timeStamp("Creating Bootable Media - END");
  return Exit::Success;
}

int run(Options& options, int argc, char** argv) {
  if (!isSuperUser()) {
    logEntry(LogError, "No super-user privilege! Xelo must be run in a super-user mode.");
    std::cout << "Xelo must be run in a super-user mode." << std::endl;
    writeCliError(Exit::Unmapped, "Xelo must be run in a super-user mode.", Step::None);
    return Exit::Unmapped;
  }
  watchForCancel();
  if (auto outcome = initializeEnvironment(options, argc, argv)) return *outcome;

  const std::string portableDir = getEnv("QOR_PORTABLE_EXEC_DIR");
  if (auto outcome = validateGeneralParameters(options, portableDir)) return *outcome;
  if (auto outcome = lockWorkingDirectory(options)) return *outcome;

  if (options.checkUpdate) return runCheckUpdate(options);

  if (auto outcome = prepareTargets(options, portableDir)) return *outcome;
  setCancelCleanup(options);
  if (options.hasFunction("dunvar")) return buildDeploymentMedia(options);
  if (auto outcome = acquireOrCheckLocal(options)) return *outcome;
  return buildMedia(options, portableDir).value_or(Exit::Success);
}

}  // namespace

int runXelo(int argc, char** argv) {
  Options& options = processOptions();
  const int status = run(options, argc, argv);
  const bool medium = status == Exit::Success && !noMediumAsked(options) && !options.report;
  progressEvent("result", {{"code", std::to_string(status), true},
                           {"message", lastResultMessage()},
                           {"medium", medium ? mediumTarget(options).path : std::string()}});
  std::cout << std::flush;
  return status;
}

}  // namespace XELO
