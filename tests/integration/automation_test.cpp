// Runs as a script or an administrator makes them: --yes instead of answers
// on standard input, the proxy password outside the command line, and the
// user guide's option list and exit-status table checked against the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "local_work.h"
#include "qemu_boot.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

const std::string kQuestion = "Are you sure you want to continue?(y or n)";

// The statuses of each row of the "Exit statuses" table of the user guide,
// keyed by the row's meaning: "211, 212" and "220-223" give every status.
std::map<std::string, std::set<int>> documentedStatuses() {
  std::istringstream guide(readFile(std::string(XELO_SOURCE_DIR) + "/docs/usage.md"));
  std::map<std::string, std::set<int>> rows;
  bool inSection = false;
  const std::regex row(R"(^\| ([0-9][0-9, -]*) \| (.*) \|$)");
  for (std::string line; std::getline(guide, line);) {
    if (line.rfind("## ", 0) == 0) inSection = line == "## Exit statuses";
    std::smatch m;
    if (!inSection || !std::regex_match(line, m, row)) continue;
    std::set<int>& statuses = rows[m[2]];
    std::istringstream parts(m[1].str());
    for (std::string part; std::getline(parts, part, ',');) {
      const auto dash = part.find('-');
      const int first = std::stoi(part.substr(0, dash));
      const int last = dash == std::string::npos ? first : std::stoi(part.substr(dash + 1));
      for (int s = first; s <= last; ++s) statuses.insert(s);
    }
  }
  return rows;
}

// The statuses of the row whose meaning is `phrase`, else of the one row whose
// meaning holds it.
std::set<int> statusesFor(const std::string& phrase) {
  const auto rows = documentedStatuses();
  if (const auto exact = rows.find(phrase); exact != rows.end()) return exact->second;
  std::set<int> found;
  int matches = 0;
  for (const auto& [meaning, statuses] : rows)
    if (meaning.find(phrase) != std::string::npos) {
      found = statuses;
      ++matches;
    }
  EXPECT_EQ(matches, 1) << "rows of the exit-status table that mention: " << phrase;
  return found;
}

class AutomationRun : public ::testing::Test {
 protected:
  xelotest::RunResult run(std::vector<std::string> args, const std::string& input = "",
                          std::vector<std::pair<std::string, std::string>> env = {}) {
    env.emplace_back("XELO_TEST_XML_WAIT_MS", "0");
    return box.run("xelo", args, input, env);
  }
  std::string work() const { return box.scratch() + "/w"; }
  std::string record() const { return readFile(box.supportDir() + "/xelo_cli.xml"); }
  void failDownloadOfOneUpdate() {
    served.server.setFault(served.repo.urlPathOf(std::string(xelotest::kStdBmcNew) + ".bin"),
                           xelotest::RepoFault::notFound());
  }

  ProgramSandbox box;
  xelotest::ServedStandardRepository served{box.programDir()};
};

// Each case of the table runs the program and finds its status in the row of
// the user guide that describes it, so the guide cannot drift from the program.
TEST_F(AutomationRun, ExitStatusesAreThoseTheUserGuideLists) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string row;  // a phrase of the table row
    std::function<void()> before = nullptr;
  } cases[] = {
      {{"--version"}, "", "success;"},
      {{"-m", "7101", "--function=novpi"}, "", "success;"},
      {{"-m", "71"}, "", "invalid machine type (`-m 71`)"},
      {{"-m", "7101", "--iso=old.iso"}, "", "an existing ISO file without `--force`"},
      {{"-m", "7101", "--proxy-password-file=" + box.scratch() + "/absent"}, "", "unreadable proxy password file"},
      {{"-m", "9999", "--function=novpi"}, "", "no applicable update for the machine types"},
      {{"-m", "9999", "--function=novpi"}, "y\n", "success;"},
      {{"-m", "9999", "--function=novpi", "--yes"}, "n\n", "success;"},
      {{"-m", "7101", "--function=novpi"}, "", "files could not be downloaded", [&] { failDownloadOfOneUpdate(); }},
      {{"-m", "7101", "--iso=new.iso", "--vlan-id=12"}, "", "only one of `--vlan-id` and `--vlan-ip`"},
      {{"-m", "7101", "--no-acquire", "--iso=new.iso"}, "", "the boot environment zip is missing"},
      {{"-m", "7101", "--function=novpi"},
       "",
       "the update repository could not be reached",
       [&] { writeFile(box.programDir() + "/qyxConnect.properties", "_QOR.SP_LOCATION_URL = http://127.0.0.1:9/\n"); }},
  };
  int index = 0;
  for (auto& c : cases) {
    SCOPED_TRACE(c.row + " with " + c.args.back());
    // Each case in a working directory of its own that holds an old image.
    const std::string local = work() + std::to_string(++index);
    std::filesystem::create_directories(local);
    writeFile(local + "/old.iso", "user data");
    if (c.before) c.before();
    std::vector<std::string> args = c.args;
    if (c.args.front() != "--version") args.insert(args.begin(), "--local=" + local);
    const auto r = run(args, c.input);
    const std::set<int> documented = statusesFor(c.row);
    EXPECT_TRUE(documented.count(r.status)) << "status " << r.status << "\n" << r.output;
  }
  // A refused ISO says how to overwrite it, after the refusal itself.
  const auto refused = run({"--local=" + work() + "1", "-m", "7101", "--iso=old.iso"});
  EXPECT_THAT(refused.output, HasSubstr("Options error: Argument invalid or missing: force\n"
                                        "Run again with --force to overwrite it.\n"));
  EXPECT_EQ(readFile(work() + "1/old.iso"), "user data");
}

// Every question whether to go on is answered "y" by --yes, and standard
// input (here an "n") is never read: without --yes the same input stops.
TEST_F(AutomationRun, YesAnswersEveryQuestionWithoutReadingInput) {
  struct Case {
    const char* question;
    std::vector<std::string> args;
    int withoutYes;  // the status the "n" on standard input gives
    int withYes;
    std::string answered;  // the question as printed with its answer
  } cases[] = {
      {"working directory", {"-m", "7101", "--no-acquire", "--iso=a.iso"}, 101, 218, kQuestion + "y\n"},
      {"boot environment",
       {"--local=" + work(), "-m", "7101", "--no-acquire", "--toolzip=other.zip", "--iso=a.iso"},
       0,
       218,
       kQuestion + "y\n"},
      {"missed downloads", {"--local=" + work(), "-m", "7101", "--function=novpi"}, 0, 0, kQuestion + "y\n"},
      {"missed downloads, front end", {"--local=" + work(), "-m", "7101", "--function=novpi", "--xml"}, -1, 0, ""},
  };
  failDownloadOfOneUpdate();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.question);
    // The front end's question waits for its reply file: only --yes is run.
    if (c.withoutYes >= 0) {
      const auto asked = run(c.args, "n\n");
      EXPECT_EQ(asked.status, c.withoutYes) << asked.output;
      if (!c.answered.empty()) {
        EXPECT_THAT(asked.output, Not(HasSubstr(c.answered)));
      }
    }
    std::vector<std::string> args = c.args;
    args.push_back("--yes");
    const auto answered = run(args, "n\n");
    EXPECT_EQ(answered.status, c.withYes) << answered.output;
    if (!c.answered.empty()) {
      EXPECT_THAT(answered.output, HasSubstr(c.answered));
    }
    EXPECT_THAT(answered.output, Not(HasSubstr("User confirms to stop!")));
  }
}

TEST_F(AutomationRun, YesOverwritesTheIsoAConfigurationFileNames) {
  std::filesystem::create_directories(work());
  writeFile(work() + "/old.iso", "user data");
  const std::string config = box.scratch() + "/run.config";
  writeFile(config, "QOR_SYSTEM_VERSION=9.64\nQOR_SYSTEM_MACHINETYPE=7101\nQOR_SYSTEM_WORKINGDIR=" + work() +
                        "\nQOR_SYSTEM_ISO_FILE=" + work() + "/old.iso\n");
  const auto r = run({"--configfile=" + config, "--yes"}, "n\n");
  EXPECT_NE(r.status, 101) << r.output;
  EXPECT_THAT(r.output, HasSubstr("old.iso already exists\nDo you want to overwrite the old.iso?(y or n)y\n"));
}

// The password of the proxy reaches the proxy check from the file or the
// environment; the log never holds it.
TEST_F(AutomationRun, ProxyPasswordFromFileOrEnvironmentStaysOutOfTheLog) {
  const std::string file = box.scratch() + "/proxy-password";
  writeFile(file, "Sesame-file\n");
  const std::vector<std::string> proxy = {
      "--local=" + work(), "-m", "7101", "--report", "--proxy-address=127.0.0.1", "--proxy-port=9",
      "--proxy-user=jdoe"};
  std::vector<std::string> withFile = proxy;
  withFile.push_back("--proxy-password-file=" + file);
  run(withFile);
  run(proxy, "", {{"XELO_PROXY_PASSWORD", "Sesame-env"}});
  for (const auto& name : box.logFiles()) {
    const std::string log = readFile(box.supportDir() + "/" + name);
    EXPECT_THAT(log, Not(HasSubstr("Sesame")));
  }
  std::filesystem::remove(file);
  const auto refused = run(withFile);
  EXPECT_EQ(refused.status, 101);
  EXPECT_THAT(refused.output, HasSubstr("Error: The proxy password file " + file + " cannot be read.\n"));
}

// A key this program did not make is never formatted on --yes alone.
TEST(AutomationUsbKey, YesDoesNotFormatAForeignKey) {
  const std::string absent = xelotest::missingTools({"zip", "xorriso", "mkfs.fat", "mcopy"});
  if (!absent.empty()) GTEST_SKIP() << "not installed:" << absent;
  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
  ASSERT_TRUE(xelotest::prepareLocalWork(box.scratch(), work, "qor_fw_a_7101", "payload"));
  const std::string key = box.scratch() + "/key.img";
  { std::ofstream(key, std::ios::binary); }
  std::filesystem::resize_file(key, 64u * 1024 * 1024);
  const auto r = box.run("xelo", {"--local=" + work, "-m", "7101", "--no-acquire", "--usbkey=" + key, "--yes"}, "y\n");
  EXPECT_EQ(r.status, 232) << r.output;
  EXPECT_THAT(r.output, HasSubstr("--yes does not format it, --force does."));
  EXPECT_THAT(r.output, Not(HasSubstr(kQuestion)));
  EXPECT_EQ(readFile(key), std::string(64u * 1024 * 1024, '\0'));
}

// Every option the README and the user guide name is one the help lists, or
// one the README lists among the options the help leaves out.
TEST(UserGuide, EveryOptionItNamesIsInTheHelpOrListedAsHidden) {
  ProgramSandbox box;
  const auto help = box.run("xelo", {"--help"});
  ASSERT_EQ(help.status, 0);
  std::set<std::string> listed;
  const std::regex helpLine(R"(^  (?:-\S \[ )?(--[a-z0-9-]+))");
  std::istringstream lines(help.output);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, helpLine)) listed.insert(m[1]);
  }
  ASSERT_GT(listed.size(), 30u);

  const std::string readme = readFile(std::string(XELO_SOURCE_DIR) + "/README.md");
  const std::string hiddenTable = readme.substr(readme.find("Options that `--help` does not list"));
  std::set<std::string> hidden;
  const std::regex hiddenRow(R"(\n\| (?:`-\S`, )?`(--?[a-z?][a-z0-9-]*))");
  for (std::sregex_iterator it(hiddenTable.begin(), hiddenTable.end(), hiddenRow), end; it != end; ++it)
    hidden.insert((*it)[1]);
  EXPECT_EQ(hidden, (std::set<std::string>{"--xml", "--report", "-?", "--oem", "--update-id"}));

  // Prose and the program's own command lines are checked; a command line of
  // another tool (cmake, lintian, qemu..., the graphical front end) in a code
  // block has options of its own.
  const std::regex option(R"((?:^|[^\w-])(--[a-z][a-z0-9]*(?:-[a-z0-9]+)*)(?![\w*-]))");
  const std::regex otherTool(
      R"(^\s*(?:\$ )?(?:sudo )?(cmake|lintian|dpkg\S*|apt\S*|qemu\S*|xorriso|bash|git|m[a-z]+|\S*launchpad)\s)");
  for (const char* doc : {"/README.md", "/docs/usage.md"}) {
    std::istringstream text(readFile(std::string(XELO_SOURCE_DIR) + doc));
    bool fenced = false;
    for (std::string line; std::getline(text, line);) {
      if (line.rfind("```", 0) == 0) fenced = !fenced;
      const bool code = fenced || line.rfind("    ", 0) == 0;
      if (code && std::regex_search(line, otherTool)) continue;
      for (std::sregex_iterator it(line.begin(), line.end(), option), end; it != end; ++it) {
        const std::string name = (*it)[1];
        EXPECT_TRUE(listed.count(name) || hidden.count(name)) << doc << " names " << name << " in: " << line;
      }
    }
  }
}

}  // namespace
