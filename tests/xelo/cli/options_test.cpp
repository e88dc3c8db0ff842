#include "cli/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>

#include "cli/config.h"
#include "host/host.h"
#include "test_support.h"

namespace XELO {
namespace {

namespace fs = std::filesystem;

const char* const kSupportList =
    "<?xml version=\"1.0\" ?>\n<root>\n"
    "<system><xname>A</xname><machineType>7101</machineType><novpi>yes</novpi>"
    "<vmwareupdate4.1>yes</vmwareupdate4.1><vmwareupdate5.0>yes</vmwareupdate5.0></system>\n"
    "<system><xname>B</xname><machineType>7845</machineType><novpi>yes</novpi>"
    "<vmwareupdate4.1>no</vmwareupdate4.1><vmwareupdate5.0>yes</vmwareupdate5.0></system>\n"
    "<system><xname>C</xname><machineType>8012</machineType><novpi>yes</novpi></system>\n"
    "</root>\n";

// Installs a support list in the private system drive for one test.
class ScopedSupportList {
 public:
  explicit ScopedSupportList(const std::string& content = kSupportList)
      : path(supportListDirectory() + "/" + kSupportListName) {
    fs::create_directories(supportListDirectory());
    xelotest::writeFile(path, content);
  }
  ~ScopedSupportList() { fs::remove(path); }
  const std::string path;
};

struct Outcome {
  int rc;
  std::string out;
  std::string errorText;
};

class ParseTest : public ::testing::Test {
 protected:
  Options options;

  // Parses `args` (without the program name) with `input` on std::cin.
  Outcome parse(const std::vector<std::string>& args, const std::string& input = "") {
    options = Options();
    initOptionKeys(options);
    std::vector<std::string> storage{"xelo"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::ostringstream out;
    std::istringstream in(input);
    auto* oldOut = std::cout.rdbuf(out.rdbuf());
    auto* oldIn = std::cin.rdbuf(in.rdbuf());
    std::cin.clear();
    Outcome o;
    o.rc = parseOptions(argv.data(), o.errorText, options, static_cast<int>(storage.size()));
    std::cout.rdbuf(oldOut);
    std::cin.rdbuf(oldIn);
    std::cin.clear();
    o.out = out.str();
    return o;
  }

  // Parses with a working directory given, so no question is asked.
  Outcome parseIn(std::vector<std::string> args) {
    args.insert(args.begin(), {"--local=work", "-m", "7101"});
    return parse(args);
  }

  std::string key(const std::string& name) const { return configValue(options, name); }

  void expectRefusal(const Outcome& o, const std::string& message, bool asText) {
    EXPECT_EQ(o.rc, 1);
    EXPECT_NE(o.out.find(message + "\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.errorText, asText ? message : "");
  }
};

TEST_F(ParseTest, NoArgumentsShowsHelpAndAsksForTheWorkingDirectory) {
  Outcome yes = parse({}, "Yes\n");
  ASSERT_EQ(yes.rc, 0) << yes.out;
  EXPECT_TRUE(options.showHelp);
  EXPECT_NE(options.helpText.find("Available options"), std::string::npos);
  EXPECT_NE(yes.out.find("Warning! You haven't specified any machine type and it will be \"all\".\n"),
            std::string::npos);
  EXPECT_NE(yes.out.find("Warning! You haven't specified workingdir and it will be \"workingdir\" in current "
                         "folder.\nAre you sure you want to continue?(y or n)"),
            std::string::npos);
  EXPECT_EQ(options.workingDir, "workingdir");
  EXPECT_EQ(options.machineTypes, std::vector<std::string>{"all"});
  EXPECT_EQ(options.mediaLabel.size(), std::string("Bootable Media-").size() + 24);
  const std::pair<const char*, const char*> keys[] = {
      {"QOR_SYSTEM_WORKINGDIR", "workingdir"}, {"QOR_SYSTEM_MACHINETYPE", "all"}, {"QOR_SYSTEM_FUNCTION", "novpi"},
      {"QOR_SYSTEM_AUTORUN", "novpi"},         {"QOR_SYSTEM_TIMEOUT", "60"},       {"QOR_SYSTEM_VERSION", "9.64"},
      {"QOR_SYSTEM_ACQUIRE", "YES"},           {"QOR_SYSTEM_TUI", "NO"},           {"QOR_SYSTEM_ISO_FILE", ""}};
  for (const auto& [name, value] : keys) EXPECT_EQ(key(name), value) << name;

  for (const char* answer : {"n\n", "", "nope\n"}) {
    Outcome no = parse({}, answer);
    EXPECT_EQ(no.rc, 1) << answer;
    EXPECT_EQ(no.errorText, "");
  }
}

TEST_F(ParseTest, OptionsThatNeedNoMediaAskNothing) {
  for (const char* option : {"--help", "-?", "--version", "--check-update", "--show-supportlist"}) {
    Outcome o = parse({option});
    EXPECT_EQ(o.rc, 0) << option << o.out;
    EXPECT_EQ(o.out, "") << option;
  }
  EXPECT_TRUE(parse({"-?"}).rc == 0 && options.showHelp);
}

TEST_F(ParseTest, LongOptionsMustBeWrittenInFull) {
  for (auto args : {std::vector<std::string>{"--loc=work"}, {"--loc", "work"}}) {
    Outcome o = parse(args, "y\n");
    EXPECT_EQ(o.rc, 1);
    EXPECT_EQ(o.out, "error: unknown option loc\n");
  }
  EXPECT_EQ(parse({"--local", "work", "--machine-ty=7101"}).out, "error: unknown option machine-ty\n");
  EXPECT_EQ(parse({"--local", "work", "-m", "7101"}).rc, 0);
}

TEST_F(ParseTest, ParserErrorsBecomeErrorText) {
  for (auto args : {std::vector<std::string>{"--bogus"}, {"-m"}, {"--local=a", "--local=b"}, {"stray"},
                    {"-m", "7101", "7845", "--local=w"}, {"--local="},
                    {"--proxy-port=eighty", "--proxy-address=p"}, {"--vlan-i=1"}}) {
    Outcome o = parse(args, "y\n");
    EXPECT_EQ(o.rc, 1) << args[0];
    ASSERT_EQ(o.errorText.rfind("Error: ", 0), 0u) << args[0];
    EXPECT_EQ(o.out, "error: " + o.errorText.substr(7) + "\n");
  }
}

TEST_F(ParseTest, MachineTypes) {
  parse({"--local=w", "-m", "9753,7101,9753"});
  EXPECT_EQ(options.machineTypes, (std::vector<std::string>{"9753", "7101", "9753"}));
  EXPECT_EQ(key("QOR_SYSTEM_MACHINETYPE"), "9753,7101");

  expectRefusal(parse({"--local=w", "-m", "9753,975"}), "Acquisition error: Invalid machine-type(s) specified",
                true);

  parse({"--local=w", "--machine-type=9753,NONE"});
  EXPECT_EQ(options.machineTypes, std::vector<std::string>{"none"});
  EXPECT_EQ(key("QOR_SYSTEM_MACHINETYPE"), "none");

  {
    ScopedSupportList list;
    ASSERT_EQ(parse({"--local=w", "-m", "ALL"}).rc, 0);
    EXPECT_EQ(options.machineTypes, (std::vector<std::string>{"7101", "7845", "8012"}));
    EXPECT_EQ(key("QOR_SYSTEM_MACHINETYPE"), "all");
  }
  const std::string path = supportListDirectory() + "/" + kSupportListName;
  expectRefusal(parse({"--local=w", "-m", "all"}), "error: Can not open support list: " + path, false);
}

TEST_F(ParseTest, WorkingDirectoryKeyDoublesSeparators) {
  parse({"--local=/data/work", "-m", "7101"});
  EXPECT_EQ(options.workingDir, "/data/work");
  const std::string single = key("QOR_SYSTEM_WORKINGDIR");
  parse({"--local=/data//work", "-m", "7101"});
  EXPECT_EQ(key("QOR_SYSTEM_WORKINGDIR"), single);
  EXPECT_EQ(single, "//data//work");
}

TEST_F(ParseTest, Functions) {
  ASSERT_EQ(parseIn({"--function=kyt,novpi,kyt", "-n"}).rc, 0);
  EXPECT_EQ(options.functions, (std::vector<std::string>{"kyt", "novpi"}));
  EXPECT_EQ(key("QOR_SYSTEM_FUNCTION"), "kyt,novpi");
  EXPECT_TRUE(options.updateHbaCna);
  EXPECT_EQ(key("QOR_SYSTEM_UPDATE_HBACNA"), "YES");
  EXPECT_EQ(parseIn({"--function=linuxtk"}).rc, 0);
  EXPECT_FALSE(options.updateHbaCna);

  expectRefusal(parseIn({"--function=novpi,diag"}), "Error: the function \"diag\" you specified is not supported!",
                true);
  expectRefusal(parseIn({"--function=linuxtk,novpi"}), "Error: linuxtk should be specified once exclusively", true);
  expectRefusal(parseIn({"--function=dunvar,kyt"}), "Error: Specified both kyt and dunvar in --function option.",
                true);
  xelotest::ScopedEnv noKyt("XELO_KYT_DISABLE", "yes");
  expectRefusal(parseIn({"--function=kyt"}), "Error: the function \"kyt\" you specified is not supported!", true);
}

TEST_F(ParseTest, IsoAndPxeTargetsArePlacedInTheWorkingDirectory) {
  ASSERT_EQ(parseIn({"--iso=out/images/boot.iso"}).rc, 0);
  EXPECT_EQ(options.isoDir, "out/images");
  EXPECT_EQ(options.isoName, "boot.iso");
  EXPECT_EQ(key("QOR_SYSTEM_ISO_FILE"), "out//images//boot.iso");

  ASSERT_EQ(parseIn({"--iso=boot.iso"}).rc, 0);
  EXPECT_EQ(options.isoDir, "work");
  EXPECT_EQ(key("QOR_SYSTEM_ISO_FILE"), "work//boot.iso");

  ASSERT_EQ(parseIn({"--iso=/boot.iso"}).rc, 0);
  EXPECT_EQ(options.isoDir, "/");
  EXPECT_EQ(key("QOR_SYSTEM_ISO_FILE"), "//boot.iso");

  ASSERT_EQ(parseIn({"--pxe=tftp", "--tftp-pxe-address=192.0.2.5"}).rc, 0);
  EXPECT_EQ(options.pxeDir, "work/tftp");
  EXPECT_EQ(key("QOR_SYSTEM_PXE_FILE"), "work//tftp");
  EXPECT_EQ(key("QOR_SYSTEM_PXE_TFTP_ADDRESS"), "192.0.2.5");
  ASSERT_EQ(parseIn({"--pxe=/srv/tftp"}).rc, 0);
  EXPECT_EQ(options.pxeDir, "/srv/tftp");

  expectRefusal(parseIn({"--tftp-pxe-address=192.0.2.5"}),
                "Parameter tftp-pxe-address should be used together with pxe", true);
  expectRefusal(parseIn({"--pxe=p", "--tftp-pxe-address", ""}), "ERROR: No tftp address specified.", true);
}

TEST_F(ParseTest, ReportDropsTheTargets) {
  ASSERT_EQ(parseIn({"--iso=boot.iso", "--report"}).rc, 0);
  EXPECT_TRUE(options.report);
  EXPECT_EQ(options.isoName, "");
  ASSERT_EQ(parseIn({"--pxe=tftp", "--report"}).rc, 0);
  EXPECT_EQ(options.pxeDir, "");
  expectRefusal(parseIn({"--iso=b.iso", "--report", "--function=kyt"}),
                "Error: The option \"--report\" doesn't work unless novpi is enabled.", true);
}

TEST_F(ParseTest, CdAndUsbVolumes) {
  xelotest::TempDir dir;
  const std::string disc = dir / "disc.img";
  xelotest::writeFile(disc, "");

  Outcome letter = parseIn({"--cd=e"});
  EXPECT_NE(letter.out.find("\nWarning: The CD or DVD device e cannot be used. Change it to e:\n"), std::string::npos);
  expectRefusal(letter, "Volume e: isn't a valid CD/DVD volume", true);
  EXPECT_EQ(parseIn({"--cd=" + disc}).out.find("Warning"), std::string::npos);
  EXPECT_EQ(options.cdDevice, disc);
  EXPECT_EQ(key("QOR_SYSTEM_CD"), disc);

  expectRefusal(parseIn({"--usbkey=" + dir / "missing"}), "Media creation error: Failed to get usb key volume name",
                true);
  ASSERT_EQ(parseIn({"--usbkey=" + disc, "--service"}).rc, 0);
  EXPECT_EQ(key("QOR_SYSTEM_USB_KEY"), disc);
  EXPECT_TRUE(options.service && options.tui);
  EXPECT_EQ(key("QOR_SYSTEM_TUI"), "YES");
  expectRefusal(parseIn({"--iso=a.iso", "--service"}), "Error: \"--service\" need to be used with \"--usbkey\" option.",
                true);
}

TEST_F(ParseTest, KernelArguments) {
  ASSERT_EQ(parseIn({"--kernel-args=console=ttys0,115200 console=tty1"}).rc, 0);
  EXPECT_EQ(options.kernelArgs, "console=ttyS0,115200 console=tty1");
  EXPECT_EQ(key("QOR_SYSTEM_KERNEL_ARGS"), "console=ttyS0,115200 console=tty1");

  Outcome bad = parseIn({"--kernel-args=console=ttyS2,115200 console=tty1"});
  EXPECT_EQ(bad.rc, 1);
  EXPECT_EQ(bad.errorText, "");
  EXPECT_NE(bad.out.find("ERROR: Invalid console configuration provided for SOL support.\n"
                         "       Valid example: console=ttyS[0|1],baudrate console=tty1\n"
                         "       The baud rate here should be supported by the system.\n"),
            std::string::npos);
}

TEST_F(ParseTest, DeploymentMediaRefuseOtherMediaOptions) {
  xelotest::TempDir dir;
  xelotest::writeFile(dir / "key.img", "");
  const std::pair<std::string, const char*> cases[] = {
      {"--usbkey=" + dir / "key.img", "usbkey"}, {"--pxe=p", "pxe"},        {"--kernel-args=quiet", "kernel-args"},
      {"--unattended=tftp://h/d", "unattended"}, {"--toolzip=t.zip", "toolzip"}, {"--no-eject", "no-eject"},
      {"--tui", "tui"},                          {"--autorun=dunvar", "autorun"}, {"--timeout=5", "timeout"},
      {"--vmware-esxi-update=5.0", "vmware-esxi-update"}};
  for (const auto& [option, name] : cases)
    expectRefusal(parseIn({"--function=dunvar", option}),
                  std::string("Error: \"--") + name + "\" is not supported when creating a DN media.", true);
}

TEST_F(ParseTest, Autorun) {
  Outcome o = parseIn({"--function=novpi,kyt", "--autorun=linuxtk"});
  ASSERT_EQ(o.rc, 0);
  EXPECT_NE(o.out.find("Warning: the autorun function \"linuxtk\" you specified isn't included in the package!\n"
                       "Set --autorun to: novpi\n"),
            std::string::npos);
  EXPECT_EQ(options.autorun, "novpi");
  EXPECT_EQ(key("QOR_SYSTEM_AUTORUN"), "novpi");

  o = parseIn({"--autorun=none"});
  ASSERT_EQ(o.rc, 0);
  EXPECT_EQ(o.out.find("Warning: the autorun"), std::string::npos);
  EXPECT_EQ(options.autorun, "none");
  EXPECT_EQ(key("QOR_SYSTEM_AUTORUN"), "NULL");

  expectRefusal(parseIn({"--function=novpi,kyt", "--autorun=novpi,kyt"}),
                "Error: the parameter of autorun should be only one!", false);
}

TEST_F(ParseTest, DeploymentArchitectureAndFirmware) {
  ASSERT_EQ(parseIn({"--function=dunvar,novpi", "--arch=x86", "--no-firmware"}).rc, 0);
  EXPECT_EQ(options.deployArch, std::vector<std::string>{"x86"});
  EXPECT_EQ(key("QOR_SYSTEM_NO_FIRMWARE_UPDATE"), "YES");
  for (const char* arch : {"--arch=x86,x64", "--arch=arm"})
    expectRefusal(parseIn({"--function=dunvar", arch}), "Error: The valid values for arch option is \"x86\" or \"x64\".",
                  true);
  EXPECT_EQ(parseIn({"--arch=arm"}).rc, 0);  // only checked for deployment media
  expectRefusal(parseIn({"--no-firmware"}), "Error: \"--no-firmware\" is not supported when creating a non-DN media.",
                true);
  expectRefusal(parseIn({"--function=dunvar", "--no-firmware"}),
                "Error: The option no-firmware doesn't work unless novpi is enabled", true);
}

TEST_F(ParseTest, ProxyAndTimeout) {
  ASSERT_EQ(parseIn({"--proxy-address=::ffff:1.2.3.4", "--proxy-port", "3128", "--proxy-user=u",
                     "--proxy-password=secret"})
                .rc,
            0);
  EXPECT_EQ(options.proxyAddress, "::ffff:102:304");
  EXPECT_EQ(key("QOR_SYSTEM_PROXY_ADDRESS"), "::ffff:102:304");
  EXPECT_EQ(key("QOR_SYSTEM_PROXY_PORT"), "3128");
  EXPECT_EQ(key("QOR_SYSTEM_PROXY_USER"), "u");
  EXPECT_EQ(options.proxyPassword, "secret");
  EXPECT_EQ(serializeConfig(options).find("secret"), std::string::npos);
  for (const char* only : {"--proxy-address=p", "--proxy-port=1"})
    expectRefusal(parseIn({only}), "Error: You must set both proxy address and port!", true);

  ASSERT_EQ(parseIn({"--timeout=65535"}).rc, 0);
  EXPECT_EQ(options.proxyPassword, "");
  EXPECT_EQ(key("QOR_SYSTEM_TIMEOUT"), "65535");
  for (const char* timeout : {"--timeout=0", "--timeout=65536", "--timeout=-1", "--timeout=-4294967295"})
    expectRefusal(parseIn({timeout}), "Please specify --timeout in scope 1~65535.", false);
}

TEST_F(ParseTest, VmwareUpdateIsCheckedAgainstTheSupportList) {
  ScopedSupportList list;
  ASSERT_EQ(parse({"--local=w", "-m", "7101,7845", "--vmware-esxi-update=5.0"}).rc, 0);
  EXPECT_EQ(options.vmwareVersions, std::vector<std::string>{"5.0"});
  EXPECT_EQ(key("QOR_SYSTEM_VMWARE_ESXI_UPDATE"), "5.0");
  EXPECT_EQ(parse({"--local=w", "-m", "none", "--vmware-esxi-update=4.1"}).rc, 0);

  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-m", "7101,7845", "--vmware-esxi-update=4.1"}, "Error: This machine type doesn't support VMWare Update 7845"},
      {{"-m", "8012", "--vmware-esxi-update=5.0"}, "Error: This machine type doesn't support VMWare Update 8012"},
      {{"-m", "7101", "--vmware-esxi-update=6.7"}, "Error: Specified VMWare Update is not valid."},
      {{"-m", "7101", "--vmware-esxi-update=all"}, "Error: Please specify the version number of VMWare Update."},
      {{"-m", "7101", "--vmware-esxi-update=4.1,5.0"}, "Error: Please specify only one version of VMWare Update."},
      {{"-m", "7101", "--function=kyt", "--vmware-esxi-update=4.1"},
       "Error: The option vmware-esxi-update doesn't work unless novpi is enabled."}};
  for (auto [args, message] : cases) {
    args.insert(args.begin(), "--local=w");
    expectRefusal(parse(args), message, true);
  }
}

TEST_F(ParseTest, ConfigFileAndMediaCount) {
  ASSERT_EQ(parse({"--configfile=/etc/xelo/job.config"}).rc, 0);
  EXPECT_EQ(options.configFile, "/etc/xelo/job.config");
  EXPECT_EQ(key("QOR_SYSTEM_CONFIG_FILE"), "//etc//xelo//job.config");
  expectRefusal(
      parse({"--configfile=c.txt", "-m", "7101"}),
      "ERROR: Since you have set the --configfile option, It is no need to set other option such as -m -t...", false);

  expectRefusal(parseIn({"--iso=a.iso", "--pxe=p"}),
                "Please specify no more than one option from --iso/--usbkey/--cd/--pxe.", false);
  xelotest::TempDir dir;
  xelotest::writeFile(dir / "disc.img", "");
  expectRefusal(parseIn({"--function=dunvar", "--iso=a.iso", "--cd=" + dir / "disc.img"}),
                "Please specify no more than one option from --iso/--cd.", false);
  expectRefusal(parseIn({"--no-acquire"}), "Please specify one and only one option of --iso/--usbkey/--cd/--pxe.",
                false);
  EXPECT_EQ(parseIn({"--no-acquire", "--report"}).rc, 0);
  EXPECT_EQ(key("QOR_SYSTEM_ACQUIRE"), "NO");
  EXPECT_EQ(parseIn({}).rc, 0);  // acquisition only
}

TEST_F(ParseTest, ExtToolAndUpdateIds) {
  ASSERT_EQ(parseIn({"--ext-tool=/opt/tool", "-i", "u1,u2,u1", "--no-eject", "--iso=a.iso"}).rc, 0);
  EXPECT_EQ(options.extToolDir, "/opt/tool");
  EXPECT_EQ(key("QOR_SYSTEM_EXT_TOOL"), "Xelo_3rdPartyTool");  // the name on the media
  EXPECT_EQ(options.updateIds, (std::vector<std::string>{"u1", "u2"}));
  EXPECT_EQ(key("QOR_SYSTEM_UPDATE_ID"), "u1,u2");
  EXPECT_EQ(key("QOR_SYSTEM_MEDIA_EJECT"), "NO");
}

// A line with several faults is refused for the one checked first, so that
// the message a user sees does not depend on how the checks are arranged.
TEST_F(ParseTest, FirstRefusalFollowsTheOrderOfTheChecks) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
    bool asText;
  };
  const std::string moreThanOne = "Please specify no more than one option from --iso/--usbkey/--cd/--pxe.";
  const Case cases[] = {
      {{"--function=dunvar", "--toolzip=t.zip", "--unattended=tftp://h/d"},
       "Error: \"--unattended\" is not supported when creating a DN media.",
       true},
      {{"--function=dunvar", "--timeout=5", "--tui"},
       "Error: \"--tui\" is not supported when creating a DN media.",
       true},
      {{"--function=kyt", "--report", "--service"},
       "Error: \"--service\" need to be used with \"--usbkey\" option.",
       true},
      {{"--function=kyt", "--no-firmware", "--report"},
       "Error: The option \"--report\" doesn't work unless novpi is enabled.",
       true},
      {{"--function=dunvar", "--no-firmware", "--arch=arm"},
       "Error: The valid values for arch option is \"x86\" or \"x64\".",
       true},
      {{"--timeout=0", "--proxy-address=proxy.example"}, "Error: You must set both proxy address and port!", true},
      {{"--function=dunvar", "--timeout=0"}, "Error: \"--timeout\" is not supported when creating a DN media.", true},
      {{"--iso=a.iso", "--pxe=p", "--timeout=0"}, "Please specify --timeout in scope 1~65535.", false},
      {{"--iso=a.iso", "--pxe=p", "--timeout=7"}, moreThanOne.c_str(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    expectRefusal(parseIn(c.args), c.message, c.asText);
  }
  // The configuration file conflict is found before the timeout's range.
  expectRefusal(parse({"--configfile=job.config", "--local=w", "--timeout=0"}),
                "ERROR: Since you have set the --configfile option, It is no need to set other option such as -m -t...",
                false);
}

TEST_F(ParseTest, LicenseEndsTheRunWithSuccess) {
  xelotest::TempDir dir;
  xelotest::ScopedCwd cwd(dir.path());
  Outcome missing = parse({"--license", "--bogus-free"});
  EXPECT_EQ(missing.rc, 1);  // unknown options still fail the parse first
  EXPECT_EQ(parse({"--license"}).rc, kParseExitSuccess);
  fs::create_directories(dir / "licenses");
  xelotest::writeFile(dir / "licenses/en", "Line one\nLine two");
  Outcome shown = parse({"--license", "--iso=a.iso", "--cd=x"});
  EXPECT_EQ(shown.rc, kParseExitSuccess);
  EXPECT_EQ(shown.out, "Line one\nLine two\n");
}

TEST(HelpText, ListsVisibleOptionsWithinEightyColumns) {
  const std::string help = buildHelpText();
  EXPECT_EQ(help.rfind("Available options:\n", 0), 0u);
  for (const char* text : {"--machine-type", "--vmware-esxi-update", "Default value: x64", "Example: --arch=x86",
                           "Examples:\n <program> --iso=bootable.iso --local=workingdir -m 9753 --function=novpi,kyt\n"})
    EXPECT_NE(help.find(text), std::string::npos) << text;
  for (const char* hidden : {"--oem", "--report", "anotherhelp", "--update-id", "Hidden options"})
    EXPECT_EQ(help.find(hidden), std::string::npos) << hidden;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

  xelotest::ScopedEnv novpi("XELO_IN_NOVPI", "");
  const std::string novpiHelp = buildHelpText();
  const std::string examples =
      "Examples:\n novpi301.exe xe --iso=nvcd.iso --local=workdir -m 9753\n novpi301.exe xe --configfile=config.txt\n";
  EXPECT_EQ(novpiHelp.substr(novpiHelp.size() - examples.size()), examples);
}

// The password comes from the option, else the file's first line, else the
// environment; a named file that cannot be read is refused.
TEST_F(ParseTest, ProxyPasswordSources) {
  xelotest::TempDir dir;
  const std::string file = dir.path() + "/password";
  xelotest::writeFile(file, "from-file\r\nsecond line\n");
  const std::string empty = dir.path() + "/empty";
  xelotest::writeFile(empty, "");
  struct Case {
    std::vector<std::string> args;
    const char* variable;  // XELO_PROXY_PASSWORD, or null for unset
    const char* password;
  } cases[] = {
      {{"--proxy-password=typed", "--proxy-password-file=" + file}, "from-env", "typed"},
      {{"--proxy-password-file=" + file}, "from-env", "from-file"},
      {{}, "from-env", "from-env"},
      {{}, "", ""},
      {{}, nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    if (c.variable)
      setenv("XELO_PROXY_PASSWORD", c.variable, 1);
    else
      unsetenv("XELO_PROXY_PASSWORD");
    std::vector<std::string> args = {"--proxy-address=p", "--proxy-port=3128"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_EQ(parseIn(args).rc, 0);
    EXPECT_EQ(options.proxyPassword, c.password);
  }
  unsetenv("XELO_PROXY_PASSWORD");
  for (const std::string& bad : {dir.path() + "/missing", dir.path(), empty})
    expectRefusal(parseIn({"--proxy-password-file=" + bad}), "Error: The proxy password file " + bad + " cannot be read.",
                  true);
}

// The help lists every visible option once, in its fixed order.
TEST(HelpText, ListsTheVisibleOptionsInTheirOrder) {
  std::string listed;
  std::istringstream lines(buildHelpText());
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  -", 0) != 0) continue;
    const auto start = line.find("--");
    listed += line.substr(start, line.find_first_of(" ]", start) - start) + " ";
  }
  EXPECT_EQ(listed,
            "--help --version --license "
            "--local --iso --cd --usbkey --pxe --toolzip "
            "--kernel-args --machine-type --latest --description --autorun --timeout --tui "
            "--proxy-address --proxy-port --proxy-user --proxy-password --proxy-password-file "
            "--no-acquire --force --yes --verify --progress-json --check-update --configfile --function "
            "--show-supportlist --update-supportlist --rollback-supportlist "
            "--tftp-pxe-address --unattended --no-eject --ext-tool --service --new "
            "--vlan-id --vlan-ip "
            "--no-firmware --arch --vmware-esxi-update ");
}

TEST(Banner, NamesTheProductVersion) {
  std::ostringstream out;
  printBanner(out);
  const std::string text = out.str();
  EXPECT_EQ(text.rfind("QOR Tolvane Xelo Version 9.64.01\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
}

// No command line, however malformed, may escape the parse as an exception or
// crash it; every outcome is success, refusal or the license exit.
TEST_F(ParseTest, SurvivesArbitraryCommandLines) {
  ScopedSupportList list;
  const std::string huge(1 << 20, 'x');
  for (auto args : {std::vector<std::string>{"--local="}, {"--machine-type="}, {"-m"}, {"--local", ""},
                    {"--local=w", "-m", huge}, {"--local=" + huge, "--description=" + huge, "-m", "7101"},
                    {"--local=\xff\xfe\x80", "-m", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"}, {"--"}, {"-"}, {"---local=w"},
                    {"--=x"}, {"-?x"}, {"--proxy-address=::ffff:1.2", "--proxy-port=99999999999"}}) {
    Outcome o;
    EXPECT_NO_THROW(o = parse(args, "y\n"));
    EXPECT_TRUE(o.rc == 0 || o.rc == 1) << args[0];
  }

  const std::vector<std::string> names = {
      "--help", "-h", "--version", "--local", "-l", "--iso", "--cd", "--usbkey", "--pxe", "--toolzip", "-t",
      "--kernel-args", "--machine-type", "-m", "--latest", "--description", "--autorun", "--timeout", "--tui",
      "--proxy-address", "--proxy-port", "--proxy-user", "--proxy-password", "--no-acquire", "--force",
      "--verify", "--check-update", "--configfile", "--function", "--show-supportlist", "--tftp-pxe-address", "--unattended",
      "--no-eject", "--ext-tool", "--service", "--new", "-n", "--vlan-id", "--vlan-ip", "--no-firmware", "--arch",
      "--vmware-esxi-update", "--xml", "--report", "-?", "--oem", "--update-id", "-i", "--loc", "--fun", "-x",
      "--license"};
  const std::vector<std::string> values = {
      "", "all", "ALL", "none", "7101", "7101,7845,7101", "975", "novpi,kyt", "dunvar", "linuxtk", "x86,x64",
      "5.0", "4.1,all", "console=ttyS0,115200 console=tty1", "ttys", "::ffff:1.2.3.4", "-5", "65536", "/", "\\",
      "a\\b/c", "w/boot.iso", "=", ",", ",,", "e", "--local"};
  std::mt19937 random(20260101u);
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  int successes = 0;
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> args;
    const std::size_t count = pick(7);
    for (std::size_t i = 0; i < count; ++i) {
      std::string value;
      if (pick(5) == 0) {
        for (std::size_t n = pick(12); n > 0; --n) value += static_cast<char>(1 + pick(255));
      } else {
        value = values[pick(values.size())];
      }
      const std::string& name = names[pick(names.size())];
      switch (pick(4)) {
        case 0: args.push_back(name + "=" + value); break;
        case 1: args.push_back(name); args.push_back(value); break;
        case 2: args.push_back(name); break;
        default: args.push_back(value); break;
      }
    }
    Outcome o;
    std::string input;
    for (int i = 0; i < 8; ++i) input += "y\n";
    EXPECT_NO_THROW(o = parse(args, input));
    EXPECT_TRUE(o.rc == 0 || o.rc == 1 || o.rc == kParseExitSuccess) << "round " << round;
    if (o.rc == 0) ++successes;
  }
  EXPECT_GT(successes, 0);
}

}  // namespace
}  // namespace XELO
