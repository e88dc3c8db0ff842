// Runs that are killed part-way (SIGKILL: nothing of the program gets to
// clean up) and started again: during an acquisition, caught on a download
// that the server holds still, and while the ISO image is being written.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "host/host.h"
#include "local_work.h"
#include "repo_fixtures.h"
#include "test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using xelotest::exists;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

// The program started from a sandbox without waiting for it, so that the
// test can kill it.
class RunningProgram {
 public:
  RunningProgram(const ProgramSandbox& box, const std::vector<std::string>& args) {
    std::vector<std::string> argv{box.programDir() + "/xelo"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("SYSTEMDRIVE=", 0) != 0) env.emplace_back(*e);
    env.push_back("SYSTEMDRIVE=" + box.systemDrive());
    env.push_back("XELO_TEST_XML_WAIT_MS=0");
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    const std::string output = box.scratch() + "/killed-run.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the program");
  }
  ~RunningProgram() { kill(); }

  // Waits up to `seconds` for `ready`; false when the program ended first or
  // the time ran out.
  bool waitFor(const std::function<bool()>& ready, int seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (ready()) return true;
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  void kill() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
  }

 private:
  pid_t pid = -1;
};

std::uintmax_t sizeOf(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

TEST(InterruptedRun, AcquisitionKilledMidDownloadCompletesWhenRunAgain) {
  ProgramSandbox box;
  xelotest::ServedStandardRepository served(box.programDir());
  auto& repo = served.repo;
  auto& server = served.server;
  const std::string work = box.scratch() + "/w";
  const std::string payload = std::string(xelotest::kStdBmcNew) + ".bin";
  // The server sends the first kilobyte of the payload and then holds still.
  server.setFault(repo.urlPathOf(payload), xelotest::RepoFault::stall(1024, 120000));
  const std::vector<std::string> args{"--local=" + work, "-m", "7101", "--function=novpi"};

  {
    RunningProgram program(box, args);
    // The temporary file is made before the request goes out: the kill
    // waits for the server to have the request too, so that it lands in
    // the middle of the transfer.
    ASSERT_TRUE(program.waitFor([&] {
      return exists(work + "/" + payload + ".part") && server.requestCount(repo.urlPathOf(payload)) >= 1;
    })) << readFile(box.scratch() + "/killed-run.txt");
    program.kill();
  }
  // Killed mid-download: the half file is not under its final name.
  EXPECT_FALSE(exists(work + "/" + payload));

  server.clearFaults();
  auto again = box.run("xelo", args, "", {{"XELO_TEST_XML_WAIT_MS", "0"}});
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_THAT(again.output, HasSubstr("Acquiring was finished successfully!"));

  // Every file of the working directory that the repository has is the
  // repository's file, byte for byte; nothing partial is left.
  std::set<std::string> published;
  for (const auto& entry : fs::recursive_directory_iterator(repo.root()))
    if (entry.is_regular_file()) published.insert(entry.path().filename().string());
  int verified = 0;
  for (const auto& entry : fs::recursive_directory_iterator(work)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".part"), std::string::npos) << entry.path();
    if (!entry.is_regular_file() || !published.count(name)) continue;
    EXPECT_EQ(xelotest::sha1OfFile(entry.path().string()), repo.sha1Of(name)) << name;
    ++verified;
  }
  EXPECT_TRUE(exists(work + "/" + payload));
  EXPECT_TRUE(exists(work + "/novpi/" + std::string(xelotest::kStdNovpi) + ".bin"));
  EXPECT_GE(verified, 10);
}

// ---- ISO creation ---------------------------------------------------------------

// A working directory ready for a no-acquire ISO run whose one update has a
// payload `payloadBytes` long (a sparse file, cheap to make, as long to write
// into an image as any other).
void prepareWorkingDirectory(const std::string& scratch, const std::string& work, std::uintmax_t payloadBytes) {
  const std::string id = "qor_fw_big_7101";
  ASSERT_TRUE(xelotest::prepareLocalWork(scratch, work, id, "payload"));
  fs::resize_file(work + "/" + id + ".bin", payloadBytes);
}

// Names in `dir` that are left-overs of an image being written.
std::vector<std::string> partialImages(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& name : xelotest::listFiles(dir))
    if (name.find(".part") != std::string::npos) found.push_back(name);
  return found;
}

TEST(InterruptedRun, IsoCreationKilledLeavesNoImageThatLooksComplete) {
  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
  prepareWorkingDirectory(box.scratch(), work, 200ull << 20);
  const std::vector<std::string> args{"--local=" + work, "-m", "7101", "--no-acquire", "--iso=out.iso"};

  {
    RunningProgram program(box, args);
    ASSERT_TRUE(program.waitFor([&] {
      for (const auto& name : partialImages(work))
        if (sizeOf(work + "/" + name) > (1u << 20)) return true;
      return false;
    })) << readFile(box.scratch() + "/killed-run.txt");
    program.kill();
  }
  EXPECT_FALSE(exists(work + "/out.iso"));

  // The run started again is not refused as if the image were there, and
  // the image it makes does not carry what the killed run left behind.
  auto again = box.run("xelo", args);
  ASSERT_EQ(again.status, 0) << again.output;
  const auto medium = xelotest::isoEntries(work + "/out.iso", false);
  for (const auto& [name, content] : medium)
    EXPECT_EQ(name.find(".part"), std::string::npos) << "left-over of the killed run on the medium: " << name;
  EXPECT_TRUE(medium.count("qor_fw_big_7101.bin"));
}

}  // namespace
