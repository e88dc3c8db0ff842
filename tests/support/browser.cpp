#include "browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace XELO::test {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// A wait that ran out of time; the browser itself may still be fine.
struct TimedOut : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A script that threw, or a command the page refused; the browser is fine.
struct PageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// How long one command, a page load or the start may take. Generous, since
// chromium shares the machine with a parallel test run.
std::chrono::milliseconds waitLimit() {
  if (const char* ms = std::getenv("XELO_TEST_BROWSER_TIMEOUT_MS")) {
    char* end = nullptr;
    long v = std::strtol(ms, &end, 10);
    if (end != ms && *end == '\0' && v > 0) return std::chrono::milliseconds(v);
  }
  return std::chrono::milliseconds(30000);
}

// The chromium binary: $XELO_TEST_CHROMIUM, else "chromium" on PATH.
std::string findChromium() {
  if (const char* p = std::getenv("XELO_TEST_CHROMIUM"); p && *p) {
    if (access(p, X_OK) == 0) return p;
    throw std::runtime_error(std::string("browser: XELO_TEST_CHROMIUM=") + p + " is not an executable file");
  }
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path && *path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? "." : dir) + "/chromium";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error(
      "browser: chromium not found on PATH; install Debian's chromium package (tools/install-deps.sh) "
      "or set XELO_TEST_CHROMIUM");
}

std::string decodeBase64(const std::string& in) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(in.size() / 4 * 3);
  unsigned bits = 0;
  int count = 0;
  for (char c : in) {
    if (c == '=') break;
    int v = value(c);
    if (v < 0) throw std::runtime_error("browser: screenshot data is not base64");
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// The last lines chromium wrote to its log, for error messages.
std::string logTail(const std::string& logPath) {
  std::ifstream in(logPath);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::string tail;
  for (std::size_t i = lines.size() > 8 ? lines.size() - 8 : 0; i < lines.size(); ++i) tail += "\n  " + lines[i];
  return tail.empty() ? "" : "; chromium said:" + tail;
}

// A pipe end moved above the standard and transport descriptors, close-on-exec.
int highFd(int fd) {
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  if (moved < 0) throw std::runtime_error(std::string("browser: fcntl: ") + std::strerror(errno));
  return moved;
}

std::vector<std::string> chromiumArgs(const std::string& binary, const std::string& profile, int width, int height) {
  // The pages are the tests' own, so the sandbox (which fails for root and in
  // many containers) buys nothing here.
  return {binary,
          "--headless=new",
          "--no-sandbox",
          "--disable-gpu",
          "--disable-dev-shm-usage",
          "--no-first-run",
          "--no-default-browser-check",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--disable-extensions",
          "--mute-audio",
          "--hide-scrollbars",
          "--disable-breakpad",
          "--disable-crash-reporter",
          "--user-data-dir=" + profile,
          "--remote-debugging-pipe",
          "--window-size=" + std::to_string(width) + "," + std::to_string(height),
          "about:blank"};
}

// The text of a console call's arguments, separated by spaces.
std::string consoleText(const json& args) {
  std::string text;
  for (const auto& arg : args) {
    if (!text.empty()) text += ' ';
    if (arg.contains("value"))
      text += arg["value"].is_string() ? arg["value"].get<std::string>() : arg["value"].dump();
    else
      text += arg.value("description", arg.value("type", ""));
  }
  return text;
}

std::string describeException(const json& details) {
  std::string text = details.value("text", "Uncaught");
  if (details.contains("exception")) {
    const json& ex = details["exception"];
    if (ex.contains("description")) return ex["description"].get<std::string>();
    if (ex.contains("value")) return text + " " + ex["value"].dump();
  }
  return text;
}

}  // namespace

struct Browser::Impl {
  pid_t pid = -1;
  bool reaped = false;
  int toBrowser = -1;    // our end of the child's fd 3
  int fromBrowser = -1;  // our end of the child's fd 4
  std::string profile;
  std::string logPath;
  std::string sessionId;
  long nextId = 1;
  std::string inbox;                    // bytes read but not yet split into messages
  std::set<std::string> loadedLoaders;  // loader ids whose page fired "load"
  std::vector<std::string> errors;
  bool detached = false;  // the page went away (closed or crashed)
  std::chrono::milliseconds limit = waitLimit();

  ~Impl() { shutdown(); }

  void spawn(const std::string& binary, int width, int height);
  void shutdown();
  bool exited(std::chrono::milliseconds within);

  [[noreturn]] void pipeClosed() {
    throw std::runtime_error("browser: chromium closed its DevTools pipe" + logTail(logPath));
  }
  void writeMessage(const std::string& text, Clock::time_point deadline);
  bool readMessages(Clock::time_point deadline, std::vector<json>& out);
  void handleEvent(const json& message);
  json call(const std::string& method, json params, bool onPage, Clock::time_point deadline);
  json call(const std::string& method, json params = json::object(), bool onPage = true) {
    return call(method, std::move(params), onPage, Clock::now() + limit);
  }
  json evaluate(const std::string& js, Clock::time_point deadline);
  void attach(int width, int height);
};

void Browser::Impl::spawn(const std::string& binary, int width, int height) {
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/xelo-browser-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("browser: mkdtemp " + tmpl + ": " + std::strerror(errno));
  profile = tmpl;
  logPath = profile + "/chromium.log";

  int cmd[2], evt[2];
  if (pipe(cmd) != 0) throw std::runtime_error(std::string("browser: pipe: ") + std::strerror(errno));
  if (pipe(evt) != 0) {
    close(cmd[0]), close(cmd[1]);
    throw std::runtime_error(std::string("browser: pipe: ") + std::strerror(errno));
  }
  int childIn = highFd(cmd[0]), childOut = highFd(evt[1]);
  toBrowser = highFd(cmd[1]);
  fromBrowser = highFd(evt[0]);

  std::vector<std::string> args = chromiumArgs(binary, profile, width, height);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Its temporary files (shared memory among them) go into the profile, so
  // they are removed with it even when the browser has to be killed.
  std::string tmpDir = profile + "/tmp";
  mkdir(tmpDir.c_str(), 0700);
  std::vector<std::string> env = {"TMPDIR=" + tmpDir};
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "TMPDIR=", 7) != 0) env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_adddup2(&actions, childIn, 3);
  posix_spawn_file_actions_adddup2(&actions, childOut, 4);
  posix_spawn_file_actions_addclosefrom_np(&actions, 5);
  // Its own process group, so its helper processes can be ended with it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t defaults;  // the tests ignore SIGPIPE; the browser gets the default back
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  int rc = posix_spawn(&pid, binary.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(childIn);
  close(childOut);
  if (rc != 0) {
    pid = -1;
    throw std::runtime_error("browser: cannot start " + binary + ": " + std::strerror(rc));
  }
}

// True once the browser process has ended (it is not reaped yet, so its
// process group id stays reserved until shutdown() ends the group).
bool Browser::Impl::exited(std::chrono::milliseconds within) {
  auto deadline = Clock::now() + within;
  for (;;) {
    siginfo_t info{};
    if (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Browser::Impl::shutdown() {
  if (pid > 0 && !reaped) {
    // A browser that answered is asked to close; one that never did is killed.
    bool asked = false;
    if (!sessionId.empty() && toBrowser >= 0 && !exited(std::chrono::milliseconds(0))) {
      try {
        writeMessage(json{{"id", nextId++}, {"method", "Browser.close"}}.dump(),
                     Clock::now() + std::chrono::seconds(2));
        asked = true;
      } catch (const std::exception&) {
      }
    }
    if (!asked || !exited(std::chrono::seconds(5))) kill(pid, SIGKILL);
    exited(std::chrono::seconds(5));
    kill(-pid, SIGKILL);  // helper processes still in the group
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped = true;
  }
  if (toBrowser >= 0) close(toBrowser), toBrowser = -1;
  if (fromBrowser >= 0) close(fromBrowser), fromBrowser = -1;
  if (!profile.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(profile, ec);
    profile.clear();
  }
}

void Browser::Impl::writeMessage(const std::string& text, Clock::time_point deadline) {
  std::string data = text;
  data.push_back('\0');
  std::size_t done = 0;
  while (done < data.size()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) throw TimedOut("browser: timed out sending a command");
    pollfd p{toBrowser, POLLOUT, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) continue;
    ssize_t w = write(toBrowser, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EPIPE) pipeClosed();
    if (w < 0) throw std::runtime_error(std::string("browser: cannot send a command: ") + std::strerror(errno));
    done += static_cast<std::size_t>(w);
  }
}

// Reads what is available (waiting until the deadline for the first bytes)
// and appends the complete messages. False when the wait timed out.
bool Browser::Impl::readMessages(Clock::time_point deadline, std::vector<json>& out) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fromBrowser, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return false;
    char buf[65536];
    ssize_t r = read(fromBrowser, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) throw std::runtime_error(std::string("browser: cannot read from chromium: ") + std::strerror(errno));
    if (r == 0) pipeClosed();
    inbox.append(buf, static_cast<std::size_t>(r));
    std::size_t start = 0;
    for (std::size_t end; (end = inbox.find('\0', start)) != std::string::npos; start = end + 1) {
      try {
        out.push_back(json::parse(inbox.begin() + static_cast<long>(start), inbox.begin() + static_cast<long>(end)));
      } catch (const json::exception& e) {
        throw std::runtime_error(std::string("browser: unreadable DevTools message: ") + e.what());
      }
    }
    inbox.erase(0, start);
    return true;
  }
}

void Browser::Impl::handleEvent(const json& message) {
  const std::string method = message.value("method", "");
  const json& params = message.contains("params") ? message["params"] : json::object();
  if (method == "Page.lifecycleEvent") {
    if (params.value("name", "") == "load") loadedLoaders.insert(params.value("loaderId", ""));
  } else if (method == "Runtime.consoleAPICalled") {
    std::string type = params.value("type", "");
    if (type == "error" || type == "assert") errors.push_back(consoleText(params.value("args", json::array())));
  } else if (method == "Page.javascriptDialogOpening") {
    // alert(), confirm() and prompt() would block every script until answered:
    // accept them at once (the answer to this command is not waited for).
    json accept{{"id", nextId++}, {"method", "Page.handleJavaScriptDialog"}, {"params", {{"accept", true}}}};
    accept["sessionId"] = sessionId;
    writeMessage(accept.dump(), Clock::now() + limit);
  } else if (method == "Target.detachedFromTarget") {
    if (params.value("sessionId", "") == sessionId) detached = true;
  } else if (method == "Runtime.exceptionThrown") {
    errors.push_back(describeException(params.value("exceptionDetails", json::object())));
  } else if (method == "Log.entryAdded") {
    // Failed loads and other browser-side errors. The icon the browser asks
    // for on its own is not the page's doing.
    const json entry = params.value("entry", json::object());
    std::string url = entry.value("url", "");
    const std::string icon = "/favicon.ico";
    bool isIcon = url.size() >= icon.size() && url.compare(url.size() - icon.size(), icon.size(), icon) == 0;
    if (entry.value("level", "") != "error" || isIcon) return;
    errors.push_back(entry.value("text", "") + (url.empty() ? "" : " (" + url + ")"));
  }
}

// Sends a command (to the page's session, or to the browser) and waits for
// its answer, handling the events that arrive meanwhile.
json Browser::Impl::call(const std::string& method, json params, bool onPage, Clock::time_point deadline) {
  if (onPage && detached) throw std::runtime_error("browser: the page is gone (closed or crashed)");
  long id = nextId++;
  json message{{"id", id}, {"method", method}, {"params", std::move(params)}};
  if (onPage) message["sessionId"] = sessionId;
  writeMessage(message.dump(), deadline);
  for (;;) {
    std::vector<json> messages;
    if (!readMessages(deadline, messages)) throw TimedOut("browser: timed out waiting for " + method);
    std::optional<json> answer;
    for (auto& m : messages) {
      if (m.contains("id")) {
        if (m["id"] == id) answer = std::move(m);  // answers to abandoned commands are dropped
      } else if (!m.contains("sessionId") || m["sessionId"] == sessionId) {
        handleEvent(m);
      }
    }
    if (!answer && onPage && detached) throw std::runtime_error("browser: the page is gone (closed or crashed)");
    if (!answer) continue;
    if (answer->contains("error")) {
      throw PageError("browser: " + method + " failed: " + (*answer)["error"].value("message", "?"));
    }
    return answer->value("result", json::object());
  }
}

void Browser::Impl::attach(int width, int height) {
  json targets = call("Target.getTargets", json::object(), false);
  std::string targetId;
  for (const auto& t : targets.value("targetInfos", json::array())) {
    if (t.value("type", "") == "page") {
      targetId = t.value("targetId", "");
      break;
    }
  }
  if (targetId.empty()) {
    targetId = call("Target.createTarget", {{"url", "about:blank"}}, false).value("targetId", "");
  }
  sessionId = call("Target.attachToTarget", {{"targetId", targetId}, {"flatten", true}}, false).value("sessionId", "");
  call("Page.enable");
  call("Page.setLifecycleEventsEnabled", {{"enabled", true}});
  call("Runtime.enable");
  call("Log.enable");
  call("Emulation.setDeviceMetricsOverride",
       {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}});
}

json Browser::Impl::evaluate(const std::string& js, Clock::time_point deadline) {
  json result = call("Runtime.evaluate",
                     {{"expression", js}, {"awaitPromise", true}, {"returnByValue", true}, {"userGesture", true}}, true,
                     deadline);
  if (result.contains("exceptionDetails")) {
    throw PageError("browser: script failed: " + describeException(result["exceptionDetails"]));
  }
  return result.value("result", json::object());
}

Browser::Browser(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Browser::~Browser() = default;

std::unique_ptr<Browser> Browser::launch(int width, int height) {
  // A write to a browser that died must fail with EPIPE, not kill the test.
  signal(SIGPIPE, SIG_IGN);
  auto impl = std::make_unique<Impl>();
  impl->spawn(findChromium(), width, height);
  try {
    impl->attach(width, height);
  } catch (const TimedOut& e) {
    std::string log = logTail(impl->logPath);
    throw std::runtime_error("browser: chromium did not answer within " + std::to_string(impl->limit.count()) +
                             " ms (" + e.what() + ")" + log);
  }
  return std::unique_ptr<Browser>(new Browser(std::move(impl)));
}

void Browser::navigate(const std::string& url) {
  auto deadline = Clock::now() + impl_->limit;
  json nav = impl_->call("Page.navigate", {{"url", url}}, true, deadline);
  if (nav.contains("errorText") && !nav["errorText"].get<std::string>().empty()) {
    throw std::runtime_error("browser: cannot load " + url + ": " + nav["errorText"].get<std::string>());
  }
  std::string loader = nav.value("loaderId", "");
  if (loader.empty()) return;  // same-document navigation: no new load
  while (!impl_->loadedLoaders.count(loader)) {
    std::vector<json> messages;
    if (!impl_->readMessages(deadline, messages)) throw TimedOut("browser: timed out loading " + url);
    for (const auto& m : messages) {
      if (!m.contains("id")) impl_->handleEvent(m);
    }
  }
}

std::string Browser::evaluate(const std::string& js) {
  json value = impl_->evaluate(js, Clock::now() + impl_->limit);
  if (value.contains("value")) return value["value"].dump();
  // NaN, Infinity, -0 and big integers have no JSON form; undefined becomes null.
  if (value.contains("unserializableValue")) return value["unserializableValue"].get<std::string>();
  return "null";
}

bool Browser::waitFor(const std::string& jsPredicate, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::string probe = "(async () => !!(await (" + jsPredicate + "\n)))()";
  for (;;) {
    try {
      if (impl_->evaluate(probe, deadline).value("value", false)) return true;
    } catch (const TimedOut&) {
      return false;
    } catch (const PageError& e) {
      // A script error (element not there yet, page being replaced) counts
      // as "not yet"; a predicate that cannot even be parsed never holds.
      if (std::string(e.what()).find("SyntaxError") != std::string::npos) throw;
    }
    if (Clock::now() + std::chrono::milliseconds(50) >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

void Browser::click(const std::string& cssSelector) {
  // The element's centre after scrolling it into view; refused when the
  // element is missing, has no size or lies under another element.
  std::string js = "(() => { const sel = " + json(cssSelector).dump() +
                   R"(; const e = document.querySelector(sel);
    if (!e) throw new Error('no element matches ' + sel);
    e.scrollIntoView({block: 'center', inline: 'center', behavior: 'instant'});
    const r = e.getBoundingClientRect();
    if (r.width === 0 || r.height === 0) throw new Error(sel + ' is not visible');
    const x = r.left + r.width / 2, y = r.top + r.height / 2;
    const hit = document.elementFromPoint(x, y);
    if (!hit || !(e === hit || e.contains(hit)))
      throw new Error(sel + ' is covered by ' + (hit ? hit.outerHTML.slice(0, 80) : 'nothing'));
    return {x, y}; })())";
  json point = impl_->evaluate(js, Clock::now() + impl_->limit).value("value", json::object());
  double x = point.value("x", 0.0), y = point.value("y", 0.0);
  impl_->call("Input.dispatchMouseEvent", {{"type", "mouseMoved"}, {"x", x}, {"y", y}});
  for (const char* type : {"mousePressed", "mouseReleased"}) {
    impl_->call("Input.dispatchMouseEvent",
                {{"type", type}, {"x", x}, {"y", y}, {"button", "left"}, {"buttons", 1}, {"clickCount", 1}});
  }
}

void Browser::type(const std::string& cssSelector, const std::string& text) {
  // Focus the element and put the caret at the end of what it holds.
  std::string js = "(() => { const sel = " + json(cssSelector).dump() +
                   R"(; const e = document.querySelector(sel);
    if (!e) throw new Error('no element matches ' + sel);
    e.scrollIntoView({block: 'center', behavior: 'instant'});
    e.focus();
    if (document.activeElement !== e) throw new Error(sel + ' cannot take the focus');
    try { const n = e.value.length; e.setSelectionRange(n, n); } catch (_) {}
    return true; })())";
  impl_->evaluate(js, Clock::now() + impl_->limit);
  impl_->call("Input.insertText", {{"text", text}});
}

void Browser::screenshot(const std::string& pngPath) {
  json metrics = impl_->call("Page.getLayoutMetrics");
  json size = metrics.value("cssContentSize", metrics.value("contentSize", json::object()));
  json clip{
      {"x", 0}, {"y", 0}, {"width", size.value("width", 1.0)}, {"height", size.value("height", 1.0)}, {"scale", 1}};
  json shot =
      impl_->call("Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", true}, {"clip", clip}});
  std::string png = decodeBase64(shot.value("data", ""));
  std::ofstream out(pngPath, std::ios::binary | std::ios::trunc);
  out.write(png.data(), static_cast<std::streamsize>(png.size()));
  out.close();
  if (!out) throw std::runtime_error("browser: cannot write " + pngPath);
}

std::vector<std::string> Browser::consoleErrors() const {
  // A round trip through the page first, so errors the page reported before
  // this call have arrived. A browser that is gone keeps what was seen.
  try {
    impl_->call("Runtime.evaluate", {{"expression", "0"}}, true, Clock::now() + std::chrono::seconds(5));
  } catch (const std::exception&) {
  }
  return impl_->errors;
}

int Browser::pid() const { return impl_->pid; }

}  // namespace XELO::test
