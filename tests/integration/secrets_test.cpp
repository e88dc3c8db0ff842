// The proxy password goes to the proxy and nowhere else: not into the log,
// the media configuration, the result or progress files, nor any other file
// a run writes, whichever way the option is spelled.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "repo_fixtures.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using xelotest::ProgramSandbox;
using xelotest::readFile;

// Files below `root` whose contents hold `secret`. The console capture and
// the input the test fed are not files of the run.
std::vector<std::string> filesHolding(const std::string& root, const std::string& secret) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    if (name == "stdout-capture.txt" || name == "stdin.txt") continue;
    if (readFile(entry.path().string()).find(secret) != std::string::npos) found.push_back(entry.path().string());
    if (name.find(secret) != std::string::npos) found.push_back(entry.path().string());
  }
  return found;
}

class Secrets : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::path(box.programDir()).parent_path().string();
  }

  xelotest::RunResult run(std::vector<std::string> proxyArgs, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"--local=" + box.scratch() + "/w", "-m", "7101", "--function=novpi", "--xml"};
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), proxyArgs.begin(), proxyArgs.end());
    return box.run("xelo", args, "y\n", {{"XELO_TEST_XML_WAIT_MS", "0"}});
  }

  std::vector<std::string> proxy(const std::string& user) const {
    return {"--proxy-address=127.0.0.1", "--proxy-port", std::to_string(server.port()), "--proxy-user=" + user};
  }

  ProgramSandbox box;
  xelotest::ServedStandardRepository served{box.programDir()};
  xelotest::TestRepository& repo = served.repo;
  xelotest::RepoServer& server = served.server;
  std::string root;
};

TEST_F(Secrets, PasswordReachesTheProxyButNoFile) {
  const std::string equals = "Pw1-equals-7Qz9";
  const std::string word = "Pw2-word-4Kx8";
  server.requireProxyAuth("tester", equals);

  // With "=", through a whole acquisition and a medium that gets as far as
  // its configuration file.
  auto args = proxy("tester");
  args.push_back("--proxy-password=" + equals);
  auto r = run(args, {"--iso=out.iso"});
  EXPECT_GT(server.proxiedRequests(), 0) << r.output;
  EXPECT_EQ(server.lastProxyAuthorization().rfind("Basic ", 0), 0u);
  ASSERT_TRUE(xelotest::exists(box.scratch() + "/w/xelo.config")) << r.output;
  EXPECT_THAT(readFile(box.scratch() + "/w/xelo.config"), HasSubstr("QOR_SYSTEM_PROXY_USER=tester"));
  EXPECT_TRUE(xelotest::exists(box.supportDir() + "/xelo_ac_result.xml"));
  EXPECT_TRUE(xelotest::exists(box.supportDir() + "/xelo_cli.xml"));
  EXPECT_THAT(filesHolding(root, equals), ::testing::IsEmpty());

  // As the word after the option.
  server.requireProxyAuth("tester", word);
  const int proxiedBefore = server.proxiedRequests();
  args = proxy("tester");
  args.insert(args.end(), {"--proxy-password", word});
  r = run(args);
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_GT(server.proxiedRequests(), proxiedBefore);
  EXPECT_THAT(filesHolding(root, word), ::testing::IsEmpty());
  // The log does show where the password was.
  const auto logs = box.logFiles();
  ASSERT_FALSE(logs.empty());
  EXPECT_THAT(readFile(box.supportDir() + "/" + logs.back()), HasSubstr("--proxy-password=********"));
}

TEST_F(Secrets, RefusedSpellingsDoNotLeakEither) {
  // Options are case-sensitive and must be written in full: these runs are
  // refused, and the refusal (log, result file) must not quote the password.
  const std::vector<std::vector<std::string>> spellings = {
      {"--Proxy-Password=Pw3-mixed-2Lm5"},
      {"--PROXY-PASSWORD", "Pw4-upper-8Rt1"},
      {"--proxy-pass=Pw5-short-3Vb6"},
      {"--proxy-pa", "Pw6-shortword-5Nc2"},
      {"-proxy-password=Pw7-dash-6Hy3"},
  };
  for (const auto& spelling : spellings) {
    SCOPED_TRACE(spelling.front());
    auto args = proxy("tester");
    args.insert(args.end(), spelling.begin(), spelling.end());
    auto r = run(args);
    EXPECT_EQ(r.status, 101) << r.output;
    const std::string secret = spelling.back().substr(spelling.back().find_last_of("=") + 1);
    EXPECT_THAT(filesHolding(root, secret), ::testing::IsEmpty());
  }
  EXPECT_EQ(server.totalRequests(), 0);
}

}  // namespace
