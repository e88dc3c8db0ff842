#include "core/errors.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <map>

#include "core/options.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"

namespace XELO {

bool continueConfirmed = false;
bool guiEnvironment = false;

namespace {

const std::map<int, std::string>& fixedMessages() {
  static const std::map<int, std::string> table = {
      {0, "No error found"},
      {31, "No newer version is available. You are running the latest tool."},
      {101, "Options error: Argument invalid or missing: "},
      {120, "FTP error: Failed to download file(s)"},
      {200, "Acquisition error: Failed to download file(s)"},
      {201, "Acquisition error: Failed to create directory"},
      {202, "Acquisition error: No applicable update available for specified machine-type/OS"},
      {203, "Acquisition error: Failed to find update by specified update id: "},
      {204, "Acquisition error: Unrecoverable error downloading updates from QOR update repository"},
      {205, "Acquisition error: Invalid machine-type(s) specified"},
      {209, "Acquisition error: Failed to get Fix Id for Xelo update checking"},
      {210, "Media creation error: Bootable environment is incomplete.Failed to find"},
      {211, "Media creation error: Failed to find the directory or file(s) specified.maybe caused by "
            "lack of disk space"},
      {212, "Media creation error: Failed to create directory or file(s) specified"},
      {217, "Media creation error: There is no update files under specified directory after filterring"},
      {218, "Media creation error: Bootable environment is invalid. Xelo only supports "
            "qor_utl_boot_tools-141_anyos_x86-64 version"},
      {221, "Media creation error: The mkisofs utility failed to create ISO file"},
      {222, "Media creation error: Faild to burn CD/DVD disk"},
      {223, "Media creation error: No enough space on disk for iso image"},
      {230, "Media creation error: Failed to get usb key volume name"},
      {231, "Media creation error: Failed to perform dd utility function"},
      {232, "Media creation error: USB Key has not been initialized"},
      {234, "Media creation error: There is no disk or wrong disk in drive"},
      {235, "Media creation error: Volume isn't a valid CD-RW/DVD-RW volume"},
      {241, "Media creation error: No Supported English Windows Automated Installation Kit(AIK) was "
            "detected."},
      {242, "Media creation error: There is no enough hard drive space in the working directory to "
            "create the Dunvar product."},
      {243, "Media creation error: There is no enough hard drive space in the destination for the "
            "Dunvar ISO file."},
      {244, "Media creation error: Failed to initialize Dunvar media creator.maybe caused by space "
            "shortage"},
      {245, "Media creation error: Failed to zip file(s)"},
      {246, "Media creation error: The space is not enough in source directory for image file creation"},
      {247, "Media creation error: One of VLAN configuration arguments is missing."},
  };
  return table;
}

}  // namespace

std::string errorMessage(int code) {
  // A few texts name the file the run was working on.
  const Options& options = processOptions();
  switch (code) {
    case 213:
      return "Media creation error: The zip file " +
             (options.zipInError.empty() ? options.toolZip : options.zipInError) +
             " specified can not be uncompressed. Please re-acquire it.";
    case 214:
      return "Media creation error: The zip file " + options.toolZip + " specified has not .zip extension";
    case 216:
      return "Media creation error: Failed to perform mode change action on file(s) in \"" +
             options.workingDir + "\"";
    case 220:
      return "Media creation error: The ISO file " + options.isoName + " specified has no .iso extension";
    default:
      break;
  }
  auto it = fixedMessages().find(code);
  return it == fixedMessages().end() ? "Unknown error" : it->second;
}

void writeCliError(int code, const std::string& message, int step) {
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
  switch (result) {
    case 0: return 0;
    case 1: return 200;
    case 2: return 201;
    case 3: return 202;
    case 4: return 203;
    case 5:
    case 7:
    case 8:
    case 9: return 204;
    case 6: return 205;
    default: return 255;
  }
}

Answer askContinue() {
  if (continueConfirmed) return Answer::Yes;
  for (;;) {
    std::cout << "Are you sure you want to continue?(y or n)" << std::flush;
    std::string word;
    if (!(std::cin >> word)) {
      std::cout << std::endl << "No answer: standard input has ended." << std::endl;
      logEntry(LogError, "No answer to the question: standard input has ended");
      continueConfirmed = false;
      return Answer::NoAnswer;
    }
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (word == "Y") {
      continueConfirmed = true;
      return Answer::Yes;
    }
    if (word == "N") {
      continueConfirmed = false;
      writeCliError(0, "User confirms to stop!", 0);
      return Answer::No;
    }
    std::cout << "Invalid input" << std::endl;
  }
}

bool confirmContinue() { return askContinue() == Answer::Yes; }

std::optional<int> continueOrFail(int code, const std::string& text, const std::string& logPrefix) {
  switch (askContinue()) {
    case Answer::Yes:
      return std::nullopt;
    case Answer::No:
      return 0;
    case Answer::NoAnswer:
      break;
  }
  return failWith(code, text, logPrefix);
}

std::string guiConfirmPath() { return joinPath(supportListDirectory(), "confirm_continue.xml"); }

bool waitGuiConfirm() {
  if (continueConfirmed) return true;
  const std::string path = guiConfirmPath();
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
