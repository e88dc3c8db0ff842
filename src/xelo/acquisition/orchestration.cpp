#include "acquisition/orchestration.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

#include "acquisition/service.h"
#include "core/codes.h"
#include "core/errors.h"
#include "core/options.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "metadata/descriptors.h"

namespace XELO {

using QYXAcquistion::AcquireCallbackIfc;
using QYXAcquistion::ContentNode;

namespace {

bool proxyPresent(const HTTPProxyInfo& proxy) { return !proxy.host.empty() && proxy.port != 0; }

// The settings every job shares: identity, and the proxy when there is one.
void configureIdentity(DownloadManager& manager, const HTTPProxyInfo& proxy) {
  manager.setSubmitterName(kSubmitterName);
  manager.setSubmitterVersion(kSubmitterVersion);
  if (proxyPresent(proxy)) manager.setProxy(proxy);
}

// Runs the manager with the run's front-end callback (reset first) when the
// run has XML output, else with a new console callback. A pass whose files
// failed still ends with success; the error it reported on the way is
// handed back in `passError`.
int startWithRunCallback(DownloadManager& manager, const Options& options, bool console = true,
                         int* passError = nullptr, bool reportFile = true) {
  int result;
  int error;
  if (options.xmlOutput) {
    XeloAcquireCallback4XML& callback = runXmlCallback(options);
    callback.reset();
    result = manager.startDownload(callback);
    error = callback.getLastError();
  } else {
    XeloAcquireCallback callback(options);
    callback.console = console;
    callback.reportFile = reportFile;
    result = manager.startDownload(callback);
    error = callback.getLastError();
  }
  if (passError) *passError = error;
  return result;
}

void reportFailure(int code, const std::string& text, const std::string& logText) {
  std::cout << text << std::endl;
  logEntry(LogError, logText);
  writeCliError(code, text, 0);
}

}  // namespace

XeloAcquireCallback4XML& runXmlCallback(const Options& options) {
  static XeloAcquireCallback4XML callback(options);
  callback.report = options.report;
  callback.checkUpdate = options.checkUpdate;
  callback.showSizes = false;
  return callback;
}

std::string packageDownloadPath(const std::string& name, const std::string& workingDir) {
  if (name == kNovpiPackage || name == kNovpiWindowsPackage) return joinPath(workingDir, "novpi");
  if (name == kKytPackage) return joinPath(workingDir, "kyt");
  if (name == kDunvarPackage) return joinPath(workingDir, "dunvar");
  return workingDir;
}

void waitForFrontEnd(bool xmlOutput) {
  if (!xmlOutput) return;
  bool overridden = false;
  const std::string testWait = getEnv("XELO_TEST_XML_WAIT_MS", &overridden);
  sleepMilliseconds(overridden ? std::max(0, std::atoi(testWait.c_str())) : 10000);
}

int acquirePackage(const std::string& name, const HTTPProxyInfo& proxy, const Options& options,
                   const PackageRequest& request) {
  if (request.useTestService)
    useTestServiceProvider();
  else
    restoreProductionServiceProvider();

  DownloadManager manager;
  manager.setDownloadPath(packageDownloadPath(name, options.workingDir));
  manager.setMachineTypes(options.machineTypes);
  manager.setOperatingSystems({});
  manager.setIsLatest(true);
  manager.setFixIds({name});
  manager.setIsReport(request.report);
  manager.setSubjectVersion("");
  configureIdentity(manager, proxy);

  int passError = 0;
  int code = acquisitionCode(startWithRunCallback(manager, options, request.console, &passError, request.reportFile));
  // A package fetched by name is needed whole: a file that failed for good
  // fails the job even though the pass itself ended.
  if (code == Exit::Success && passError != QYXAcquistion::ACQUIRE_OK && !request.report)
    code = acquisitionCode(passError);
  // A package asked for by name that the repository does not have is an
  // update id that was not found, not an empty list of updates.
  if (code == Exit::NoApplicableUpdate) code = Exit::UpdateIdNotFound;
  if (code == Exit::UpdateIdNotFound) {
    const std::string message = errorMessage(code);
    reportFailure(code, message + name, "main()::Acquire " + message + name);
  } else if (code == Exit::CreateDirectoryFailed) {
    const std::string text = errorMessage(code) + ": " + manager.getDownloadPath();
    reportFailure(code, text, "main()::Acquire " + text);
  } else if (code != Exit::Success) {
    reportFailure(code, errorMessage(code), "main()::Acquire " + name + " :: " + errorMessage(code));
  }
  restoreProductionServiceProvider();
  waitForFrontEnd(options.xmlOutput);
  return code;
}

std::set<std::string> requisiteIds(const std::string& workingDir, const std::set<std::string>& xmlFiles) {
  logEntry(LogVerbose, "Get co/pre requisites from xmlFiles specified");
  const auto ids = collectRequisites(workingDir, std::vector<std::string>(xmlFiles.begin(), xmlFiles.end()));
  logEntry(LogVerbose, "Get co/pre requisites from xmlFiles specified");
  return ids;
}

int acquireRequisites(const Options& options, const std::set<std::string>& xmlFiles, DownloadManager& manager) {
  const auto ids = requisiteIds(options.workingDir, xmlFiles);
  std::cout << std::endl << "Acquiring list of requisite packages" << std::endl;
  if (ids.empty()) {
    std::cout << "No additional requisite packages required" << std::endl << std::endl;
    return 0;
  }
  manager.setFixIds(std::vector<std::string>(ids.begin(), ids.end()));
  manager.setIsLatest(false);
  XeloAcquireCallback callback(options);
  const int result = manager.startDownload(callback);
  std::cout << std::endl;
  return result;
}

int acquireRequisitesXml(XeloAcquireCallback4XML& callback, const Options& options,
                         const std::set<std::string>& xmlFiles, DownloadManager& manager) {
  const auto ids = requisiteIds(options.workingDir, xmlFiles);
  if (ids.empty()) {
    ContentNode node;
    node.setMT("Requisite Package");
    node.setOS("Requisite Package");
    node.setTotal(0);
    callback.sendMessage(node, true);
    return 0;
  }
  manager.setFixIds(std::vector<std::string>(ids.begin(), ids.end()));
  manager.setIsLatest(false);
  callback.reset();
  callback.setDisplayName("Requisite Package");
  removeGuiConfirm();
  return manager.startDownload(callback);
}

namespace {

// ESXi update ids named by the report file of a report pass.
std::vector<std::string> readEsxiReport(const std::string& path) {
  const std::string remote = " - Remotely available";
  const std::string local = " - Locally available";
  std::vector<std::string> ids;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    // Only ESXi updates count, whether still in the repository or already here.
    if (line.find("esxi") == std::string::npos) continue;
    auto at = line.find(remote);
    if (at == std::string::npos) at = line.find(local);
    if (at == std::string::npos) continue;
    std::string id = line.substr(0, at);
    id.erase(0, id.find_first_not_of('\r') == std::string::npos ? id.size() : id.find_first_not_of('\r'));
    if (!id.empty()) ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace

std::vector<std::string> getEsxiFixIds(const Options& options) {
  useTestServiceProvider();
  const std::string reportFile = reportFilePath();
  if (!isDirectory(reportFile) && fileReadable(reportFile)) {
    restoreProductionServiceProvider();
    return readEsxiReport(reportFile);
  }
  DownloadManager manager;
  manager.setDownloadPath(options.workingDir);
  manager.setMachineTypes({"all"});
  manager.setSubjectVersion("");
  manager.setIsLatest(true);
  configureIdentity(manager, runProxyRecord());
  manager.setOperatingSystems({{206, QYXAcquistion::ARCH_X64}});
  manager.setIsReport(true);
  const int code = acquisitionCode(startWithRunCallback(manager, options));
  if (code != Exit::Success) {
    std::cout << errorMessage(code) << std::endl;
    logEntry(LogError, "main()::get fixId for vmware update::" + errorMessage(code));
  }
  auto ids = readEsxiReport(reportFile);
  restoreProductionServiceProvider();
  waitForFrontEnd(options.xmlOutput);
  return ids;
}

int acquireEsxiUpdates(const Options& options, AcquireCallbackIfc& callback) {
  const auto ids = getEsxiFixIds(options);
  std::vector<std::string> selection;
  for (const auto& version : options.vmwareVersions) {
    if (version == "all") {
      selection = ids;
      break;
    }
    for (const auto& id : ids)
      if (id.find(version) != std::string::npos) selection.push_back(id);
  }
  if (selection.empty()) {
    ContentNode node;
    node.setMT("VMWARE ESXi Updates");
    node.setOS("SLES 10");
    callback.sendMessage(node, true);
    waitForFrontEnd(options.xmlOutput);
    return 0;
  }
  useTestServiceProvider();
  DownloadManager manager;
  manager.setDownloadPath(options.workingDir);
  manager.setMachineTypes(options.machineTypes);
  manager.setOperatingSystems({});
  manager.setIsLatest(true);
  manager.setFixIds(selection);
  manager.setIsReport(false);
  manager.setSubjectVersion("");
  configureIdentity(manager, runProxyRecord());
  manager.setUpdateType(QYXAcquistion::UPDATES_VMWARE_ESXI);
  const int code = acquisitionCode(startWithRunCallback(manager, options));
  if (code != Exit::Success) {
    logEntry(LogError, "main()::Acquire VMWare ESXi Update :: " + errorMessage(code));
    writeCliError(code, errorMessage(code), 0);
  }
  restoreProductionServiceProvider();
  waitForFrontEnd(options.xmlOutput);
  return code;
}

void writeLocalReport(const std::vector<std::string>& machineTypes) {
  for (const auto& machineType : machineTypes) {
    std::cout << "\r\nReporting list of updates for Machine-Type=" << machineType << " ... " << std::endl;
    const auto ids = updatesForMachineType(machineType);
    if (ids.empty()) std::cout << "No Updates Available." << std::endl;
    for (const auto& id : ids)
      std::cout << id << " - "
                << "Locally available" << std::endl;
  }
}

void writeLocalReportXml(const std::vector<std::string>& machineTypes) {
  std::ostringstream out;
  out << "<LOCAL_REPORT>";
  for (const auto& machineType : machineTypes) {
    const auto ids = updatesForMachineType(machineType);
    out << "\n\t<CONTENT>"
        << "\n\t\t<MT>" << xmlText(machineType) << "</MT>"
        << "\n\t\t<TOTAL>" << ids.size() << "</TOTAL>";
    for (const auto& id : ids)
      out << "\n\t\t<PACKAGE>"
          << "\n\t\t\t<UPDATEID>" << xmlText(id) << "</UPDATEID>"
          << "\n\t\t\t<STATUS>"
          << "Locally available"
          << "</STATUS>"
          << "\n\t\t</PACKAGE>";
    out << "\n\t</CONTENT>";
  }
  out << "\n</LOCAL_REPORT>";
  replaceFileContents(joinPath(supportDirectory(), "xelo_local_report.xml"), out.str());
}

}  // namespace XELO
