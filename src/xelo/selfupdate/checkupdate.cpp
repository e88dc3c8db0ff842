#include "selfupdate/checkupdate.h"

#include <iostream>
#include <optional>

#include "acquisition/callbacks.h"
#include "acquisition/orchestration.h"
#include "acquisition/service.h"
#include "core/codes.h"
#include "core/errors.h"
#include "host/host.h"
#include "log/logger.h"
#include "selfupdate/ftpclient.h"

namespace XELO {

namespace {

constexpr const char* kStartLine = "Check latest update - START";
constexpr const char* kEndLine = "Check latest update - END";
constexpr const char* kNewerAvailable = "A new version of this tool is available on web site.";
constexpr const char* kDownloaded = "Download the latest version of Xelo successfully";

// Logs `prefix` + the message of `code`, records the code and ends the phase.
int endWith(int code, const std::string& prefix) {
  logEntry(LogError, prefix + errorMessage(code));
  writeCliError(code, errorMessage(code), Step::None);
  logEntry(LogTimeStamp, kEndLine);
  return code;
}

// A report pass over the tool's own package; newerVersionSeen tells what it
// saw when it returns 0.
int reportPass(const Options& options) {
  newerVersionSeen = false;
  return acquirePackage(kSelfPackageId, runProxyRecord(), options,
                        {.report = true, .console = false, .useTestService = true});
}

// What ends the job after a report pass; nullopt when the pass succeeded.
// A package that does not apply or is not found means there is no newer
// version.
std::optional<int> reportPassFailure(int result, const std::string& prefix) {
  if (result == Exit::CreateDirectoryFailed) {
    logEntry(LogTimeStamp, kEndLine);
    return Exit::CreateDirectoryFailed;
  }
  if (result == Exit::NoApplicableUpdate || result == Exit::UpdateIdNotFound)
    return endWith(Exit::NoNewerVersion, prefix);
  if (result != Exit::Success) return endWith(result, prefix);
  return std::nullopt;
}

// Without --report: check (unless the front end runs the program), then
// download the newer package into the working directory.
int checkAndDownload(Options& options) {
  bool underFrontEnd = false;
  getEnv("XELO_GUI_ENVIRONMENT", &underFrontEnd);
  if (underFrontEnd) {
    // The front end has already checked; the download goes ahead.
    logEntry(LogWarning, "XELO_GUI_ENVIRONMENT environment variable is defined");
    newerVersionSeen = true;
  } else {
    if (auto failure = reportPassFailure(reportPass(options), "main()::check-update: ")) return *failure;
    if (!newerVersionSeen) {
      std::cout << errorMessage(Exit::NoNewerVersion) << std::endl;
      return endWith(Exit::NoNewerVersion, "main()::check-update: ");
    }
  }

  const int result = acquirePackage(kSelfPackageId, runProxyRecord(), options, {.useTestService = true});
  if (result == Exit::CreateDirectoryFailed) {
    logEntry(LogTimeStamp, kEndLine);
    return Exit::CreateDirectoryFailed;
  }
  if (result != Exit::Success) return endWith(result, "main()::check-update: ");
  const std::string text = "Latest version of this tool is available at: " + options.workingDir +
                           "\nWarning:Some legacy systems might be supported by older versions only, please have "
                           "a check before switching to the latest version.";
  logEntry(LogWarning, text);
  std::cout << text << std::endl;
  logEntry(LogTimeStamp, kEndLine);
  writeCliError(Exit::Success, kDownloaded, Step::None);
  return Exit::Success;
}

// With --report: only tell whether a newer version exists or not.
int reportOnly(const Options& options) {
  if (auto failure = reportPassFailure(reportPass(options), "main()::check-update report: ")) return *failure;
  const int code = newerVersionSeen ? Exit::NewerVersionAvailable : Exit::NoNewerVersion;
  const std::string text = newerVersionSeen ? kNewerAvailable : errorMessage(Exit::NoNewerVersion);
  logEntry(LogWarning, "main()::check-update report: " + text);
  std::cout << text << std::endl;
  writeCliError(code, text, Step::None);
  logEntry(LogTimeStamp, kEndLine);
  return code;
}

}  // namespace

int runCheckUpdate(Options& options) {
  logEntry(LogTimeStamp, kStartLine);
  std::cout << "Checking QOR Web Site for the latest version of this tool...." << std::endl;
  if (options.workingDir.empty())
    return failWith(Exit::OptionsInvalid, errorMessage(Exit::OptionsInvalid) + "local", "main()::Options::");
  return options.report ? reportOnly(options) : checkAndDownload(options);
}

bool downloadServiceFiles(const Options& options) {
  FtpClient client(options);
  return client.downloadServiceFiles();
}

}  // namespace XELO
