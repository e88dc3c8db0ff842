// The built front end started for a test from a program-directory copy: its
// printed address, port and token, and its end when the object dies.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace xelotest {

class LaunchpadProcess {
 public:
  // Starts `programDir`/gui/launchpad --no-browser (or, `throughLauncher`,
  // `programDir`/xelowin without arguments, as an administrator does) in a
  // process group of its own, with SYSTEMDRIVE set to `systemDrive`, and
  // waits (up to 20 s) for the line with its address.
  LaunchpadProcess(const std::string& programDir, const std::string& systemDrive, bool throughLauncher = false);
  ~LaunchpadProcess();  // SIGTERM to the group, then waits for it
  LaunchpadProcess(const LaunchpadProcess&) = delete;
  LaunchpadProcess& operator=(const LaunchpadProcess&) = delete;

  const std::string& url() const { return address; }  // with ?token=
  int port() const { return listenPort; }
  const std::string& token() const { return secret; }
  int pid() const { return child; }
  // Opens the printed address as a browser does (spending its token) and
  // returns the Cookie header that the page's later requests carry.
  std::string openSession() const;

 private:
  int child = -1;
  std::string address, secret;
  int listenPort = 0;
};

}  // namespace xelotest
