// Runs that are killed part-way (SIGKILL: nothing of the program gets to
// clean up) and started again: during an acquisition, caught on a download
// that the server holds still, and while the ISO image is being written.
#include <archive.h>
#include <archive_entry.h>
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

#include "../xelo/metadata/descriptor_builder.h"
#include "host/host.h"
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
  xelotest::TempDir dir;
  xelotest::TestRepository repo(dir / "repo");
  xelotest::addStandardContent(repo);
  repo.publish();
  xelotest::RepoServer server(repo.root());
  server.start();
  xelotest::writeConnectProperties(box.programDir(), server.baseUrl());
  const std::string work = box.scratch() + "/w";
  const std::string payload = std::string(xelotest::kStdBmcNew) + ".bin";
  // The server sends the first kilobyte of the payload and then holds still.
  server.setFault(repo.urlPathOf(payload), xelotest::RepoFault::stall(1024, 120000));
  const std::vector<std::string> args{"--local=" + work, "-m", "7101", "--function=novpi"};

  {
    RunningProgram program(box, args);
    ASSERT_TRUE(program.waitFor([&] { return exists(work + "/" + payload + ".part"); }))
        << readFile(box.scratch() + "/killed-run.txt");
    program.kill();
  }
  // Killed mid-download: the half file is not under its final name.
  EXPECT_FALSE(exists(work + "/" + payload));
  EXPECT_GE(server.requestCount(repo.urlPathOf(payload)), 1);

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

const std::string kMidZip = "qor_utl_boot_tools-141_anyos_x86-64-mid.zip";
const std::string kNovpiBinary = "qor_utl_novpi_9.63_anyos_x86-64.bin";

// A working directory ready for a no-acquire ISO run: the boot environment
// zip, the installer and one update whose payload is `payloadBytes` long (a
// sparse file, cheap to make, as long to write into an image as any other).
void prepareWorkingDirectory(const std::string& scratch, const std::string& work, std::uintmax_t payloadBytes) {
  const std::string src = scratch + "/env";
  fs::create_directories(src + "/linuxboot/EFI/BOOT");
  writeFile(src + "/linuxboot/EFI/BOOT/BOOTX64.EFI", "loader");
  writeFile(src + "/linuxboot/EFI/BOOT/grub.cfg",
            "menuentry \"Boot environment\" {\n  linux /boot/vmlinuz iommu=soft\n  initrd /boot/initrd.gz\n}\n");
  writeFile(src + "/linuxboot/vmlinuz", "kernel");
  writeFile(src + "/linuxboot/initrd.gz", "initrd");
  for (const char* tool : {"menu", "novpi", "kyt", "dndeploy"}) {
    fs::create_directories(src + "/linuxboot/" + tool);
    writeFile(src + "/linuxboot/" + tool + "/" + tool + ".sh", tool);
  }
  fs::create_directories(work + "/novpi");
  {
    xelotest::ScopedCwd inSource(src);
    ASSERT_EQ(XELO::runToFile("", {"zip", "-qr", work + "/" + kMidZip, "linuxboot"}), 0);
  }
  writeFile(work + "/novpi/" + kNovpiBinary, "installer");
  const std::string id = "qor_fw_big_7101";
  writeFile(work + "/" + id + ".xml",
            xelotest::UpdateDescriptor(id + ".xml", id, {"Model [7101]"}, {"linux"}, id + ".bin", id + ".txt").text());
  writeFile(work + "/" + id + ".txt", "readme");
  writeFile(work + "/" + id + ".bin", "payload");
  fs::resize_file(work + "/" + id + ".bin", payloadBytes);
}

std::set<std::string> imageNames(const std::string& iso) {
  std::set<std::string> names;
  struct archive* a = archive_read_new();
  archive_read_support_format_iso9660(a);
  if (archive_read_open_filename(a, iso.c_str(), 65536) == ARCHIVE_OK) {
    struct archive_entry* entry = nullptr;
    while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
      std::string name = archive_entry_pathname(entry);
      if (name.rfind("./", 0) == 0) name.erase(0, 2);
      names.insert(name);
    }
  } else {
    ADD_FAILURE() << "cannot read " << iso << ": " << archive_error_string(a);
  }
  archive_read_free(a);
  return names;
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
  for (const auto& name : imageNames(work + "/out.iso"))
    EXPECT_EQ(name.find(".part"), std::string::npos) << "left-over of the killed run on the medium: " << name;
  EXPECT_TRUE(imageNames(work + "/out.iso").count("qor_fw_big_7101.bin"));
}

}  // namespace
