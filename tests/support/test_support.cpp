#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

namespace xelotest {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

ScopedEnv::ScopedEnv(const std::string& n, const std::string& value, bool unset) : name(n) {
  if (const char* old = getenv(name.c_str())) {
    hadValue = true;
    oldValue = old;
  }
  if (unset)
    unsetenv(name.c_str());
  else
    setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (hadValue)
    setenv(name.c_str(), oldValue.c_str(), 1);
  else
    unsetenv(name.c_str());
}

ScopedCwd::ScopedCwd(const std::string& dir) : previous(fs::current_path().string()) {
  fs::current_path(dir);
}

ScopedCwd::~ScopedCwd() {
  std::error_code ec;
  fs::current_path(previous, ec);
}

struct ConsoleScope::Streams {
  std::istringstream in;
  std::ostringstream out;
  std::streambuf* oldIn = nullptr;
  std::streambuf* oldOut = nullptr;
};

ConsoleScope::ConsoleScope(const std::string& input) : streams(new Streams) {
  streams->in.str(input);
  streams->oldIn = std::cin.rdbuf(streams->in.rdbuf());
  streams->oldOut = std::cout.rdbuf(streams->out.rdbuf());
}

ConsoleScope::~ConsoleScope() {
  std::cin.rdbuf(streams->oldIn);
  std::cout.rdbuf(streams->oldOut);
  std::cin.clear();
  delete streams;
}

std::string ConsoleScope::output() const { return streams->out.str(); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::vector<std::string> listFiles(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> partialFiles(const std::string& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    if (it->path().filename().string().find(".part") != std::string::npos) found.push_back(it->path().string());
  return found;
}

ProgramSandbox::ProgramSandbox() : root("xelo-sandbox") {
  program = root / "program";
  drive = root / "drive";
  work = root / "work";
  fs::copy(XELO_PROGRAM_DIR, program, fs::copy_options::recursive);
  fs::create_directories(drive);
  fs::create_directories(work);
  // Other users (the non-root test) must reach the program and the drive.
  for (const auto& p : {root.path(), program, drive, work})
    fs::permissions(p, fs::perms::all, fs::perm_options::replace);
}

RunResult ProgramSandbox::run(const std::string& name, const std::vector<std::string>& args,
                              const std::string& input,
                              const std::vector<std::pair<std::string, std::string>>& env,
                              const std::string& asUser) const {
  std::vector<std::string> argv;
  if (!asUser.empty()) {
    // setpriv takes the user's primary group from the account database.
    argv = {"/usr/bin/setpriv", "--reuid=" + asUser, "--init-groups", "--"};
  }
  argv.push_back(program + "/" + name);
  argv.insert(argv.end(), args.begin(), args.end());

  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    std::string key = entry.substr(0, entry.find('='));
    bool replaced = key == "SYSTEMDRIVE" ||
                    std::any_of(env.begin(), env.end(), [&](const auto& kv) { return kv.first == key; });
    if (!replaced) envText.push_back(entry);
  }
  envText.push_back("SYSTEMDRIVE=" + drive);
  for (const auto& [k, v] : env) envText.push_back(k + "=" + v);

  std::vector<char*> cargv, cenv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (auto& e : envText) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  std::string inPath = root / "stdin.txt";
  std::string outPath = root / "stdout-capture.txt";
  writeFile(inPath, input);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  RunResult result;
  int rc = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.status = 128 + WTERMSIG(status);
  result.output = readFile(outPath);
  return result;
}

std::vector<std::string> ProgramSandbox::logFiles() const {
  // "xelo_964_<YYYYMMDDhhmmss>.<µs><UTC offset>.log": ordered by the
  // date and time, then by the microseconds as a number.
  const std::string prefix = "xelo_964_";
  const auto startOf = [&](const std::string& name) {
    const std::string stamp = name.substr(prefix.size(), 14);
    const auto dot = name.find('.', prefix.size());
    const long micro = dot == std::string::npos ? 0 : std::strtol(name.c_str() + dot + 1, nullptr, 10);
    return std::make_pair(stamp, micro);
  };
  std::vector<std::string> logs;
  for (const auto& n : listFiles(supportDir()))
    if (n.rfind(prefix, 0) == 0) logs.push_back(n);
  std::stable_sort(logs.begin(), logs.end(),
                   [&](const std::string& a, const std::string& b) { return startOf(a) < startOf(b); });
  return logs;
}

}  // namespace xelotest
