// Runs that are killed part-way (SIGKILL: nothing of the program gets to
// clean up) and started again: during an acquisition, caught on a download
// that the server holds still, and while the ISO image is being written.
// Runs that are cancelled (SIGINT, SIGTERM) and clean up after themselves,
// and a second run refused while the first holds the working directory.
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

  void kill() { signal(SIGKILL); }

  // Sends `signalNumber` and waits for the program to end: its exit status,
  // or 128 + the signal that ended it.
  int signal(int signalNumber) {
    if (pid <= 0) return -1;
    ::kill(pid, signalNumber);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t id() const { return pid; }

 private:
  pid_t pid = -1;
};

std::uintmax_t sizeOf(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

// An acquisition run whose update payload the server starts to send and
// then holds still.
class StalledDownload : public ::testing::Test {
 protected:
  void SetUp() override {
    // The server sends the first kilobyte of the payload and then holds still.
    server.setFault(repo.urlPathOf(payload), xelotest::RepoFault::stall(1024, 120000));
  }
  // Waits until `program` is in the middle of the payload's transfer. The
  // temporary file is made before the request goes out: the wait is for the
  // server to have the request too.
  bool midTransfer(RunningProgram& program) {
    return program.waitFor([&] {
      return exists(work + "/" + payload + ".part") && server.requestCount(repo.urlPathOf(payload)) >= 1;
    });
  }

  ProgramSandbox box;
  xelotest::ServedStandardRepository served{box.programDir()};
  xelotest::TestRepository& repo = served.repo;
  xelotest::RepoServer& server = served.server;
  const std::string work = box.scratch() + "/w";
  const std::string payload = std::string(xelotest::kStdBmcNew) + ".bin";
  const std::vector<std::string> args{"--local=" + work, "-m", "7101", "--function=novpi"};
};

TEST_F(StalledDownload, KilledMidDownloadCompletesWhenRunAgain) {
  {
    RunningProgram program(box, args);
    ASSERT_TRUE(midTransfer(program)) << readFile(box.scratch() + "/killed-run.txt");
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
  const int verified = xelotest::expectPublishedCopies(repo, work);
  EXPECT_THAT(xelotest::partialFiles(work), ::testing::IsEmpty());
  EXPECT_TRUE(exists(work + "/" + payload));
  EXPECT_TRUE(exists(work + "/novpi/" + std::string(xelotest::kStdNovpi) + ".bin"));
  EXPECT_GE(verified, 10);
}

TEST_F(StalledDownload, RunHoldsItsWorkingDirectoryAndCleansUpWhenCancelled) {
  const std::string record = box.supportDir() + "/xelo_cli.xml";
  {
    RunningProgram first(box, args);
    ASSERT_TRUE(midTransfer(first)) << readFile(box.scratch() + "/killed-run.txt");

    // A second run on the same working directory is refused at once.
    const auto started = std::chrono::steady_clock::now();
    auto second = box.run("xelo", {"--local=" + work, "-m", "7101", "--function=novpi", "--iso=x.iso"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(second.status, 101) << second.output;
    const std::string holder = "(process " + std::to_string(first.id()) + ")";
    EXPECT_THAT(second.output, HasSubstr("The working directory " + work + " is in use by another xelo run " + holder));
    EXPECT_THAT(readFile(record), HasSubstr("<CODE>101</CODE>"));
    EXPECT_THAT(readFile(record), HasSubstr(holder));
    // Jobs that leave the working directory alone still run.
    EXPECT_EQ(box.run("xelo", {"--show-supportlist"}).status, 0);

    // Ctrl-C: the download in flight goes, and the record says why the run ended.
    EXPECT_EQ(first.signal(SIGINT), 130) << readFile(box.scratch() + "/killed-run.txt");
  }
  EXPECT_THAT(xelotest::partialFiles(work), ::testing::IsEmpty());
  EXPECT_FALSE(exists(work + "/" + payload));
  EXPECT_THAT(readFile(record), HasSubstr("<CODE>130</CODE>\n\t<MESSAGE>Xelo was cancelled by SIGINT"));
  EXPECT_THAT(readFile(box.scratch() + "/killed-run.txt"), HasSubstr("Xelo was cancelled by SIGINT"));

  // The lock went with the process: the next run is not refused.
  server.clearFaults();
  auto again = box.run("xelo", args, "", {{"XELO_TEST_XML_WAIT_MS", "0"}});
  EXPECT_EQ(again.status, 0) << again.output;
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

// Waits until the program has written a megabyte of its image into `work`.
bool writingImage(RunningProgram& program, const std::string& work) {
  return program.waitFor([&] {
    for (const auto& name : partialImages(work))
      if (sizeOf(work + "/" + name) > (1u << 20)) return true;
    return false;
  });
}

TEST(InterruptedRun, IsoCreationKilledLeavesNoImageThatLooksComplete) {
  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
  prepareWorkingDirectory(box.scratch(), work, 200ull << 20);
  const std::vector<std::string> args{"--local=" + work, "-m", "7101", "--no-acquire", "--iso=out.iso"};

  {
    RunningProgram program(box, args);
    ASSERT_TRUE(writingImage(program, work)) << readFile(box.scratch() + "/killed-run.txt");
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

TEST(InterruptedRun, IsoCreationTerminatedRemovesThePartialImage) {
  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
  prepareWorkingDirectory(box.scratch(), work, 200ull << 20);

  RunningProgram program(box, {"--local=" + work, "-m", "7101", "--no-acquire", "--iso=out.iso"});
  ASSERT_TRUE(writingImage(program, work)) << readFile(box.scratch() + "/killed-run.txt");
  EXPECT_EQ(program.signal(SIGTERM), 143) << readFile(box.scratch() + "/killed-run.txt");

  EXPECT_THAT(partialImages(work), ::testing::IsEmpty());
  EXPECT_FALSE(exists(work + "/out.iso"));
  EXPECT_FALSE(exists(work + "/linuxboot"));
  EXPECT_THAT(readFile(box.supportDir() + "/xelo_cli.xml"),
              HasSubstr("<CODE>143</CODE>\n\t<MESSAGE>Xelo was cancelled by SIGTERM"));
}

}  // namespace
