// launchpad: the graphical front end. A small web server on the loopback
// address that serves one page; the page drives the console program beside
// it through the files and reply files it exchanges with any front end.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <thread>

#include "core/options.h"
#include "host/host.h"
#include "platform.h"
#include "security.h"
#include "server.h"
#include "supervisor.h"

namespace {

using namespace XELO::launchpad;

// Serves until SIGINT or SIGTERM; a run still going is stopped on the way out.
int serve(const std::string& programDir, const std::string& guiDir, const std::string& privateDir, bool open) {
  Supervisor supervisor({programDir, XELO::supportDirectory(), XELO::supportListDirectory(), privateDir});
  httplib::Server server;
  const int port = bindLoopback(server);
  if (port <= 0) {
    std::cerr << "launchpad: cannot listen on 127.0.0.1" << std::endl;
    return 1;
  }
  const ServerSetup setup{newToken(), newToken(), guiDir + "/www",
                          XELO::supportListDirectory() + "/" + XELO::kSupportListName,
                          programDir + "/" + XELO::kSupportListName};
  installRoutes(server, setup, supervisor, port);
  const std::string url = ownOrigin(port) + "/?token=" + setup.token;
  std::cout << "Xelo launchpad: open " << url << std::endl;
  if (open) std::thread([url] { openInBrowser(url); }).detach();

  // The signals were blocked before any thread started; one thread takes them.
  std::thread signals([&server] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int signal = 0;
    sigwait(&set, &signal);
    server.stop();
  });
  server.listen_after_bind();
  if (signals.joinable()) {
    ::kill(::getpid(), SIGTERM);  // ends the signal thread when the server stopped by itself
    signals.join();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool open = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-browser") == 0) {
      open = false;
    } else {
      std::cerr << "usage: launchpad [--no-browser]" << std::endl;
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  const std::string executable = XELO::executablePath();
  const std::string guiDir = executable.empty() ? "." : executable.substr(0, executable.rfind('/'));
  const std::string programDir = guiDir.substr(0, guiDir.rfind('/'));
  try {
    const std::string privateDir = makePrivateDirectory();
    const int status = serve(programDir, guiDir, privateDir, open);
    ::rmdir(privateDir.c_str());
    return status;
  } catch (const std::exception& e) {
    std::cerr << "launchpad: " << e.what() << std::endl;
    return 1;
  }
}
