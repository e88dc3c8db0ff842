#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform.h"

extern char** environ;

namespace XELO::launchpad {

std::string randomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = getrandom(bytes.data() + done, count - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("no random bytes from the kernel");
    done += static_cast<std::size_t>(n);
  }
  return bytes;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : std::string();
}

namespace {

std::vector<std::string> environmentWith(const std::vector<std::pair<std::string, std::string>>& env) {
  std::vector<std::string> entries;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : env) replaced = replaced || entry.rfind(name + "=", 0) == 0;
    if (!replaced) entries.push_back(entry);
  }
  for (const auto& [name, value] : env) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> list;
  for (auto& text : texts) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

// Spawn attributes that give the child the default signal handling: this
// server blocks SIGINT and SIGTERM and ignores SIGPIPE, which a child would
// otherwise inherit (and then could not be cancelled).
struct DefaultSignals {
  posix_spawnattr_t attributes;
  DefaultSignals() {
    posix_spawnattr_init(&attributes);
    sigset_t none, reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    for (int s : {SIGPIPE, SIGINT, SIGTERM}) sigaddset(&reset, s);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &reset);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~DefaultSignals() { posix_spawnattr_destroy(&attributes); }
};

}  // namespace

Child startChild(const std::vector<std::string>& argv, const std::string& cwd,
                 const std::vector<std::pair<std::string, std::string>>& env) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error(std::strerror(errno));
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]), ::close(in[1]);
    throw std::runtime_error(std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<std::string> args = argv, envText = environmentWith(env);
  auto argp = pointers(args), envp = pointers(envText);
  pid_t pid = -1;
  DefaultSignals signals;
  const int rc = ::posix_spawn(&pid, argp[0], &actions, &signals.attributes, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]), ::close(out[0]);
    throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " + std::strerror(rc));
  }
  return Child{pid, in[1], out[0]};
}

bool reapChild(int pid, bool block, int& status) {
  int raw = 0;
  const pid_t r = ::waitpid(pid, &raw, block ? 0 : WNOHANG);
  if (r != pid) return false;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return true;
}

void signalChild(int pid, int signal) {
  if (pid > 0) ::kill(pid, signal);
}

std::string captureOutput(const std::vector<std::string>& argv) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = argv;
  auto argp = pointers(args);
  pid_t pid = -1;
  DefaultSignals signals;
  const int rc = ::posix_spawnp(&pid, argp[0], &actions, &signals.attributes, argp.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string text;
  if (rc == 0) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
      if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    int status;
    reapChild(pid, true, status);
  }
  ::close(out[0]);
  return text;
}

bool openInBrowser(const std::string& url) {
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) return false;
  std::vector<std::string> args{"xdg-open", url};
  auto argp = pointers(args);
  pid_t pid = -1;
  DefaultSignals signals;
  if (::posix_spawnp(&pid, "xdg-open", nullptr, &signals.attributes, argp.data(), environ) != 0) return false;
  // xdg-open hands the URL over and ends; it is reaped so that no zombie stays.
  int status;
  reapChild(pid, true, status);
  return status == 0;
}

std::string makePrivateDirectory() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/launchpad-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a private directory");
  return pattern;
}

}  // namespace XELO::launchpad
