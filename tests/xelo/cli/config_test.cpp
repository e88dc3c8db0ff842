#include "cli/config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace XELO {
namespace {

TEST(ConfigKeys, InitFillsThirtyFiveDistinctKeysInFileOrder) {
  Options options;
  options.configEntries.push_back({"STALE", "x", true});
  initOptionKeys(options);
  ASSERT_EQ(options.configEntries.size(), 35u);
  EXPECT_EQ(options.configEntries.front().key, "QOR_SYSTEM_MACHINETYPE");
  EXPECT_EQ(options.configEntries[1].key, "QOR_SYSTEM_WORKINGDIR");
  EXPECT_EQ(options.configEntries[33].key, "QOR_SYSTEM_VERSION");
  EXPECT_EQ(options.configEntries.back().key, "QOR_SYSTEM_UPDATE_HBACNA");
  std::set<std::string> keys;
  for (const auto& e : options.configEntries) {
    keys.insert(e.key);
    EXPECT_EQ(e.value, "");
    EXPECT_FALSE(e.set);
  }
  EXPECT_EQ(keys.size(), 35u);
}

TEST(ConfigKeys, SetReturnsFalseForKnownKeyAndTrueForUnknown) {
  Options options;
  initOptionKeys(options);
  EXPECT_FALSE(setConfigValue(options, "QOR_SYSTEM_TIMEOUT", "30"));
  EXPECT_EQ(configValue(options, "QOR_SYSTEM_TIMEOUT"), "30");
  EXPECT_TRUE(setConfigValue(options, "QOR_SYSTEM_PROXY_PASSWORD", "secret"));
  EXPECT_TRUE(setConfigValue(options, "qor_system_timeout", "1"));  // keys are case-sensitive
  EXPECT_EQ(configValue(options, "QOR_SYSTEM_TIMEOUT"), "30");
  EXPECT_EQ(configValue(options, "QOR_SYSTEM_PROXY_PASSWORD"), "");
  EXPECT_EQ(options.configEntries.size(), 35u);
}

TEST(ConfigKeys, SerializeWritesEveryKeyWithNullForEmptyValues) {
  Options options;
  initOptionKeys(options);
  setConfigValue(options, "QOR_SYSTEM_MACHINETYPE", "9753,7101");
  setConfigValue(options, "QOR_SYSTEM_TOOL_FILE", "");  // set but empty
  const std::string text = serializeConfig(options);
  EXPECT_EQ(text.rfind("QOR_SYSTEM_MACHINETYPE=9753,7101\nQOR_SYSTEM_WORKINGDIR=NULL\nQOR_SYSTEM_TOOL_FILE=NULL\n", 0),
            0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 35);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_NE(text.find("\nQOR_SYSTEM_UPDATE_HBACNA=NULL\n"), std::string::npos);
}

}  // namespace
}  // namespace XELO
