// One run of the console program at a time: started with an argument
// vector (never through a shell), its output kept for the page, its files
// read for the page, and the page's answers written where the program
// waits for them.
#pragma once
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "readers.h"

namespace XELO::launchpad {

struct RunPaths {
  std::string programDir;      // where the console program lies
  std::string supportDir;      // the program's result and progress files
  std::string supportListDir;  // the installed support list and the yes/no reply file
  std::string privateDir;      // this server's own files (the progress lines)
};

class Supervisor {
 public:
  explicit Supervisor(RunPaths paths);
  ~Supervisor();  // a run still going is stopped (SIGTERM) and waited for
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // Starts the program with `args` after clearing the files of an earlier
  // run. The proxy password goes into its environment only. Returns "" or
  // why it did not start (another run is going on; the program is missing).
  std::string start(const std::string& action, const std::vector<std::string>& args, const std::string& proxyPassword);
  bool running();
  // The whole state for the page; the output from byte `logFrom` on.
  nlohmann::json state(std::size_t logFrom);
  // Answers the question the run waits on; "" or why it could not.
  std::string answer(bool yes);
  // Asks a running program to stop (it removes its partial files itself).
  void cancel();

  std::string progressFile() const;

 private:
  void readOutput(int fd, int pid);
  nlohmann::json questionState(const ProgressSummary& progress, const std::optional<CliResult>& cli);
  void clearRunFiles();

  RunPaths paths;
  std::mutex lock;
  std::thread reader;
  int pid = -1;
  int input = -1;
  bool active = false;  // started and not yet reaped
  bool started = false;
  int exitStatus = -1;
  std::string action;
  std::vector<std::string> args;
  std::string output;
  int answeredQuestions = 0;
  bool formatAnswered = false;
  std::optional<std::vector<AcquisitionPass>> lastAcquisition;
};

}  // namespace XELO::launchpad
