// Acquisition benchmark: publishes a repository of about 200 files / 1 GiB,
// serves it on 127.0.0.1, and compares
//   1. one acquisition pass (download mode) in a process of its own, with its
//      wall time and peak resident memory,
//   2. the same files fetched by `curl --parallel --parallel-max 10`,
//   3. a second acquisition pass with every file present, against the time
//      it takes to compute the SHA-1 of those files.
//
//   acquire_bench [--updates N] [--mib M] [--threads T] [--dir DIR]
//
// Everything is written below a private directory in DIR (default: the
// system's temporary directory) and removed at the end.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "downloadmanager.h"
#include "repo_fixtures.h"
#include "test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kMachineType = "7101";

struct Settings {
  int updates = 100;  // each has a descriptor and a payload: 200 files
  std::uint64_t mib = 1024;
  int threads = 10;
  std::string dir = fs::temp_directory_path().string();
};

// Prints a line for every tenth of the updates completed.
class ProgressCallback : public QYXAcquistion::AcquireCallbackIfc {
 public:
  void sendMessage(QYXAcquistion::ContentNode node, bool) override { total = node.getTotal(); }
  void sendInfo(int id, std::string text, int) override {
    using Message = QYXAcquistion::AcquireMessage;
    if (id == Message::UpdateDone || id == Message::UpdatePresent) {
      ++done;
      if (total > 0 && (done * 10 / total != (done - 1) * 10 / total || done == total))
        std::cout << "  " << done << " of " << total << " updates\n" << std::flush;
    } else if (id == Message::UpdateFailed || id == Message::FileFailed || id == Message::Error) {
      ++failures;
      std::cout << "  failure (" << id << "): " << text << "\n" << std::flush;
    }
  }
  int total = 0;
  int done = 0;
  int failures = 0;
};

// The child side: one acquisition in the data directory.
int runAcquisition(const std::string& dataDir, const std::string& workDir) {
  fs::current_path(dataDir);
  QYXAcquistion::DownloadManager manager;
  manager.setDownloadPath(workDir);
  manager.setMachineTypes({kMachineType});
  manager.setOperatingSystems({{207, QYXAcquistion::ARCH_X64}});
  ProgressCallback callback;
  const int result = manager.startDownload(callback);
  return (result == 0 && callback.failures == 0) ? 0 : 1;
}

struct ChildRun {
  int status = -1;
  double seconds = 0;
  long peakRssKb = 0;
  double cpuSeconds = 0;  // user and system
};

// Runs argv as a child process and measures its wall time and peak RSS.
ChildRun runChild(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) envText.push_back(*e);
  envText.insert(envText.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);

  ChildRun run;
  const auto start = Clock::now();
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return run;
  int status = 0;
  struct rusage usage;
  std::memset(&usage, 0, sizeof usage);
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.peakRssKb = usage.ru_maxrss;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return run;
}

Settings parse(int argc, char** argv) {
  Settings s;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--updates")
      s.updates = std::max(1, std::atoi(value.c_str()));
    else if (key == "--mib")
      s.mib = std::max(1, std::atoi(value.c_str()));
    else if (key == "--threads")
      s.threads = std::atoi(value.c_str());
    else if (key == "--dir")
      s.dir = value;
    else
      std::cerr << "ignored: " << key << "\n";
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--run") return runAcquisition(argv[2], argv[3]);
  const Settings settings = parse(argc, argv);
  const std::string self = fs::canonical("/proc/self/exe").string();

  xelotest::TempDir root(settings.dir.empty() ? "acquire-bench" : settings.dir + "/acquire-bench");
  const std::string dataDir = root / "data";
  const std::string workDir = root / "work";
  const std::string curlDir = root / "curl";
  for (const auto& d : {dataDir, workDir, curlDir}) fs::create_directories(d);

  // Updates of different sizes (1 to 3 parts of an even share), about
  // `mib` MiB in all.
  std::cout << "Publishing " << settings.updates << " updates, " << settings.mib << " MiB ...\n" << std::flush;
  xelotest::TestRepository repo(root / "repo");
  const std::uint64_t share = settings.mib * 1024 * 1024 / settings.updates;
  std::vector<std::string> ids;
  for (int i = 0; i < settings.updates; ++i) {
    xelotest::RepoUpdate u;
    u.id = "qor_fw_bench" + std::to_string(i) + "_1.00_anyos_noarch";
    u.name = "Benchmark update " + std::to_string(i);
    u.machineTypes = {kMachineType};
    u.platforms = {xelotest::kSles11x64};
    u.payloadName = u.id + ".bin";
    u.payloadSize = share / 2 + (share * static_cast<std::uint64_t>(i % 3)) / 2;
    u.readme = false;
    u.changeHistory = false;
    ids.push_back(u.id);
    repo.add(u);
  }
  repo.addPack(kMachineType, ids);
  const auto publishStart = Clock::now();
  repo.publish();
  std::cout << "  published in " << std::fixed << std::setprecision(1)
            << std::chrono::duration<double>(Clock::now() - publishStart).count() << " s\n";

  xelotest::RepoServer server(repo.root());
  server.start();
  xelotest::writeConnectProperties(dataDir, server.baseUrl());

  // 1. The acquisition.
  std::cout << "Acquisition with " << settings.threads << " threads ...\n" << std::flush;
  const std::vector<std::string> env = {"ACQUIRE_THREAD_NUM=" + std::to_string(settings.threads)};
  const ChildRun first = runChild({self, "--run", dataDir, workDir}, env);
  std::uint64_t bytes = 0;
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(workDir)) {
    files.push_back(e.path().filename().string());
    bytes += e.file_size();
  }

  // 2. curl on the same files.
  std::cout << "curl --parallel --parallel-max 10 on " << files.size() << " files ...\n" << std::flush;
  const std::string config = root / "curl.config";
  {
    std::ofstream out(config);
    for (const auto& f : files)
      out << "url = \"" << server.baseUrl() << repo.urlPathOf(f).substr(1) << "\"\n"
          << "output = \"" << curlDir << "/" << f << "\"\n";
  }
  const ChildRun curl =
      runChild({"curl", "--silent", "--show-error", "--no-progress-meter", "--fail", "--parallel", "--parallel-max", "10", "--config", config});

  // 3. Everything present: the pass only checks checksums.
  std::cout << "Second acquisition, every file present ...\n" << std::flush;
  const ChildRun second = runChild({self, "--run", dataDir, workDir}, env);
  const auto hashStart = Clock::now();
  for (const auto& f : files) xelotest::sha1OfFile(workDir + "/" + f);
  const double hashSeconds = std::chrono::duration<double>(Clock::now() - hashStart).count();
  server.stop();

  const double mibFetched = static_cast<double>(bytes) / (1024.0 * 1024.0);
  const double ratio = curl.seconds > 0 ? first.seconds / curl.seconds : 0;
  const double peakMib = static_cast<double>(first.peakRssKb) / 1024.0;
  std::cout << std::fixed << std::setprecision(2) << "\n"
            << "files fetched:            " << files.size() << " (" << mibFetched << " MiB)\n"
            << "acquisition:              " << first.seconds << " s, CPU " << first.cpuSeconds << " s (exit "
            << first.status << ")\n"
            << "curl:                     " << curl.seconds << " s, CPU " << curl.cpuSeconds << " s (exit "
            << curl.status << ")\n"
            << "time ratio:               " << ratio << " (target at most 1.25)\n"
            << "ratio to curl + SHA-1:    " << (curl.seconds + hashSeconds > 0 ? first.seconds / (curl.seconds + hashSeconds) : 0)
            << " (the acquisition verifies every file; curl does not)\n"
            << "acquisition peak RSS:     " << peakMib << " MiB (target under 64)\n"
            << "second pass:              " << second.seconds << " s (exit " << second.status << ")\n"
            << "SHA-1 of the same files:  " << hashSeconds << " s (second pass / SHA-1: "
            << (hashSeconds > 0 ? second.seconds / hashSeconds : 0) << ")\n";
  const bool ok = first.status == 0 && curl.status == 0 && second.status == 0 && ratio <= 1.25 && peakMib < 64;
  std::cout << (ok ? "all targets met\n" : "TARGETS MISSED\n");
  return ok ? 0 : 1;
}
