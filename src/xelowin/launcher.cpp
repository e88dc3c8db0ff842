#include "launcher.h"

#include "cli/options.h"
#include "host/host.h"
#include "host/paths.h"

namespace XELO {

std::string withoutTrailingSeparator(const std::string& arg) {
  if (arg.size() > 1 && arg.back() == kPathSeparator) return arg.substr(0, arg.size() - 1);
#if defined(_WIN32)
  // A lone backslash is dropped too: inside quotes it would escape the quote.
  if (arg.size() == 1 && arg.back() == kPathSeparator) return "";
#endif
  return arg;
}

std::vector<std::string> launchCommand(const std::vector<std::string>& args) {
  // A name with a separator is started from the current directory, never
  // looked up in PATH.
  if (args.empty()) return {joinPath(joinPath(".", kFrontEndDirectory), kFrontEndProgram)};
  std::vector<std::string> command{joinPath(".", kConsoleProgram)};
  for (const std::string& arg : args) command.push_back(withoutTrailingSeparator(arg));
  return command;
}

void prepareDataDirectory() {
  const std::string dataDir = supportListDirectory();
  ensureDirectory(dataDir);
  const std::string installed = joinPath(dataDir, kSupportListName);
  if (!fileReadable(installed)) copyFileOver(kSupportListName, installed);
}

int runLauncher(const std::vector<std::string>& args) {
  // The program's files lie beside the launcher; the console program changes
  // into this directory itself, so relative arguments keep their meaning.
  std::string programDir = executablePath();
  const auto separator = lastSeparator(programDir);
  if (separator != std::string::npos) changeDirectory(programDir.substr(0, separator + 1));
  prepareDataDirectory();
  return runToFile("", launchCommand(args));
}

}  // namespace XELO
