// launchpad: the graphical front end. A small web server on the loopback
// address that serves one page; the page drives the console program beside
// it through the files and reply files it exchanges with any front end.
#include <httplib.h>
#include <signal.h>

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

httplib::Server* activeServer = nullptr;

void stopServer(int) {
  if (activeServer) activeServer->stop();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace XELO::launchpad;
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
  const std::string guiDir = executableDirectory();
  const std::string programDir = guiDir.substr(0, guiDir.rfind('/'));
  try {
    const std::string privateDir = makePrivateDirectory();
    Supervisor supervisor({programDir, XELO::supportDirectory(), XELO::supportListDirectory(), privateDir});
    httplib::Server server;
    const int port = bindLoopback(server);
    if (port <= 0) {
      std::cerr << "launchpad: cannot listen on 127.0.0.1" << std::endl;
      return 1;
    }
    const ServerSetup setup{newToken(), guiDir + "/www", XELO::supportListDirectory() + "/" + XELO::kSupportListName,
                            programDir + "/" + XELO::kSupportListName};
    installRoutes(server, setup, supervisor, port);
    const std::string url = ownOrigin(port) + "/?token=" + setup.token;
    std::cout << "Xelo launchpad: open " << url << std::endl;
    if (open) std::thread([url] { openInBrowser(url); }).detach();
    activeServer = &server;
    ::signal(SIGINT, stopServer);
    ::signal(SIGTERM, stopServer);
    server.listen_after_bind();
    activeServer = nullptr;
    removeFile(supervisor.progressFile());
    ::rmdir(privateDir.c_str());
  } catch (const std::exception& e) {
    std::cerr << "launchpad: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
