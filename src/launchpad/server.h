// The HTTP side of the front end: the page's files and its JSON calls,
// every request checked against the token, the Host and the Origin first.
#pragma once
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace XELO::launchpad {

class Supervisor;

struct ServerSetup {
  std::string token;        // of the printed address; opens the page once
  std::string session;      // the page's cookie
  std::string wwwDir;       // index.html, app.css, app.js
  std::string supportList;  // the installed system support list
  std::string shippedList;  // the list beside the program, when none is installed
};

// Binds 127.0.0.1 on a free port chosen by the kernel; returns the port,
// or -1 when nothing could be bound.
int bindLoopback(httplib::Server& server);

// Installs the checks and the routes on `server` for a server bound to `port`.
void installRoutes(httplib::Server& server, const ServerSetup& setup, Supervisor& supervisor, int port);

}  // namespace XELO::launchpad
