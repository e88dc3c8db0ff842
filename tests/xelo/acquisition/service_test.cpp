#include "acquisition/service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "core/options.h"
#include "host/host.h"
#include "log/logger.h"
#include "test_support.h"

namespace XELO {
namespace {

// An HTTP proxy on 127.0.0.1 that answers every request with one fixed
// status and records what it was sent.
class TestProxy {
 public:
  explicit TestProxy(int status, std::string body = "") : status(status), body(std::move(body)) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 8) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("test proxy: cannot listen");
    port = ntohs(addr.sin_port);
    server = std::thread([this] { serve(); });
  }
  ~TestProxy() {
    stopping = true;
    server.join();
    ::close(listener);
  }

  int port = 0;
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> guard(lock);
    return received;
  }

 private:
  void serve() {
    while (!stopping) {
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept(listener, nullptr, nullptr);
      if (client < 0) continue;
      timeval timeout{5, 0};
      ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        received.push_back(request);
      }
      std::string answer = "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nConnection: close\r\n";
      if (status == 407) answer += "Proxy-Authenticate: Basic realm=\"test\"\r\n";
      answer += "\r\n" + body;
      // The client may hang up after the headers; that must not raise SIGPIPE.
      for (size_t sent = 0; sent < answer.size();) {
        const ssize_t n = ::send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::close(client);
    }
  }

  int status;
  std::string body;
  int listener = -1;
  std::atomic<bool> stopping{false};
  std::thread server;
  std::mutex lock;
  std::vector<std::string> received;
};

// What the log gained since the object was made.
class LogTail {
 public:
  LogTail() : start(xelotest::readFile(processLogger().getLogFilePath()).size()) {}
  std::string text() const { return xelotest::readFile(processLogger().getLogFilePath()).substr(start); }

 private:
  size_t start;
};

HTTPProxyInfo proxyAt(int port, const std::string& user = "", const std::string& password = "") {
  HTTPProxyInfo record;
  record.enabled = 1;
  record.host = "127.0.0.1";
  record.port = port;
  record.userId = user;
  record.password = password;
  return record;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Some line of `log` is an Error-level entry whose message is `message`.
bool errorLine(const std::string& log, const std::string& message) {
  std::string::size_type start = 0;
  while (start < log.size()) {
    auto end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    if (has(line, logLevelTag(LogError)) && line.size() >= message.size() + 2 &&
        line.compare(line.size() - message.size() - 2, std::string::npos, "  " + message) == 0)
      return true;
    start = end + 1;
  }
  return false;
}

// ---- proxy record and check --------------------------------------------------

TEST(ProxyRecordTest, FilledOnlyFromACompleteAddressAndPort) {
  Options options;
  options.proxyAddress = "proxy.lan";
  options.proxyPort = 3128;
  options.proxyUser = "alice";
  options.proxyPassword = "s3cret";
  HTTPProxyInfo record;
  fillProxyRecord(record, options);
  EXPECT_TRUE(record.enabled == 1 && record.host == "proxy.lan" && record.port == 3128 &&
              record.userId == "alice" && record.password == "s3cret");

  // A refill without a port does not keep the former proxy.
  options.proxyPort = 0;
  fillProxyRecord(record, options);
  EXPECT_TRUE(record.enabled == 0 && record.host.empty() && record.password.empty());
}

class ProxyCheckTest : public ::testing::Test {
 protected:
  xelotest::ScopedEnv webServer{"XELO_WEB_SERVER", "web.example.test"};
  // A no_proxy setting of the environment must not bypass the proxy.
  xelotest::ScopedEnv noProxy{"no_proxy", "*"};
};

TEST_F(ProxyCheckTest, ReachableProxyGivesTwo) {
  TestProxy proxy(200, std::string(256 * 1024, 'b'));  // the body is not waited for
  LogTail log;
  EXPECT_EQ(checkProxy(proxyAt(proxy.port)), 2);
  const auto requests = proxy.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET http://web.example.test/ HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_FALSE(has(requests[0], "Proxy-Authorization"));
  EXPECT_TRUE(has(requests[0], "User-Agent: XELO\r\n"));
  EXPECT_TRUE(errorLine(log.text(), "HTTP Response Code is:200")) << log.text();
  EXPECT_TRUE(errorLine(log.text(), "set proxyStatus = 2"));
}

TEST_F(ProxyCheckTest, AuthenticationDemandGivesOneAndCredentialsAreSent) {
  TestProxy proxy(407, "denied");
  LogTail log;
  EXPECT_EQ(checkProxy(proxyAt(proxy.port, "alice", "s3cret")), 1);
  const auto requests = proxy.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(has(requests[0], "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\n")) << requests[0];
  EXPECT_TRUE(errorLine(log.text(), "HTTP Response Code is:407"));
  EXPECT_TRUE(errorLine(log.text(), "set proxyStatus = 1"));
  EXPECT_FALSE(has(log.text(), "s3cret"));
}

TEST_F(ProxyCheckTest, EmptyPasswordStillSendsTheRequest) {
  TestProxy proxy(401);
  EXPECT_EQ(checkProxy(proxyAt(proxy.port, "alice", "")), 1);
  const auto requests = proxy.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(has(requests[0], "Proxy-Authorization: Basic YWxpY2U6\r\n")) << requests[0];
}

TEST_F(ProxyCheckTest, UnreachableProxyGivesMinusOne) {
  int port = 0;
  {
    TestProxy closed(200);  // an ephemeral port that nobody listens on afterwards
    port = closed.port;
  }
  LogTail log;
  EXPECT_EQ(checkProxy(proxyAt(port)), -1);
  EXPECT_TRUE(errorLine(log.text(), "Error: Failed to HttpSendRequest web.example.test via proxy server."));
  EXPECT_FALSE(has(log.text(), "set proxyStatus"));
}

// ---- service provider switch -------------------------------------------------

class ServiceProviderTest : public ::testing::Test {
 protected:
  xelotest::TempDir dir;
  xelotest::ScopedCwd cwd{dir.path()};
  const std::string original =
      "# client connection\r\n"
      "_QOR.SP_LOCATION_URL = https://updates.example/sp.xml\r\n"
      "CUSTOMER_SUPPLIED_HTTP_PROXY_ENABLED = false\n"
      "_QOR.SP_UPDATE_INIT = true\n"
      "DIRECT_LAN_CONNECT_ALLOWED = true";
  void SetUp() override {
    xelotest::writeFile(dir / "qyxConnect.properties", original);
    xelotest::writeFile(dir / "qyxReq", "cached request");
  }
  std::string properties() const { return xelotest::readFile(dir / "qyxConnect.properties"); }
};

TEST_F(ServiceProviderTest, PointingRewritesOnlyTheTwoKeysAndDropsTheRequestCache) {
  EXPECT_TRUE(pointClientAt("file:///srv/test-sp.xml"));
  EXPECT_EQ(properties(),
            "# client connection\r\n"
            "_QOR.SP_LOCATION_URL = file:///srv/test-sp.xml\n"
            "CUSTOMER_SUPPLIED_HTTP_PROXY_ENABLED = false\n"
            "_QOR.SP_UPDATE_INIT = NO\n"
            "DIRECT_LAN_CONNECT_ALLOWED = true\n");
  EXPECT_FALSE(xelotest::exists(dir / "qyxReq"));
}

TEST_F(ServiceProviderTest, MissingFileGetsBothKeys) {
  deleteFile(dir / "qyxConnect.properties");
  EXPECT_TRUE(pointClientAt("http://127.0.0.1:1/sp.xml"));
  EXPECT_EQ(properties(), "_QOR.SP_LOCATION_URL = http://127.0.0.1:1/sp.xml\n_QOR.SP_UPDATE_INIT = NO\n");
}

TEST_F(ServiceProviderTest, UnreadablePropertiesAreLeftAlone) {
  deleteFile(dir / "qyxConnect.properties");
  ASSERT_TRUE(ensureDirectory(dir / "qyxConnect.properties"));
  EXPECT_FALSE(pointClientAt("http://127.0.0.1:1/sp.xml"));
  EXPECT_TRUE(isDirectory(dir / "qyxConnect.properties"));
  EXPECT_TRUE(xelotest::exists(dir / "qyxReq"));
}

TEST_F(ServiceProviderTest, SwitchesActOnlyWhenTheTestServiceWasSelectedAtStartUp) {
  xelotest::ScopedEnv testFsp("XELO_TEST_FSP", "http://127.0.0.1:8/test-sp.xml");
  xelotest::ScopedEnv webServer("XELO_WEB_SERVER", "127.0.0.1:9");
  useTestServiceProvider();
  restoreProductionServiceProvider();
  EXPECT_EQ(properties(), original);
  EXPECT_TRUE(xelotest::exists(dir / "qyxReq"));

  struct FlagGuard {
    FlagGuard() { selectTestServiceProvider(true); }
    ~FlagGuard() { selectTestServiceProvider(false); }
  } flag;
  LogTail log;
  useTestServiceProvider();
  EXPECT_TRUE(has(properties(), "\n_QOR.SP_LOCATION_URL = http://127.0.0.1:8/test-sp.xml\n"));
  EXPECT_TRUE(has(log.text(), "Using QYX Test FSP: http://127.0.0.1:8/test-sp.xml"));
  EXPECT_FALSE(xelotest::exists(dir / "qyxReq"));

  restoreProductionServiceProvider();
  EXPECT_TRUE(has(properties(),
                  "\n_QOR.SP_LOCATION_URL = http://127.0.0.1:9/services/projects/qyx/serviceProviderQOR.gzip\n"));
  EXPECT_TRUE(has(properties(), "\n_QOR.SP_UPDATE_INIT = NO\n"));
  EXPECT_TRUE(has(log.text(), "Restore to QYX Production FSP"));
}

}  // namespace
}  // namespace XELO
