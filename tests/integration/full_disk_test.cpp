// Runs onto a disk that fills up: small tmpfs volumes mounted for the test
// (root only). Each run ends with the code for lack of space of the step
// that ran out, and leaves no half-written file under a final name.
#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "host/host.h"
#include "local_work.h"
#include "repo_fixtures.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

// A tmpfs mounted on `dir` for the object's lifetime.
class SmallDisk {
 public:
  SmallDisk(std::string dir, const std::string& options) : path(std::move(dir)) {
    fs::create_directories(path);
    if (::geteuid() != 0) {
      why = "mounting a small disk needs root";
    } else if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      why = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    } else {
      mounted = true;
    }
  }
  ~SmallDisk() {
    if (mounted) ::umount2(path.c_str(), MNT_DETACH);
  }
  const std::string& reason() const { return why; }
  bool ready() const { return mounted; }
  const std::string& dir() const { return path; }

  // Fills what is left with files of `bytes` each until the disk refuses.
  void fill(std::size_t bytes) {
    const std::string block(bytes, 'f');
    for (int i = 0;; ++i) {
      std::ofstream out(path + "/filler" + std::to_string(i), std::ios::binary);
      if (!out) return;
      out << block;
      out.flush();
      if (!out) return;
    }
  }

 private:
  std::string path;
  bool mounted = false;
  std::string why;
};

#define SKIP_WITHOUT(disk)                                            \
  do {                                                                \
    if (!(disk).ready()) {                                            \
      GTEST_SKIP() << "full-disk runs skipped: " << (disk).reason(); \
    }                                                                 \
  } while (0)

std::string cliRecord(const ProgramSandbox& box) { return readFile(box.supportDir() + "/xelo_cli.xml"); }

// ---- the working directory ---------------------------------------------------------

TEST(FullDisk, RollbackOntoAFullDiskKeepsTheWorkingList) {
  ProgramSandbox box;
  SmallDisk disk(box.supportDir() + "/Xelo", "size=256k");
  SKIP_WITHOUT(disk);
  const std::string working = disk.dir() + "/SYSTEM_SUPPORT_LIST_9.64.xml";
  ASSERT_EQ(box.run("xelo", {"--rollback-supportlist"}).status, 0);
  // The list the user has now, for example one an update made.
  const std::string users = "<?xml version=\"1.0\" ?>\n<root>\n<system><xname>Updated</xname>"
                            "<machineType>7101</machineType><kyt>yes</kyt><novpi>yes</novpi><dunvar>yes</dunvar>"
                            "</system>\n</root>";
  writeFile(working, users);
  disk.fill(4096);

  auto r = box.run("xelo", {"--rollback-supportlist"});
  EXPECT_EQ(r.status, 110) << r.output;
  EXPECT_THAT(r.output, HasSubstr("System support list rollback failed"));
  EXPECT_EQ(readFile(working), users);
}

TEST(FullDisk, WorkingDirectoryThatCannotBeMadeEndsWith102) {
  ProgramSandbox box;
  SmallDisk disk(box.scratch() + "/disk", "size=256k,nr_inodes=16");
  SKIP_WITHOUT(disk);
  disk.fill(1);
  // Nothing may be fetched if the run went on: the repository is a closed port.
  xelotest::writeConnectProperties(box.programDir(), "http://127.0.0.1:9/");

  auto r = box.run("xelo", {"--local=" + disk.dir() + "/w", "-m", "7101", "--function=novpi", "--iso=out.iso"});
  EXPECT_EQ(r.status, 102) << r.output;
  EXPECT_THAT(r.output, HasSubstr("No space left on device."));
  EXPECT_THAT(cliRecord(box), HasSubstr("<CODE>102</CODE>\n\t<MESSAGE>No space left on device.</MESSAGE>"));
  EXPECT_FALSE(exists(disk.dir() + "/w"));
}

// ---- acquisition --------------------------------------------------------------------

TEST(FullDisk, AcquisitionOntoASmallDiskKeepsOnlyWholeFiles) {
  ProgramSandbox box;
  xelotest::ServedStandardRepository served(box.programDir());
  // Too small for the installer package even when every earlier download
  // has failed and left nothing behind.
  SmallDisk disk(box.scratch() + "/disk", "size=16k");
  SKIP_WITHOUT(disk);
  const std::string work = disk.dir() + "/w";

  auto r = box.run("xelo", {"--local=" + work, "-m", "7101", "--function=novpi"}, "y\n",
                   {{"XELO_TEST_XML_WAIT_MS", "0"}});
  EXPECT_EQ(r.status, 200) << r.output;
  EXPECT_THAT(cliRecord(box), HasSubstr("<CODE>200</CODE>"));
  EXPECT_THAT(r.output, Not(HasSubstr("Acquiring was finished successfully!")));

  // Whatever arrived under its own name is the repository's file.
  xelotest::expectPublishedCopies(served.repo, work);
  EXPECT_THAT(xelotest::partialFiles(work), ::testing::IsEmpty());
}

// ---- ISO creation --------------------------------------------------------------------

// A working directory ready for a no-acquire ISO run, with one update whose
// payload has `payloadBytes` of real data.
void prepareWorkingDirectory(const std::string& scratch, const std::string& work, std::size_t payloadBytes) {
  xelotest::BootEnvironment environment;
  environment.kernel = std::string(256 * 1024, 'k');
  environment.initrd = xelotest::syntheticBytes("initrd", 256 * 1024);
  const std::string id = "qor_fw_big_7101";
  ASSERT_TRUE(xelotest::prepareLocalWork(scratch, work, id, xelotest::syntheticBytes(id, payloadBytes), environment));
}

TEST(FullDisk, ImageTooLargeForItsDiskEndsWith223) {
  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
  prepareWorkingDirectory(box.scratch(), work, 4u << 20);
  SmallDisk disk(box.scratch() + "/disk", "size=2m");
  SKIP_WITHOUT(disk);

  auto r = box.run("xelo", {"--local=" + work, "-m", "7101", "--no-acquire", "--iso=" + disk.dir() + "/out.iso"});
  EXPECT_EQ(r.status, 223) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Media creation error: No enough space on disk for iso image"));
  EXPECT_THAT(cliRecord(box), HasSubstr("<CODE>223</CODE>"));
  EXPECT_FALSE(exists(disk.dir() + "/out.iso"));
  EXPECT_THAT(xelotest::partialFiles(disk.dir()), ::testing::IsEmpty());
}

TEST(FullDisk, WorkingDirectoryFillingUpDuringStagingEndsWith246) {
  ProgramSandbox box;
  SmallDisk disk(box.scratch() + "/disk", "size=3m");
  SKIP_WITHOUT(disk);
  const std::string work = disk.dir() + "/w";
  // The prepared files fit; the boot tree and the image do not.
  prepareWorkingDirectory(box.scratch(), work, 2u << 20);

  auto r = box.run("xelo", {"--local=" + work, "-m", "7101", "--no-acquire", "--iso=out.iso"});
  EXPECT_EQ(r.status, 246) << r.output;
  EXPECT_THAT(r.output,
              HasSubstr("Media creation error: The space is not enough in source directory for image file creation"));
  EXPECT_THAT(cliRecord(box), HasSubstr("<CODE>246</CODE>"));
  EXPECT_FALSE(exists(work + "/out.iso"));
  EXPECT_THAT(xelotest::partialFiles(work), ::testing::IsEmpty());
}

}  // namespace
