// What a run tells at its end, and what it tells a script on the way: the
// closing summary after a medium, an acquisition and a report, the report's
// sizes, and the JSON progress events of a typical run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "host/host.h"
#include "local_work.h"
#include "qemu_boot.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::ProgramSandbox;
using xelotest::readFile;

class RunSummary : public ::testing::Test {
 protected:
  xelotest::RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--local=" + work, "-m", "7101", "--function=novpi"});
    return box.run("xelo", args, "", {{"XELO_TEST_XML_WAIT_MS", "0"}});
  }
  std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  ProgramSandbox box;
  xelotest::ServedStandardRepository served{box.programDir()};
  const std::string work = box.scratch() + "/w";
};

TEST_F(RunSummary, MediumRunEndsWithWhereTheMediumWentAndWhatItTook) {
  // The repository's boot environment is a stand-in; a real one is put in
  // the working directory and named.
  std::filesystem::create_directories(work);
  ASSERT_TRUE(xelotest::writeBootEnvironmentZip(box.scratch(), work + "/" + xelotest::kMidZip));
  const std::string events = box.scratch() + "/events.jsonl";
  auto r = run({"--iso=u.iso", "--toolzip=" + xelotest::kMidZip, "--progress-json=" + events});
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string iso = work + "/u.iso";
  const auto size = XELO::storageSize(iso);
  ASSERT_GT(size, 0);
  // The fixed line stays, the summary follows it.
  EXPECT_THAT(r.output,
              HasSubstr("The bootable media was created successfully!\nMedium:     " + iso + " (ISO image, "));
  EXPECT_THAT(r.output, ::testing::ContainsRegex("Updates:    [1-9][0-9]* on the medium"));
  EXPECT_THAT(r.output,
              ::testing::ContainsRegex("Downloaded: [0-9.]+ [KMG]?B; reused from the working directory: 0 B\n"));
  // Not on a terminal: the progress lines are those of before, one per tenth.
  EXPECT_THAT(r.output, HasSubstr("\n Writing the ISO image... 10%\n Writing the ISO image... 20%\n"));
  EXPECT_THAT(r.output, ::testing::ContainsRegex("Acquiring : [^\r]* KB of [0-9]+ KB\r"));
  EXPECT_THAT(r.output, Not(::testing::ContainsRegex("KB of [0-9]+ KB [0-9]+%")));
  EXPECT_THAT(r.output, HasSubstr("Log:        " + box.supportDir() + "/" + box.logFiles().back()));

  // Every line is one JSON object; the events come in the order of the run.
  const std::string checker =
      "import json,sys\n"
      "ev=[json.loads(l) for l in open(sys.argv[1])]\n"
      "names=[e['event'] for e in ev]\n"
      "assert names[0]=='phase_start' and names[-1]=='result', names\n"
      "assert names.count('result')==1\n"
      "r=ev[-1]; assert r['code']==0 and r['medium']==sys.argv[2], r\n"
      "assert r['message']=='The bootable media was created successfully!', r\n"
      "first_done=names.index('file_done')\n"
      "media=[i for i,e in enumerate(ev) if e['event']=='phase_start' and e['phase'].startswith('Create Media ISO')]\n"
      "assert media and first_done<media[0], (first_done, media)\n"
      "opened=[]\n"
      "for e in ev:\n"
      "  if e['event']=='phase_start': opened.append(e['phase'])\n"
      "  if e['event']=='phase_end': assert opened and opened.pop()==e['phase'], (opened, e)\n"
      "t=[e['t'] for e in ev]; assert t==sorted(t)\n";
  const std::string script = box.scratch() + "/check.py";
  xelotest::writeFile(script, checker);
  const std::string out = box.scratch() + "/check.txt";
  EXPECT_EQ(XELO::runToFile(out, {"python3", script, events, iso}), 0) << readFile(out) << readFile(events);

  // A second run downloads nothing and says what it reused.
  auto again = run({"--iso=v.iso", "--toolzip=" + xelotest::kMidZip});
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_THAT(again.output, HasSubstr("Downloaded: 0 B; reused from the working directory: "));
  EXPECT_THAT(again.output, Not(HasSubstr("reused from the working directory: 0 B")));
}

TEST_F(RunSummary, AcquisitionAndReportEndWithTheirTotals) {
  auto report = run({"--report"});
  ASSERT_EQ(report.status, 0) << report.output;
  // Each update's size follows its line; the tools and the boot environment are told too.
  EXPECT_THAT(report.output, HasSubstr(std::string(xelotest::kStdBmcNew) + " - Remotely available\r\n    Size: "));
  EXPECT_THAT(report.output, HasSubstr(std::string(xelotest::kStdNovpi) + " - Remotely available\r\n    Size: "));
  EXPECT_THAT(report.output, HasSubstr(std::string(xelotest::kStdBootTools) + " - Remotely available\r\n    Size: "));
  EXPECT_THAT(report.output, HasSubstr("Acquisition report successfully completed\nTo download: "));
  EXPECT_THAT(report.output, HasSubstr("already present: 0 B"));
  // The report file lists the updates only, as before.
  EXPECT_THAT(readFile(box.supportDir() + "/reportFixIds.txt"), Not(HasSubstr(xelotest::kStdNovpi)));

  // A progress file that cannot be made is refused before anything is done.
  auto refused = run({"--progress-json=" + box.scratch() + "/no/such/dir/p.jsonl"});
  EXPECT_EQ(refused.status, 101) << refused.output;
  EXPECT_THAT(refused.output, HasSubstr("Options error: Argument invalid or missing: progress-json"));

  auto acquired = run({});
  ASSERT_EQ(acquired.status, 0) << acquired.output;
  EXPECT_THAT(acquired.output, HasSubstr("Acquiring was finished successfully!\nWorking directory: " + work));
  EXPECT_THAT(acquired.output, HasSubstr("Elapsed:    "));

  auto again = run({"--report"});
  EXPECT_THAT(again.output, HasSubstr("To download: 0 B"));
}

}  // namespace

namespace {

// On a terminal (the program run under script(1), which gives it one) the
// download lines carry percent, rate and time left and each media step
// rewrites one line.
TEST_F(RunSummary, TerminalShowsRatesAndOneLinePerStep) {
  if (!xelotest::missingTools({"script"}).empty()) GTEST_SKIP() << "script is not installed";
  std::filesystem::create_directories(work);
  ASSERT_TRUE(xelotest::writeBootEnvironmentZip(box.scratch(), work + "/" + xelotest::kMidZip));
  xelotest::writeFile(box.programDir() + "/xelo-on-tty",
                      "#!/bin/sh\nexec script -qec \"$(dirname \"$0\")/xelo $*\" /dev/null\n");
  std::filesystem::permissions(box.programDir() + "/xelo-on-tty", std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add);
  auto r =
      box.run("xelo-on-tty",
              {"--local=" + work, "-m", "7101", "--function=novpi", "--iso=t.iso", "--toolzip=" + xelotest::kMidZip},
              "", {{"XELO_TEST_XML_WAIT_MS", "0"}});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, ::testing::ContainsRegex("Acquiring : [^\r]* KB of [0-9]+ KB [0-9]+%"));
  EXPECT_THAT(r.output, ::testing::ContainsRegex("\r Writing the ISO image\\.\\.\\. [0-9]+%\r Writing the ISO image"));
  EXPECT_THAT(r.output, HasSubstr(" Writing the ISO image... 100%\r\nThe bootable media was created successfully!"));
  EXPECT_THAT(r.output, HasSubstr("Medium:     " + work + "/t.iso (ISO image, "));
}

}  // namespace
