// The launcher: makes sure the data directory holds a system support list,
// then starts the console program with the launcher's own arguments, or the
// graphical front end when it was given none.
#pragma once
#include <string>
#include <vector>

namespace XELO {

#if defined(_WIN32)
inline constexpr const char* kConsoleProgram = "xelo.exe";
inline constexpr const char* kFrontEndProgram = "launchpad.exe";
#else
inline constexpr const char* kConsoleProgram = "xelo";
inline constexpr const char* kFrontEndProgram = "launchpad";
#endif
inline constexpr const char* kFrontEndDirectory = "gui";

// `arg` without one trailing native separator, so a directory given as
// "dir/" reaches the program as "dir". The root directory itself stays.
std::string withoutTrailingSeparator(const std::string& arg);

// The argument vector to start, relative to the current directory: the
// console program followed by `args` (each one argument, however many
// blanks it holds), or the front end when `args` is empty.
std::vector<std::string> launchCommand(const std::vector<std::string>& args);

// Creates the data directory and, when it has no readable system support
// list, copies the one in the current directory there. Failures are ignored:
// the program reports a missing list itself.
void prepareDataDirectory();

// The whole launcher: prepares the data directory, starts the command and
// returns its exit status.
int runLauncher(const std::vector<std::string>& args);

}  // namespace XELO
