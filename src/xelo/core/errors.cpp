#include "core/errors.h"

#include <fstream>
#include <iostream>
#include <map>

#include "core/codes.h"
#include "core/options.h"
#include "core/progress_json.h"
#include "core/text.h"
#include "downloadmanager.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"

namespace XELO {

bool continueConfirmed = false;
bool guiEnvironment = false;
bool answerYes = false;

void answerQuestionYes(const std::string& question) {
  std::cout << question << "y" << std::endl;
  logEntry(LogWarning, "Question answered \"y\" by --yes: " + question);
}

namespace {

const std::map<int, std::string>& fixedMessages() {
  static const std::map<int, std::string> table = {
      {Exit::Success, "No error found"},
      {Exit::NoNewerVersion, "No newer version is available. You are running the latest tool."},
      {Exit::OptionsInvalid, "Options error: Argument invalid or missing: "},
      {Exit::FtpDownloadFailed, "FTP error: Failed to download file(s)"},
      {Exit::DownloadFailed, "Acquisition error: Failed to download file(s)"},
      {Exit::CreateDirectoryFailed, "Acquisition error: Failed to create directory"},
      {Exit::NoApplicableUpdate, "Acquisition error: No applicable update available for specified machine-type/OS"},
      {Exit::UpdateIdNotFound, "Acquisition error: Failed to find update by specified update id: "},
      {Exit::RepositoryUnrecoverable,
       "Acquisition error: Unrecoverable error downloading updates from QOR update repository"},
      {Exit::InvalidMachineType, "Acquisition error: Invalid machine-type(s) specified"},
      {Exit::SelfFixIdMissing, "Acquisition error: Failed to get Fix Id for Xelo update checking"},
      {Exit::EnvironmentIncomplete, "Media creation error: Bootable environment is incomplete.Failed to find"},
      {Exit::FileNotFound,
       "Media creation error: Failed to find the directory or file(s) specified.maybe caused by "
       "lack of disk space"},
      {Exit::CreateFileFailed, "Media creation error: Failed to create directory or file(s) specified"},
      {Exit::NoUpdateFilesAfterFilter,
       "Media creation error: There is no update files under specified directory after filterring"},
      {Exit::EnvironmentInvalid,
       "Media creation error: Bootable environment is invalid. Xelo only supports "
       "qor_utl_boot_tools-141_anyos_x86-64 version"},
      {Exit::IsoBuildFailed, "Media creation error: The mkisofs utility failed to create ISO file"},
      {Exit::BurnFailed, "Media creation error: Faild to burn CD/DVD disk"},
      {Exit::NoSpaceForIso, "Media creation error: No enough space on disk for iso image"},
      {Exit::UsbVolumeNameFailed, "Media creation error: Failed to get usb key volume name"},
      {Exit::RawCopyFailed, "Media creation error: Failed to perform dd utility function"},
      {Exit::UsbKeyNotInitialized, "Media creation error: USB Key has not been initialized"},
      {Exit::NoDiscInDrive, "Media creation error: There is no disk or wrong disk in drive"},
      {Exit::DiscNotRewritable, "Media creation error: Volume isn't a valid CD-RW/DVD-RW volume"},
      {Exit::DeploymentKitMissing,
       "Media creation error: No Supported English Windows Automated Installation Kit(AIK) was "
       "detected."},
      {Exit::NoSpaceForDeploymentWork,
       "Media creation error: There is no enough hard drive space in the working directory to "
       "create the Dunvar product."},
      {Exit::NoSpaceForDeploymentIso,
       "Media creation error: There is no enough hard drive space in the destination for the "
       "Dunvar ISO file."},
      {Exit::DeploymentInitFailed,
       "Media creation error: Failed to initialize Dunvar media creator.maybe caused by space "
       "shortage"},
      {Exit::ZipFailed, "Media creation error: Failed to zip file(s)"},
      {Exit::NoSpaceForImage,
       "Media creation error: The space is not enough in source directory for image file creation"},
      {Exit::VlanArgumentMissing, "Media creation error: One of VLAN configuration arguments is missing."},
  };
  return table;
}

}  // namespace

std::string errorMessage(int code, const Options& options) {
  switch (code) {
    case Exit::UnzipFailed:
      return "Media creation error: The zip file " +
             (options.zipInError.empty() ? options.toolZip : options.zipInError) +
             " specified can not be uncompressed. Please re-acquire it.";
    case Exit::ZipExtensionMissing:
      return "Media creation error: The zip file " + options.toolZip + " specified has not .zip extension";
    case Exit::ModeChangeFailed:
      return "Media creation error: Failed to perform mode change action on file(s) in \"" + options.workingDir + "\"";
    case Exit::IsoExtensionMissing:
      return "Media creation error: The ISO file " + options.isoName + " specified has no .iso extension";
    default: break;
  }
  auto it = fixedMessages().find(code);
  return it == fixedMessages().end() ? "Unknown error" : it->second;
}

std::string errorMessage(int code) { return errorMessage(code, Options()); }

void writeCliError(int code, const std::string& message, int step) {
  noteResultMessage(message);
  // Written beside the record and renamed over it: a front end reading it at
  // any moment finds the old record or the new one, never an empty file.
  replaceFileContents(cliResultPath(), "<CLIERROR>\n\t<CODE>" + std::to_string(code) + "</CODE>\n\t<MESSAGE>" +
                                           message + "</MESSAGE>\n\t<STEPSERIAL>" + std::to_string(step) +
                                           "</STEPSERIAL>\n</CLIERROR>");
}

int failWith(int code, const std::string& text, const std::string& logPrefix) {
  logEntry(LogError, logPrefix + text);
  std::cout << text << std::endl;
  writeCliError(code, text, 0);
  return code;
}

int acquisitionCode(int result) {
  using namespace QYXAcquistion;
  // Results 6 and 7 are not returned by this library; their codes are kept
  // for callers that map results of other builds of it.
  constexpr int kInvalidMachineTypeResult = 6;
  constexpr int kUnrecoverableResult = 7;
  switch (result) {
    case ACQUIRE_OK: return Exit::Success;
    case ACQUIRE_DOWNLOAD_FILE_ERROR: return Exit::DownloadFailed;
    case ACQUIRE_CREATE_DIR_FAILED: return Exit::CreateDirectoryFailed;
    case ACQUIRE_NO_UPDATES: return Exit::NoApplicableUpdate;
    case ACQUIRE_FIX_IDS_NOT_FOUND: return Exit::UpdateIdNotFound;
    case ACQUIRE_FAILED:
    case kUnrecoverableResult:
    case ACQUIRE_NOTHING_TO_DO:
    case ACQUIRE_SERVICE_UNREACHABLE: return Exit::RepositoryUnrecoverable;
    case kInvalidMachineTypeResult: return Exit::InvalidMachineType;
    default: return Exit::Unmapped;
  }
}

Answer askContinue() {
  if (continueConfirmed) return Answer::Yes;
  if (answerYes) {
    answerQuestionYes("Are you sure you want to continue?(y or n)");
    continueConfirmed = true;
    return Answer::Yes;
  }
  for (;;) {
    progressEvent("question", {{"text", "Are you sure you want to continue?(y or n)"}});
    std::cout << "Are you sure you want to continue?(y or n)" << std::flush;
    std::string word;
    if (!(std::cin >> word)) {
      std::cout << std::endl << "No answer: standard input has ended." << std::endl;
      logEntry(LogError, "No answer to the question: standard input has ended");
      continueConfirmed = false;
      return Answer::NoAnswer;
    }
    word = upperCase(word);
    if (word == "Y") {
      continueConfirmed = true;
      return Answer::Yes;
    }
    if (word == "N") {
      continueConfirmed = false;
      writeCliError(Exit::Success, "User confirms to stop!", Step::None);
      return Answer::No;
    }
    std::cout << "Invalid input" << std::endl;
  }
}

bool confirmContinue() { return askContinue() == Answer::Yes; }

std::optional<int> continueOrFail(int code, const std::string& text, const std::string& logPrefix) {
  switch (askContinue()) {
    case Answer::Yes: return std::nullopt;
    case Answer::No: return 0;
    case Answer::NoAnswer: break;
  }
  return failWith(code, text, logPrefix);
}

std::string guiConfirmPath() { return joinPath(supportListDirectory(), "confirm_continue.xml"); }

bool waitGuiConfirm() {
  if (continueConfirmed) return true;
  // The front end is not waited for: --yes has answered already.
  if (answerYes) {
    logEntry(LogWarning, "Question answered \"y\" by --yes without waiting for the front end");
    continueConfirmed = true;
    return true;
  }
  const std::string path = guiConfirmPath();
  // The front end learns from the progress lines that an answer is awaited
  // in the reply file rather than on standard input.
  progressEvent("question", {{"text", "Are you sure you want to continue?(y or n)"}, {"reply", "file"}});
  for (;;) {
    std::ifstream in(path);
    std::string line;
    while (in && std::getline(in, line)) {
      if (line.find("CONTINUE") != std::string::npos) {
        continueConfirmed = true;
        return true;
      }
      if (line.find("STOP") != std::string::npos) {
        continueConfirmed = false;
        return false;
      }
    }
    in.close();
    sleepMilliseconds(1000);
  }
}

void removeGuiConfirm() { deleteFile(guiConfirmPath()); }

}  // namespace XELO
