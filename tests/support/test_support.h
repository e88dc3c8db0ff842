// Helpers shared by the tests: private directories, environment, files, and
// running the built program from a private copy of its program directory.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace xelotest {

// A private directory, removed with everything in it when the object dies.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "xelo-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return dir; }
  std::string operator/(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

// Sets (or, with unset=true, removes) an environment variable for the
// object's lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value, bool unset = false);
  ~ScopedEnv();

 private:
  std::string name;
  std::string oldValue;
  bool hadValue = false;
};

// Changes the current directory for the object's lifetime.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();

 private:
  std::string previous;
};

// Feeds std::cin with `input` and captures std::cout for the object's lifetime.
class ConsoleScope {
 public:
  explicit ConsoleScope(const std::string& input = "");
  ~ConsoleScope();
  ConsoleScope(const ConsoleScope&) = delete;
  ConsoleScope& operator=(const ConsoleScope&) = delete;
  std::string output() const;

 private:
  struct Streams;
  Streams* streams;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);
std::vector<std::string> listFiles(const std::string& dir);  // names, sorted
// Paths below `dir`, recursively, of images or downloads still being
// written (".part" in the name); none when `dir` is missing.
std::vector<std::string> partialFiles(const std::string& dir);

// The outcome of one run of the program.
struct RunResult {
  int status = -1;     // exit status (0..255), or 128 + signal
  std::string output;  // standard output and error, interleaved
};

// A private copy of the built program directory with its own SYSTEMDRIVE.
class ProgramSandbox {
 public:
  ProgramSandbox();
  const std::string& programDir() const { return program; }
  const std::string& systemDrive() const { return drive; }
  const std::string& scratch() const { return work; }  // a free directory for the test
  std::string supportDir() const { return drive + "/QOR_Support"; }

  // Runs `program` (e.g. "xelo") from the sandbox with `args`, feeding
  // `input` on standard input. `env` adds or replaces variables. With
  // `asUser` the program runs as that user (through setpriv).
  RunResult run(const std::string& program, const std::vector<std::string>& args,
                const std::string& input = "",
                const std::vector<std::pair<std::string, std::string>>& env = {},
                const std::string& asUser = "") const;

  // Files in the support directory whose names start with "xelo_964_", in
  // the order the runs that wrote them started (the microseconds in the
  // names are not zero-padded, so the names alone do not sort that way).
  std::vector<std::string> logFiles() const;

 private:
  TempDir root;
  std::string program;
  std::string drive;
  std::string work;
};

}  // namespace xelotest
