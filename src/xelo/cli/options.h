// The command-line parse that fills the options record, and the texts it
// prints (banner, help).
#pragma once
#include <iosfwd>
#include <string>
#include <vector>

#include "core/options.h"

namespace XELO {

// The one options record of the process, owned by the run driver; everything
// below the command line gets it, or the fields it needs, as a parameter.
Options& processOptions();

// Returned by parseOptions when the run is complete and the process must end
// with status 0 at once (--license, after the license was printed).
inline constexpr int kParseExitSuccess = -2;

// Parses the command line into `options` and its configuration keys.
// 0 on success; kParseExitSuccess when the process must end with status 0;
// any other value when the run must stop with Exit::OptionsInvalid, `errorText` then
// holding the message for the result file (empty when none). Prints its own
// console messages; questions read words from std::cin. Never throws.
int parseOptions(char** argv, std::string& errorText, Options& options, int argc);

// "QOR Tolvane Xelo Version 9.64.01", a notice line and an empty line.
void printBanner(std::ostream& out);

// The help text: the visible option group followed by the examples.
std::string buildHelpText();

// Machine types named by the installed support list, in file order.
// False (after printing the error) when the list cannot be opened.
bool supportListMachineTypes(std::vector<std::string>& machineTypes);

}  // namespace XELO
