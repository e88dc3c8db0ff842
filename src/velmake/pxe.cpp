// Network boot directories, served as the root (or a folder) of a TFTP
// server:
//   BOOTX64.EFI  UEFI network loader
//   grubx64.efi  its second stage, with the signed chain (below)
//   grub/grub.cfg  where the signed network GRUB looks first; hands over to
//                grub.cfg beside the loader
//   pxelinux.0   BIOS network loader, when the environment carries one
//   grub.cfg     the boot tree's menu, kernel and initrd read from beside it,
//                "tftp_server=" on every kernel line
//   img2a        the kernel
//   img3a        the initrd, with a second archive holding xelo.config appended
//   tc.zip       the medium's files (the listed entries, the boot tree and
//                xelo.config at the root)
// When the environment carries the signed network GRUB, the loader is its
// shim and the signed GRUB its second stage, so the directory boots with
// Secure Boot on. Otherwise the loader is a GRUB image made for network boot
// from the host's GRUB modules when they are installed, or else the
// environment's own loader (it boots from disks and discs, and from the
// network only where the firmware tells it where it was loaded from). The BIOS network loader is
// the environment's GRUB network image, which reads grub.cfg from beside
// itself, so both firmware kinds share the one menu.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "internal.h"
#include "platform.h"
#include "velmake.h"

namespace fs = std::filesystem;

namespace Velmake {

using namespace detail;

namespace {

constexpr const char* kKernelMarker = "iommu=soft";
constexpr const char* kTftpKey = "tftp_server=";
constexpr const char* kGrubModules = "/usr/lib/grub/x86_64-efi";
// The environment's BIOS network image, and its name in the directory (the
// name DHCP servers commonly offer to BIOS clients).
constexpr const char* kBiosNetLoaderInTree = "boot/grub/i386-pc/core.0";
constexpr const char* kBiosNetLoader = "pxelinux.0";
// The signed network GRUB of the environment; shim starts it under the name
// below from the TFTP directory shim was loaded from. Its built-in prefix is
// /grub at the TFTP server's root, where it reads grub.cfg, which hands over
// to the menu beside the loader.
constexpr const char* kSignedNetLoaderInTree = "boot/EFI/BOOT/grubnetx64.efi";
constexpr const char* kSecondStage = "grubx64.efi";
constexpr const char* kPrefixConfig = "grub/grub.cfg";
constexpr const char* kPrefixHandOver =
    "# Read by the signed network GRUB from /grub on the TFTP server: hands over\n"
    "# to the menu beside the loader.\n"
    "configfile $cmdpath/grub.cfg\n";
constexpr const char* kCaller = "BootableIMG::CreateIMG()";
constexpr const char* kStep = "Writing the network boot directory";

// The embedded configuration of the network loader: find the menu beside the
// loader on the TFTP server.
constexpr const char* kNetLoaderConfig =
    "net_bootp\n"
    "configfile $cmdpath/grub.cfg\n"
    "echo \"grub.cfg was not found beside the network loader ($cmdpath)\"\n"
    "sleep 30\n";

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// The file named by the first kernel or initrd line of the boot menu,
// relative to the working directory ("/boot/vmlinuz" -> "boot/vmlinuz").
std::string firstPath(const std::string& menu, const std::string& command, bool kernel) {
  std::istringstream in(menu);
  for (std::string line; std::getline(in, line);) {
    const auto w = words(line);
    if (w.size() < 2 || w[0] != command) continue;
    if (kernel && line.find(kKernelMarker) == std::string::npos) continue;
    std::string path = w[1];
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    return path;
  }
  return "";
}

// The boot menu for network boot: kernel and initrd from beside the menu,
// and "tftp_server=" on every kernel line (empty: the environment then asks
// the DHCP server).
std::string networkMenu(const std::string& menu) {
  std::istringstream in(menu);
  std::ostringstream out;
  for (std::string line; std::getline(in, line);) {
    std::string cr;
    if (!line.empty() && line.back() == '\r') {
      cr = "\r";
      line.pop_back();
    }
    const auto w = words(line);
    const std::string indent = line.substr(0, line.find_first_not_of(" \t"));
    if (w.size() >= 2 && (w[0] == "linux" || w[0] == "linuxefi") && line.find(kKernelMarker) != std::string::npos) {
      std::string rebuilt = indent + w[0] + " $cmdpath/img2a";
      for (size_t i = 2; i < w.size(); ++i) rebuilt += " " + w[i];
      if (line.find(kTftpKey) == std::string::npos) rebuilt += std::string(" ") + kTftpKey;
      line = rebuilt;
    } else if (w.size() >= 2 && (w[0] == "initrd" || w[0] == "initrdefi")) {
      line = indent + w[0] + " $cmdpath/img3a";
    }
    out << line << cr << "\n";
  }
  return out.str();
}

bool writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return !out.fail();
}

// Concatenates `parts` into `target` (written beside it and renamed).
bool concatenate(const std::vector<std::string>& parts, const std::string& target) {
  const std::string part = target + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    for (const std::string& p : parts) {
      std::ifstream in(p, std::ios::binary);
      if (!in || !(out << in.rdbuf())) return false;
    }
    out.close();
    if (out.fail()) return false;
  }
  std::error_code ec;
  fs::rename(part, target, ec);
  return !ec;
}

// The entries without those holding `target`: a target inside the working
// directory never goes into its own archive.
std::vector<MediumEntry> withoutTarget(const std::vector<MediumEntry>& entries, const fs::path& target) {
  std::vector<MediumEntry> kept;
  for (const MediumEntry& e : entries) {
    const fs::path source = fs::absolute(e.sourcePath).lexically_normal();
    if (!liesWithin(target, source)) kept.push_back(e);
  }
  return kept;
}

}  // namespace

BootableIMG::BootableIMG(XELO::BMLoggerIfc& l) : BootableMedia(l) {}

int BootableIMG::CreateIMG(const std::string& workingDir, const std::string& pxeDir, std::vector<std::string>& files,
                           const std::string& toolZip) {
  log(kLogVerbose, "BootableIMG::CreateIMG(" + workingDir + ", " + pxeDir + ", " + toolZip + ")");
  rememberWorkingDirectory(workingDir);
  if (files.empty()) {
    log(kLogError, "BootableIMG::CreateIMG() has no files for the medium");
    return kNoUpdateFiles;
  }
  const fs::path target = fs::absolute(pxeDir).lexically_normal();
  return buildMedium(workingDir, toolZip, [&] { return writeDirectory(files, target.string()); });
}

int BootableIMG::writeDirectory(std::vector<std::string>& files, const std::string& pxeDir) {
  const Workspace workspace = openWorkspace();
  const fs::path target(pxeDir);
  std::error_code ec;
  fs::create_directories(target, ec);
  if (!fs::is_directory(target, ec)) {
    log(kLogError, "BootableIMG::CreateIMG() cannot create " + pxeDir);
    return kCreateFailed;
  }

  // Only files inside the working directory go into the network boot
  // directory: the menu, kernel and initrd are copied as they are.
  const fs::path wd(workingDirectory);
  const fs::path menuPath = wd / kBootConfigInTree;
  const std::string menu = fileInWorkingDirectory(kCaller, menuPath) ? readText(menuPath.string()) : "";
  const std::string kernel = firstPath(menu, "linux", true);
  const std::string initrd = firstPath(menu, "initrd", false);
  if (menu.empty() || kernel.empty() || initrd.empty() || !fileInWorkingDirectory(kCaller, wd / kernel) ||
      !fileInWorkingDirectory(kCaller, wd / initrd) || !fileInWorkingDirectory(kCaller, workspace.loader)) {
    log(kLogError, "BootableIMG::CreateIMG() the boot tree lacks its menu, kernel, initrd or loader");
    return kNotFound;
  }

  std::vector<MediumEntry> entries;
  if (const int collected = collectMedium(kCaller, files, entries); collected != kMediaOk) return collected;
  const std::vector<MediumEntry> kept = withoutTarget(entries, target);

  progress(kStep, 0);
  if (const int code = writeLoader(workspace, target); code != kMediaOk) return code;
  progress(kStep, 10);
  if (const int code = writeBootFiles(workspace, menu, kernel, initrd, target); code != kMediaOk) return code;
  progress(kStep, 30);
  if (const int code = writeMediumZip(kept, target); code != kMediaOk) return code;
  progress(kStep, 100);
  log(kLogVerbose, "BootableIMG::CreateIMG() wrote " + pxeDir);
  return kMediaOk;
}

int BootableIMG::writeLoader(const Workspace& workspace, const fs::path& target) {
  const std::string netLoader = (target / "BOOTX64.EFI").string();
  const fs::path signedLoader = fs::path(workingDirectory) / kSignedNetLoaderInTree;
  bool built = false;
  std::error_code ec;
  if (fileInTree(signedLoader, workingDirectory)) {
    fs::create_directories(target / fs::path(kPrefixConfig).parent_path(), ec);
    if (!concatenate({workspace.loader.string()}, netLoader) ||
        !concatenate({signedLoader.string()}, (target / kSecondStage).string()) ||
        !writeText((target / kPrefixConfig).string(), kPrefixHandOver))
      return kCreateFailed;
    log(kLogVerbose, std::string("BootableIMG::CreateIMG() the signed network loader ") + kSignedNetLoaderInTree);
    built = true;
  } else if (fs::exists(fs::symlink_status(signedLoader, ec))) {
    log(kLogWarning, "BootableIMG::CreateIMG() " + signedLoader.string() +
                         " is not a file inside the working directory and is left out");
  }
  if (!built && fs::is_directory(kGrubModules, ec) && platform::programAvailable("grub-mkimage")) {
    const std::string embedded = (workspace.scratch / "netboot.cfg").string();
    built = writeText(embedded, kNetLoaderConfig) &&
            platform::runProgram(
                {"grub-mkimage", "-O",      "x86_64-efi", "-d",         kGrubModules, "-o",     netLoader + ".part",
                 "-p",           "(tftp)/", "-c",         embedded,     "efinet",     "tftp",   "net",
                 "normal",       "linux",   "configfile", "echo",       "gzio",       "test",   "sleep",
                 "all_video",    "search",  "part_gpt",   "part_msdos", "fat",        "iso9660"},
                workspace.toolLog) == 0;
    if (built) fs::rename(netLoader + ".part", netLoader, ec);
    built = built && !ec;
    if (!built)
      log(kLogWarning, "BootableIMG::CreateIMG() the network loader was not made: " + readText(workspace.toolLog));
  }
  if (!built) {
    log(kLogWarning, "BootableIMG::CreateIMG() using the environment's own loader");
    if (!concatenate({workspace.loader.string()}, netLoader)) return kCreateFailed;
  }

  // The BIOS loader is copied only from inside the working directory; without
  // it the directory boots by UEFI only.
  const fs::path biosLoader = fs::path(workingDirectory) / kBiosNetLoaderInTree;
  if (!fs::exists(biosLoader, ec)) {
    log(kLogVerbose,
        std::string("BootableIMG::CreateIMG() the environment has no BIOS network loader ") + kBiosNetLoaderInTree);
  } else if (!fileInTree(biosLoader, workingDirectory)) {
    log(kLogWarning, "BootableIMG::CreateIMG() " + biosLoader.string() +
                         " lies outside the working directory and is not taken: no BIOS network boot");
  } else if (!concatenate({biosLoader.string()}, (target / kBiosNetLoader).string())) {
    return kCreateFailed;
  }
  return kMediaOk;
}

int BootableIMG::writeBootFiles(const Workspace& workspace, const std::string& menu, const std::string& kernel,
                                const std::string& initrd, const fs::path& target) {
  const fs::path wd(workingDirectory);
  const fs::path config = wd / kMediaConfig;
  std::vector<std::string> initrdParts = {(wd / initrd).string()};
  std::error_code ec;
  if (fileInTree(config, wd)) {
    const std::string extra = (workspace.scratch / "config.cpio.gz").string();
    std::string error;
    if (!writeCpioGz(extra, kMediaConfig, config.string(), error)) {
      log(kLogError, "BootableIMG::CreateIMG() " + error);
      return kCreateFailed;
    }
    initrdParts.push_back(extra);
  }
  if (!concatenate({(wd / kernel).string()}, (target / "img2a").string()) ||
      !concatenate(initrdParts, (target / "img3a").string()) ||
      !writeText((target / "grub.cfg").string(), networkMenu(menu))) {
    log(kLogError, "BootableIMG::CreateIMG() writing into " + target.string() + " failed");
    return fs::space(target, ec).available < 16 * 1024 * 1024 ? kOutOfSpace : kCreateFailed;
  }
  return kMediaOk;
}

int BootableIMG::writeMediumZip(const std::vector<MediumEntry>& entries, const fs::path& target) {
  const std::string zip = (target / "tc.zip").string();
  std::string error;
  std::error_code ec;
  if (!writeZip(zip + ".part", entries, error)) {
    log(kLogError, "BootableIMG::CreateIMG() zipping the medium failed: " + error);
    fs::remove(zip + ".part", ec);
    return kNotInitialised;  // "zipping failed" for network boot
  }
  fs::rename(zip + ".part", zip, ec);
  return ec ? kNotInitialised : kMediaOk;
}

}  // namespace Velmake
