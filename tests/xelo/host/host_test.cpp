#include "host/host.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "log/logger.h"
#include "test_support.h"

namespace XELO {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using xelotest::readFile;
using xelotest::writeFile;

// Each test works in a private current directory, where "stdout.txt" lands.
class HostTest : public ::testing::Test {
 protected:
  xelotest::TempDir dir{"xelo-host"};
  xelotest::ScopedCwd cwd{dir.path()};
  std::string stdoutText() const { return readFile(dir / "stdout.txt"); }
};

TEST_F(HostTest, SystemDriveDefaultsWhenUnsetOrEmpty) {
  xelotest::ScopedEnv unset("SYSTEMDRIVE", "", true);
  EXPECT_EQ(cliResultPath(), "/var/lib/xelo/QOR_Support/xelo_cli.xml");
  xelotest::ScopedEnv empty("SYSTEMDRIVE", "");
  EXPECT_EQ(supportListDirectory(), "/var/lib/xelo/QOR_Support/Xelo");
}

TEST_F(HostTest, EmptyArgumentsDoNothing) {
  writeFile("stdout.txt", "left by the last step");
  EXPECT_EQ(makeDirectory(""), -1);
  EXPECT_EQ(removeDirectory(""), -1);
  EXPECT_EQ(stdoutText(), "left by the last step");
  EXPECT_FALSE(copyDirectory("", "x"));
  EXPECT_FALSE(copyDirectory("x", ""));
}

TEST_F(HostTest, MakeDirectoryCreatesParentsAndFailsWhenPresent) {
  EXPECT_EQ(makeDirectory("a/b/c"), 0);
  EXPECT_TRUE(isDirectory("a/b/c"));
  EXPECT_EQ(stdoutText(), "");
  EXPECT_NE(makeDirectory("a/b/c"), 0);
  EXPECT_EQ(stdoutText(), "File exists\n");
  writeFile("plain", "x");
  EXPECT_NE(makeDirectory("plain/sub"), 0);
  EXPECT_THAT(stdoutText(), HasSubstr("Not a directory"));
}

TEST_F(HostTest, RemoveDirectoryRemovesTreeButNeverFollowsLinks) {
  fs::create_directories("tree/sub");
  writeFile("tree/sub/f", "x");
  fs::create_directories("outside");
  writeFile("outside/keep", "x");
  fs::create_directory_symlink(dir / "outside", "tree/link");
  EXPECT_EQ(removeDirectory("tree"), 0);
  EXPECT_FALSE(pathExists("tree"));
  EXPECT_EQ(readFile("outside/keep"), "x");

  fs::create_directory_symlink(dir / "outside", "alias");
  removeTree("alias");
  EXPECT_FALSE(fs::is_symlink("alias"));
  EXPECT_EQ(readFile("outside/keep"), "x");

  EXPECT_NE(removeDirectory("missing"), 0);
  EXPECT_EQ(stdoutText(), "No such file or directory\n");
  writeFile("file", "x");
  EXPECT_NE(removeDirectory("file"), 0);
  EXPECT_TRUE(isRegularFile("file"));
}

TEST_F(HostTest, CopyFileOver) {
  fs::create_directory("d");
  writeFile("src.sh", "new");
  ::chmod("src.sh", 0755);
  EXPECT_EQ(copyFileOver("d", "x"), -1);
  EXPECT_EQ(copyFileOver("missing", "x"), -1);
  EXPECT_FALSE(pathExists("stdout.txt"));  // nothing was run

  EXPECT_EQ(copyFileOver("src.sh", "d"), 0);  // into a directory, same name
  EXPECT_EQ(readFile("d/src.sh"), "new");
  EXPECT_EQ(fs::status("d/src.sh").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
  writeFile("dst", "old contents");
  EXPECT_EQ(copyFileOver("src.sh", "dst"), 0);
  EXPECT_EQ(readFile("dst"), "new");

  // A file copied onto itself must not be truncated.
  EXPECT_NE(copyFileOver("src.sh", dir / "src.sh"), 0);
  EXPECT_EQ(readFile("src.sh"), "new");
  EXPECT_NE(copyFileOver("src.sh", "nodir/dst"), 0);
  EXPECT_EQ(stdoutText(), "No such file or directory\n");
}

TEST_F(HostTest, MoveFileOver) {
  fs::create_directory("d");
  writeFile("a", "A");
  EXPECT_EQ(moveFileOver("a", "d"), 0);
  EXPECT_EQ(readFile("d/a"), "A");
  EXPECT_NE(moveFileOver("a", "c"), 0);
}

TEST_F(HostTest, CopyDirectoryRecursiveMergeFromRelativeSource) {
  fs::create_directories("linuxboot/EFI/BOOT");
  fs::create_directories("linuxboot/empty");
  writeFile("linuxboot/EFI/BOOT/grub.cfg", "cfg");
  writeFile("linuxboot/top", "new top");
  fs::create_symlink("top", "linuxboot/link");
  fs::create_directories("boot");
  writeFile("boot/top", "old top");
  writeFile("boot/other", "kept");

  EXPECT_TRUE(copyDirectory("linuxboot/", "boot/"));
  EXPECT_EQ(readFile("boot/EFI/BOOT/grub.cfg"), "cfg");
  EXPECT_EQ(readFile("boot/top"), "new top");
  EXPECT_EQ(readFile("boot/other"), "kept");
  EXPECT_TRUE(isDirectory("boot/empty"));
  EXPECT_EQ(fs::read_symlink("boot/link"), "top");
  EXPECT_EQ(stdoutText(), "");

  EXPECT_TRUE(copyDirectory(dir / "linuxboot", "fresh/nested"));  // destination made
  EXPECT_EQ(readFile("fresh/nested/EFI/BOOT/grub.cfg"), "cfg");

  EXPECT_FALSE(copyDirectory("missing", "boot"));
  EXPECT_FALSE(copyDirectory("linuxboot", "linuxboot/EFI/copy"));  // would never end
  EXPECT_FALSE(pathExists("linuxboot/EFI/copy"));
  EXPECT_FALSE(copyDirectory("linuxboot", "linuxboot"));
}

TEST_F(HostTest, ListDirectory) {
  fs::create_directory("empty");
  std::vector<std::string> names{"kept"};
  listDirectory("empty", names);
  std::sort(names.begin() + 1, names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"kept", ".", ".."}));
  listDirectory("missing", names);
  EXPECT_EQ(names.size(), 3u);
}

TEST_F(HostTest, RunToFileCapturesBothStreamsAndExitCode) {
  writeFile("out.txt", "before\n");
  EXPECT_EQ(runToFile("out.txt", {"sh", "-c", "echo out; echo err >&2; exit 3"}), 3);
  EXPECT_EQ(readFile("out.txt"), "before\nout\nerr\n");
  // Arguments travel as they are: no word splitting, no shell expansion.
  EXPECT_EQ(runToFile("args.txt", {"printf", "%s|", "a b", "$HOME", "*"}), 0);
  EXPECT_EQ(readFile("args.txt"), "a b|$HOME|*|");
  EXPECT_EQ(runToFile("", {"true"}), 0);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(runToFile("none.txt", {"xelo-no-such-program"}), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "CreateProcess failed (2).\n");
}

TEST_F(HostTest, FreeSpace) {
  EXPECT_GT(getFreeSpaceMB(dir.path()), 0.0);
  EXPECT_EQ(getFreeSpaceMB(dir / "missing"), -1.0);
  EXPECT_THAT(readFile(processLogger().getLogFilePath()),
              ::testing::ContainsRegex("Xelo_\\[Error\\] [0-9/]+ [0-9:]+  Error for getting " +
                                       (dir / "missing") + " free space: 2\n"));
}

TEST_F(HostTest, LackSpaceReadsLastStepOutputThenProbes) {
  writeFile("stdout.txt", "copying\n   There is not enough space on the disk.  \n");
  EXPECT_TRUE(lackSpace());
  EXPECT_FALSE(pathExists("check_space"));  // decided without probing
  writeFile("stdout.txt", "cp: No space left on device\n");
  EXPECT_TRUE(lackSpace());
  EXPECT_THAT(readFile(processLogger().getLogFilePath()),
              HasSubstr("No space left on device. in main::lackSpace(), by checking stdout.txt"));

  writeFile("stdout.txt", "File exists\n");
  EXPECT_FALSE(lackSpace());
  ::unlink("stdout.txt");
  EXPECT_FALSE(lackSpace());
  EXPECT_FALSE(pathExists("check_space"));  // the probe is removed again
}

TEST_F(HostTest, LackSpaceAfterCopyOntoFullFileSystem) {
  if (!isSuperUser()) GTEST_SKIP() << "mounting a small file system needs root";
  fs::create_directory("full");
  if (runToFile("mount.txt", {"mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", dir / "full"}) != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << readFile("mount.txt");
  struct Unmount {
    std::string path;
    ~Unmount() { runToFile("", {"umount", path}); }
  } unmount{dir / "full"};

  writeFile("big", std::string(2 * 1024 * 1024, 'x'));
  EXPECT_NE(copyFileOver("big", dir / "full/big"), 0);
  EXPECT_EQ(stdoutText(), "No space left on device\n");
  EXPECT_FALSE(pathExists(dir / "full/big"));  // no partial copy left behind
  EXPECT_TRUE(lackSpace());
}

TEST_F(HostTest, Volumes) {
  writeFile("disc.iso", "image");
  EXPECT_EQ(volumeWithColon("e"), "e:");
  EXPECT_EQ(volumeWithColon("/dev/sdb"), "/dev/sdb");
  EXPECT_TRUE(volumeOpens("disc.iso"));
  EXPECT_FALSE(volumeOpens("e:"));
  EXPECT_FALSE(volumeOpens(dir.path()));  // a directory is no volume
  EXPECT_FALSE(volumeOpens("/dev/null"));
  EXPECT_TRUE(isOpticalVolume("disc.iso"));
  EXPECT_FALSE(isOpticalVolume(dir.path()));
  EXPECT_FALSE(isOpticalVolume("/dev/null"));
}

TEST_F(HostTest, ReplaceFileContentsKeepsModeAndLinks) {
  writeFile("real", "old");
  ::chmod("real", 0600);
  fs::create_symlink("real", "link");
  EXPECT_TRUE(replaceFileContents("link", "new\n"));
  EXPECT_TRUE(fs::is_symlink("link"));
  EXPECT_EQ(readFile("real"), "new\n");
  EXPECT_EQ(fs::status("real").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(xelotest::listFiles(dir.path()), (std::vector<std::string>{"link", "real"}));  // no temp left
  EXPECT_FALSE(replaceFileContents("nodir/file", "x"));
}

}  // namespace
}  // namespace XELO
