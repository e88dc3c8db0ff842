#include "cli/acquisition_phase.h"

#include <iostream>

#include "acquisition/orchestration.h"
#include "acquisition/service.h"
#include "cli/summary.h"
#include "core/codes.h"
#include "core/errors.h"
#include "core/options.h"
#include "core/progress_json.h"
#include "core/text.h"
#include "core/validation.h"
#include "host/host.h"
#include "log/logger.h"
#include "media/environment.h"
#include "metadata/descriptors.h"
#include "supportlist/supportlist.h"
#include "supportlist/supportlist_actions.h"

namespace XELO {

namespace {

// The update packs of the selected machine types and their requisites.
// 0 to go on, or the code that ends the run.
int acquireUpdatePacks(Options& options) {
  const bool xml = options.xmlOutput;
  std::string label = "Acquiring All MachineType's NOVP: ";
  for (const auto& machineType : options.machineTypes) label += machineType + " ";
  markPhase(label + "- START");

  DownloadManager manager;
  if (options.latest) manager.setIsLatest(true);
  if (!options.updateIds.empty()) manager.setFixIds(options.updateIds);
  manager.setDownloadPath(options.workingDir);
  manager.setMachineTypes(options.machineTypes);
  manager.setSubmitterName(kSubmitterName);
  manager.setSubmitterVersion(kSubmitterVersion);
  if (!options.proxyAddress.empty() && options.proxyPort != 0) manager.setProxy(runProxyRecord());
  manager.setOperatingSystems({{207, QYXAcquistion::ARCH_X64}});
  manager.setIncludeFirmwareOnly(true);
  manager.setIsReport(options.report);

  int result;
  if (xml) {
    runXmlCallback(options).reset();
    removeGuiConfirm();
    result = manager.startDownload(runXmlCallback(options));
  } else {
    XeloAcquireCallback callback(options);
    result = manager.startDownload(callback);
  }
  int code = acquisitionCode(result);
  if (code != Exit::Success && code != Exit::NoApplicableUpdate)
    return failWith(code, errorMessage(code, options), "main()::Support novpi/kyt::");

  const auto xmlFiles = manager.getXMLFiles();
  result = xml ? acquireRequisitesXml(runXmlCallback(options), options, xmlFiles, manager)
               : acquireRequisites(options, xmlFiles, manager);
  if (xml) runXmlCallback(options).setDisplayName("");
  code = acquisitionCode(result);
  if (code != Exit::Success && code != Exit::NoApplicableUpdate)
    return failWith(code, errorMessage(code, options), "main()::acquireRequisites");

  markPhase(label + "- END");
  waitForFrontEnd(options.xmlOutput);
  return 0;
}

// One tool package by name, bracketed by its START and END lines.
int acquireTool(const Options& options, const std::string& label, const std::string& package) {
  markPhase(label + " - START");
  const int code = acquirePackage(package, runProxyRecord(), options, {.useTestService = true});
  markPhase(label + " - END");
  return code;
}

// A report also tells the tool packages and the boot environment a medium
// would need, with their sizes, so that its totals are what a run would
// fetch. They are shown, not added to the report file.
void reportTools(const Options& options) {
  std::vector<std::string> packages;
  if (contains(options.functions, "novpi")) packages.push_back(kNovpiPackage);
  if (contains(options.functions, "kyt")) packages.push_back(kKytPackage);
  const std::string baseName = bootToolsBaseName(options.functions);
  if (!baseName.empty() && options.toolZip.empty()) packages.push_back(baseName);
  for (const auto& package : packages)
    acquirePackage(package, runProxyRecord(), options, {.report = true, .useTestService = true, .reportFile = false});
}

}  // namespace

std::vector<std::string> supportCheckTools(const Options& options) {
  std::vector<std::string> tools = options.functions;
  for (const auto& version : options.vmwareVersions) {
    if (version == "all") {
      for (const auto& known : withoutDuplicates(listVmwareUpdateVersions())) tools.push_back("vmwareupdate" + known);
      break;
    }
    tools.push_back("vmwareupdate" + version);
  }
  return tools;
}

int acquireFromRepository(Options& options, bool& finished) {
  finished = true;
  const auto& functions = options.functions;

  if (!contains(functions, "dunvar") && !options.latest) {
    const auto [result, message] = checkSelectedSystems(supportCheckTools(options), options.machineTypes);
    if (result != 0) {
      std::cout << message << std::endl;
      logEntry(LogError, message);
      writeCliError(result, message, Step::None);
      return result;
    }
  }

  if ((contains(functions, "novpi") || contains(functions, "kyt") || contains(functions, "linuxtk")) &&
      !options.toolZip.empty() && !toolZipPresent(options))
    return failWith(Exit::EnvironmentInvalid, errorMessage(Exit::EnvironmentInvalid), "main()::");

  if (!options.machineTypes.empty() && contains(functions, "novpi")) {
    bool testProvider = false;
    getEnv("PKG_TEST_FSP", &testProvider);
    if (testProvider)
      useTestServiceProvider();
    else
      restoreProductionServiceProvider();
    const std::string& first = options.machineTypes.front();
    const bool skip = (options.xmlOutput && first == "all") || first == "none";
    const int code = skip ? 0 : acquireUpdatePacks(options);
    restoreProductionServiceProvider();
    if (code != 0) return code;
  }

  if (options.report) {
    if (!options.xmlOutput) reportTools(options);
    const std::string text = "Acquisition report successfully completed";
    std::cout << text << std::endl;
    logEntry(LogTimeStamp, text);
    writeCliError(Exit::Success, text, Step::None);
    printReportSummary(options);
    return 0;
  }

  if (!options.vmwareVersions.empty() && contains(functions, "novpi")) {
    int code;
    if (options.xmlOutput) {
      code = acquireEsxiUpdates(options, runXmlCallback(options));
    } else {
      XeloAcquireCallback callback(options);
      code = acquireEsxiUpdates(options, callback);
    }
    if (code == Exit::DownloadFailed) return Exit::DownloadFailed;
  }

  if (contains(functions, "novpi"))
    if (const int code = acquireTool(options, "Acquiring NOVPI binary", kNovpiPackage); code != 0) return code;
  if (contains(functions, "kyt"))
    if (const int code = acquireTool(options, "Acquiring KYT binary", kKytPackage); code != 0) return code;

  const std::string baseName = bootToolsBaseName(functions);
  if (!baseName.empty() && options.toolZip.empty()) {
    if (const int code = acquireTool(options, "Acquiring MCP toolzip", baseName); code != 0) return code;
    options.toolZip = findBootToolsZip(options, bootToolsNeed(options));
  }

  indexUpdateDescriptors(descriptorIndex(), options);
  finished = false;
  return 0;
}

}  // namespace XELO
