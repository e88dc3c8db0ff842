// The `xelo-repo` tool as an administrator runs it.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/host.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using namespace xelotest;
namespace fs = std::filesystem;

struct ToolRun {
  int status;
  std::string output;
};

ToolRun runTool(const TempDir& scratch, const std::vector<std::string>& args) {
  std::vector<std::string> argv{XELO_REPO_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string out = scratch / "tool-output.txt";
  fs::remove(out);
  int status = XELO::runToFile(out, argv);
  return {status, readFile(out)};
}

class XeloRepoToolTest : public ::testing::Test {
 protected:
  TempDir dir{"repo-tool"};
  TempDir scratch{"repo-tool-out"};
  TestRepository repo{dir.path()};
};

TEST_F(XeloRepoToolTest, PublishWritesTheCatalogWithProgressAndVerifyAcceptsIt) {
  addStandardContent(repo);
  repo.publish();
  fs::remove(repo.catalogPath());

  auto run = runTool(scratch, {"publish", dir.path()});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("[1/21]"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Published 21 updates"), std::string::npos) << run.output;
  EXPECT_NE(readFile(repo.catalogPath()).find(kStdUefi), std::string::npos);

  run = runTool(scratch, {"verify", "--quiet", dir.path()});
  EXPECT_EQ(run.status, 0) << run.output;

  run = runTool(scratch, {"list", dir.path()});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.output.find(std::string(kStdKyt) + "\ttool\t7101,7102"), std::string::npos) << run.output;
}

TEST_F(XeloRepoToolTest, ProblemsGiveStatusOneAndNameTheFile) {
  repo.addUpdate("qor_fw_x_1.0_anyos_noarch", {"7101"}, {}, 100);
  repo.publish();
  writeFile(repo.pathOf("qor_fw_x_1.0_anyos_noarch.bin"), "tampered");
  auto run = runTool(scratch, {"verify", dir.path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("updates/qor_fw_x_1.0_anyos_noarch.bin"), std::string::npos) << run.output;

  fs::remove(repo.pathOf("qor_fw_x_1.0_anyos_noarch.bin"));
  run = runTool(scratch, {"publish", "--catalog", "other.xml", dir.path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("qor_fw_x_1.0_anyos_noarch.bin"), std::string::npos) << run.output;
  EXPECT_FALSE(exists(dir / "other.xml"));
}

TEST_F(XeloRepoToolTest, KeygenPublishSignedAndVerifyWithTheKey) {
  const std::string key = scratch / "publisher", other = scratch / "other";
  ASSERT_EQ(runTool(scratch, {"keygen", key}).status, 0);
  ASSERT_EQ(runTool(scratch, {"keygen", other}).status, 0);
  EXPECT_EQ(fs::status(key + ".key").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(runTool(scratch, {"keygen", key}).status, 1);  // never over an existing key

  repo.addUpdate("qor_fw_x_1.0_anyos_noarch", {"7101"}, {}, 100);
  repo.setSigningKeys({});
  repo.publish();
  auto run =
      runTool(scratch, {"publish", "--quiet", "--sign", key + ".key", "--valid-until", "2999-01-01", dir.path()});
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string catalog = readFile(repo.catalogPath());
  EXPECT_NE(catalog.find("validUntil=\"2999-01-01T23:59:59Z\""), std::string::npos) << catalog;
  EXPECT_NE(catalog.find("sha256=\""), std::string::npos) << catalog;

  EXPECT_EQ(runTool(scratch, {"verify", "--quiet", "--key", key + ".pem", dir.path()}).status, 0);
  // Either of two keys (a key change) is enough; the other key alone is not.
  EXPECT_EQ(runTool(scratch, {"verify", "--quiet", "--key", other + ".pem", "--key", key + ".pem", dir.path()}).status,
            0);
  run = runTool(scratch, {"verify", "--quiet", "--key", other + ".pem", dir.path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("unknown key"), std::string::npos) << run.output;

  // One byte of the catalog changed after signing.
  std::string edited = catalog;
  edited[edited.find("7101")] = '8';
  writeFile(repo.catalogPath(), edited);
  run = runTool(scratch, {"verify", "--quiet", "--key", key + ".pem", dir.path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("catalog signature invalid"), std::string::npos) << run.output;

  // A bad signing key writes nothing.
  EXPECT_EQ(runTool(scratch, {"publish", "--quiet", "--sign", key + ".pem", dir.path()}).status, 1);
  EXPECT_EQ(readFile(repo.catalogPath()), edited);
  EXPECT_EQ(runTool(scratch, {"publish", "--valid-until", "tomorrow", dir.path()}).status, 2);
}

TEST_F(XeloRepoToolTest, WrongUsageGivesStatusTwo) {
  EXPECT_EQ(runTool(scratch, {}).status, 2);
  EXPECT_EQ(runTool(scratch, {"publish"}).status, 2);
  EXPECT_EQ(runTool(scratch, {"frobnicate", dir.path()}).status, 2);
  EXPECT_EQ(runTool(scratch, {"publish", "--catalog", "../escape.xml", dir.path()}).status, 2);
  auto help = runTool(scratch, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("Usage: xelo-repo"), std::string::npos);
}

}  // namespace
