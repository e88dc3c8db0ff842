// Acquisition runs of the program against a repository on a loopback HTTP
// server: update packs with their requisites, the tool packages, the boot
// environment, report mode, the front end's progress file, and the
// support-list refresh from the tools' own lists.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>

#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::ProgramSandbox;
using xelotest::readFile;

class AcquisitionRun : public ::testing::Test {
 protected:
  xelotest::RunResult run(std::vector<std::string> args, const std::string& input = "") {
    return box.run("xelo", args, input, {{"XELO_TEST_XML_WAIT_MS", "0"}});
  }
  std::string work() const { return box.scratch() + "/w"; }
  std::string log() const { return readFile(box.supportDir() + "/" + box.logFiles().back()); }

  ProgramSandbox box;
  xelotest::ServedStandardRepository served{box.programDir()};
  xelotest::TestRepository& repo = served.repo;
  xelotest::RepoServer& server = served.server;
};

TEST_F(AcquisitionRun, UpdatePackRequisitesToolsAndEnvironment) {
  auto r = run({"--local=" + work(), "-m", "7101", "--function=novpi"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Acquiring list of updates for Machine-Type=7101 ... "));
  EXPECT_THAT(r.output, HasSubstr("Acquiring list of requisite packages"));
  EXPECT_THAT(r.output, HasSubstr("Acquiring was finished successfully!"));
  // The firmware of the pack, without drivers, service tools or excluded names.
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdBmcNew) + ".bin"));
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdUefi) + ".xml"));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdNicDriver) + ".bin"));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdMlnx) + ".bin"));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdSvc) + ".bin"));
  // Tools by name into their folders, and the boot environment.
  EXPECT_TRUE(exists(work() + "/novpi/" + std::string(xelotest::kStdNovpi) + ".bin"));
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdBootTools) + ".zip"));
  const std::string text = log();
  EXPECT_THAT(text, HasSubstr("Acquiring All MachineType's NOVP: 7101 - START"));
  EXPECT_THAT(text, HasSubstr("Acquiring NOVPI binary - END"));
  EXPECT_THAT(text, HasSubstr("Acquiring MCP toolzip - END"));

  // A second run finds everything present and downloads nothing again.
  const int before = server.totalRequests();
  auto again = run({"--local=" + work(), "-m", "7101", "--function=novpi"});
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.output, HasSubstr("Already downloaded."));
  EXPECT_EQ(server.requestCount(repo.urlPathOf(std::string(xelotest::kStdBmcNew) + ".bin")), 1);
  EXPECT_GT(server.totalRequests(), before);  // the catalog is read again
}

TEST_F(AcquisitionRun, ReportListsWithoutDownloading) {
  auto r = run({"--local=" + work(), "-m", "7101", "--report"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Reporting acquisition status of updates for Machine-Type=7101"));
  EXPECT_THAT(r.output, HasSubstr(std::string(xelotest::kStdBmcNew) + " - Remotely available"));
  EXPECT_THAT(r.output, HasSubstr("Acquisition report successfully completed"));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdBmcNew) + ".bin"));
  EXPECT_THAT(readFile(box.supportDir() + "/reportFixIds.txt"),
              HasSubstr(std::string(xelotest::kStdBmcNew) + " - Remotely available"));
  EXPECT_THAT(readFile(box.supportDir() + "/xelo_cli.xml"),
              HasSubstr("<MESSAGE>Acquisition report successfully completed</MESSAGE>"));
}

// The lines of a report that tell an update's availability, in order.
std::vector<std::string> reportedUpdates(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find(" - Remotely available") != std::string::npos || line.find(" - Locally available") != std::string::npos)
      lines.push_back(line);
  }
  return lines;
}

TEST_F(AcquisitionRun, ReportListsEachUpdateOnceInTheSameOrderEveryTime) {
  // All updates present but one, so that both kinds of line are told.
  ASSERT_EQ(run({"--local=" + work(), "-m", "7101", "--function=novpi"}).status, 0);
  for (const auto& file : repo.filesOf(xelotest::kStdUefi)) std::remove((work() + "/" + file).c_str());

  std::vector<std::vector<std::string>> reports;
  for (int i = 0; i < 3; ++i) {
    auto r = run({"--local=" + work(), "-m", "7101", "--report"});
    ASSERT_EQ(r.status, 0) << r.output;
    reports.push_back(reportedUpdates(r.output));
  }
  ASSERT_GE(reports[0].size(), 3u);
  std::set<std::string> seen;
  for (const auto& line : reports[0]) EXPECT_TRUE(seen.insert(line.substr(0, line.find(' '))).second) << line;
  EXPECT_THAT(reports[0], ::testing::Contains(std::string(xelotest::kStdUefi) + " - Remotely available"));
  EXPECT_THAT(reports[0], ::testing::Contains(std::string(xelotest::kStdBmcNew) + " - Locally available"));
  EXPECT_EQ(reports[1], reports[0]);
  EXPECT_EQ(reports[2], reports[0]);
}

TEST_F(AcquisitionRun, MissedFilesWithNobodyToAnswerFailTheRun) {
  server.setFault(repo.urlPathOf(std::string(xelotest::kStdBmcNew) + ".bin"), xelotest::RepoFault::notFound());
  const std::string record = box.supportDir() + "/xelo_cli.xml";

  auto stopped = run({"--local=" + work(), "-m", "7101", "--function=novpi"}, "n\n");
  EXPECT_EQ(stopped.status, 0) << stopped.output;
  EXPECT_THAT(stopped.output, HasSubstr("Some update files are missed,"));
  EXPECT_THAT(readFile(record), HasSubstr("<CODE>0</CODE>\n\t<MESSAGE>User confirms to stop!</MESSAGE>"));

  auto unanswered = run({"--local=" + work(), "-m", "7101", "--function=novpi"});
  EXPECT_EQ(unanswered.status, 200) << unanswered.output;
  EXPECT_THAT(readFile(record),
              HasSubstr("<CODE>200</CODE>\n\t<MESSAGE>Acquisition error: Failed to download file(s)</MESSAGE>"));
}

TEST_F(AcquisitionRun, FrontEndFollowsTheProgressFile) {
  auto r = run({"--local=" + work(), "-m", "7101", "--function=novpi", "--xml"});
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string progress = readFile(box.supportDir() + "/xelo_ac_result.xml");
  EXPECT_EQ(progress.rfind("<ACQUISITION>", 0), 0u);
  EXPECT_THAT(progress, HasSubstr("<MT>7101</MT>"));
  EXPECT_THAT(progress, HasSubstr("<UPDATEID>" + std::string(xelotest::kStdBmcNew) + "</UPDATEID>"));
  EXPECT_THAT(progress, HasSubstr("<STATUS>Done</STATUS>"));
  EXPECT_THAT(progress, HasSubstr("<STATUS>Already Downloaded</STATUS>"));  // the requisite pass
  EXPECT_THAT(progress, HasSubstr("<MT>Tool</MT>\n\t\t<OS>NOVPI</OS>"));
  EXPECT_THAT(progress, HasSubstr("<OS>Bootable Environment</OS>"));
  EXPECT_THAT(progress, Not(HasSubstr("Not Started")));
}

TEST_F(AcquisitionRun, UnknownMachineTypeFindsNothingButStillFetchesTools) {
  auto r = run({"--local=" + work(), "-m", "9999", "--function=novpi"}, "y\n");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(exists(work() + "/novpi/" + std::string(xelotest::kStdNovpi) + ".bin"));
}

TEST_F(AcquisitionRun, MissingToolPackageEndsTheRun) {
  server.setFault(repo.urlPathOf(std::string(xelotest::kStdNovpi) + ".bin"), xelotest::RepoFault::notFound());
  auto r = run({"--local=" + work(), "-m", "7101", "--function=novpi"}, "y\n");
  EXPECT_EQ(r.status, 200);
  EXPECT_THAT(r.output, Not(HasSubstr("Acquiring was finished successfully!")));
  EXPECT_THAT(log(), HasSubstr("main()::Acquire qor_utl_novpi_9.63_anyos_x86-64 :: "));
  EXPECT_THAT(readFile(box.supportDir() + "/xelo_cli.xml"), HasSubstr("<CODE>200</CODE>"));
}

TEST(SupportListUpdate, RegeneratesTheWorkingListFromTheToolLists) {
  ProgramSandbox box;
  xelotest::ServedRepository served;
  xelotest::TestRepository& repo = served.repo;
  repo.setFamilyName("7101", "Tolvane Rack R210 Gen2");
  repo.setFamilyName("9001", "Tolvane Micro M1");
  repo.addTool("qor_utl_novpi_9.63_anyos_x86-64", ".bin");
  repo.addTool("qor_utl_dnxelo_9.63_windows_32-64", ".zip");
  repo.setFamilyName("9002", "Tolvane Micro M2");
  repo.addTool("qor_utl_kyt_961cp_anyos_x86-64", ".zip");
  served.serve(box.programDir());

  auto r = box.run("xelo", {"--update-supportlist", "--xml"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("System support list updated successfully"));
  const std::string list = readFile(box.supportDir() + "/Xelo/SYSTEM_SUPPORT_LIST_9.64.xml");
  EXPECT_THAT(list, HasSubstr("<system><xname>Tolvane Rack R210 / Tolvane Rack R210 Gen2</xname>"
                              "<machineType>7101</machineType><kyt>yes</kyt><novpi>yes</novpi>"
                              "<dunvar>yes</dunvar></system>"));
  EXPECT_THAT(list, HasSubstr("<machineType>9002</machineType><kyt>yes</kyt><novpi>no</novpi><dunvar>no</dunvar>"));
  EXPECT_THAT(list, Not(HasSubstr("<machineType>7845</machineType>")));  // only the shipped list named it
  EXPECT_THAT(readFile(box.supportDir() + "/Xelo/supportlist_ac_result.xml"), HasSubstr("<result>SUCCESS</result>"));

  served.server.stop();
  auto failed = box.run("xelo", {"--update-supportlist"});
  EXPECT_EQ(failed.status, 110);
  EXPECT_THAT(failed.output, HasSubstr("System support list update failed"));
}

}  // namespace

namespace {

TEST_F(AcquisitionRun, EsxiUpdatesOfTheRequestedVersion) {
  ASSERT_EQ(run({"--rollback-supportlist"}).status, 0);
  auto r = run({"--local=" + work(), "-m", "7101", "--vmware-esxi-update=5.0"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(exists(work() + "/" + std::string(xelotest::kStdEsxi50)));
  EXPECT_FALSE(exists(work() + "/" + std::string(xelotest::kStdEsxi41)));
  EXPECT_THAT(readFile(box.supportDir() + "/reportFixIds.txt"),
              HasSubstr(std::string(xelotest::kStdEsxi41) + " - Remotely available"));
}

}  // namespace

#include <pugixml.hpp>

#include <atomic>
#include <regex>
#include <thread>

namespace {

TEST_F(AcquisitionRun, ProgressFileIsWellFormedWhileTheRunGoesOn) {
  const std::string progress = box.supportDir() + "/xelo_ac_result.xml";
  std::atomic<bool> done{false};
  xelotest::RunResult result;
  std::thread runner([&] {
    result = run({"--local=" + work(), "-m", "7101,7102", "--function=novpi", "--xml"});
    done = true;
  });
  int reads = 0;
  std::vector<std::string> broken;
  while (!done) {
    if (exists(progress)) {
      const std::string text = readFile(progress);
      pugi::xml_document doc;
      if (!doc.load_string(text.c_str())) broken.push_back(text);
      ++reads;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  runner.join();
  ASSERT_EQ(result.status, 0) << result.output;
  EXPECT_GT(reads, 0);
  EXPECT_TRUE(broken.empty()) << broken.size() << " of " << reads << " reads were not XML, e.g.:\n" << broken.front();

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(progress.c_str()));
  int packages = 0;
  for (auto content : doc.child("ACQUISITION").children("CONTENT"))
    for (auto package : content.children("PACKAGE")) {
      const std::string status = package.child_value("STATUS");
      EXPECT_TRUE(status == "Done" || status == "Already Downloaded") << package.child_value("UPDATEID") << " " << status;
      ++packages;
    }
  EXPECT_GT(packages, 4);
}

TEST_F(AcquisitionRun, ProgressLinesFromManyThreadsNeverInterleave) {
  auto r = box.run("xelo", {"--local=" + work(), "-m", "7101,7102", "--function=novpi"}, "",
                   {{"ACQUIRE_THREAD_NUM", "20"}});
  ASSERT_EQ(r.status, 0) << r.output;
  // Every piece between line ends and carriage returns is one whole line of
  // a known form; two lines written at once would break one of them.
  const std::regex known(
      R"(( *)|QOR Tolvane Xelo Version 9\.64\.01|\(C\) .*|Acquiring list of updates for Machine-Type=\d{4} \.\.\. ( Done| No Updates Available\. Done)?|)"
      R"(Acquiring : [\w.\-]+ \d+ KB of \d+ KB|(\(\d+ of \d+\) : )?[\w.\-]+ \.\.\. (Done|Fail)|)"
      R"((\(\d+ of \d+\) : )?[\w.\-]+   Already downloaded\.|Acquiring list of requisite packages|)"
      R"(No additional requisite packages required|Acquiring was finished successfully!|)"
      R"((Working directory|Downloaded|Elapsed|Log): .*)");
  std::string piece;
  int checked = 0;
  for (char c : r.output + "\n") {
    if (c != '\r' && c != '\n') {
      piece += c;
      continue;
    }
    EXPECT_TRUE(std::regex_match(piece, known)) << "[" << piece << "]";
    ++checked;
    piece.clear();
  }
  EXPECT_GT(checked, 20);
}

TEST(AcquisitionRunTools, MissingUpdateToolEndsWithUpdateNotFound) {
  ProgramSandbox box;
  xelotest::ServedRepository served;
  xelotest::TestRepository& repo = served.repo;
  repo.addUpdate(xelotest::kStdBmcNew, {"7101"}, {xelotest::kPlatformNone, xelotest::kSles11x64});
  repo.addPack("7101", {xelotest::kStdBmcNew});
  repo.addTool(xelotest::kStdBootTools, ".zip");
  served.serve(box.programDir());
  auto r = box.run("xelo", {"--local=" + box.scratch() + "/w", "-m", "7101", "--function=novpi"});
  EXPECT_EQ(r.status, 203) << r.output;
  const std::string message =
      "Acquisition error: Failed to find update by specified update id: qor_utl_novpi_9.63_anyos_x86-64";
  EXPECT_THAT(r.output, HasSubstr(message + "\n"));
  EXPECT_THAT(readFile(box.supportDir() + "/xelo_cli.xml"), HasSubstr("<CODE>203</CODE>\n\t<MESSAGE>" + message));
  EXPECT_THAT(r.output, Not(HasSubstr("Acquiring was finished successfully!")));
}

}  // namespace
