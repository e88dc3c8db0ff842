// Configuration files: the media configuration written for the tools on the
// medium, and a file handed in with --configfile.
#pragma once
#include <string>

#include "cli/options.h"

namespace XELO {

// Reads a configuration file into `options`. False when it cannot be read or
// a value is refused.
bool loadConfigFile(Options& options, const std::string& path);

// Writes "xelo.config" for `options` into their working directory. False
// when written.
bool writeMediaConfig(const Options& options);

// Puts the portable installation directory `execDir` in front of a relative
// `path` ("./x" loses its "./"); an absolute path or an empty `execDir`
// leaves it as it is.
std::string resolvePortablePath(const std::string& execDir, const std::string& path);

// Re-checks options merged from a configuration file (function names,
// machine types, serial console). 0, or Exit::OptionsInvalid after reporting
// the refusal.
int recheckMergedOptions(Options& options);

// Checks the --unattended location. 0, or Exit::OptionsInvalid after
// reporting the refusal.
int checkUnattendedUrl(Options& options);

}  // namespace XELO
