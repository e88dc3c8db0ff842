// The supervision of a run with a stand-in for the console program: a shell
// script that asks the two questions answered elsewhere than in the yes/no
// reply file (on standard input, and the USB format question in its own
// reply file) and prints what it got.
#include "supervisor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "test_support.h"

namespace XELO::launchpad {
namespace {

nlohmann::json waitFor(Supervisor& s, bool (*done)(const nlohmann::json&)) {
  nlohmann::json state;
  for (int i = 0; i < 200; ++i) {
    state = s.state(0);
    if (done(state)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return state;
}

TEST(LaunchpadSupervisor, AnswersOnStandardInputAndInTheFormatReplyFile) {
  xelotest::TempDir dir("launchpad-supervisor");
  const RunPaths paths{dir / "program", dir / "support", dir / "support/Xelo", dir / "private"};
  for (const auto& d : {paths.programDir, paths.supportDir, paths.supportListDir, paths.privateDir})
    std::filesystem::create_directories(d);
  // $2 is --progress-json=FILE. The console question first, then the USB one.
  xelotest::writeFile(paths.programDir + "/xelo",
                      "#!/bin/sh\n"
                      "progress=${2#--progress-json=}\n"
                      "echo \"password=$XELO_PROXY_PASSWORD gui=$XELO_GUI_ENVIRONMENT args=$*\"\n"
                      "echo '{\"event\":\"question\",\"t\":0,\"text\":\"Overwrite it?(y or n)\"}' >>\"$progress\"\n"
                      "read word; echo \"console answer: $word\"\n"
                      "printf '<CLIERROR>\\n\\t<CODE>10</CODE>\\n\\t<MESSAGE>Format your USB key? (y or n)</MESSAGE>"
                      "\\n\\t<STEPSERIAL>0</STEPSERIAL>\\n</CLIERROR>' >" +
                          paths.supportDir +
                          "/xelo_cli.xml\n"
                          "while [ ! -s " +
                          paths.supportDir +
                          "/xelo_tmp.dat ]; do sleep 0.05; done\n"
                          "echo \"format answer: $(cat " +
                          paths.supportDir + "/xelo_tmp.dat)\"\nexit 3\n");
  ::chmod((paths.programDir + "/xelo").c_str(), 0755);

  Supervisor supervisor(paths);
  EXPECT_NE(supervisor.answer(true), "");  // nothing asked yet
  ASSERT_EQ(supervisor.start("build", {"--xml", "--progress-json=" + supervisor.progressFile()}, "pa ss"), "");
  EXPECT_NE(supervisor.start("build", {}, ""), "");  // one run at a time

  auto s = waitFor(supervisor, [](const nlohmann::json& s) { return !s["question"].is_null(); });
  ASSERT_FALSE(s["question"].is_null()) << s.dump();
  EXPECT_EQ(s["question"]["kind"], "console");
  EXPECT_EQ(s["question"]["text"], "Overwrite it?(y or n)");
  ASSERT_EQ(supervisor.answer(true), "");

  auto kind = [](const nlohmann::json& s) { return s["question"].is_object() ? s["question"].value("kind", "") : ""; };
  s = waitFor(supervisor, [](const nlohmann::json& s) {
    return s["question"].is_object() && s["question"].value("kind", "") == "format";
  });
  ASSERT_EQ(kind(s), "format") << s.dump();
  EXPECT_EQ(s["question"]["text"], "Format your USB key? (y or n)");
  ASSERT_EQ(supervisor.answer(false), "");

  s = waitFor(supervisor, [](const nlohmann::json& s) { return !s["running"].get<bool>(); });
  EXPECT_EQ(s["exitStatus"], 3);
  const std::string log = s["log"];
  EXPECT_NE(log.find("password=pa ss gui=1 args=--xml --progress-json="), std::string::npos) << log;
  EXPECT_NE(log.find("console answer: y\n"), std::string::npos) << log;
  EXPECT_NE(log.find("format answer: n\n"), std::string::npos) << log;
  EXPECT_TRUE(s["question"].is_null());
}

}  // namespace
}  // namespace XELO::launchpad
