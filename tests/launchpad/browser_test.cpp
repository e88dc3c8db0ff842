// The page driven in a headless chromium, as an administrator uses it: the
// sample repository of the quick start (with one firmware file missing, so
// the run asks whether to go on), machine type 7101 and an ISO image. The
// main screens are saved as screenshots.
#include "browser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "launchpad_process.h"
#include "test_support.h"

namespace xelotest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Publishes the sample repository into `dir` and points the program at it.
void sampleRepository(const std::string& dir, const std::string& programDir) {
  const std::string command = std::string("bash '") + XELO_SAMPLE_REPO_SCRIPT + "' --out '" + dir + "' --boot-zip '" +
                              XELO_BOOT_ZIP + "' --publisher '" + XELO_REPO_PUBLISHER + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  writeFile(programDir + "/qyxConnect.properties",
            "_QOR.SP_LOCATION_URL = file://" + dir + "/\n_QOR.SP_UPDATE_INIT = NO\n");
}

std::string screenshotPath(const std::string& name) {
  fs::create_directories(XELO_SCREENSHOT_DIR);
  return std::string(XELO_SCREENSHOT_DIR) + "/" + name;
}

bool visible(XELO::test::Browser& b, const std::string& id, std::chrono::milliseconds timeout) {
  return b.waitFor("!document.getElementById('" + id + "').classList.contains('hidden')", timeout);
}

void setValue(XELO::test::Browser& b, const std::string& id, const std::string& value) {
  b.evaluate("document.getElementById('" + id + "').value = ''");
  b.type("#" + id, value);
}

TEST(LaunchpadBrowser, BuildsAnIsoAndAnswersTheQuestion) {
  ProgramSandbox sandbox;
  ASSERT_NO_FATAL_FAILURE(sampleRepository(sandbox.scratch() + "/repo", sandbox.programDir()));
  // A firmware file the catalog lists is missing: its download fails and the
  // run asks whether to go on without it.
  fs::remove(sandbox.scratch() + "/repo/updates/qor_fw_uefi_2.10_anyos_noarch.bin");
  const std::string work = sandbox.scratch() + "/work";
  const std::string iso = work + "/sample.iso";
  LaunchpadProcess launchpad(sandbox.programDir(), sandbox.systemDrive());

  auto browser = XELO::test::Browser::launch(1280, 900);
  auto& b = *browser;
  b.navigate(launchpad.url());
  ASSERT_EQ(b.evaluate("location.search"), "\"\"");  // the token left the address
  ASSERT_TRUE(b.waitFor("document.querySelectorAll('#systems tbody tr').length > 5", 10s));
  b.type("#mt-search", "7101");
  ASSERT_TRUE(b.waitFor("document.querySelectorAll('#systems tbody tr').length === 1", 5s));
  b.click("#mt-7101");
  ASSERT_EQ(b.evaluate("document.getElementById('mt-chosen').textContent"), "\"7101\"");
  setValue(b, "workdir", work);
  setValue(b, "iso-path", iso);
  b.screenshot(screenshotPath("launchpad-choose.png"));

  b.click("#start");
  ASSERT_TRUE(visible(b, "question", 120s)) << b.evaluate("document.getElementById('log').textContent");
  EXPECT_EQ(b.evaluate("document.getElementById('question-text').textContent"),
            "\"Are you sure you want to continue?(y or n)\"");
  ASSERT_TRUE(b.waitFor("document.querySelectorAll('#updates tbody tr').length > 0", 10s));
  b.screenshot(screenshotPath("launchpad-question.png"));
  b.click("#answer-yes");

  ASSERT_TRUE(visible(b, "result", 240s)) << b.evaluate("document.getElementById('log').textContent");
  EXPECT_EQ(b.evaluate("document.getElementById('run-status').className"), "\"status ok\"")
      << b.evaluate("document.getElementById('log').textContent");
  EXPECT_EQ(b.evaluate("document.getElementById('medium-path').textContent"), "\"" + iso + "\"");
  EXPECT_EQ(b.evaluate("document.getElementById('result-message').textContent"),
            "\"The bootable media was created successfully!\"");
  EXPECT_TRUE(fs::file_size(iso) > 0);
  b.screenshot(screenshotPath("launchpad-result.png"));

  // The report of the same choice, as a table.
  b.click(".tab[data-view=report]");
  b.click("#report-start");
  ASSERT_TRUE(
      b.waitFor("!document.getElementById('report-table').classList.contains('hidden') && "
                "!document.getElementById('result').classList.contains('hidden')",
                120s));
  b.screenshot(screenshotPath("launchpad-report.png"));
  EXPECT_TRUE(b.consoleErrors().empty()) << b.consoleErrors().front();
}

}  // namespace
}  // namespace xelotest
