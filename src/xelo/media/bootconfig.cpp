#include "media/bootconfig.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "core/text.h"
#include "core/validation.h"
#include "host/host.h"
#include "host/paths.h"
#include "velmake.h"
#include "log/logger.h"

namespace XELO {

namespace {

// The lines of a text file without their line feeds (a carriage return
// before a line feed stays part of the line). False when it cannot be read.
bool readLines(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return !in.bad();
}

// Rewrites every kernel line of the file with `change`, which sees the line
// without a trailing carriage return; the carriage return is put back, so a
// file keeps its line ends. Every line is logged as read, every changed line
// as written.
bool editKernelLines(const std::string& path, const std::function<void(std::string&)>& change) {
  std::vector<std::string> lines;
  if (!readLines(path, lines)) {
    logEntry(LogError, "Opening boot loader config file failed, fileName=" + path);
    return false;
  }
  std::string text;
  for (std::string& line : lines) {
    logEntry(LogVerbose, line);
    if (!line.empty() && line.find(kKernelLineMarker) != std::string::npos) {
      const bool carriageReturn = line.back() == '\r';
      if (carriageReturn) line.pop_back();
      change(line);
      logEntry(LogVerbose, "changed line:" + line);
      if (carriageReturn) line.push_back('\r');
    }
    text += line;
    text += '\n';
  }
  // Written beside the file and renamed over it, so a failed write cannot
  // leave the medium with a truncated boot configuration.
  if (!replaceFileContents(path, text)) {
    logEntry(LogError, "Writing boot loader config file failed, fileName=" + path);
    return false;
  }
  return true;
}

}  // namespace

std::string bootLoaderConfigPath(const std::string& root) {
  return joinPath(joinPath(joinPath(joinPath(root, "boot"), "EFI"), "BOOT"), "grub.cfg");
}

bool appendKernelArgs(const std::string& filePath, const std::string& kernelArgs) {
  logEntry(LogVerbose, "appendKernelArgs: filepath is " + filePath + "; kernel Args is " + kernelArgs);
  if (kernelArgs.empty()) return true;
  return editKernelLines(filePath, [&](std::string& line) { line += " " + kernelArgs; });
}

bool modifyBootSrc(const std::string& filePath, const std::string& bootSrc) {
  logEntry(LogVerbose, "modifyBootSrc: filepath is " + filePath + "; boot_src is " + bootSrc);
  const std::string key = kBootSrcKey;
  return editKernelLines(filePath, [&](std::string& line) {
    const auto found = line.find(key);
    if (found == std::string::npos) {
      line += " " + key + bootSrc;
      return;
    }
    // The whole value is replaced: a code is one character, but a value that
    // is empty or longer must not leave stray characters behind.
    const auto start = found + key.size();
    auto end = line.find_first_of(" \t", start);
    if (end == std::string::npos) end = line.size();
    line.replace(start, end - start, bootSrc);
  });
}

bool setPxeTftpAddress(const std::string& filePath, const std::string& address) {
  std::fstream file(filePath, std::ios::in | std::ios::out | std::ios::binary);
  if (!file) {
    logEntry(LogError, "Opening pxe config file - 'default' failed, fileName=" + filePath);
    return false;
  }
  std::ostringstream content;
  content << file.rdbuf();
  file.close();
  std::string text = content.str();

  // A value ends at the next blank or at the end of its line, never in the
  // line after it.
  const std::string key = kTftpServerKey;
  int replaced = 0;
  for (auto found = text.find(key); found != std::string::npos;) {
    const auto start = found + key.size();
    auto end = text.find_first_of(" \t\r\n", start);
    if (end == std::string::npos) end = text.size();
    text.replace(start, end - start, address);
    ++replaced;
    found = text.find(key, start + address.size());
  }

  if (replaced == 0) {
    logEntry(LogError, "Setting pxe tftp address failed, fileName=" + filePath);
    return false;
  }
  if (!replaceFileContents(filePath, text)) {
    logEntry(LogError, "Setting pxe tftp address failed, fileName=" + filePath);
    return false;
  }
  logEntry(LogStatus, "Setting pxe tftp address successfully, fileName=" + filePath);
  return true;
}

int copyMemTestFiles(const std::string& destDir, const std::string& sourceDir, bool removeOnly) {
  const std::string memDir = joinPath(sourceDir, kMemTestDirectory);
  auto removeSources = [&] {
    for (const char* module : kMemTestModules) deleteFile(joinPath(memDir, module));
  };
  if (removeOnly) {
    removeSources();
    return 0;
  }

  for (const char* module : kMemTestModules) {
    const std::string source = joinPath(memDir, module);
    if (!isRegularFile(source)) {
      logEntry(LogError,
               "The standalone memory test binary files needed to make your media bootable could not be located in " +
                   memDir);
      return -1;
    }
    // Copied to its own name inside the destination, so a missing
    // destination directory fails instead of becoming a file of that name.
    const int status = copyFileOver(source, joinPath(destDir, module));
    if (status == 0) continue;

    const std::string command = "copy /Y \"" + source + "\" \"" + destDir + "\" >stdout.txt 2>&1";
    logEntry(LogError, "BootableMedia::copyFiles. system(cmd) error " + command);
    int code = status;
    const bool full = lackSpace();
    const double freeMB = getFreeSpaceMB(destDir);
    if (full || freeMB < 512) code = freeMB >= 0 ? Velmake::kOutOfSpace : Velmake::kVolumeNotFound;
    removeSources();
    return code;
  }
  return 0;
}

bool hasSerialConsole(const std::string& kernelArgs) {
  return lowerCase(kernelArgs).find("ttys") != std::string::npos;
}

bool isValidSolConsole(const std::string& kernelArgs) {
  std::string checked = kernelArgs;
  return checkSerialConsole(checked);
}

void normalizeSerialConsole(std::string& kernelArgs) {
  const auto found = lowerCase(kernelArgs).find("ttys");
  if (found != std::string::npos) kernelArgs.replace(found, 4, "ttyS");
}

}  // namespace XELO
