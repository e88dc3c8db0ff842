#include "launchpad_process.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace xelotest {

LaunchpadProcess::LaunchpadProcess(const std::string& programDir, const std::string& systemDrive,
                                   bool throughLauncher) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("SYSTEMDRIVE=", 0) != 0) envText.push_back(*e);
  envText.push_back("SYSTEMDRIVE=" + systemDrive);
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  // Without a display nothing opens a browser, with or without the flag.
  envText.erase(
      std::remove_if(envText.begin(), envText.end(), [](const std::string& e) { return e.rfind("DISPLAY=", 0) == 0; }),
      envText.end());
  std::string program = programDir + (throughLauncher ? "/xelowin" : "/gui/launchpad"), flag = "--no-browser";
  char* argv[] = {program.data(), throughLauncher ? nullptr : flag.data(), nullptr};
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const int rc = ::posix_spawn(&child, program.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    throw std::runtime_error("cannot start " + program);
  }
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buffer[512];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  const auto at = line.find("http://");
  const auto end = line.find('\n');
  if (at == std::string::npos || end == std::string::npos) throw std::runtime_error("no address printed: " + line);
  address = line.substr(at, end - at);
  listenPort = std::atoi(address.c_str() + address.find(':', 7) + 1);
  secret = address.substr(address.find("token=") + 6);
}

std::string LaunchpadProcess::openSession() const {
  httplib::Client c("127.0.0.1", listenPort);
  c.set_connection_timeout(5);
  auto first = c.Get("/?token=" + secret);
  if (!first || first->status != 303) throw std::runtime_error("the printed address did not open the page");
  const std::string setCookie = first->get_header_value("Set-Cookie");
  return setCookie.substr(0, setCookie.find(';'));
}

LaunchpadProcess::~LaunchpadProcess() {
  if (child <= 0) return;
  ::kill(-child, SIGTERM);
  int status;
  ::waitpid(child, &status, 0);
}

}  // namespace xelotest
