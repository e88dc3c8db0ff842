// The acquisition jobs of a run: one package by name, the requisites of a
// pass, the ESXi updates, and the report of what the working directory holds.
#pragma once
#include <set>
#include <string>
#include <vector>

#include "acquisition/callbacks.h"
#include "downloadmanager.h"

namespace XELO {

using QYXAcquistion::DownloadManager;
using QYXAcquistion::HTTPProxyInfo;

inline constexpr const char* kSubmitterName = "Tolvane Xelo";
inline constexpr const char* kSubmitterVersion = "9.64";
inline constexpr const char* kNovpiPackage = "qor_utl_novpi_9.63_anyos_x86-64";
inline constexpr const char* kNovpiWindowsPackage = "qor_utl_novpi_9.63_winsrvr_32-64";
inline constexpr const char* kKytPackage = "qor_utl_kyt_961cp_anyos_x86-64";
inline constexpr const char* kDunvarPackage = "qor_utl_dnxelo_9.63_windows_32-64";

// The run's front-end callback (one for the whole run), with the settings
// of `options`.
XeloAcquireCallback4XML& runXmlCallback(const Options& options);

// Where a package fetched by name is written: the tool's folder in the
// working directory, or the working directory itself.
std::string packageDownloadPath(const std::string& name, const std::string& workingDir);

// How one package is fetched by its id.
struct PackageRequest {
  bool report = false;          // only report whether the repository has it
  bool console = true;          // show the progress on the console
  bool useTestService = false;  // from the test service provider, when one is selected
  bool reportFile = true;       // a report's lines also go to the report file
};

// Fetches one package by its id for the machine types of `options`. Returns
// an error code (0 on success), after printing, logging and recording any
// failure.
int acquirePackage(const std::string& name, const HTTPProxyInfo& proxy, const Options& options,
                   const PackageRequest& request);

// Requisite ids named by the descriptors `xmlFiles` of the working directory.
std::set<std::string> requisiteIds(const std::string& workingDir, const std::set<std::string>& xmlFiles);

// Fetches the requisites of the last pass of `manager`; the library's raw
// result (0 also when nothing was needed).
int acquireRequisites(const Options& options, const std::set<std::string>& xmlFiles, DownloadManager& manager);
int acquireRequisitesXml(XeloAcquireCallback4XML& callback, const Options& options,
                         const std::set<std::string>& xmlFiles, DownloadManager& manager);

// The ESXi update ids the repository knows, sorted.
std::vector<std::string> getEsxiFixIds(const Options& options);

// Fetches the ESXi updates of the requested versions; an error code.
int acquireEsxiUpdates(const Options& options, QYXAcquistion::AcquireCallbackIfc& callback);

// What the working directory holds per machine type: on the console, or as
// "xelo_local_report.xml" for the front end.
void writeLocalReport(const std::vector<std::string>& machineTypes);
void writeLocalReportXml(const std::vector<std::string>& machineTypes);

// Waits after a job when the run has XML output, so the front end can read
// the progress file; XELO_TEST_XML_WAIT_MS (tests only) shortens it.
void waitForFrontEnd(bool xmlOutput);

}  // namespace XELO
