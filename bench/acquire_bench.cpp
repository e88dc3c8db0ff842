// Acquisition benchmark. For each repository shape it publishes a repository
// in a private directory, serves it with nginx on a free loopback port, and
// times, alternating, for several rounds, with the target directory emptied
// (and the disk synced, untimed) before every run:
//   - one acquisition pass in a process of its own (peak RSS measured),
//   - `curl --parallel --parallel-max 10` on the same files,
//   - `aria2c -j10` on the same files, checking each file's SHA-1,
//   - the second acquisition pass with every file present, against
//     `openssl dgst -sha1` over the same files in one process per core.
// It prints min and median per tool and the ratios of the medians; the exit
// status is 0 only when every target is met.
//
//   acquire_bench [--rounds R] [--threads T] [--dir DIR] [--only large|small]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "downloadmanager.h"
#include "repo_fixtures.h"
#include "test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kMachineType = "7101";

struct Shape {
  std::string name;
  int updates;  // each has a descriptor and a payload
  std::uint64_t bytes;
  double curlTarget;  // acquisition median / curl median at most this
};

struct Settings {
  int rounds = 3;
  int threads = 10;
  std::string dir = fs::temp_directory_path().string();
  std::string only;  // "" runs every shape
};

constexpr double kRssTargetMib = 32;       // small shape: 2,000 files
constexpr double kSecondPassTarget = 1.2;  // against parallel openssl, large shape

// The nginx process and the interruption flag, for the signal handler.
std::atomic<pid_t> serverPid{0};
volatile sig_atomic_t interrupted = 0;

void onSignal(int) {
  interrupted = 1;
  const pid_t pid = serverPid.load();
  if (pid > 0) kill(pid, SIGKILL);
}

void checkInterrupted() {
  if (interrupted) throw std::runtime_error("interrupted");
}

// Counts failures only; the benchmark's own output is the table.
class ProgressCallback : public QYXAcquistion::AcquireCallbackIfc {
 public:
  void sendMessage(QYXAcquistion::ContentNode, bool) override {}
  void sendInfo(int id, std::string text, int) override {
    using Message = QYXAcquistion::AcquireMessage;
    if (id == Message::UpdateFailed || id == Message::FileFailed || id == Message::Error) {
      // The first few say what went wrong; the count says how much.
      if (++failures <= 3) std::cout << "  failure (" << id << "): " << text << "\n" << std::flush;
    }
  }
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
  if (callback.failures > 3) std::cout << "  " << callback.failures << " failures in all\n";
  return (result == 0 && callback.failures == 0) ? 0 : 1;
}

struct ChildRun {
  int status = -1;
  double seconds = 0;
  long peakRssKb = 0;
};

pid_t spawn(std::vector<std::string> args, const std::vector<std::string>& extraEnv, bool quiet) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) envText.push_back(*e);
  envText.insert(envText.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (auto& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int exitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Runs argv as a child process and measures its wall time and peak RSS.
ChildRun runChild(std::vector<std::string> args, const std::vector<std::string>& extraEnv = {}, bool quiet = false) {
  ChildRun run;
  const auto start = Clock::now();
  const pid_t pid = spawn(std::move(args), extraEnv, quiet);
  if (pid < 0) return run;
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.status = exitStatus(status);
  run.peakRssKb = usage.ru_maxrss;
  return run;
}

// Runs the command lines at the same time; the status is the first failure.
ChildRun runAll(const std::vector<std::vector<std::string>>& commands) {
  ChildRun run;
  run.status = 0;
  const auto start = Clock::now();
  std::vector<pid_t> pids;
  for (const auto& c : commands) pids.push_back(spawn(c, {}, true));
  for (pid_t pid : pids) {
    int status = 0;
    if (pid < 0) {
      run.status = 127;
      continue;
    }
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (run.status == 0) run.status = exitStatus(status);
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

int freeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  if (fd >= 0) close(fd);
  if (!ok) throw std::runtime_error("no free loopback port");
  return ntohs(addr.sin_port);
}

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// nginx serving a folder on a free loopback port, in the foreground as a
// single process of ours with a private configuration, pid file, logs and
// temporary directories. It dies with the benchmark (also when that is
// killed) and is stopped by the destructor.
class Nginx {
 public:
  Nginx(const std::string& root, const std::string& privateDir) : dir(privateDir) {
    for (int attempt = 0; attempt < 5 && pid <= 0; ++attempt) {
      port = freeLoopbackPort();
      writeConfig(root);
      launch();
      if (!waitReady()) stop();
    }
    if (pid <= 0) throw std::runtime_error("nginx did not start; see " + dir + "/error.log");
  }
  ~Nginx() { stop(); }
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;
  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 50 && waitpid(pid, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    serverPid = 0;
    pid = -1;
  }

 private:
  void writeConfig(const std::string& root) {
    fs::create_directories(dir + "/temp");
    std::ofstream out(dir + "/nginx.conf");
    const std::string t = dir + "/temp/";
    out << "daemon off;\nmaster_process off;\npid " << dir << "/nginx.pid;\nerror_log " << dir
        << "/error.log warn;\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n"
        << "  sendfile on;\n  tcp_nopush on;\n  default_type application/octet-stream;\n"
        << "  client_body_temp_path " << t << "body;\n  proxy_temp_path " << t << "proxy;\n"
        << "  fastcgi_temp_path " << t << "fastcgi;\n  uwsgi_temp_path " << t << "uwsgi;\n"
        << "  scgi_temp_path " << t << "scgi;\n"
        << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << root << ";\n  }\n}\n";
  }

  void launch() {
    const std::string conf = dir + "/nginx.conf";
    const std::string log = dir + "/error.log";
    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      execlp("nginx", "nginx", "-p", dir.c_str(), "-e", log.c_str(), "-c", conf.c_str(), nullptr);
      _exit(127);
    }
    serverPid = pid;
  }

  bool waitReady() {
    for (int i = 0; i < 100; ++i) {
      int status = 0;
      if (pid <= 0 || waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        serverPid = 0;
        return false;
      }
      if (accepts(port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string dir;
  int port = 0;
  pid_t pid = -1;
};

// Updates of different sizes (1 to 3 parts of an even share).
void publish(xelotest::TestRepository& repo, const Shape& shape) {
  const std::uint64_t share = shape.bytes / static_cast<std::uint64_t>(shape.updates);
  std::vector<std::string> ids;
  for (int i = 0; i < shape.updates; ++i) {
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
  repo.publish();
}

struct FileEntry {
  std::string name;
  std::uint64_t size;
  std::string sha1;
};

// The files an acquisition left in dir, with their sizes and SHA-1.
std::vector<FileEntry> listFiles(const std::string& dir) {
  std::vector<FileEntry> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file())
      files.push_back({e.path().filename().string(), static_cast<std::uint64_t>(e.file_size()),
                       xelotest::sha1OfFile(e.path().string())});
  std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
  return files;
}

}  // namespace

namespace {

struct Result {
  std::map<std::string, std::vector<double>> seconds;  // per tool
  long peakRssKb = 0;                                  // the first passes' largest
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  bool failed = false;
};

// One repository shape served by nginx, and the runs made against it.
class ShapeBench {
 public:
  ShapeBench(const Settings& settings, const Shape& shape)
      : settings(settings),
        shape(shape),
        root(settings.dir + "/acquire-bench-" + shape.name),
        dataDir(root / "data"),
        outDir(root / "out"),
        repo(root / "repo") {
    fs::create_directories(dataDir);
    std::cout << shape.name << ": publishing " << shape.updates << " updates, " << shape.bytes / 1048576.0
              << " MiB ...\n"
              << std::flush;
    publish(repo, shape);
  }

  Result run() {
    Nginx server(repo.root(), root / "nginx");
    xelotest::writeConnectProperties(dataDir, server.baseUrl());
    emptyOut();
    if (runChild(acquisition()).status != 0) throw std::runtime_error(shape.name + ": the acquisition failed");
    const std::vector<FileEntry> files = listFiles(outDir);
    writeClientLists(files, server.baseUrl());
    result.files = files.size();
    for (const auto& f : files) result.bytes += f.size;
    for (int r = 0; r < settings.rounds; ++r) {
      std::cout << shape.name << ": round " << r + 1 << " of " << settings.rounds << "\n" << std::flush;
      for (int t = 0; t < 3; ++t) runTool((r + t) % 3, r);
    }
    server.stop();
    return result;
  }

 private:
  std::vector<std::string> acquisition() const { return {self(), "--run", dataDir, outDir}; }
  static std::string self() { return fs::canonical("/proc/self/exe").string(); }

  void emptyOut() {
    fs::remove_all(outDir);
    fs::create_directories(outDir);
    const int fd = open(outDir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
      syncfs(fd);
      close(fd);
    }
  }

  void record(const std::string& tool, const ChildRun& run) {
    checkInterrupted();
    if (run.status != 0) {
      std::cout << "  " << tool << " failed (exit " << run.status << ")\n";
      result.failed = true;
    }
    result.seconds[tool].push_back(run.seconds);
  }

  void runTool(int tool, int round) {
    const std::vector<std::string> env = {"ACQUIRE_THREAD_NUM=" + std::to_string(settings.threads)};
    emptyOut();
    if (tool == 0) {
      const ChildRun first = runChild(acquisition(), env);
      record("xelo", first);
      result.peakRssKb = std::max(result.peakRssKb, first.peakRssKb);
      // Every file present: the pass checks checksums; alternate it with
      // the hashing it is compared with.
      for (int i = 0; i < 2; ++i) {
        if ((i + round) % 2 == 0)
          record("xelo second pass", runChild(acquisition(), env));
        else
          record("openssl dgst -sha1", runAll(hashCommands));
      }
    } else if (tool == 1) {
      record("curl", runChild({"curl", "--silent", "--show-error", "--no-progress-meter", "--fail", "--parallel",
                               "--parallel-max", "10", "--config", root / "curl.config"}));
    } else {
      record("aria2c (SHA-1)",
             runChild({"aria2c", "-j10", "--quiet=true", "--dir=" + outDir, "--input-file=" + root / "aria2.input",
                       "--allow-overwrite=true", "--auto-file-renaming=false", "--file-allocation=none"},
                      {}, true));
    }
  }

  // The same file list for curl and aria2c (which checks each SHA-1), and
  // `openssl dgst -sha1` over the files in one process per core, balanced
  // by size.
  void writeClientLists(const std::vector<FileEntry>& files, const std::string& baseUrl) {
    std::ofstream curl(root / "curl.config");
    std::ofstream aria(root / "aria2.input");
    for (const auto& f : files) {
      const std::string url = baseUrl + repo.urlPathOf(f.name).substr(1);
      curl << "url = \"" << url << "\"\noutput = \"" << outDir << "/" << f.name << "\"\n";
      aria << url << "\n  out=" << f.name << "\n  checksum=sha-1=" << f.sha1 << "\n";
    }
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::uint64_t> load(cores, 0);
    hashCommands.assign(cores, {"openssl", "dgst", "-sha1", "-r"});
    std::vector<FileEntry> bySize(files);
    std::sort(bySize.begin(), bySize.end(), [](const FileEntry& a, const FileEntry& b) { return a.size > b.size; });
    for (const auto& f : bySize) {
      const std::size_t i = static_cast<std::size_t>(std::min_element(load.begin(), load.end()) - load.begin());
      load[i] += f.size;
      hashCommands[i].push_back(outDir + "/" + f.name);
    }
  }

  const Settings& settings;
  Shape shape;
  xelotest::TempDir root;
  std::string dataDir;
  std::string outDir;
  xelotest::TestRepository repo;
  std::vector<std::vector<std::string>> hashCommands;
  Result result;
};

Settings parse(int argc, char** argv) {
  Settings s;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--rounds")
      s.rounds = std::max(1, std::atoi(value.c_str()));
    else if (key == "--threads")
      s.threads = std::max(1, std::atoi(value.c_str()));
    else if (key == "--dir")
      s.dir = value;
    else if (key == "--only")
      s.only = value;
    else
      throw std::runtime_error("unknown option " + key);
  }
  return s;
}

// Prints the shape's rows and returns whether its targets are met.
bool report(const Shape& shape, const Result& r) {
  const double curl = statsOf(r.seconds.at("curl")).median;
  const double hash = statsOf(r.seconds.at("openssl dgst -sha1")).median;
  std::printf("\n%s: %zu files, %.1f MiB\n", shape.name.c_str(), r.files, static_cast<double>(r.bytes) / 1048576.0);
  std::printf("  %-20s %5s %9s %9s %14s\n", "tool", "runs", "min s", "median s", "median ratio");
  for (const auto& [tool, values] : r.seconds) {
    const Stats s = statsOf(values);
    const bool vsHash = tool == "xelo second pass";
    const double base = vsHash ? hash : curl;
    std::printf("  %-20s %5zu %9.2f %9.2f %9.2f %s\n", tool.c_str(), values.size(), s.min, s.median,
                base > 0 ? s.median / base : 0.0, vsHash ? "x openssl" : "x curl");
  }
  const double ratio = curl > 0 ? statsOf(r.seconds.at("xelo")).median / curl : 0;
  const double second = hash > 0 ? statsOf(r.seconds.at("xelo second pass")).median / hash : 0;
  const double rss = static_cast<double>(r.peakRssKb) / 1024.0;
  bool ok = !r.failed && ratio <= shape.curlTarget;
  std::printf("  acquisition / curl: %.2f (target at most %.2f) %s\n", ratio, shape.curlTarget,
              ratio <= shape.curlTarget ? "met" : "MISSED");
  std::printf("  acquisition peak RSS: %.1f MiB", rss);
  if (shape.name == "small") {
    std::printf(" (target under %.0f MiB) %s", kRssTargetMib, rss < kRssTargetMib ? "met" : "MISSED");
    ok = ok && rss < kRssTargetMib;
  }
  std::printf("\n  second pass / openssl: %.2f", second);
  if (shape.name == "large") {
    std::printf(" (target at most %.2f) %s", kSecondPassTarget, second <= kSecondPassTarget ? "met" : "MISSED");
    ok = ok && second <= kSecondPassTarget;
  }
  std::printf("\n%s", r.failed ? "  a run FAILED\n" : "");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--run") return runAcquisition(argv[2], argv[3]);
  struct sigaction action {};
  action.sa_handler = onSignal;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
  try {
    const Settings settings = parse(argc, argv);
    const std::vector<Shape> shapes = {{"large", 100, 1024ull << 20, 1.0}, {"small", 1000, 20'000'000, 1.5}};
    bool ok = true;
    for (const auto& shape : shapes) {
      if (!settings.only.empty() && settings.only != shape.name) continue;
      ShapeBench bench(settings, shape);
      ok = report(shape, bench.run()) && ok;
    }
    std::cout << (ok ? "\nall targets met\n" : "\nTARGETS MISSED\n");
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "acquire_bench: " << e.what() << "\n";
    return interrupted ? 130 : 2;
  }
}
