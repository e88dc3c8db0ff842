// The headless-browser client against a real chromium and a page served on
// loopback: typing, clicking, a fetch() back to the server, script results
// and errors, screenshots, and that nothing is left running afterwards.
#include "browser.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <thread>

#include "test_support.h"

namespace {

using XELO::test::Browser;
using namespace std::chrono_literals;

const char* kFormPage = R"(<!doctype html>
<html><body style="margin:0">
<input id="name"> <button id="send">Send</button>
<div id="out"></div>
<div style="height:2400px"></div>
<button id="far">Far</button>
<script>
document.getElementById('send').addEventListener('click', async () => {
  const r = await fetch('/greet', {method: 'POST', body: document.getElementById('name').value});
  document.getElementById('out').textContent = await r.text();
});
document.getElementById('far').addEventListener('click', () => { document.title = 'far clicked'; });
</script></body></html>)";

const char* kBrokenPage = R"(<!doctype html>
<html><body><p>broken</p>
<script>console.error('widget failed', 42);</script>
<script>null.boom();</script>
</body></html>)";

// A loopback server with the test pages; it records the bodies POSTed to /greet.
class PageServer {
 public:
  PageServer() {
    server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(kFormPage, "text/html"); });
    server.Get("/broken",
               [](const httplib::Request&, httplib::Response& res) { res.set_content(kBrokenPage, "text/html"); });
    server.Post("/greet", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(mutex);
      posts.push_back(req.body);
      res.set_content("Hello, " + req.body, "text/plain");
    });
    port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(1ms);
  }
  ~PageServer() {
    server.stop();
    thread.join();
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
  std::vector<std::string> received() {
    std::lock_guard<std::mutex> lock(mutex);
    return posts;
  }

 private:
  httplib::Server server;
  int port = 0;
  std::thread thread;
  std::mutex mutex;
  std::vector<std::string> posts;
};

// True when the process was reaped by its owner (it is no child of ours
// any more) and, within two seconds, no process it started is left: the
// test process is made a subreaper, so orphaned helpers become its children.
bool goneAndReaped(pid_t pid) {
  errno = 0;
  if (waitpid(pid, nullptr, WNOHANG) >= 0 || errno != ECHILD) return false;
  auto deadline = std::chrono::steady_clock::now() + 2s;
  for (;;) {
    pid_t child = waitpid(-1, nullptr, WNOHANG);
    if (child < 0) return errno == ECHILD;
    if (child == 0 && std::chrono::steady_clock::now() > deadline) return false;
    if (child == 0) std::this_thread::sleep_for(20ms);
  }
}

TEST(BrowserTest, DrivesAFormThatTalksToTheServer) {
  PageServer server;
  auto browser = Browser::launch(800, 600);
  browser->navigate(server.url("/"));

  browser->type("#name", "Ada");
  browser->type("#name", " L.");  // appends at the caret, not over the first text
  browser->click("#send");
  ASSERT_TRUE(browser->waitFor("document.getElementById('out').textContent.startsWith('Hello')", 10s));
  EXPECT_EQ(browser->evaluate("document.getElementById('out').textContent"), "\"Hello, Ada L.\"");
  EXPECT_EQ(server.received(), std::vector<std::string>{"Ada L."});

  // A button far below the fold is scrolled to and clicked.
  browser->click("#far");
  EXPECT_EQ(browser->evaluate("document.title"), "\"far clicked\"");

  // Values come back as JSON, promises are awaited.
  EXPECT_EQ(browser->evaluate("({a: [1, 'x'], b: null})"), R"({"a":[1,"x"],"b":null})");
  EXPECT_EQ(browser->evaluate("fetch('/greet', {method: 'POST', body: 'js'}).then(r => r.text())"), "\"Hello, js\"");
  EXPECT_EQ(browser->evaluate("undefined"), "null");
  EXPECT_EQ(browser->evaluate("window.innerWidth"), "800");

  // The screenshot holds the whole page, not just the 600 pixels in view.
  xelotest::TempDir dir("browser-shot");
  browser->screenshot(dir / "page.png");
  std::string png = xelotest::readFile(dir / "page.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  auto be32 = [&](std::size_t at) {
    return (static_cast<unsigned char>(png[at]) << 24) | (static_cast<unsigned char>(png[at + 1]) << 16) |
           (static_cast<unsigned char>(png[at + 2]) << 8) | static_cast<unsigned char>(png[at + 3]);
  };
  EXPECT_EQ(be32(16), 800u);
  EXPECT_GT(be32(20), 2400u);
  EXPECT_EQ(browser->consoleErrors(), std::vector<std::string>{});
}

TEST(BrowserTest, ReportsPageErrorsAndRefusesWhatItCannotDo) {
  PageServer server;
  auto browser = Browser::launch();
  browser->navigate(server.url("/broken"));

  auto errors = browser->consoleErrors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "widget failed 42");
  EXPECT_NE(errors[1].find("TypeError"), std::string::npos) << errors[1];

  struct Case {
    const char* what;
    std::function<void()> call;
    const char* message;
  };
  const Case cases[] = {
      {"thrown error", [&] { browser->evaluate("throw new Error('bad input')"); }, "bad input"},
      {"rejected promise", [&] { browser->evaluate("Promise.reject(new RangeError('too far'))"); }, "too far"},
      {"missing element", [&] { browser->click("#nothing"); }, "no element matches #nothing"},
      {"hidden element", [&] { browser->click("script"); }, "is not visible"},
      {"element that takes no focus", [&] { browser->type("p", "x"); }, "cannot take the focus"},
      {"predicate with a syntax error", [&] { browser->waitFor("1 +", 10s); }, "SyntaxError"},
      {"unreachable page", [&] { browser->navigate("http://127.0.0.1:1/"); },
       "cannot load http://127.0.0.1:1/: net::ERR_"},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.what << ": no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.what << ": " << e.what();
    }
  }

  // A predicate that never holds gives up at its timeout; one that throws
  // until the page changes counts as "not yet".
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(browser->waitFor("false", 300ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  browser->evaluate("setTimeout(() => { window.ready = {done: true}; }, 200)");
  EXPECT_TRUE(browser->waitFor("window.ready.done", 10s));

  // A dialog is accepted rather than left blocking every later script.
  EXPECT_EQ(browser->evaluate("confirm('really?')"), "true");
}

TEST(BrowserTest, LeavesNoProcessOrProfileBehind) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  xelotest::TempDir tmp("browser-tmp");
  xelotest::ScopedEnv tmpdir("TMPDIR", tmp.path());
  pid_t pid;
  {
    auto browser = Browser::launch();
    pid = browser->pid();
    ASSERT_GT(pid, 0);
    auto files = xelotest::listFiles(tmp.path());  // only its profile, which holds its temporary files
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("xelo-browser-", 0), 0u);
  }
  EXPECT_TRUE(goneAndReaped(pid));
  EXPECT_TRUE(xelotest::listFiles(tmp.path()).empty());
}

TEST(BrowserTest, LaunchFailuresAreClearAndCleanedUp) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  xelotest::TempDir bin("browser-bin");
  xelotest::TempDir tmp("browser-tmp");
  xelotest::ScopedEnv tmpdir("TMPDIR", tmp.path());
  xelotest::ScopedEnv timeout("XELO_TEST_BROWSER_TIMEOUT_MS", "1500");
  // A "browser" that never answers on its pipe, and one that dies at once.
  xelotest::writeFile(bin / "silent", "#!/bin/sh\necho $$ > " + (bin / "silent.pid") + "\nexec sleep 60\n");
  xelotest::writeFile(bin / "dying", "#!/bin/sh\necho 'cannot open display' >&2\nexit 1\n");
  chmod((bin / "silent").c_str(), 0755);
  chmod((bin / "dying").c_str(), 0755);

  struct Case {
    std::string chromium;
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      {bin / "silent", "", "did not answer within 1500 ms"},
      {bin / "dying", "", "cannot open display"},
      {bin / "absent", "", "is not an executable file"},
      {"", bin.path(), "chromium not found on PATH"},
  };
  for (const auto& c : cases) {
    xelotest::ScopedEnv chromium("XELO_TEST_CHROMIUM", c.chromium, c.chromium.empty());
    xelotest::ScopedEnv path("PATH", c.path.empty() ? std::getenv("PATH") : c.path);
    auto start = std::chrono::steady_clock::now();
    try {
      Browser::launch();
      ADD_FAILURE() << c.message << ": launched";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << c.message;
    EXPECT_EQ(xelotest::listFiles(tmp.path()), std::vector<std::string>{}) << c.message;
  }
  EXPECT_TRUE(goneAndReaped(std::stoi(xelotest::readFile(bin / "silent.pid"))));
}

}  // namespace
