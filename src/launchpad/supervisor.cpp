#include "supervisor.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "host/host.h"
#include "host/paths.h"
#include "platform.h"

namespace XELO::launchpad {
namespace {

constexpr std::size_t kMaxOutput = 8 * 1024 * 1024;
constexpr int kFormatQuestionCode = 10;  // the result record while the USB format question waits

nlohmann::json toJson(const std::vector<AcquisitionPass>& passes) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& pass : passes) {
    nlohmann::json packages = nlohmann::json::array();
    for (const auto& p : pass.packages)
      packages.push_back({{"updateId", p.updateId},
                          {"component", p.component},
                          {"status", p.status},
                          {"sizeKb", p.sizeKb},
                          {"downloadedKb", p.downloadedKb},
                          {"speedKb", p.speedKb}});
    list.push_back({{"mt", pass.machineType},
                    {"os", pass.os},
                    {"total", pass.total},
                    {"currentUpdateId", pass.currentUpdateId},
                    {"packages", packages}});
  }
  return list;
}

nlohmann::json toJson(const ProgressSummary& p) {
  return {{"phase", p.phase}, {"file", p.file},       {"update", p.update},
          {"kb", p.kb},       {"totalKb", p.totalKb}, {"finished", p.finished},
          {"code", p.code},   {"message", p.message}, {"medium", p.medium}};
}

}  // namespace

Supervisor::Supervisor(RunPaths p) : paths(std::move(p)) {}

Supervisor::~Supervisor() {
  int childPid = -1;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (active) childPid = pid;
  }
  signalChild(childPid, SIGTERM);
  if (reader.joinable()) reader.join();
  deleteFile(progressFile());
}

std::string Supervisor::progressFile() const { return joinPath(paths.privateDir, "progress.jsonl"); }

void Supervisor::clearRunFiles() {
  for (const char* name : {"xelo_cli.xml", "xelo_ac_result.xml", "xelo_local_report.xml", "xelo_tmp.dat"})
    deleteFile(joinPath(paths.supportDir, name));
  for (const char* name : {"supportlist_ac_result.xml", "confirm_continue.xml"})
    deleteFile(joinPath(paths.supportListDir, name));
  deleteFile(progressFile());
}

std::string Supervisor::start(const std::string& runAction, const std::vector<std::string>& runArgs,
                              const std::string& proxyPassword) {
  std::lock_guard<std::mutex> guard(lock);
  if (active) return "A run is going on; wait for it to end.";
  if (reader.joinable()) reader.join();
  clearRunFiles();
  std::vector<std::string> argv{joinPath(paths.programDir, "xelo")};
  argv.insert(argv.end(), runArgs.begin(), runArgs.end());
  std::vector<std::pair<std::string, std::string>> env{{"XELO_GUI_ENVIRONMENT", "1"}};
  if (!proxyPassword.empty()) env.emplace_back("XELO_PROXY_PASSWORD", proxyPassword);
  Child child;
  try {
    child = startChild(argv, paths.programDir, env);
  } catch (const std::exception& e) {
    return e.what();
  }
  pid = child.pid;
  input = child.input;
  active = started = true;
  exitStatus = -1;
  action = runAction;
  args = runArgs;
  output.clear();
  answeredQuestions = 0;
  formatAnswered = false;
  lastAcquisition.reset();
  reader = std::thread(&Supervisor::readOutput, this, child.output, child.pid);
  return "";
}

void Supervisor::readOutput(int fd, int childPid) {
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> guard(lock);
    if (output.size() < kMaxOutput) output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  int status = -1;
  reapChild(childPid, true, status);
  std::lock_guard<std::mutex> guard(lock);
  ::close(input);
  input = -1;
  exitStatus = status;
  active = false;
}

bool Supervisor::running() {
  std::lock_guard<std::mutex> guard(lock);
  return active;
}

nlohmann::json Supervisor::questionState(const ProgressSummary& progress, const std::optional<CliResult>& cli) {
  if (!active) return nullptr;
  if (cli && cli->code == kFormatQuestionCode && !formatAnswered) return {{"text", cli->message}, {"kind", "format"}};
  if (progress.questions > answeredQuestions)
    return {{"text", progress.questionText}, {"kind", progress.questionByFile ? "file" : "console"}};
  return nullptr;
}

nlohmann::json Supervisor::state(std::size_t logFrom) {
  const std::string cliText = readWholeFile(joinPath(paths.supportDir, "xelo_cli.xml"));
  const auto cli = readCliResult(cliText);
  const auto acquisition = readAcquisition(readWholeFile(joinPath(paths.supportDir, "xelo_ac_result.xml")));
  const auto report = readLocalReport(readWholeFile(joinPath(paths.supportDir, "xelo_local_report.xml")));
  const auto listResult =
      readSupportListResult(readWholeFile(joinPath(paths.supportListDir, "supportlist_ac_result.xml")));
  const ProgressSummary progress = readProgress(readWholeFile(progressFile()));

  std::lock_guard<std::mutex> guard(lock);
  if (acquisition) lastAcquisition = acquisition;
  nlohmann::json s{{"started", started},
                   {"running", active},
                   {"action", action},
                   {"args", args},
                   {"exitStatus", active ? nullptr : nlohmann::json(exitStatus)}};
  s["cli"] = cli ? nlohmann::json{{"code", cli->code}, {"message", cli->message}, {"step", cli->step}} : nullptr;
  s["acquisition"] = lastAcquisition ? toJson(*lastAcquisition) : nlohmann::json::array();
  nlohmann::json reportJson = nlohmann::json::array();
  if (report)
    for (const auto& entry : *report) reportJson.push_back({{"mt", entry.machineType}, {"ids", entry.updateIds}});
  s["localReport"] = reportJson;
  s["supportListResult"] = listResult ? nlohmann::json(*listResult ? "SUCCESS" : "FAIL") : nullptr;
  s["progress"] = toJson(progress);
  s["question"] = questionState(progress, cli);
  const std::size_t from = std::min(logFrom, output.size());
  // Output is raw bytes; invalid UTF-8 is replaced when sent.
  s["log"] = output.substr(from);
  s["logEnd"] = output.size();
  return s;
}

std::string Supervisor::answer(bool yes) {
  const auto cli = readCliResult(readWholeFile(joinPath(paths.supportDir, "xelo_cli.xml")));
  const ProgressSummary progress = readProgress(readWholeFile(progressFile()));
  std::lock_guard<std::mutex> guard(lock);
  const nlohmann::json question = questionState(progress, cli);
  if (question.is_null()) return "No question is waiting for an answer.";
  const std::string kind = question["kind"];
  if (kind == "format") {
    if (!replaceFileContents(joinPath(paths.supportDir, "xelo_tmp.dat"), yes ? "y\n" : "n\n"))
      return "The answer could not be written.";
    formatAnswered = true;
  } else if (kind == "file") {
    if (!replaceFileContents(joinPath(paths.supportListDir, "confirm_continue.xml"), yes ? "CONTINUE\n" : "STOP\n"))
      return "The answer could not be written.";
    answeredQuestions = progress.questions;
  } else {
    const std::string word = yes ? "y\n" : "n\n";
    if (input < 0 || ::write(input, word.data(), word.size()) != static_cast<ssize_t>(word.size()))
      return "The answer could not be passed to the program.";
    answeredQuestions = progress.questions;
  }
  return "";
}

void Supervisor::cancel() {
  std::lock_guard<std::mutex> guard(lock);
  if (active) signalChild(pid, SIGTERM);
}

}  // namespace XELO::launchpad
