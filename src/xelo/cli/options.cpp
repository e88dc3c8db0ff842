#include "cli/options.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/config.h"
#include "core/errors.h"
#include "core/text.h"
#include "core/validation.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"
#include "media/burner.h"
#include "supportlist/supportlist.h"

namespace po = boost::program_options;

namespace XELO {

Options& processOptions() {
  static Options options;
  return options;
}

namespace {

constexpr unsigned kLineLength = 80;

// What the program tells about itself.
void addInformationOptions(po::options_description& visible) {
  // clang-format off
  visible.add_options()
      ("help,h",
       "Show this help text and exit.\n"
       "Default value: off\n"
       "Example: --help")
      ("version,V",
       "Show the version and exit.\n"
       "Default value: off\n"
       "Example: --version")
      ("license",
       "Show the license and exit.\n"
       "Default value: off\n"
       "Example: --license");
  // clang-format on
}

// The working directory and the medium to make.
void addTargetOptions(po::options_description& visible) {
  // clang-format off
  visible.add_options()
      ("local,l", po::value<std::string>()->value_name("dir"),
       "Working directory that holds everything acquired and staged for the media.\n"
       "Default value: \"workingdir\" in the program directory, after asking (--yes answers)\n"
       "Example: --local=workingdir")
      ("iso", po::value<std::string>()->value_name("file"),
       "Build a bootable ISO image file. A bare file name is placed in the working "
       "directory.\n"
       "Default value: none\n"
       "Example: --iso=bootable.iso")
      ("cd", po::value<std::string>()->value_name("volume"),
       "Burn the bootable media on a CD or DVD in this drive.\n"
       "Default value: none\n"
       "Example: --cd=/dev/sr0")
      ("usbkey", po::value<std::string>()->value_name("volume"),
       "Write a bootable USB key on this volume.\n"
       "Default value: none\n"
       "Example: --usbkey=/dev/sdb")
      ("pxe", po::value<std::string>()->value_name("dir"),
       "Write the PXE boot files into this directory. A bare name is placed in the "
       "working directory.\n"
       "Default value: none\n"
       "Example: --pxe=pxeboot")
      ("toolzip,t", po::value<std::string>()->value_name("file"),
       "Use this bootable environment zip from the working directory.\n"
       "Default value: none\n"
       "Example: --toolzip=bootenv.zip");
  // clang-format on
}

// What goes on the medium and how it starts.
void addContentOptions(po::options_description& visible) {
  // clang-format off
  visible.add_options()
      ("kernel-args", po::value<std::string>()->value_name("text"),
       "Kernel parameters added to the boot loader configuration. A serial console "
       "must be ttyS0 or ttyS1 at 9600, 19200, 38400, 57600 or 115200 baud, followed "
       "by console=tty1.\n"
       "Default value: \"\"\n"
       "Example: --kernel-args=\"console=ttyS0,115200 console=tty1\"")
      ("machine-type,m", po::value<std::string>()->value_name("list"),
       "Comma-separated 4-digit machine types, \"all\" or \"none\".\n"
       "Default value: all\n"
       "Example: -m 9753,7101")
      ("latest",
       "Acquire the latest individual updates instead of update packs.\n"
       "Default value: off\n"
       "Example: --latest")
      ("description", po::value<std::string>()->value_name("text"),
       "Label of the media.\n"
       "Default value: \"Bootable Media-\" followed by the current date and time\n"
       "Example: --description=\"Rack updates\"")
      ("autorun", po::value<std::string>()->value_name("tool"),
       "Tool that starts by itself when the media boots; \"none\" for none.\n"
       "Default value: the first function\n"
       "Example: --autorun=kyt")
      ("timeout", po::value<long long>()->value_name("seconds"),
       "Seconds to wait before the tool starts by itself, 1 to 65535.\n"
       "Default value: 60\n"
       "Example: --timeout=30")
      ("tui",
       "Run the media with the text user interface.\n"
       "Default value: off\n"
       "Example: --tui");
  // clang-format on
}

// The HTTP proxy of the acquisition.
void addProxyOptions(po::options_description& visible) {
  // clang-format off
  visible.add_options()
      ("proxy-address", po::value<std::string>()->value_name("host"),
       "HTTP proxy host (IP address or DNS name).\n"
       "Default value: none\n"
       "Example: --proxy-address=proxy.example.com")
      ("proxy-port", po::value<int>()->value_name("port"),
       "HTTP proxy port.\n"
       "Default value: none\n"
       "Example: --proxy-port=8080")
      ("proxy-user", po::value<std::string>()->value_name("user"),
       "User name for the HTTP proxy.\n"
       "Default value: none\n"
       "Example: --proxy-user=jdoe")
      ("proxy-password", po::value<std::string>()->value_name("password"),
       "Password for the HTTP proxy. It is never stored or logged, but on the command line other local users "
       "see it in the process list: prefer --proxy-password-file or the environment variable XELO_PROXY_PASSWORD. "
       "This option wins over the file, the file over the variable.\n"
       "Default value: none\n"
       "Example: --proxy-password=secret")
      ("proxy-password-file", po::value<std::string>()->value_name("file"),
       "Read the password for the HTTP proxy from the first line of this file.\n"
       "Default value: none\n"
       "Example: --proxy-password-file=/root/.xelo-proxy");
  // clang-format on
}

// How the run goes about its work.
void addRunOptions(po::options_description& visible) {
  // clang-format off
  visible.add_options()
      ("no-acquire",
       "Do not acquire anything; work only from the working directory.\n"
       "Default value: off\n"
       "Example: --no-acquire")
      ("force",
       "Overwrite existing media without asking, and format a USB key that was not made by this tool.\n"
       "Default value: off\n"
       "Example: --force")
      ("yes",
       "Answer \"y\" to every question whether to go on (missed downloads, another boot environment or "
       "configuration version, overwriting the target a configuration file names); standard input is not read. "
       "A USB key that needs formatting still needs --force.\n"
       "Default value: off\n"
       "Example: --yes")
      ("verify",
       "Read the medium back after writing it and compare every file with what was staged; a difference fails the run.\n"
       "Default value: off\n"
       "Example: --verify")
      ("progress-json", po::value<std::string>()->value_name("file"),
       "Also write the run's progress as JSON lines (one event per line) to this file; \"-\" for standard error.\n"
       "Default value: none\n"
       "Example: --progress-json=progress.jsonl")
      ("check-update",
       "Check for a newer version of this tool.\n"
       "Default value: off\n"
       "Example: --check-update")
      ("configfile", po::value<std::string>()->value_name("file"),
       "Take all media arguments from a configuration file.\n"
       "Default value: none\n"
       "Example: --configfile=config.txt")
      ("function", po::value<std::string>()->value_name("list"),
       "Comma-separated tools on the media: novpi, kyt, dunvar, linuxtk.\n"
       "Default value: novpi\n"
       "Example: --function=novpi,kyt");
  // clang-format on
}

// The system support list.
void addSupportListOptions(po::options_description& visible) {
  // clang-format off
  visible.add_options()
      ("show-supportlist",
       "Show the system support list and exit.\n"
       "Default value: off\n"
       "Example: --show-supportlist")
      ("update-supportlist",
       "Replace the system support list with the latest one.\n"
       "Default value: off\n"
       "Example: --update-supportlist")
      ("rollback-supportlist",
       "Restore the system support list that came with this tool.\n"
       "Default value: off\n"
       "Example: --rollback-supportlist");
  // clang-format on
}

// Network boot, unattended updates, ejection, extra tools and service keys.
void addBootServiceOptions(po::options_description& visible) {
  // clang-format off
  visible.add_options()
      ("tftp-pxe-address", po::value<std::string>()->value_name("host"),
       "TFTP server that hosts the PXE image; used together with --pxe.\n"
       "Default value: none (the booted system asks the DHCP server for it)\n"
       "Example: --tftp-pxe-address=192.0.2.20")
      ("unattended", po::value<std::string>()->value_name("url"),
       "Build unattended update media; the log package is uploaded to this "
       "location (tftp://, ftp://, nfs://, smb:// or usb:/).\n"
       "Default value: none\n"
       "Example: --unattended=tftp://192.0.2.20/logs")
      ("no-eject",
       "Leave the CD or DVD in the tray after burning.\n"
       "Default value: off\n"
       "Example: --no-eject")
      ("ext-tool", po::value<std::string>()->value_name("dir"),
       "Put this third party tool directory on the media.\n"
       "Default value: none\n"
       "Example: --ext-tool=mytool")
      ("service",
       "Create a USB key for the service team; needs --usbkey.\n"
       "Default value: off\n"
       "Example: --service")
      ("new,n",
       "Force the update of HBA and CNA adapters.\n"
       "Default value: off\n"
       "Example: --new");
  // clang-format on
}

// The VLAN configured on the medium.
void addVlanOptions(po::options_description& visible) {
  // clang-format off
  visible.add_options()
      ("vlan-id", po::value<std::string>()->value_name("id"),
       "VLAN to configure on the media, 0 to 4095.\n"
       "Default value: none\n"
       "Example: --vlan-id=100")
      ("vlan-ip", po::value<std::string>()->value_name("address"),
       "IP address for that VLAN.\n"
       "Default value: none\n"
       "Example: --vlan-ip=192.0.2.30");
  // clang-format on
}

// Deployment media and the VMware ESXi update.
void addDeploymentOptions(po::options_description& visible) {
  // clang-format off
  visible.add_options()
      ("no-firmware",
       "Leave firmware updates out of deployment media.\n"
       "Default value: off\n"
       "Example: --no-firmware")
      ("arch", po::value<std::string>()->value_name("arch"),
       "Architecture of the deployment product: x86 or x64.\n"
       "Default value: x64\n"
       "Example: --arch=x86")
      ("vmware-esxi-update", po::value<std::string>()->value_name("version"),
       "Add the VMware ESXi update of this version.\n"
       "Default value: none\n"
       "Example: --vmware-esxi-update=5.0");
  // clang-format on
}

// The options the help text lists, group by group in the order of the help.
po::options_description buildVisibleOptions() {
  po::options_description visible("Available options", kLineLength);
  for (auto addGroup : {addInformationOptions, addTargetOptions, addContentOptions, addProxyOptions, addRunOptions,
                        addSupportListOptions, addBootServiceOptions, addVlanOptions, addDeploymentOptions})
    addGroup(visible);
  return visible;
}

// Options accepted but not listed by the help text.
po::options_description buildHiddenOptions() {
  po::options_description hidden("Hidden options", kLineLength);
  // clang-format off
  hidden.add_options()
      ("xml",
       "Write XML progress and result files for the graphical front end.\n"
       "Default value: off\n"
       "Example: --xml")
      ("report",
       "List the matching update ids without downloading anything.\n"
       "Default value: off\n"
       "Example: --report")
      ("anotherhelp,?",
       "Same as --help.\n"
       "Default value: off\n"
       "Example: -?")
      ("oem",
       "Create OEM version media.\n"
       "Default value: off\n"
       "Example: --oem")
      ("update-id,i", po::value<std::string>()->value_name("list"),
       "Acquire or stage only these update ids (file names without extension).\n"
       "Default value: none\n"
       "Example: -i qor_fw_bmc_1.00_anyos_noarch");
  // clang-format on
  return hidden;
}

const po::options_description& visibleOptions() {
  static const po::options_description visible = buildVisibleOptions();
  return visible;
}

const po::options_description& allowedOptions() {
  static const po::options_description allowed = [] {
    po::options_description all("Allowed options", kLineLength);
    all.add(visibleOptions()).add(buildHiddenOptions());
    return all;
  }();
  return allowed;
}

void say(const std::string& line) { std::cout << line << std::endl; }

// Prints a refusal; with `asText` it also becomes the error text.
int refuse(const std::string& message, std::string& errorText, bool asText) {
  say(message);
  if (asText) errorText = message;
  return 1;
}

// The first 24 characters of the C library's asctime text of the local time.
std::string currentTimeText() {
  std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);
  if (!local) return std::string();
  const char* text = std::asctime(local);
  if (!text) return std::string();
  return std::string(text).substr(0, 24);
}

class Parse {
 public:
  Parse(Options& options, std::string& errorText) : o(options), errorText(errorText) {}

  int run(const std::vector<std::string>& args);

 private:
  bool given(const char* name) const { return o.given(name); }
  std::string text(const char* name) const { return o.variableMap[name].as<std::string>(); }
  void setKey(const std::string& key, const std::string& value) { setConfigValue(o, key, value); }
  void setFlagKey(const std::string& key, bool on) { setKey(key, on ? "YES" : "NO"); }
  bool hasFunction(const std::string& name) const { return o.hasFunction(name); }
  // Deployment media.
  bool deployment() const { return hasFunction("dunvar"); }
  int refuseText(const std::string& message) { return refuse(message, errorText, true); }
  int refusePrinted(const std::string& message) { return refuse(message, errorText, false); }
  int refuseForDeployment(const std::string& option) {
    return refuseText("Error: \"--" + option + "\" is not supported when creating a DN media.");
  }

  // An option that ends a run before any work: such runs need neither a
  // machine type nor a working directory.
  bool runsWithoutMedia() const {
    for (const char* name : {"check-update", "help", "version", "configfile", "anotherhelp", "show-supportlist",
                             "update-supportlist", "rollback-supportlist"})
      if (given(name)) return true;
    return false;
  }

  int store(const std::vector<std::string>& args);
  bool rejectAbbreviations(const po::parsed_options& parsed);
  int controlCharacters();
  void printLicense();

  // The steps of the parse: each 0, or non-zero after refusing the line.
  int machineTypes();
  int workingDirectory();
  int functions();
  int isoTarget();
  int cdTarget();
  int usbTarget();
  int pxeTarget();
  int kernelArgs();
  int unattended();
  int toolZip();
  int runSwitches();
  int labelAndUpdates();
  int helpServiceVersion();
  int report();
  int tui();
  int autorun();
  int architecture();
  int noFirmware();
  int proxy();
  int proxyPassword();
  int readTimeout();
  int vmwareUpdate();
  int configFile();
  int checkTimeout();
  int placeTargets();
  int targetCount();
  int extras();

  Options& o;
  std::string& errorText;
  bool anyArguments = false;
  long long requestedTimeout = 0;
};

// The parser accepts unambiguous prefixes of long names; a long option must
// be written in full, so a token that only abbreviates its name is refused.
bool Parse::rejectAbbreviations(const po::parsed_options& parsed) {
  for (const auto& option : parsed.options) {
    const std::string fullName = "--" + option.string_key;
    for (const auto& token : option.original_tokens) {
      if (token.empty() || token.compare(0, 2, "--") != 0) continue;
      if (token.compare(0, fullName.size(), fullName) == 0) continue;
      std::string name = token.substr(2);
      name = name.substr(0, name.find('='));
      say("error: unknown option " + name);
      return true;
    }
  }
  return false;
}

// Values reach the media configuration file one line per key; a control
// character in one could add lines of its own. The value is not quoted in the
// refusal: it may be a password.
int Parse::controlCharacters() {
  for (const auto& [name, value] : o.variableMap) {
    const auto* textValue = boost::any_cast<std::string>(&value.value());
    if (textValue && hasControlCharacter(*textValue))
      return refuseText("Error: the value of --" + name + " holds a control character (such as a line feed).");
  }
  return 0;
}

void Parse::printLicense() {
  std::ifstream license(joinPath("licenses", "en"));
  std::string line;
  while (std::getline(license, line)) std::cout << line << '\n';
  std::cout.flush();
}

int Parse::machineTypes() {
  if (!given("machine-type")) {
    if (runsWithoutMedia()) return 0;
    say("Warning! You haven't specified any machine type and it will be \"all\".");
    logEntry(LogVerbose, "No machine type specified, use \"all\" as the default value.");
    o.machineTypes = {"all"};
    setKey("QOR_SYSTEM_MACHINETYPE", "all");
    return 0;
  }
  std::vector<std::string> types = splitList(text("machine-type"));
  for (auto& type : types) type = lowerCase(type);
  for (const auto& type : types)
    if (!isMachineType(type)) return refuseText("Acquisition error: Invalid machine-type(s) specified");

  const auto special =
      std::find_if(types.begin(), types.end(), [](const std::string& t) { return t == "none" || t == "all"; });
  if (special == types.end()) {
    o.machineTypes = types;
    setKey("QOR_SYSTEM_MACHINETYPE", joinList(withoutDuplicates(types)));
  } else if (*special == "none") {
    o.machineTypes = {"none"};
    setKey("QOR_SYSTEM_MACHINETYPE", "none");
  } else {
    std::vector<std::string> listed;
    if (!supportListMachineTypes(listed)) return 1;
    o.machineTypes = listed;
    setKey("QOR_SYSTEM_MACHINETYPE", "all");
  }
  return 0;
}

int Parse::workingDirectory() {
  if (given("local")) {
    o.workingDir = text("local");
    setKey("QOR_SYSTEM_WORKINGDIR", doubleSeparators(o.workingDir));
    return 0;
  }
  if (runsWithoutMedia()) return 0;
  say("Warning! You haven't specified workingdir and it will be \"workingdir\" in current folder.");
  if (answerYes) {
    answerQuestionYes("Are you sure you want to continue?(y or n)");
  } else {
    std::cout << "Are you sure you want to continue?(y or n)" << std::flush;
    std::string answer;
    if (!(std::cin >> answer)) {
      // No more input: nobody is there to agree.
      std::cout << std::endl;
      return 1;
    }
    if (lowerCase(answer).find('y') == std::string::npos) return 1;
  }
  o.workingDir = "workingdir";
  setKey("QOR_SYSTEM_WORKINGDIR", "workingdir");
  return 0;
}

int Parse::functions() {
  if (given("function")) {
    const std::vector<std::string> list = splitList(text("function"));
    for (const auto& name : list)
      if (!isFunctionName(name))
        return refuseText("Error: the function \"" + name + "\" you specified is not supported!");
    if (contains(list, "linuxtk") && list.size() > 1)
      return refuseText("Error: linuxtk should be specified once exclusively");
    if (contains(list, "dunvar") && contains(list, "kyt"))
      return refuseText("Error: Specified both kyt and dunvar in --function option.");
    o.functions = withoutDuplicates(list);
  } else {
    o.functions = {"novpi"};
  }
  setKey("QOR_SYSTEM_FUNCTION", joinList(o.functions));
  if (hasFunction("novpi") && given("new")) {
    o.updateHbaCna = true;
    setKey("QOR_SYSTEM_UPDATE_HBACNA", "YES");
  }
  return 0;
}

int Parse::isoTarget() {
  if (!given("iso")) return 0;
  const std::string value = text("iso");
  const auto at = lastSeparator(value);
  if (at == std::string::npos) {
    o.isoName = value;
  } else {
    // An image in the root directory keeps the root as its directory.
    o.isoDir = at == 0 ? value.substr(0, 1) : value.substr(0, at);
    o.isoName = value.substr(at + 1);
  }
  setKey("QOR_SYSTEM_ISO_FILE", value);
  return 0;
}

int Parse::cdTarget() {
  if (!given("cd")) return 0;
  const std::string value = text("cd");
  const std::string volume = volumeWithColon(value);
  if (volume != value)
    std::cout << "\nWarning: The CD or DVD device " << value << " cannot be used. Change it to " << volume << std::endl;
  if (!isOpticalVolume(volume)) return refuseText("Volume " + volume + " isn't a valid CD/DVD volume");
  std::string message;
  if (!cdBurnerStatus(volume, message)) return refuseText(message);
  o.cdDevice = volume;
  setKey("QOR_SYSTEM_CD", volume);
  return 0;
}

int Parse::usbTarget() {
  if (!given("usbkey")) return 0;
  if (deployment()) return refuseForDeployment("usbkey");
  const std::string volume = volumeWithColon(text("usbkey"));
  if (!volumeOpens(volume)) return refuseText("Media creation error: Failed to get usb key volume name");
  o.usbKey = volume;
  setKey("QOR_SYSTEM_USB_KEY", volume);
  return 0;
}

int Parse::pxeTarget() {
  if (!given("pxe")) {
    if (given("tftp-pxe-address")) return refuseText("Parameter tftp-pxe-address should be used together with pxe");
    return 0;
  }
  if (deployment()) return refuseForDeployment("pxe");
  o.pxeDir = text("pxe");
  if (given("tftp-pxe-address")) {
    const std::string address = text("tftp-pxe-address");
    if (address.empty()) return refuseText("ERROR: No tftp address specified.");
    o.tftpPxeAddress = address;
    setKey("QOR_SYSTEM_PXE_TFTP_ADDRESS", address);
  }
  return 0;
}

int Parse::kernelArgs() {
  if (!given("kernel-args")) return 0;
  o.kernelArgs = text("kernel-args");
  if (!checkSerialConsole(o.kernelArgs)) {
    printSolLines();
    return 1;
  }
  if (deployment()) return refuseForDeployment("kernel-args");
  if (const std::string refusal = kernelArgsLengthRefusal(o.kernelArgs, o.tftpPxeAddress); !refusal.empty())
    return refuseText(refusal);
  setKey("QOR_SYSTEM_KERNEL_ARGS", o.kernelArgs);
  return 0;
}

int Parse::autorun() {
  const std::string firstFunction = o.functions.empty() ? std::string() : o.functions.front();
  if (!given("autorun")) {
    o.autorun = firstFunction;
    setKey("QOR_SYSTEM_AUTORUN", firstFunction);
    return 0;
  }
  o.autorun = text("autorun");
  if (splitList(o.autorun).size() > 1) return refusePrinted("Error: the parameter of autorun should be only one!");
  if (deployment()) return refuseForDeployment("autorun");
  // "none" asks for no tool at all; it is not a function and keeps its meaning.
  if (o.autorun == "none") {
    setKey("QOR_SYSTEM_AUTORUN", "NULL");
    return 0;
  }
  if (!hasFunction(o.autorun)) {
    say("Warning: the autorun function \"" + o.autorun + "\" you specified isn't included in the package!");
    say("Set --autorun to: " + firstFunction);
    o.autorun = firstFunction;
  }
  setKey("QOR_SYSTEM_AUTORUN", o.autorun);
  return 0;
}

int Parse::proxy() {
  const bool address = given("proxy-address");
  const bool port = given("proxy-port");
  if (address != port) return refuseText("Error: You must set both proxy address and port!");
  if (!address) return 0;
  o.proxyAddress = rewriteProxyAddress(text("proxy-address"));
  setKey("QOR_SYSTEM_PROXY_ADDRESS", o.proxyAddress);
  o.proxyPort = o.variableMap["proxy-port"].as<int>();
  setKey("QOR_SYSTEM_PROXY_PORT", std::to_string(o.proxyPort));
  if (given("proxy-user")) {
    o.proxyUser = text("proxy-user");
    setKey("QOR_SYSTEM_PROXY_USER", o.proxyUser);
  }
  return 0;
}

// The proxy password: --proxy-password, else the first line of
// --proxy-password-file, else XELO_PROXY_PASSWORD. The file is read whenever
// it is named, so a wrong path is refused rather than silently ignored.
int Parse::proxyPassword() {
  std::string fromFile;
  bool haveFile = false;
  if (given("proxy-password-file")) {
    const std::string path = text("proxy-password-file");
    std::ifstream in(path);
    if (isDirectory(path) || !in || !std::getline(in, fromFile))
      return refuseText("Error: The proxy password file " + path + " cannot be read.");
    if (!fromFile.empty() && fromFile.back() == '\r') fromFile.pop_back();
    haveFile = true;
  }
  bool haveVariable = false;
  const std::string fromVariable = getEnv("XELO_PROXY_PASSWORD", &haveVariable);
  if (given("proxy-password"))
    o.proxyPassword = text("proxy-password");
  else if (haveFile)
    o.proxyPassword = fromFile;
  else if (haveVariable)
    o.proxyPassword = fromVariable;
  return 0;
}

int Parse::vmwareUpdate() {
  if (!given("vmware-esxi-update")) return 0;
  if (deployment()) return refuseForDeployment("vmware-esxi-update");
  if (!hasFunction("novpi"))
    return refuseText("Error: The option vmware-esxi-update doesn't work unless novpi is enabled.");
  const std::string value = text("vmware-esxi-update");
  const std::vector<std::string> versions = splitList(value);
  if (contains(versions, "all")) return refuseText("Error: Please specify the version number of VMWare Update.");
  if (versions.size() > 1) return refuseText("Error: Please specify only one version of VMWare Update.");
  const std::string& version = versions.front();
  if (!contains(listVmwareUpdateVersions(), version)) return refuseText("Error: Specified VMWare Update is not valid.");
  const auto column = readToolColumn("vmwareupdate" + version);
  for (const auto& machineType : o.machineTypes) {
    if (machineType == "all" || machineType == "none") continue;
    const auto entry = column.find(machineType);
    if (entry == column.end() || entry->second != "yes")
      return refuseText("Error: This machine type doesn't support VMWare Update " + machineType);
  }
  o.vmwareVersions = versions;
  setKey("QOR_SYSTEM_VMWARE_ESXI_UPDATE", value);
  return 0;
}

// Bare target names are placed in the working directory, and the target keys
// take the full paths.
int Parse::placeTargets() {
  // --report dropped the targets: nothing is placed then.
  if (o.report) return 0;
  if (given("iso")) {
    if (lastSeparator(text("iso")) == std::string::npos) o.isoDir = o.workingDir;
    setKey("QOR_SYSTEM_ISO_FILE", doubleSeparators(joinPath(o.isoDir, o.isoName)));
  }
  if (given("pxe")) {
    if (!isAbsolutePath(o.pxeDir) && lastSeparator(o.pxeDir) == std::string::npos)
      o.pxeDir = joinPath(o.workingDir, o.pxeDir);
    setKey("QOR_SYSTEM_PXE_FILE", doubleSeparators(o.pxeDir));
  }
  return 0;
}

// Reads the command line into the variable map: no positional arguments are
// accepted, so a stray word (such as a machine type written after a blank
// instead of a comma) is refused rather than silently dropped.
int Parse::store(const std::vector<std::string>& args) {
  const po::positional_options_description noPositional;
  const po::parsed_options parsed =
      po::command_line_parser(args).options(allowedOptions()).positional(noPositional).run();
  if (rejectAbbreviations(parsed)) return 1;
  po::store(parsed, o.variableMap);
  return controlCharacters();
}

int Parse::unattended() {
  if (!given("unattended")) return 0;
  if (deployment()) return refuseForDeployment("unattended");
  o.unattended = text("unattended");
  setKey("QOR_SYSTEM_UNATTENDED", o.unattended);
  setKey("QOR_SYSTEM_PAUSE_ON_ERROR", "60");
  setKey("QOR_SYSTEM_NO_TIMESTAMP", "NO");
  return 0;
}

int Parse::toolZip() {
  if (!given("toolzip")) return 0;
  if (deployment()) return refuseForDeployment("toolzip");
  o.toolZip = text("toolzip");
  setKey("QOR_SYSTEM_TOOL_FILE", o.toolZip);
  return 0;
}

// Acquisition, ejection, overwriting and the front end's switches.
int Parse::runSwitches() {
  o.acquire = !given("no-acquire");
  setFlagKey("QOR_SYSTEM_ACQUIRE", o.acquire);
  if (given("no-eject")) {
    if (deployment()) return refuseForDeployment("no-eject");
    o.eject = false;
  }
  setFlagKey("QOR_SYSTEM_MEDIA_EJECT", o.eject);
  o.force = given("force");
  o.verify = given("verify");
  if (given("progress-json")) o.progressJson = text("progress-json");
  setFlagKey("QOR_SYSTEM_FORCE_OVERWRITE", o.force);
  if (given("oem")) o.oem = true;
  if (given("xml")) o.xmlOutput = true;
  return 0;
}

int Parse::labelAndUpdates() {
  o.mediaLabel = given("description") ? text("description") : "Bootable Media-" + currentTimeText();
  setKey("QOR_SYSTEM_MEDIALABEL", o.mediaLabel);
  o.latest = given("latest");
  setFlagKey("QOR_SYSTEM_LATEST", o.latest);
  o.checkUpdate = given("check-update");
  setFlagKey("QOR_SYSTEM_CHECKUPDATE", o.checkUpdate);
  return 0;
}

int Parse::helpServiceVersion() {
  if (given("help") || given("anotherhelp")) {
    o.showHelp = true;
    o.helpText = buildHelpText();
  }
  if (given("service")) {
    if (!given("usbkey")) return refuseText("Error: \"--service\" need to be used with \"--usbkey\" option.");
    o.service = true;
    o.tui = true;
  }
  if (given("version")) o.showVersion = true;
  return 0;
}

// --report lists what would be acquired: every target is dropped.
int Parse::report() {
  if (!given("report")) return 0;
  o.report = true;
  o.isoName.clear();
  o.cdDevice.clear();
  o.usbKey.clear();
  o.pxeDir.clear();
  if (!hasFunction("novpi")) return refuseText("Error: The option \"--report\" doesn't work unless novpi is enabled.");
  return 0;
}

int Parse::tui() {
  if (given("tui")) {
    if (deployment()) return refuseForDeployment("tui");
    o.tui = true;
  }
  setFlagKey("QOR_SYSTEM_TUI", o.tui);
  return 0;
}

int Parse::architecture() {
  if (!given("arch")) {
    setKey("QOR_SYSTEM_DEPLOY_ARCHITECTURE", "x64");
    return 0;
  }
  const std::string value = text("arch");
  const std::vector<std::string> arch = splitList(value);
  if (deployment() && (arch.size() != 1 || (arch.front() != "x86" && arch.front() != "x64")))
    return refuseText("Error: The valid values for arch option is \"x86\" or \"x64\".");
  o.deployArch = arch;
  setKey("QOR_SYSTEM_DEPLOY_ARCHITECTURE", value);
  return 0;
}

int Parse::noFirmware() {
  if (given("no-firmware")) {
    if (!deployment()) return refuseText("Error: \"--no-firmware\" is not supported when creating a non-DN media.");
    if (!hasFunction("novpi")) return refuseText("Error: The option no-firmware doesn't work unless novpi is enabled");
    o.noFirmware = true;
  }
  setFlagKey("QOR_SYSTEM_NO_FIRMWARE_UPDATE", o.noFirmware);
  return 0;
}

// Read wide so that negative and oversized values meet the range check,
// which comes only after the configuration file option was checked.
int Parse::readTimeout() {
  requestedTimeout = o.timeout;
  if (!given("timeout")) return 0;
  if (deployment()) return refuseForDeployment("timeout");
  requestedTimeout = o.variableMap["timeout"].as<long long>();
  return 0;
}

int Parse::checkTimeout() {
  if (requestedTimeout < 1 || requestedTimeout > 65535)
    return refusePrinted("Please specify --timeout in scope 1~65535.");
  o.timeout = static_cast<unsigned int>(requestedTimeout);
  setKey("QOR_SYSTEM_TIMEOUT", std::to_string(o.timeout));
  return 0;
}

// A configuration file brings all media arguments: none may be given beside it.
int Parse::configFile() {
  if (!given("configfile")) return 0;
  for (const char* name : {"machine-type", "no-acquire", "function", "kernel-args", "autorun", "toolzip", "local",
                           "iso", "cd", "usbkey", "pxe"})
    if (given(name))
      return refusePrinted(
          "ERROR: Since you have set the --configfile option, It is no need to set other option such as -m -t...");
  o.configFile = text("configfile");
  setKey("QOR_SYSTEM_CONFIG_FILE", doubleSeparators(o.configFile));
  return 0;
}

// At most one medium per run, and a run that acquires nothing must make one
// (or report).
int Parse::targetCount() {
  int targets = 0;
  for (const char* name : {"iso", "pxe", "usbkey", "cd"})
    if (given(name)) ++targets;
  if (targets > 1)
    return refusePrinted(deployment() ? "Please specify no more than one option from --iso/--cd."
                                      : "Please specify no more than one option from --iso/--usbkey/--cd/--pxe.");
  if (targets == 0 && anyArguments && given("no-acquire") && !given("report"))
    return refusePrinted("Please specify one and only one option of --iso/--usbkey/--cd/--pxe.");
  return 0;
}

// The third party tools, the VLAN and the chosen update ids.
int Parse::extras() {
  if (given("ext-tool")) {
    o.extToolDir = text("ext-tool");
    setKey("QOR_SYSTEM_EXT_TOOL", "Xelo_3rdPartyTool");
  }
  if (given("vlan-id")) {
    o.vlanId = text("vlan-id");
    setKey("QOR_SYSTEM_VLANID", o.vlanId);
  }
  if (given("vlan-ip")) {
    o.vlanIp = text("vlan-ip");
    setKey("QOR_SYSTEM_VLANIP", o.vlanIp);
  }
  if (given("update-id")) {
    o.updateIds = withoutDuplicates(splitList(text("update-id")));
    setKey("QOR_SYSTEM_UPDATE_ID", joinList(o.updateIds));
  }
  return 0;
}

int Parse::run(const std::vector<std::string>& args) {
  anyArguments = !args.empty();
  if (int rc = store(args)) return rc;
  // Known before the first question of the parse (the working directory).
  answerYes = given("yes");

  if (o.variableMap.empty()) {
    o.showHelp = true;
    o.helpText = buildHelpText();
  }
  setKey("QOR_SYSTEM_VERSION", o.configVersion);

  if (given("license")) {
    printLicense();
    return kParseExitSuccess;
  }

  // The steps in the order in which their checks and refusals are made; the
  // first refusal ends the parse.
  using Step = int (Parse::*)();
  static constexpr Step kSteps[] = {
      &Parse::machineTypes,       &Parse::workingDirectory, &Parse::functions,   &Parse::isoTarget,
      &Parse::cdTarget,           &Parse::usbTarget,        &Parse::pxeTarget,   &Parse::kernelArgs,
      &Parse::unattended,         &Parse::toolZip,          &Parse::runSwitches, &Parse::labelAndUpdates,
      &Parse::helpServiceVersion, &Parse::report,           &Parse::tui,         &Parse::autorun,
      &Parse::architecture,       &Parse::noFirmware,       &Parse::proxy,       &Parse::proxyPassword,
      &Parse::readTimeout,        &Parse::vmwareUpdate,     &Parse::configFile,  &Parse::checkTimeout,
      &Parse::placeTargets,       &Parse::targetCount,      &Parse::extras,
  };
  for (const Step step : kSteps)
    if (int rc = (this->*step)()) return rc;
  return 0;
}

// The parser builds the text of an option error by replacing placeholders
// such as "%original_token%" with what was typed, for as long as the
// placeholder is still found; typed text that holds a placeholder itself
// would keep that loop going for ever. Such text loses its '%' signs first.
struct OptionErrorText : po::error_with_option_name {
  static void defuse(po::error_with_option_name& error) {
    for (auto& substitution : error.*(&OptionErrorText::m_substitutions))
      std::replace(substitution.second.begin(), substitution.second.end(), '%', '?');
  }
};

// Reports an exception that ended the parse. Printing may itself fail when
// memory ran out; the parse still returns its failure.
void reportParseError(const std::string& what, std::string& errorText) {
  try {
    std::cout << "error: " << what << std::endl;
    errorText = "Error: " + what;
  } catch (...) {
  }
}

void reportUnknownError(std::string& errorText) {
  try {
    std::cout << "Exception of unknown type!" << std::endl;
    errorText = "Error: Exception of unknown type!";
  } catch (...) {
  }
}

}  // namespace

int parseOptions(char** argv, std::string& errorText, Options& options, int argc) {
  try {
    std::vector<std::string> args;
    if (argv)
      for (int i = 1; i < argc; ++i)
        if (argv[i]) args.emplace_back(argv[i]);
    return Parse(options, errorText).run(args);
  } catch (po::error_with_option_name& e) {
    OptionErrorText::defuse(e);
    reportParseError(e.what(), errorText);
  } catch (const po::error& e) {
    reportParseError(e.what(), errorText);
  } catch (...) {
    reportUnknownError(errorText);
  }
  return 1;
}

void printBanner(std::ostream& out) {
  out << kProductLine << " Version " << kToolVersion << "\n"
      << "(C) Copyright QOR Corp. 2026. All rights reserved.\n"
      << "\n";
  out.flush();
}

std::string buildHelpText() {
  std::ostringstream help;
  help << visibleOptions();
  bool inNovpi = false;
  getEnv("XELO_IN_NOVPI", &inNovpi);
  if (inNovpi) {
    help << "Examples:\n"
            " novpi301.exe xe --iso=nvcd.iso --local=workdir -m 9753\n"
            " novpi301.exe xe --configfile=config.txt\n";
  } else {
    help << "Examples:\n"
            " <program> --iso=bootable.iso --local=workingdir -m 9753 --function=novpi,kyt\n"
            " <program> --configfile=config.txt\n"
            " <program> --check-update\n"
            " <program> --iso=dn.iso -l wd -m 9753 --function=dunvar --arch=x86 --no-firmware\n"
            " <program> --cd=/dev/sr0 --local=workingdir -m 9753 --function=dunvar\n"
            "Long options take their value after \"=\" or after a blank:\n"
            " --local=workingdir or --local workingdir\n";
  }
  return help.str();
}

bool supportListMachineTypes(std::vector<std::string>& machineTypes) {
  const std::string path = joinPath(supportListDirectory(), kSupportListName);
  std::ifstream list(path);
  if (!list) {
    say("error: Can not open support list: " + path);
    return false;
  }
  const std::string open = "<machineType>";
  const std::string close = "</machineType>";
  std::string line;
  while (std::getline(list, line)) {
    const auto start = line.find(open);
    if (start == std::string::npos) continue;
    const auto valueStart = start + open.size();
    const auto end = line.find(close, valueStart);
    if (end == std::string::npos) continue;
    machineTypes.push_back(line.substr(valueStart, end - valueStart));
  }
  return true;
}

}  // namespace XELO
