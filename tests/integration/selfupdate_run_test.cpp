// Checking for a newer version of the tool against a repository on a
// loopback HTTP server, and the service-file download from a loopback FTP
// server, run through the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "../xelo/selfupdate/ftp_test_server.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::ProgramSandbox;
using xelotest::readFile;

constexpr const char* kRunning = "qor_utl_xelo_9.64_windows_i386";
constexpr const char* kNewer = "qor_utl_xelo_9.70_windows_i386";

class SelfUpdateRun : public ::testing::Test {
 protected:
  void serve() { served.serve(box.programDir()); }
  xelotest::RunResult run(std::vector<std::string> args,
                          std::vector<std::pair<std::string, std::string>> env = {}, const std::string& input = "") {
    env.emplace_back("XELO_TEST_XML_WAIT_MS", "0");
    const auto before = box.logFiles();
    auto outcome = box.run("xelo", args, input, env);
    lastLog.clear();
    for (const auto& name : box.logFiles())
      if (std::find(before.begin(), before.end(), name) == before.end()) lastLog = name;
    return outcome;
  }
  std::string work() const { return box.scratch() + "/w"; }
  // The log of the last run.
  std::string log() const { return lastLog.empty() ? "" : readFile(box.supportDir() + "/" + lastLog); }
  std::string result() const { return readFile(box.supportDir() + "/xelo_cli.xml"); }
  // What the run left in the working directory besides the lock file that
  // every run holds there.
  std::vector<std::string> downloaded() const {
    std::vector<std::string> files = exists(work()) ? xelotest::listFiles(work()) : std::vector<std::string>{};
    files.erase(std::remove(files.begin(), files.end(), ".xelo.lock"), files.end());
    return files;
  }

  ProgramSandbox box;
  xelotest::ServedRepository served;
  xelotest::TestRepository& repo = served.repo;
  xelotest::RepoServer& server = served.server;
  std::string lastLog;
};

TEST_F(SelfUpdateRun, RunningVersionIsTheLatest) {
  repo.addTool(kRunning, ".exe");
  serve();

  auto report = run({"--check-update", "--report", "--local=" + work()});
  EXPECT_EQ(report.status, 31) << report.output;
  EXPECT_THAT(report.output, HasSubstr("Checking QOR Web Site for the latest version of this tool...."));
  EXPECT_THAT(report.output, HasSubstr("No newer version is available. You are running the latest tool.\n"));
  EXPECT_THAT(result(), HasSubstr("<CODE>31</CODE>"));
  EXPECT_THAT(log(), HasSubstr("main()::check-update report: No newer version is available."));
  EXPECT_TRUE(downloaded().empty());

  auto check = run({"--check-update", "--local=" + work()});
  EXPECT_EQ(check.status, 31) << check.output;
  EXPECT_THAT(check.output, HasSubstr("No newer version is available. You are running the latest tool.\n"));
  EXPECT_THAT(log(), HasSubstr("main()::check-update: No newer version is available."));
  EXPECT_THAT(log(), HasSubstr("Check latest update - END"));
  EXPECT_TRUE(downloaded().empty());

  // Under the graphical front end the package is fetched without a check.
  auto gui = run({"--check-update", "--local=" + work()}, {{"XELO_GUI_ENVIRONMENT", "1"}});
  EXPECT_EQ(gui.status, 0) << gui.output;
  EXPECT_THAT(log(), HasSubstr("XELO_GUI_ENVIRONMENT environment variable is defined"));
  EXPECT_TRUE(exists(work() + "/" + std::string(kRunning) + ".exe"));
}

TEST_F(SelfUpdateRun, NewerVersionIsReportedThenDownloaded) {
  // The repository answers the running version's id with its replacement.
  repo.addTool(kNewer, ".exe").supersedes = {kRunning};
  serve();

  auto report = run({"--check-update", "--report", "--local=" + work()});
  EXPECT_EQ(report.status, 30) << report.output;
  EXPECT_THAT(report.output, HasSubstr("A new version of this tool is available on web site.\n"));
  EXPECT_THAT(result(), HasSubstr("<CODE>30</CODE>\n\t<MESSAGE>A new version of this tool is available on web "
                                  "site.</MESSAGE>"));
  EXPECT_TRUE(downloaded().empty());

  auto download = run({"--check-update", "--local=" + work()});
  EXPECT_EQ(download.status, 0) << download.output;
  EXPECT_THAT(download.output,
              HasSubstr("Latest version of this tool is available at: " + work() + "\nWarning:Some legacy systems"));
  EXPECT_THAT(result(), HasSubstr("<CODE>0</CODE>\n\t<MESSAGE>Download the latest version of Xelo "
                                  "successfully</MESSAGE>"));
  EXPECT_EQ(readFile(work() + "/" + std::string(kNewer) + ".exe"), repo.contentOf(std::string(kNewer) + ".exe"));
  EXPECT_THAT(log(), HasSubstr("Check latest update - END"));
}

TEST_F(SelfUpdateRun, RepositoryWithoutTheToolOrUnreachable) {
  xelotest::addStandardContent(repo);
  serve();

  auto unknown = run({"--check-update", "--report", "--local=" + work()});
  EXPECT_EQ(unknown.status, 31) << unknown.output;
  EXPECT_THAT(unknown.output, HasSubstr(kRunning));
  EXPECT_THAT(result(), HasSubstr("<CODE>31</CODE>"));

  server.stop();
  auto down = run({"--check-update", "--local=" + work()});
  EXPECT_TRUE(down.status != 0 && down.status != 30 && down.status != 31) << down.status << down.output;
  EXPECT_THAT(result(), HasSubstr("<CODE>" + std::to_string(down.status) + "</CODE>"));
  EXPECT_THAT(log(), HasSubstr("main()::check-update: "));
  EXPECT_TRUE(downloaded().empty());
}

// A USB-key run with --service fetches the service tree from the FTP server
// after the acquisition, before the medium is made.
TEST_F(SelfUpdateRun, ServiceFilesFromTheFtpServer) {
  xelotest::addStandardContent(repo);
  serve();
  const std::string ftpRoot = served.dir / "ftp";
  const std::string sft = ftpRoot + "/vendrel/Xelosft/sft";
  xelotest::FtpTestServer ftp(ftpRoot);
  std::filesystem::create_directories(sft + "/svc/bin");
  xelotest::writeFile(sft + "/start.sh", "#!/bin/sh\n");
  xelotest::writeFile(sft + "/svc/readme.txt", "service\n");
  xelotest::writeFile(sft + "/svc/bin/tool", std::string(50000, 'x'));
  ftp.start();
  const std::string key = box.scratch() + "/key.img";
  xelotest::writeFile(key, std::string(1 << 20, '\0'));
  const std::vector<std::string> args{"--local=" + work(), "-m", "7101", "--function=novpi", "--usbkey=" + key,
                                      "--service", "--force"};
  const std::string answers = "y\ny\ny\n";

  auto first = run(args, {{"XELO_FTP_SERVER", ftp.address()}}, answers);
  EXPECT_NE(first.status, 120) << first.output;
  EXPECT_THAT(first.output, HasSubstr("start download from Xelosft...\n"));
  EXPECT_THAT(first.output, HasSubstr("Creating bootable media..."));
  EXPECT_EQ(readFile(work() + "/start.sh"), "#!/bin/sh\n");
  EXPECT_EQ(readFile(work() + "/svc/readme.txt"), "service\n");
  EXPECT_EQ(readFile(work() + "/svc/bin/tool"), std::string(50000, 'x'));
  EXPECT_EQ(ftp.retrieved().size(), 3u);

  auto second = run(args, {{"XELO_FTP_SERVER", ftp.address()}}, answers);
  EXPECT_NE(second.status, 120) << second.output;
  EXPECT_THAT(second.output, HasSubstr("Creating bootable media..."));
  EXPECT_EQ(ftp.retrieved().size(), 3u);
  EXPECT_THAT(log(), HasSubstr(work() + "/svc/bin/tool file already exist"));
  EXPECT_THAT(log(), HasSubstr(work() + "/start.sh file already exist"));

  auto noLibrary = run(args, {{"XELO_FTP_SERVER", ftp.address()}, {"XELO_CURL_LIBRARY", "libcurl-missing.so.0"}},
                       answers);
  EXPECT_EQ(noLibrary.status, 120) << noLibrary.output;
  EXPECT_THAT(noLibrary.output, HasSubstr("FTP error: Failed to download file(s)"));
  EXPECT_THAT(noLibrary.output, Not(HasSubstr("Creating bootable media...")));
  EXPECT_THAT(log(), HasSubstr("Failed to load curl library."));
  EXPECT_THAT(result(), HasSubstr("<CODE>120</CODE>"));
}

}  // namespace
