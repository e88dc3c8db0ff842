// A run through the front end's calls: the question of a failed download is
// announced, a second run is refused while the first waits, and a "no" from
// the page stops the run the way the program records it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "launchpad_process.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace xelotest {
namespace {

using nlohmann::json;

json stateWhen(httplib::Client& c, const httplib::Headers& h, bool (*done)(const json&)) {
  json s;
  for (int i = 0; i < 300; ++i) {
    auto r = c.Get("/api/state", h);
    if (r && r->status == 200) s = json::parse(r->body);
    if (done(s)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return s;
}

// A run that waits on the question after its download failed.
struct LaunchpadRun : ::testing::Test {
  void SetUp() override {
    served.server.setFault(served.repo.urlPathOf(std::string(kStdBmcNew) + ".bin"), RepoFault::notFound());
    c.set_read_timeout(30);
    auto started = c.Post("/api/run", h, build.dump(), "application/json");
    ASSERT_TRUE(started);
    ASSERT_EQ(started->status, 200) << started->body;
    const json s = stateWhen(c, h, [](const json& s) { return !s.value("question", json()).is_null(); });
    ASSERT_FALSE(s["question"].is_null()) << s.dump();
    EXPECT_EQ(s["question"]["kind"], "file");
    EXPECT_EQ(s["question"]["text"], "Are you sure you want to continue?(y or n)");
    EXPECT_TRUE(s["running"].get<bool>());
    bool failedShown = false;
    for (const auto& pass : s["acquisition"])
      for (const auto& p : pass["packages"]) failedShown |= p["updateId"] == kStdBmcNew && p["status"] == "Error";
    EXPECT_TRUE(failedShown) << s["acquisition"].dump();
  }
  json ended() {
    return stateWhen(c, h, [](const json& s) { return s.value("started", false) && !s.value("running", true); });
  }

  ProgramSandbox sandbox;
  ServedStandardRepository served{sandbox.programDir()};
  ScopedEnv fast{"XELO_TEST_XML_WAIT_MS", "0"};
  LaunchpadProcess launchpad{sandbox.programDir(), sandbox.systemDrive()};
  httplib::Client c{"127.0.0.1", launchpad.port()};
  const httplib::Headers h{{"Cookie", launchpad.openSession()},
                           {"Origin", "http://127.0.0.1:" + std::to_string(launchpad.port())}};
  const std::string work = sandbox.scratch() + "/w";
  const json build{{"action", "build"},      {"workingDir", work}, {"machineTypes", {"7101"}},
                   {"functions", {"novpi"}}, {"medium", "iso"},    {"target", work + "/a.iso"}};
};

TEST_F(LaunchpadRun, OneRunAtATimeAndANoStopsIt) {
  auto second = c.Post("/api/run", h, build.dump(), "application/json");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 409) << second->body;

  auto no = c.Post("/api/answer", h, R"({"yes":false})", "application/json");
  ASSERT_TRUE(no);
  EXPECT_EQ(no->status, 200) << no->body;
  const json s = ended();
  EXPECT_EQ(s["exitStatus"], 0) << s.dump();
  EXPECT_EQ(s["cli"]["message"], "User confirms to stop!");
  EXPECT_FALSE(exists(work + "/a.iso"));
  EXPECT_NE(s["log"].get<std::string>().find("There is an error: "), std::string::npos);

  auto late = c.Post("/api/answer", h, R"({"yes":true})", "application/json");
  ASSERT_TRUE(late);
  EXPECT_EQ(late->status, 409);
}

// Cancelling reaches the program (the server's own signal handling is not
// passed on to it): it ends as after SIGTERM.
TEST_F(LaunchpadRun, CancelEndsTheRun) {
  auto cancel = c.Post("/api/cancel", h, "{}", "application/json");
  ASSERT_TRUE(cancel);
  EXPECT_EQ(cancel->status, 200);
  const json s = ended();
  EXPECT_EQ(s["exitStatus"], 143) << s.dump();
  EXPECT_FALSE(s["running"].get<bool>());
}

}  // namespace
}  // namespace xelotest
