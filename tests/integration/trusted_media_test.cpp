// Runs whose media must carry exactly what this run staged: nothing from the
// host behind a link, nothing an earlier run left, no update without its
// payload, no value that adds lines to the medium's configuration; and runs
// that end as they should when nobody answers a question.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "local_work.h"
#include "qemu_boot.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::exists;
using xelotest::ProgramSandbox;
using xelotest::readFile;
using xelotest::writeFile;

// Names and contents of every entry of an archive (zip, ISO), as one text.
std::string archiveText(const std::string& path) {
  std::string text;
  for (const auto& [name, content] : xelotest::isoEntries(path)) text += name + "\n" + content;
  return text;
}

// The first line of `text` that holds `needle`, or empty.
std::string lineWith(const std::string& text, const std::string& needle) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.find(needle) != std::string::npos) return line;
  return "";
}

class TrustedMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string absent = xelotest::missingTools({"zip", "unzip", "mkfs.fat", "mcopy"});
    if (!absent.empty()) GTEST_SKIP() << "not installed:" << absent;
    ASSERT_TRUE(xelotest::prepareLocalWork(box.scratch(), work, "qor_fw_a_7101", "payload of qor_fw_a_7101"));
  }

  xelotest::RunResult run(const std::vector<std::string>& extra, const std::string& input = "") {
    std::vector<std::string> args = {"--local=" + work, "-m", "7101", "--no-acquire"};
    args.insert(args.end(), extra.begin(), extra.end());
    return box.run("xelo", args, input);
  }
  std::string result() const { return readFile(box.supportDir() + "/xelo_cli.xml"); }
  std::string log() const { return readFile(box.supportDir() + "/" + box.logFiles().back()); }
  std::string zipPath() const { return work + "/" + xelotest::kMidZip; }
  // Runs `argv` in `dir` and fails the test when it fails.
  void tool(const std::string& dir, const std::vector<std::string>& argv) {
    xelotest::ScopedCwd in(dir);
    ASSERT_EQ(XELO::runToFile(box.scratch() + "/tool.txt", argv), 0) << readFile(box.scratch() + "/tool.txt");
  }

  ProgramSandbox box;
  const std::string work = box.scratch() + "/w";
};

// ---- links to the host ------------------------------------------------------

TEST_F(TrustedMedia, EnvironmentZipWithALinkLeavingItIsRefused) {
  const std::string marker = box.scratch() + "/host-secret";
  writeFile(marker, "HOST SECRET 4b1d");
  const std::string env = box.scratch() + "/env";  // what prepareLocalWork zipped
  struct Case {
    const char* name;
    std::string target;
  };
  const Case cases[] = {{"linuxboot/menu/host", marker}, {"linuxboot/menu/up", "../../../../../../../../" + marker}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(xelotest::writeBootEnvironmentZip(box.scratch(), zipPath()));
    fs::remove(env + "/" + c.name);
    fs::create_symlink(c.target, env + "/" + c.name);
    tool(env, {"zip", "-qy", zipPath(), c.name});  // stored as a link

    auto r = run({"--iso=out.iso"});
    EXPECT_EQ(r.status, 213) << r.output;
    EXPECT_THAT(r.output, HasSubstr("can not be uncompressed"));
    EXPECT_THAT(result(), HasSubstr("<CODE>213</CODE>"));
    EXPECT_FALSE(exists(work + "/out.iso"));
    fs::remove(env + "/" + c.name);
  }
}

TEST_F(TrustedMedia, NoMediumCarriesAFileALinkLeadsToOutsideTheWorkingDirectory) {
  const std::string secret = "HOST SECRET 6e7a " + std::string(3000, 'S');
  const std::string marker = box.scratch() + "/host-secret";
  writeFile(marker, secret);
  // A third-party tool folder whose links lead to the host file: one by its
  // absolute path, one in a sub-folder climbing out with "..", and a link
  // inside the folder to that sub-folder.
  const std::string ext = box.scratch() + "/ext";
  fs::create_directories(ext + "/sub");
  writeFile(ext + "/tool.sh", "third party tool");
  fs::create_symlink(marker, ext + "/absolute");
  fs::create_symlink("../../../../../../../../../../.." + marker, ext + "/sub/climbing");
  fs::create_directory_symlink("sub", ext + "/through");
  const std::string key = box.scratch() + "/key.img";
  { std::ofstream(key, std::ios::binary); }
  fs::resize_file(key, 64u * 1024 * 1024);
  const std::string pxe = box.scratch() + "/pxe";

  auto iso = run({"--iso=out.iso", "--ext-tool=" + ext});
  ASSERT_EQ(iso.status, 0) << iso.output;
  const std::string isoText = archiveText(work + "/out.iso");
  EXPECT_THAT(isoText, HasSubstr("third party tool"));
  EXPECT_THAT(readFile(work + "/out.iso"), Not(HasSubstr("HOST SECRET")));
  EXPECT_THAT(isoText, Not(HasSubstr("HOST SECRET")));
  EXPECT_THAT(log(), HasSubstr("a link to outside the working directory"));

  auto usb = run({"--usbkey=" + key, "--ext-tool=" + ext}, "y\n");
  ASSERT_EQ(usb.status, 0) << usb.output;
  EXPECT_THAT(readFile(key), HasSubstr("third party tool"));
  EXPECT_THAT(readFile(key), Not(HasSubstr("HOST SECRET")));

  auto net = run({"--pxe=" + pxe, "--ext-tool=" + ext});
  ASSERT_EQ(net.status, 0) << net.output;
  const std::string zipText = archiveText(pxe + "/tc.zip");
  EXPECT_THAT(zipText, HasSubstr("third party tool"));
  EXPECT_THAT(zipText, Not(HasSubstr("HOST SECRET")));
  for (const auto& [name, content] : xelotest::isoEntries(pxe + "/tc.zip", false)) {
    EXPECT_EQ(name.find(".."), std::string::npos) << name;
    EXPECT_NE(name.front(), '/') << name;
  }
  for (const auto& entry : fs::recursive_directory_iterator(pxe))
    if (entry.is_regular_file()) {
      EXPECT_THAT(readFile(entry.path().string()), Not(HasSubstr("HOST SECRET"))) << entry.path();
    }
}

// ---- only this run's inputs -------------------------------------------------

TEST_F(TrustedMedia, EachMediumCarriesOnlyWhatItsOwnRunChose) {
  const std::string ext = box.scratch() + "/ext";
  fs::create_directories(ext);
  writeFile(ext + "/tool.sh", "third party tool");
  writeFile(work + "/earlier.ISO", "an image made before");  // never onto a medium, whatever its case

  ASSERT_EQ(run({"--iso=first.iso", "--ext-tool=" + ext}).status, 0);
  EXPECT_TRUE(xelotest::isoEntries(work + "/first.iso", false).count("boot/Xelo_3rdPartyTool/tool.sh"));

  auto second = run({"--iso=second.iso"});
  ASSERT_EQ(second.status, 0) << second.output;
  const auto medium = xelotest::isoEntries(work + "/second.iso", false);
  for (const auto& [name, content] : medium) {
    EXPECT_EQ(name.find("Xelo_3rdPartyTool"), std::string::npos) << "left by the first run: " << name;
    EXPECT_NE(name, "earlier.ISO");
    EXPECT_NE(name, "first.iso");
    EXPECT_NE(name, ".xelo.lock");
  }
  EXPECT_TRUE(medium.count("qor_fw_a_7101.bin"));
}

TEST_F(TrustedMedia, UpdateWithoutItsPayloadIsLeftOutWithAWarning) {
  xelotest::addLocalUpdate(work, "qor_fw_b_7101", "7101", "payload of b");
  fs::remove(work + "/qor_fw_b_7101.bin");  // a download that failed, answered "y"

  auto r = run({"--iso=out.iso"});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_THAT(r.output, HasSubstr("Warning! The update qor_fw_b_7101.xml has no payload in the working directory"));
  EXPECT_THAT(lineWith(log(), "The update qor_fw_b_7101.xml has no payload"), HasSubstr("[Warning]"));
  const auto medium = xelotest::isoEntries(work + "/out.iso", false);
  EXPECT_FALSE(medium.count("qor_fw_b_7101.xml"));
  EXPECT_FALSE(medium.count("qor_fw_b_7101.txt"));
  for (const char* name : {"qor_fw_a_7101.xml", "qor_fw_a_7101.bin", "qor_fw_a_7101.txt"})
    EXPECT_TRUE(medium.count(name)) << name;
}

TEST_F(TrustedMedia, ControlCharactersAndOverlongKernelArgumentsAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    std::string option;
    std::string message;
  };
  const Case cases[] = {
      {"--description=Rack\nQOR_SYSTEM_AUTORUN=none", "Error: the value of --description holds a control character"},
      {"--kernel-args=quiet\rQOR_SYSTEM_TUI=YES", "Error: the value of --kernel-args holds a control character"},
      {"--autorun=novpi\tkyt", "Error: the value of --autorun holds a control character"},
      {"--kernel-args=" + std::string(2040, 'a'), "Error: --kernel-args is 2040 bytes long"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    auto r = run({"--iso=out.iso", c.option});
    EXPECT_EQ(r.status, 101);
    EXPECT_THAT(r.output, HasSubstr(c.message));
    EXPECT_THAT(result(), HasSubstr("<CODE>101</CODE>\n\t<MESSAGE>" + c.message));
    EXPECT_FALSE(exists(work + "/xelo.config"));
    EXPECT_FALSE(exists(work + "/out.iso"));
  }
  // The longest arguments the kernel command line holds pass.
  auto r = run({"--iso=out.iso", "--kernel-args=" + std::string(2035, 'a')});
  EXPECT_EQ(r.status, 0) << r.output;
}

// ---- questions and refusals ---------------------------------------------------

TEST_F(TrustedMedia, EndOfInputAtAQuestionFailsWithTheCodeOfWhatAsked) {
  fs::copy_file(zipPath(), work + "/custom.zip");
  const std::string config = box.scratch() + "/old.config";
  writeFile(config, "QOR_SYSTEM_MACHINETYPE=7101\nQOR_SYSTEM_WORKINGDIR=" + work + "\n");
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string record;
  };
  const std::string stop = "<CODE>0</CODE>\n\t<MESSAGE>User confirms to stop!</MESSAGE>";
  const Case cases[] = {
      // An environment other than the supported one.
      {{"--local=" + work, "-m", "7101", "--no-acquire", "-t", "custom.zip", "--iso=out.iso"}, "", 218,
       "<CODE>218</CODE>\n\t<MESSAGE>Media creation error: Bootable environment is invalid."},
      {{"--local=" + work, "-m", "7101", "--no-acquire", "-t", "custom.zip", "--iso=out.iso"}, "n\n", 0, stop},
      // A configuration file written by another version.
      {{"--configfile=" + config}, "", 101, "<CODE>101</CODE>\n\t<MESSAGE>Options error: Argument invalid or missing: configfile"},
      {{"--configfile=" + config}, "n\n", 0, stop},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back() + " input \"" + c.input + "\"");
    auto r = box.run("xelo", c.args, c.input);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_THAT(result(), HasSubstr(c.record));
  }
  EXPECT_FALSE(exists(work + "/out.iso"));
}

TEST_F(TrustedMedia, EarlierPxeOutputIsKeptUnlessForced) {
  const std::string pxe = box.scratch() + "/pxe";
  ASSERT_EQ(run({"--pxe=" + pxe}).status, 0);
  writeFile(pxe + "/img3a", "the initrd a server boots today");

  auto refused = run({"--pxe=" + pxe});
  EXPECT_EQ(refused.status, 101) << refused.output;
  EXPECT_THAT(refused.output, HasSubstr(pxe + " already exists"));
  EXPECT_THAT(result(), HasSubstr("Options error: Argument invalid or missing: force"));
  EXPECT_EQ(readFile(pxe + "/img3a"), "the initrd a server boots today");

  auto forced = run({"--pxe=" + pxe, "--force"});
  EXPECT_EQ(forced.status, 0) << forced.output;
  EXPECT_NE(readFile(pxe + "/img3a"), "the initrd a server boots today");
}

TEST_F(TrustedMedia, EnvironmentWithoutItsBootConfigurationIsNamedAsTheCause) {
  tool(work, {"zip", "-qd", xelotest::kMidZip, "linuxboot/EFI/BOOT/grub.cfg"});
  const std::string disc = box.scratch() + "/disc.img";
  writeFile(disc, "");
  for (const std::string& target : {"--cd=" + disc, std::string("--iso=out.iso"), "--pxe=" + box.scratch() + "/pxe"}) {
    SCOPED_TRACE(target);
    auto r = run({target});
    EXPECT_EQ(r.status, 218) << r.output;
    EXPECT_THAT(r.output, HasSubstr("Media creation error: Bootable environment is invalid."));
    EXPECT_THAT(r.output, Not(HasSubstr("has no .iso extension")));
  }
}

}  // namespace
