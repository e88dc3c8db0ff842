// Ordering and downloading over HTTP from the test repository server, with
// the faults a real repository or network shows.
#include <chrono>
#include <filesystem>

#include "qyxl_test_helpers.h"

namespace {

using namespace xelotest;
using qyxltest::Order;
using Clock = std::chrono::steady_clock;

class HttpTest : public qyxltest::RepositoryTest {
 protected:
  void SetUp() override {
    RepositoryTest::SetUp();
    server.start();
    useLocation(server.baseUrl(), fastTimeouts());
  }
  void TearDown() override {
    server.stop();
    RepositoryTest::TearDown();
  }

  static std::vector<std::pair<std::string, std::string>> fastTimeouts() {
    return {{qyxl::Config::LOW_SPEED_TIMEOUT, "1"}, {qyxl::Config::CONNECT_TIMEOUT, "2"}};
  }

  qyxl::UpdatePackage* orderFile(qyxl::UpdateOrderContext& ctx, const std::string& id, const std::string& file) {
    auto* p = byName(order(ctx, {{"ptf/" + id}}), file);
    if (p) {
      p->setDownloadPathname(downloads.path());
      p->setCompareSizeEnabled(false);
    }
    return p;
  }

  // Downloads and expects a failure whose text holds the text of `key`;
  // nothing may be left under the final or the temporary name.
  void expectFailure(qyxl::UpdatePackage* p, qyxl::UpdateOrderContext& ctx, const std::string& key) {
    ASSERT_NE(p, nullptr);
    try {
      p->download(ctx);
      ADD_FAILURE() << "download of " << p->getDownloadFilename() << " did not fail";
    } catch (const qyxl::QYXException& e) {
      EXPECT_NE(std::string(e.what()).find(qyxl::QYXMessage::getString(key)), std::string::npos) << e.what();
      if (key == "Cmn.DownloadFileError") {
        EXPECT_EQ(e.getIdAsInt(), qyxl::QYXMessage::CmnDownloadFileError);
      }
    }
    EXPECT_FALSE(exists(downloads / p->getDownloadFilename()));
    EXPECT_FALSE(exists(qyxl::temporaryPathFor(downloads / p->getDownloadFilename())));
  }

  const std::string payload = std::string(kStdBootTools) + ".zip";  // 20000 bytes
  RepoServer server{repoDir.path()};
};

TEST_F(HttpTest, UpdatePackIsOrderedAndEveryFileDownloadedOnce) {
  qyxl::UpdateOrderContext ctx;
  auto packages = order(ctx, {{"sup/latest"}, "qor/korvex/7102", {kSles11x64}});
  ASSERT_FALSE(packages.empty());
  for (auto* p : packages) {
    p->setDownloadPathname(downloads.path());
    p->setCompareSizeEnabled(false);
    p->download(ctx);
  }
  ctx.close();
  for (auto* p : packages) {
    const std::string name = p->getDownloadFilename();
    EXPECT_EQ(sha1OfFile(downloads / name), repo.sha1Of(name)) << name;
    EXPECT_EQ(server.requestCount(repo.urlPathOf(name)), 1) << name;
  }
  EXPECT_EQ(server.requestCount("/catalog.xml"), 1);
  EXPECT_EQ(listFiles(downloads.path()).size(), packages.size());
}

TEST_F(HttpTest, StalledDownloadFailsWithTheTimeoutTextWithinSeconds) {
  server.setFault(repo.urlPathOf(payload), RepoFault::stall(4096, 20000));
  qyxl::UpdateOrderContext ctx;
  auto* p = orderFile(ctx, kStdBootTools, payload);
  auto start = Clock::now();
  expectFailure(p, ctx, "Cmn.DownloadTimeout");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));

  // A server that does not answer at all stalls the same way.
  server.setFault(repo.urlPathOf(payload), RepoFault::delay(10000));
  start = Clock::now();
  expectFailure(p, ctx, "Cmn.DownloadTimeout");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

TEST_F(HttpTest, DelayShorterThanTheTimeoutStillSucceeds) {
  server.setFault(repo.urlPathOf(payload), RepoFault::delay(300));
  qyxl::UpdateOrderContext ctx;
  auto* p = orderFile(ctx, kStdBootTools, payload);
  p->download(ctx);
  EXPECT_EQ(sha1OfFile(downloads / payload), repo.sha1Of(payload));
}

TEST_F(HttpTest, ServerFaultsFailWithTheDownloadErrorAndLeaveNoFile) {
  const std::vector<std::pair<std::string, RepoFault>> faults{{"404", RepoFault::notFound()},
                                                              {"500", RepoFault::serverError()},
                                                              {"truncated", RepoFault::truncate(10000)},
                                                              {"wrong content", RepoFault::wrongContent()}};
  for (const auto& [what, fault] : faults) {
    SCOPED_TRACE(what);
    server.setFault(repo.urlPathOf(payload), fault);
    qyxl::UpdateOrderContext ctx;
    expectFailure(orderFile(ctx, kStdBootTools, payload), ctx, "Cmn.DownloadFileError");
  }
}

TEST_F(HttpTest, FailedFileCanBeFetchedAgainOnceTheFaultIsGone) {
  server.setFault(repo.urlPathOf(payload), RepoFault::truncate(100).limit(1));
  qyxl::UpdateOrderContext ctx;
  auto* p = orderFile(ctx, kStdBootTools, payload);
  expectFailure(p, ctx, "Cmn.DownloadFileError");
  EXPECT_EQ(&p->getState(), &qyxl::UpdatePackageState::ORDERED);
  p->download(ctx);
  EXPECT_EQ(sha1OfFile(downloads / payload), repo.sha1Of(payload));
  EXPECT_EQ(server.requestCount(repo.urlPathOf(payload)), 2);
}

TEST_F(HttpTest, RedirectsAreFollowedOnlyToTheWeb) {
  // To another path on the same server: followed.
  server.setFault(repo.urlPathOf(payload), RepoFault::redirect(server.baseUrl() + "moved/" + payload));
  std::filesystem::create_directories(repoDir / "moved");
  std::filesystem::copy_file(repo.pathOf(payload), repoDir / ("moved/" + payload));
  qyxl::UpdateOrderContext ctx;
  auto* p = orderFile(ctx, kStdBootTools, payload);
  p->download(ctx);
  EXPECT_EQ(server.requestCount("/moved/" + payload), 1);

  // To a local file: refused, even though the file is there and correct.
  std::filesystem::remove(downloads / payload);
  server.setFault(repo.urlPathOf(payload), RepoFault::redirect("file://" + repo.pathOf(payload)));
  qyxl::UpdateOrderContext again;
  expectFailure(orderFile(again, kStdBootTools, payload), again, "Cmn.DownloadFileError");
}

TEST_F(HttpTest, UnreachableOrMissingRepositoryFailsWithTheConnectivityText) {
  server.setFault("/catalog.xml", RepoFault::notFound());
  auto expectConnectivity = [&] {
    qyxl::UpdateOrderContext ctx;
    try {
      order(ctx, {{"all"}});
      ADD_FAILURE() << "the order did not fail";
    } catch (const qyxl::QYXException& e) {
      EXPECT_NE(std::string(e.what()).find("Error preparing connectivity path"), std::string::npos) << e.what();
    }
  };
  expectConnectivity();
  server.stop();  // nothing listens on the port any more
  expectConnectivity();
}

TEST_F(HttpTest, ServerGoneDuringTheOrderFailsTheDownloadNotTheProcess) {
  qyxl::UpdateOrderContext ctx;
  auto* p = orderFile(ctx, kStdBootTools, payload);
  server.stop();
  expectFailure(p, ctx, "Cmn.DownloadFileError");
}

TEST_F(HttpTest, ProxyFromTheConnectionStoreCarriesTheUserAndSecretPassword) {
  qyxl::PlatformExtensionIfc::getPlatformExtension().setSecret("PWD_HANDLE", "pa:ss");
  server.requireProxyAuth("alice", "pa:ss");
  auto settings = fastTimeouts();
  settings.insert(settings.end(), {{qyxl::Config::PROXY_ENABLED, qyxl::Config::YES},
                                   {std::string(qyxl::Config::PROXY_LOCATION) + "1", "127.0.0.1"},
                                   {std::string(qyxl::Config::PROXY_PORT) + "1", std::to_string(server.port())},
                                   {std::string(qyxl::Config::PROXY_USERID) + "1", "alice"},
                                   {std::string(qyxl::Config::PROXY_PASSWORD_HANDLE) + "1", "PWD_HANDLE"},
                                   {qyxl::Config::DIRECT_LAN_CONNECT_ALLOWED, qyxl::Config::NO}});
  // The repository host does not exist: only the proxy can answer.
  useLocation("http://repository.invalid/", settings);
  qyxl::UpdateOrderContext ctx;
  auto* p = orderFile(ctx, kStdBootTools, payload);
  ASSERT_NE(p, nullptr);
  p->download(ctx);
  EXPECT_EQ(sha1OfFile(downloads / payload), repo.sha1Of(payload));
  EXPECT_GE(server.proxiedRequests(), 2);
  EXPECT_EQ(server.lastProxyAuthorization(), "Basic YWxpY2U6cGE6c3M=");  // alice:pa:ss

  // A wrong secret: the proxy refuses and the order fails.
  qyxl::PlatformExtensionIfc::getPlatformExtension().setSecret("PWD_HANDLE", "wrong");
  qyxl::UpdateOrderContext refused;
  EXPECT_THROW(order(refused, {{"all"}}), qyxl::QYXException);
}

TEST_F(HttpTest, HttpsVerifiesTheServerAgainstTheConfiguredAuthorities) {
  TempDir certs("qyxl-tls");
  auto credentials = makeSelfSignedCertificate(certs.path());
  RepoServer secure(repoDir.path());
  secure.useTls(credentials);
  secure.start();

  // The certificate is trusted by nobody but the configured CA file.
  useLocation(secure.baseUrl(), fastTimeouts());
  qyxl::UpdateOrderContext untrusted;
  EXPECT_THROW(order(untrusted, {{"all"}}), qyxl::QYXException);
  EXPECT_EQ(secure.totalRequests(), 0);

  auto settings = fastTimeouts();
  settings.push_back({qyxl::Config::CA_FILE, credentials.certificate});
  useLocation(secure.baseUrl(), settings);
  qyxl::UpdateOrderContext ctx;
  auto* p = orderFile(ctx, kStdBootTools, payload);
  ASSERT_NE(p, nullptr);
  p->download(ctx);
  EXPECT_EQ(sha1OfFile(downloads / payload), repo.sha1Of(payload));
  secure.stop();
}

TEST_F(HttpTest, DirectConnectionForbiddenWithoutProxyIsAConnectivityError) {
  auto settings = fastTimeouts();
  settings.push_back({qyxl::Config::DIRECT_LAN_CONNECT_ALLOWED, qyxl::Config::NO});
  useLocation(server.baseUrl(), settings);
  qyxl::UpdateOrderContext ctx;
  try {
    order(ctx, {{"all"}});
    FAIL() << "the order did not fail";
  } catch (const qyxl::QYXException& e) {
    EXPECT_NE(std::string(e.what()).find("Error preparing connectivity path"), std::string::npos);
  }
  EXPECT_EQ(server.totalRequests(), 0);
}

}  // namespace
