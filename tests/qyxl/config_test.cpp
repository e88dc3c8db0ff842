// The client's properties stores and the in-memory secrets.
#include <gtest/gtest.h>

#include "qyxl.h"
#include "test_support.h"

namespace {

using xelotest::readFile;
using xelotest::writeFile;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { qyxl::Config::setRootDataDirectory(dir.path()); }
  void TearDown() override { qyxl::Config::setRootDataDirectory(""); }
  xelotest::TempDir dir{"qyxl-config"};
};

TEST_F(ConfigTest, StoreKeepsCommentsAndUntouchedLinesAndReplacesValuesInPlace) {
  writeFile(dir / "qyxConnect.properties",
            "# where the repository is\r\n_QOR.SP_LOCATION_URL = file:///srv/repo/\r\n\r\n"
            "_QOR.SP_UPDATE_INIT=false\r\nDIRECT_LAN_CONNECT_ALLOWED = true\r\n");
  qyxl::Config c;
  ASSERT_TRUE(c.load(qyxl::Config::CONNECT, false));
  EXPECT_EQ(c.getProperty(qyxl::Config::SP_LOCATION_URL), "file:///srv/repo/");
  EXPECT_EQ(c.getProperty(qyxl::Config::SP_UPDATE_INIT), "false");
  c.setProperty(qyxl::Config::DIRECT_LAN_CONNECT_ALLOWED, qyxl::Config::NO);
  c.setProperty(qyxl::Config::PROXY_ENABLED, qyxl::Config::YES);
  ASSERT_TRUE(c.store(false));
  EXPECT_EQ(readFile(dir / "qyxConnect.properties"),
            "# where the repository is\n_QOR.SP_LOCATION_URL = file:///srv/repo/\n\n"
            "_QOR.SP_UPDATE_INIT=false\nDIRECT_LAN_CONNECT_ALLOWED = false\n"
            "CUSTOMER_SUPPLIED_HTTP_PROXY_ENABLED = true\n");

  qyxl::Config again;
  ASSERT_TRUE(again.load(qyxl::Config::CONNECT, false));
  EXPECT_EQ(again.getProperty(qyxl::Config::PROXY_ENABLED), "true");
  EXPECT_EQ(again.getProperty("NOT_THERE"), "");
}

TEST_F(ConfigTest, MissingStoreLoadsOnlyWithCreateAndIsWrittenOnlyWithCreate) {
  qyxl::Config c;
  EXPECT_FALSE(c.load(qyxl::Config::BASE, false));
  EXPECT_TRUE(c.load(qyxl::Config::BASE, true));
  c.setProperty("LOG_LEVEL", "INFO");
  EXPECT_FALSE(c.store(false));
  EXPECT_FALSE(xelotest::exists(dir / "qyxBase.properties"));
  EXPECT_TRUE(c.store(true));
  EXPECT_EQ(readFile(dir / "qyxBase.properties"), "LOG_LEVEL = INFO\n");
  EXPECT_FALSE(xelotest::exists(dir / "qyxConnect.properties"));
}

TEST_F(ConfigTest, RelativeRootIsTakenFromTheCurrentDirectory) {
  xelotest::ScopedCwd cwd(dir.path());
  qyxl::Config::setRootDataDirectory(".");
  writeFile(dir / "qyxConnect.properties", "_QOR.SP_LOCATION_URL = http://127.0.0.1:1/\n");
  qyxl::Config c;
  ASSERT_TRUE(c.load(qyxl::Config::CONNECT, false));
  EXPECT_EQ(c.getProperty(qyxl::Config::SP_LOCATION_URL), "http://127.0.0.1:1/");
}

TEST(PlatformExtension, SecretsAreKeptByHandle) {
  auto& ext = qyxl::PlatformExtensionIfc::getPlatformExtension();
  ext.setSecret("TEST_HANDLE", "s3cret");
  EXPECT_EQ(ext.getSecret("TEST_HANDLE"), "s3cret");
  EXPECT_EQ(ext.getSecret("OTHER_HANDLE"), "");
  EXPECT_EQ(&ext, &qyxl::PlatformExtensionIfc::getPlatformExtension());
}

}  // namespace
