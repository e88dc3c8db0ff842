// The operating-system calls of the front end's server that the program's
// host layer does not already offer, in one place.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace XELO::launchpad {

// `count` bytes from the kernel's random generator; throws when it fails.
std::string randomBytes(std::size_t count);

// Whole file, or "" when it cannot be read.
std::string readWholeFile(const std::string& path);

// A started child: its process id, the write end of its standard input and
// the read end of its standard output and error (both streams in one pipe).
struct Child {
  int pid = -1;
  int input = -1;
  int output = -1;
};

// Starts `argv` (argv[0] is the path of the program, never looked up in
// PATH) in `cwd` with the current environment plus `env`, without a shell.
// Throws std::runtime_error with the reason when it cannot be started.
Child startChild(const std::vector<std::string>& argv, const std::string& cwd,
                 const std::vector<std::pair<std::string, std::string>>& env);

// Waits for the child without blocking (`block` false) or until it ends;
// true with its status (0-255, or 128 + signal) once it has ended.
bool reapChild(int pid, bool block, int& status);
void signalChild(int pid, int signal);

// Runs a helper program found in PATH, returning its standard output ("" when
// it cannot be run). Used for lsblk.
std::string captureOutput(const std::vector<std::string>& argv);

// Opens `url` in the desktop's browser when there is a display; false otherwise.
bool openInBrowser(const std::string& url);

// A private directory for the run files of this server (mode 0700).
std::string makePrivateDirectory();

}  // namespace XELO::launchpad
