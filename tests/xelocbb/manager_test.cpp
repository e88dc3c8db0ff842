// The download manager's settings, its content record and the parts of
// startDownload that need no update service.
#include <gtest/gtest.h>

#include "acquire_test_support.h"
#include "downloadmanager.h"
#include "qyxl.h"
#include "test_support.h"

namespace QYXAcquistion {
namespace {

using acquiretest::Recorder;
using Msg = AcquireMessage;
using xelotest::readFile;
using xelotest::ScopedCwd;
using xelotest::TempDir;
using xelotest::writeFile;

TEST(DownloadManagerSettings, NewManagerHasTheDocumentedDefaults) {
  DownloadManager m;
  EXPECT_EQ(m.getDownloadPath(), ".");
  EXPECT_TRUE(m.getMachineTypes().empty());
  EXPECT_TRUE(m.getOperatingSystems().empty());
  EXPECT_TRUE(m.getFixIds().empty());
  EXPECT_FALSE(m.getIsReport());
  EXPECT_FALSE(m.getIsLatest());
  EXPECT_TRUE(m.getIncludeData());
  EXPECT_TRUE(m.getIncludeMetaData());
  EXPECT_FALSE(m.getIncludeFirmwareOnly());
  EXPECT_FALSE(m.getExcludeFirmwareOnly());
  EXPECT_FALSE(m.getIncludeFirmwareAndDriver());
  EXPECT_FALSE(m.getIncludeSupercedeOnly());
  EXPECT_EQ(m.getUpdateType(), UPDATES_FIRMWARE_DRIVER);
  EXPECT_EQ(m.getSubjectVersion(), "5.20");
  EXPECT_EQ(m.getSubmitterName(), "");
  EXPECT_EQ(m.getSubmitterVersion(), "");
  EXPECT_EQ(m.getProxy().enabled, 0);
  EXPECT_EQ(m.getProxy().port, 0);
  EXPECT_TRUE(m.getXMLFiles().empty());

  m.setOperatingSystems({{207, ARCH_X64}, {109, ARCH_X86}});
  m.setUpdateType(UPDATES_TOOLS);
  m.setSubjectVersion("");
  EXPECT_EQ(m.getOperatingSystems().size(), 2u);
  EXPECT_EQ(m.getOperatingSystems()[1].first, 109);
  EXPECT_EQ(m.getUpdateType(), UPDATES_TOOLS);
  EXPECT_EQ(m.getSubjectVersion(), "");
}

TEST(ContentNodeRecord, PerPackageAccessorsAddressTheFirstEntryWithTheId) {
  ContentNode node;
  std::vector<_PACKAGEDATA> pkgs(3);
  pkgs[0].updateId = "a";
  pkgs[0].size = 40;
  pkgs[1].updateId = "b";
  pkgs[1].size = 7;
  pkgs[2].updateId = "a";  // a duplicate is never addressed
  node.setPkgs(pkgs);
  EXPECT_EQ(node.getStatus("a"), "Not Started");

  node.setStatus("a", "Acquiring");
  node.setDownloadedSize("a", 12);
  node.setDownloadSpeed("b", 300);
  node.setFullDownloadedSize("b");
  EXPECT_EQ(node.getStatus("a"), "Acquiring");
  EXPECT_EQ(node.getPkgs()[2].status, "Not Started");
  EXPECT_EQ(node.getDownloadedSize("a"), 12);
  EXPECT_EQ(node.getDownloadedSize("b"), 7);
  EXPECT_EQ(node.getPkg("b").downloadSpeed, 300);

  // Unknown ids change nothing and read as blank.
  node.setStatus("zz", "Done");
  EXPECT_EQ(node.getStatus("zz"), "");
  EXPECT_EQ(node.getPkg("zz").updateId, "");
  EXPECT_EQ(node.getPkgs().size(), 3u);

  ContentNode copy = node;  // copies are independent
  copy.setStatus("a", "Done");
  EXPECT_EQ(node.getStatus("a"), "Acquiring");
}

TEST(Checksum, MatchesOnlyAReadableFileWithTheSameHash) {
  TempDir dir;
  writeFile(dir / "f", "abc");
  EXPECT_TRUE(DownloadManager::checksumMatches(dir / "f", "a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_FALSE(DownloadManager::checksumMatches(dir / "f", "A9993E364706816ABA3E25717850C26C9CD0D89D"));
  EXPECT_FALSE(DownloadManager::checksumMatches(dir / "f", ""));
  // A missing file must not count as present for a package without a hash.
  EXPECT_FALSE(DownloadManager::checksumMatches(dir / "missing", ""));
}

class StartDownloadTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCwd cwd{dir.path()};
  Recorder recorder;
  DownloadManager manager;

  std::string property(const std::string& key) {
    qyxl::Config::setRootDataDirectory(dir.path());
    qyxl::Config config;
    config.load(qyxl::Config::CONNECT, false);
    return config.getProperty(key);
  }
};

TEST_F(StartDownloadTest, WithoutOperatingSystemsEveryMachineTypeIsBracketedAndNothingRuns) {
  manager.setMachineTypes({"7101", "7102"});
  EXPECT_EQ(manager.startDownload(recorder), ACQUIRE_NOTHING_TO_DO);
  ASSERT_EQ(recorder.messages.size(), 4u) << recorder.dump();
  EXPECT_EQ(recorder.texts(Msg::Log),
            (std::vector<std::string>{
                "Acquiring NOVP for Machine-Type=7101 - START", "Acquiring NOVP for Machine-Type=7101 - END",
                "Acquiring NOVP for Machine-Type=7102 - START", "Acquiring NOVP for Machine-Type=7102 - END"}));
  EXPECT_TRUE(recorder.nodes.empty());

  Recorder second;
  manager.setMachineTypes({});
  manager.setOperatingSystems({{207, ARCH_X64}});
  EXPECT_EQ(manager.startDownload(second), ACQUIRE_NOTHING_TO_DO);
  EXPECT_TRUE(second.messages.empty());
}

TEST_F(StartDownloadTest, ProxyIsWrittenToTheConnectionStoreWithoutItsPassword) {
  writeFile(dir / "qyxConnect.properties", "# kept\n_QOR.SP_LOCATION_URL = http://127.0.0.1:9/\n");
  HTTPProxyInfo proxy;
  proxy.enabled = 1;
  proxy.host = "proxy.example";
  proxy.port = 3128;
  proxy.userId = "admin";
  proxy.password = "s3cret-pw";
  manager.setProxy(proxy);
  manager.startDownload(recorder);

  EXPECT_EQ(property("CUSTOMER_SUPPLIED_HTTP_PROXY_ENABLED"), qyxl::Config::YES);
  EXPECT_EQ(property("CUSTOMER_SUPPLIED_HTTP_PROXY_LOCATION_1"), "proxy.example");
  EXPECT_EQ(property("CUSTOMER_SUPPLIED_HTTP_PROXY_PORT_1"), "3128");
  EXPECT_EQ(property("CUSTOMER_SUPPLIED_HTTP_PROXY_USERID_1"), "admin");
  EXPECT_EQ(property("CUSTOMER_SUPPLIED_HTTP_PROXY_PASSWORD_HANDLE_1"), "PWD_HANDLE");
  EXPECT_EQ(property("DIRECT_LAN_CONNECT_ALLOWED"), qyxl::Config::NO);
  EXPECT_EQ(property("_QOR.SP_LOCATION_URL"), "http://127.0.0.1:9/");
  const std::string text = readFile(dir / "qyxConnect.properties");
  EXPECT_EQ(text.find("s3cret-pw"), std::string::npos);
  EXPECT_NE(text.find("# kept"), std::string::npos);

  proxy.enabled = 0;
  manager.setProxy(proxy);
  manager.startDownload(recorder);
  EXPECT_EQ(property("CUSTOMER_SUPPLIED_HTTP_PROXY_ENABLED"), qyxl::Config::NO);
  EXPECT_EQ(property("DIRECT_LAN_CONNECT_ALLOWED"), qyxl::Config::YES);
}

}  // namespace
}  // namespace QYXAcquistion
