// The built front end as a browser meets it: the page only with the token,
// only under its own address, changes only from its own page, and a socket
// on the loopback address alone.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "launchpad_process.h"
#include "test_support.h"

namespace xelotest {
namespace {

struct Launchpad : ::testing::Test {
  ProgramSandbox sandbox;
  LaunchpadProcess launchpad{sandbox.programDir(), sandbox.systemDrive()};
  std::string host() const { return "127.0.0.1:" + std::to_string(launchpad.port()); }
  std::string session;  // the Cookie header once the page was opened
  const std::string& cookie() {
    if (session.empty()) session = launchpad.openSession();
    return session;
  }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", launchpad.port());
    c.set_connection_timeout(5);
    c.set_read_timeout(10);
    return c;
  }
};

TEST_F(Launchpad, TokenHostAndOriginDecideWhoIsServed) {
  auto c = client();
  // The printed address sets the cookie and sends the browser on to the
  // page; it does so once, and its token is not the cookie's key.
  auto first = c.Get("/?token=" + launchpad.token());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 303);
  const std::string setCookie = first->get_header_value("Set-Cookie");
  EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos);
  EXPECT_EQ(setCookie.find(launchpad.token()), std::string::npos);
  session = setCookie.substr(0, setCookie.find(';'));
  auto page = c.Get("/", {{"Cookie", cookie()}});
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("Xelo launchpad"), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);

  struct Case {
    const char* what;
    std::string method, path;
    httplib::Headers headers;
    int status;
  };
  const std::vector<Case> cases{
      {"no token", "GET", "/", {}, 403},
      {"printed address again", "GET", "/?token=" + launchpad.token(), {}, 403},
      {"address token as cookie", "GET", "/", {{"Cookie", "launchpad_token=" + launchpad.token()}}, 403},
      {"no token, API", "GET", "/api/state", {}, 403},
      {"wrong token", "GET", "/api/state", {{"Cookie", "launchpad_token=" + std::string(64, '0')}}, 403},
      {"foreign Host",
       "GET",
       "/api/state",
       {{"Cookie", cookie()}, {"Host", "attacker.example:" + std::to_string(launchpad.port())}},
       403},
      {"Host localhost",
       "GET",
       "/api/state",
       {{"Cookie", cookie()}, {"Host", "localhost:" + std::to_string(launchpad.port())}},
       403},
      {"POST without Origin", "POST", "/api/cancel", {{"Cookie", cookie()}}, 403},
      {"POST from elsewhere", "POST", "/api/cancel", {{"Cookie", cookie()}, {"Origin", "http://evil.example"}}, 403},
      {"state with token", "GET", "/api/state", {{"Cookie", cookie()}}, 200},
      {"support list", "GET", "/api/supportlist", {{"Cookie", cookie()}}, 200},
      {"POST from the page", "POST", "/api/cancel", {{"Cookie", cookie()}, {"Origin", "http://" + host()}}, 200},
      {"no such file", "GET", "/../xelo", {{"Cookie", cookie()}}, 404},
  };
  for (const auto& k : cases) {
    auto r = k.method == "GET" ? c.Get(k.path, k.headers) : c.Post(k.path, k.headers, "{}", "application/json");
    ASSERT_TRUE(r) << k.what;
    EXPECT_EQ(r->status, k.status) << k.what << ": " << r->body;
  }
}

TEST_F(Launchpad, RefusesHostileRunRequestsAndStartsNothing) {
  auto c = client();
  const httplib::Headers headers{{"Cookie", cookie()}, {"Origin", "http://" + host()}};
  for (const std::string body :
       {R"({"action":"build","workingDir":"/tmp/w","machineTypes":["7101"],"functions":["novpi"],"medium":"iso",
           "target":"--configfile=/etc/shadow"})",
        R"({"action":"build","workingDir":"/tmp/w","machineTypes":["7101 --force"],"functions":["novpi"]})",
        R"({"action":"build","workingDir":"/tmp/w","machineTypes":"7101"})", R"({"action":"sh -c id"})",
        R"(not json)"}) {
    auto r = c.Post("/api/run", headers, body, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << body << " -> " << r->body;
  }
  auto s = c.Get("/api/state", headers);
  ASSERT_TRUE(s);
  EXPECT_NE(s->body.find("\"started\":false"), std::string::npos) << s->body;
}

// As an administrator starts it: xelowin without arguments starts the front
// end from the program directory, whose page then loads.
TEST(LaunchpadLauncher, XelowinWithoutArgumentsStartsTheFrontEnd) {
  ProgramSandbox sandbox;
  LaunchpadProcess launchpad(sandbox.programDir(), sandbox.systemDrive(), true);
  httplib::Client c("127.0.0.1", launchpad.port());
  auto page = c.Get("/", {{"Cookie", launchpad.openSession()}});
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("Xelo launchpad"), std::string::npos);
}

// The listening socket is bound to 127.0.0.1 (the kernel's table says so) and
// no other address of this machine answers on its port.
TEST_F(Launchpad, ListensOnLoopbackOnly) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line, found;
  char portHex[8];
  std::snprintf(portHex, sizeof portHex, "%04X", launchpad.port());
  while (std::getline(tcp, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.substr(local.size() - 4) == portHex) found = local;
  }
  EXPECT_EQ(found, std::string("0100007F:") + portHex);

  ifaddrs* addresses = nullptr;
  ASSERT_EQ(::getifaddrs(&addresses), 0);
  int tried = 0;
  for (ifaddrs* a = addresses; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in to = *reinterpret_cast<sockaddr_in*>(a->ifa_addr);
    if ((ntohl(to.sin_addr.s_addr) >> 24) == 127) continue;
    to.sin_port = htons(static_cast<uint16_t>(launchpad.port()));
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << inet_ntoa(to.sin_addr);
    ::close(fd);
    ++tried;
  }
  ::freeifaddrs(addresses);
  RecordProperty("other_addresses_tried", tried);
}

}  // namespace
}  // namespace xelotest
