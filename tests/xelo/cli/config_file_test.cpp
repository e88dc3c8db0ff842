#include "cli/config_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "cli/config.h"
#include "core/codes.h"
#include "core/errors.h"
#include "host/host.h"
#include "test_support.h"

namespace XELO {
namespace {

namespace fs = std::filesystem;
using xelotest::ConsoleScope;
using xelotest::readFile;
using xelotest::writeFile;

TEST(PortablePath, RelativePathsGoBelowThePortableDirectory) {
  EXPECT_EQ(resolvePortablePath("/opt/xelo", "work"), "/opt/xelo/work");
  EXPECT_EQ(resolvePortablePath("/opt/xelo/", "work"), "/opt/xelo/work");
  EXPECT_EQ(resolvePortablePath("/opt/xelo", "./work"), "/opt/xelo/work");
  EXPECT_EQ(resolvePortablePath("/opt/xelo", "."), "/opt/xelo");
  EXPECT_EQ(resolvePortablePath("/opt/xelo", "/srv/work"), "/srv/work");
  EXPECT_EQ(resolvePortablePath("", "work"), "work");
}

// Each test starts from fresh options and a private working directory.
class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    initOptionKeys(options);
    makeDirectory(supportDirectory());
  }

  // Parses a command line into the test's options.
  void parse(std::vector<std::string> args) {
    args.insert(args.begin(), "xelo");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string errorText;
    ConsoleScope console("y\n");
    ASSERT_EQ(parseOptions(argv.data(), errorText, options, static_cast<int>(args.size())), 0)
        << console.output();
  }

  bool load(const std::string& text, std::string* output = nullptr) {
    const std::string path = dir / "in.config";
    writeFile(path, text);
    ConsoleScope console;
    const bool ok = loadConfigFile(options, path);
    if (output) *output = console.output();
    return ok;
  }

  Options options;
  xelotest::TempDir dir;
};

TEST_F(ConfigFileTest, WrittenFileLoadsBackToTheSameOptions) {
  fs::create_directories(supportListDirectory());
  fs::copy_file(std::string(XELO_PROGRAM_DIR) + "/SYSTEM_SUPPORT_LIST_9.64.xml",
                supportListDirectory() + "/SYSTEM_SUPPORT_LIST_9.64.xml", fs::copy_options::overwrite_existing);
  const std::string work = dir / "work";
  fs::create_directories(work);
  parse({"--local=" + work, "-m", "7101,7845", "--function=novpi,kyt", "--iso=out.iso", "--timeout=90",
         "--description=Rack = row 4", "--kernel-args=quiet", "--force"});
  ASSERT_FALSE(writeMediaConfig(options));

  const std::string text = readFile(work + "/xelo.config");
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_NE(text.find("QOR_SYSTEM_WORKINGDIR=/" + std::string("/tmp")), std::string::npos) << text;
  EXPECT_NE(text.find("\nQOR_SYSTEM_PROXY_USER=NULL\n"), std::string::npos);
  // The two tool lines follow the 35 keys; the list names only supported types.
  EXPECT_NE(text.find("QOR_SYSTEM_UPDATE_HBACNA=NULL\nQOR_SYSTEM_MT_NOVPI=7101,7102,7203,7311,7312,7845,7920,"
                      "8012,8013,8150,8201\nQOR_SYSTEM_MT_KYT=7101,7102,7203,7311,7845,7846,7920,8012,8150,8201\n"),
            std::string::npos)
      << text;

  const Options& written = options;
  Options loaded;
  initOptionKeys(loaded);
  ASSERT_TRUE(loadConfigFile(loaded, work + "/xelo.config"));
  EXPECT_EQ(loaded.workingDir, work);
  EXPECT_EQ(loaded.machineTypes, written.machineTypes);
  EXPECT_EQ(loaded.functions, written.functions);
  EXPECT_EQ(loaded.isoName, "out.iso");
  EXPECT_TRUE(fs::equivalent(loaded.isoDir, work)) << loaded.isoDir;  // written with doubled separators
  EXPECT_EQ(loaded.timeout, 90u);
  EXPECT_TRUE(loaded.force);
  EXPECT_TRUE(loaded.acquire);
  EXPECT_EQ(loaded.kernelArgs, "quiet");
  EXPECT_EQ(loaded.mediaLabel, "Rack = row 4");  // only the first "=" divides key and value
  EXPECT_EQ(loaded.configVersion, "9.64");
  for (const char* key : {"QOR_SYSTEM_MACHINETYPE", "QOR_SYSTEM_WORKINGDIR", "QOR_SYSTEM_ISO_FILE",
                          "QOR_SYSTEM_MEDIALABEL", "QOR_SYSTEM_AUTORUN", "QOR_SYSTEM_DEPLOY_ARCHITECTURE"})
    EXPECT_EQ(configValue(loaded, key), configValue(written, key)) << key;
}

TEST_F(ConfigFileTest, ValuesEndAtMarkersAndBareIsoNamesLieInTheWorkingDirectory) {
  ASSERT_TRUE(
      load("QOR_SYSTEM_VERSION=9.64\nQOR_SYSTEM_MEDIALABEL=Lab#2 racks\n"
           "QOR_SYSTEM_WORKINGDIR=//srv//work\nQOR_SYSTEM_ISO_FILE=plain.iso\r\n"
           "QOR_SYSTEM_MACHINETYPE=NULL\nQOR_SYSTEM_TIMEOUT=abc\n"));
  const Options& o = options;
  EXPECT_EQ(o.mediaLabel, "Lab");
  EXPECT_EQ(o.workingDir, "/srv/work");
  EXPECT_EQ(o.isoName, "plain.iso");
  EXPECT_EQ(o.isoDir, "/srv/work");
  EXPECT_EQ(o.machineTypes, std::vector<std::string>{"all"});
  EXPECT_EQ(o.timeout, 0u);
  EXPECT_EQ(configValue(o, "QOR_SYSTEM_MEDIALABEL"), "Lab");
}

TEST_F(ConfigFileTest, FlagValuesMustBeExact) {
  std::string out;
  EXPECT_FALSE(load("QOR_SYSTEM_VERSION=9.64\nQOR_SYSTEM_ACQUIRE=yes\n", &out));
  EXPECT_EQ(out, "Invalid value for QOR_SYSTEM_ACQUIRE configuration.\n");
  EXPECT_FALSE(load("QOR_SYSTEM_TUI=1\n", &out));
  EXPECT_EQ(out, "Invalid value for QOR_SYSTEM_TUI configuration.\n");
  // Values set before the refused line stay set.
  options.acquire = true;
  EXPECT_FALSE(load("QOR_SYSTEM_ACQUIRE=NO\nQOR_SYSTEM_LATEST=maybe\n"));
  EXPECT_FALSE(options.acquire);
}

TEST_F(ConfigFileTest, ToolSpecificValuesAreRefusedForTheWrongFunctions) {
  std::string out;
  EXPECT_FALSE(load("QOR_SYSTEM_FUNCTION=dunvar\nQOR_SYSTEM_VMWARE_ESXI_UPDATE=5.0\n", &out));
  EXPECT_EQ(out, "Error: Specified --vmware-esxi-update when creating a dunvar media\n");
  EXPECT_FALSE(load("QOR_SYSTEM_FUNCTION=kyt\nQOR_SYSTEM_VMWARE_ESXI_UPDATE=5.0\n", &out));
  EXPECT_EQ(out, "Error: The option vmware-esxi-update doesn't work unless novpi is enabled\n");
  EXPECT_FALSE(load("QOR_SYSTEM_FUNCTION=novpi\nQOR_SYSTEM_VMWARE_ESXI_UPDATE=4.1,5.0\n", &out));
  EXPECT_EQ(out, "Error: Please specify only one version of VMWare Update.\n");
  EXPECT_FALSE(load("QOR_SYSTEM_FUNCTION=novpi\nQOR_SYSTEM_NO_FIRMWARE_UPDATE=YES\n", &out));
  EXPECT_EQ(out, "Error: Selected to create a MCP image but specified --no-firmware.\n");
  EXPECT_FALSE(load("QOR_SYSTEM_FUNCTION=dunvar\nQOR_SYSTEM_DEPLOY_ARCHITECTURE=x86,x64\n", &out));
  EXPECT_EQ(out, "Error: The valid values for arch option is \"x86\" or \"x64\".\n");
  EXPECT_TRUE(
      load("QOR_SYSTEM_FUNCTION=dunvar\nQOR_SYSTEM_DEPLOY_ARCHITECTURE=x86\n"
           "QOR_SYSTEM_NO_FIRMWARE_UPDATE=YES\n"));
  EXPECT_EQ(options.deployArch, std::vector<std::string>{"x86"});
  EXPECT_TRUE(options.noFirmware);
}

TEST_F(ConfigFileTest, MissingVersionMarksAnOlderFile) {
  ASSERT_TRUE(load("QOR_SYSTEM_MACHINETYPE=7101\n"));
  EXPECT_EQ(options.configVersion, "1.x");
  ASSERT_TRUE(load("QOR_SYSTEM_VERSION=NULL\nQOR_SYSTEM_MACHINETYPE=7101\n"));
  EXPECT_EQ(options.configVersion, "1.x");
}

TEST_F(ConfigFileTest, UnusableFilesAreRefusedWithoutHarm) {
  std::string out;
  EXPECT_FALSE(loadConfigFile(options, dir / "absent.config"));
  EXPECT_FALSE(load("", &out));
  EXPECT_FALSE(load("no equals sign anywhere\nat all\n\n"));
  EXPECT_FALSE(load("UNKNOWN_KEY=1\n=value\nQOR_SYSTEM_MACHINETYPE=\n"));
  EXPECT_FALSE(load(std::string(1 << 20, 'x') + "\n" + std::string(1 << 20, '=') + "\n"));
  EXPECT_TRUE(load("QOR_SYSTEM_KERNEL_ARGS=" + std::string(1 << 20, 'k') + "\n"));
  EXPECT_EQ(options.kernelArgs.size(), 1u << 20);

  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    std::string garbage(4096, '\0');
    for (auto& c : garbage) c = static_cast<char>(random());
    if (round % 2) garbage.insert(random() % garbage.size(), "QOR_SYSTEM_FUNCTION=");
    load(garbage);  // must neither crash nor hang
  }
}

TEST_F(ConfigFileTest, UnwritableWorkingDirectoryWritesNothing) {
  options.workingDir = dir / "missing";
  EXPECT_TRUE(writeMediaConfig(options));
  EXPECT_FALSE(xelotest::exists(dir / "missing"));
}

class MergedOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { makeDirectory(supportDirectory()); }
  std::string record() const { return readFile(cliResultPath()); }
  Options options;
};

TEST_F(MergedOptionsTest, MergedOptionsAreRefusedWithTheirResultWord) {
  options.functions = {"novpi", "kyt", "novpi"};
  options.machineTypes = {"7101", "NULL", "all"};
  options.kernelArgs = "console=ttys0,115200 console=tty1";
  {
    ConsoleScope console;
    EXPECT_EQ(recheckMergedOptions(options), 0);
  }
  EXPECT_EQ(options.functions, (std::vector<std::string>{"novpi", "kyt"}));
  EXPECT_EQ(options.machineTypes, (std::vector<std::string>{"7101", "all"}));
  EXPECT_EQ(options.kernelArgs, "console=ttyS0,115200 console=tty1");

  ConsoleScope console;
  options.functions = {"novpi", "floppy"};
  EXPECT_EQ(recheckMergedOptions(options), Exit::OptionsInvalid);
  EXPECT_NE(console.output().find("Error: The function \"floppy\" you specified is not supported!"), std::string::npos);
  EXPECT_NE(record().find("<MESSAGE>Options error: Argument invalid or missing: invalid function</MESSAGE>"),
            std::string::npos);

  options.functions = {"novpi"};
  options.machineTypes = {"710"};
  EXPECT_EQ(recheckMergedOptions(options), Exit::OptionsInvalid);
  EXPECT_NE(console.output().find("Error: The machine type \"710\" you specified is invalid!"), std::string::npos);
  EXPECT_NE(record().find("invalid machine type"), std::string::npos);

  options.machineTypes = {"7101"};
  options.kernelArgs = "console=ttyS2,115200 console=tty1";
  EXPECT_EQ(recheckMergedOptions(options), Exit::OptionsInvalid);
  EXPECT_NE(console.output().find("ERROR: Invalid console configuration provided for SOL support."), std::string::npos);
  EXPECT_NE(record().find("invalid SOL configuration"), std::string::npos);
}

TEST_F(MergedOptionsTest, UnattendedLocationNeedsExactlyOneKnownProtocol) {
  options.functions = {"novpi"};
  for (const char* good : {"tftp://192.0.2.1/logs", "ftp://host/x", "nfs://h/d", "smb://h/d", "usb:/logdir"}) {
    options.unattended = good;
    EXPECT_EQ(checkUnattendedUrl(options), 0) << good;
  }
  options.unattended.clear();
  EXPECT_EQ(checkUnattendedUrl(options), 0);

  struct Case {
    std::vector<std::string> functions;
    const char* url;
    const char* message;
  };
  const Case refused[] = {
      {{"novpi", "kyt"}, "tftp://h/d", "Only Updates(novpi) supports unattended mode in current release"},
      {{"novpi"}, "nfs://h/d smb://h/d", "More than one location specified in the --unattended option"},
      {{"novpi"}, "http://h/d", "Invalid location specified in the --unattended option"},
  };
  for (const auto& c : refused) {
    ConsoleScope console;
    options.functions = c.functions;
    options.unattended = c.url;
    EXPECT_EQ(checkUnattendedUrl(options), Exit::OptionsInvalid) << c.url;
    EXPECT_EQ(console.output().rfind(std::string("ERROR: Options: ") + c.message + "\n", 0), 0u) << console.output();
    EXPECT_NE(console.output().find("    --unattended=usb:/logdir\n"), std::string::npos);
    EXPECT_NE(record().find(std::string(c.message) + "invalid unattended mode configuration"), std::string::npos);
  }
}

}  // namespace
}  // namespace XELO
