// The boot tree of a medium, assembled in the working directory while the
// media-image library builds the medium (it raises the logger's level-6
// entry once, with the working directory as the current directory).
#include <string>

#include "core/errors.h"
#include "core/codes.h"
#include "core/options.h"
#include "host/host.h"
#include "host/paths.h"
#include "host/unzip.h"
#include "log/logger.h"
#include "media/bootconfig.h"
#include "media/environment.h"
#include "media/staging.h"

namespace XELO {

namespace {

const std::string kHookPlace = " In BMLogger::OutputLogEntryEx()";

// The boot source of the medium this run builds: the first target given in
// the order the run driver builds them (ISO file, USB key, CD/DVD, PXE).
const char* bootSourceOf(const Options& options) {
  if (!options.isoName.empty()) return kBootSrcIso;
  if (!options.usbKey.empty()) return kBootSrcUsb;
  if (!options.cdDevice.empty()) return kBootSrcIso;
  if (!options.pxeDir.empty()) return kBootSrcPxe;
  return nullptr;
}

// Unpacks the diagnostics package into boot/kyt and settles which
// memory-test modules the boot tree keeps. Leaves the current directory at
// `root` whatever happens.
int32_t unpackDiagnostics(Options& options, const std::string& root) {
  const std::string bootDir = joinPath(root, kBootTreeDir);
  const std::string kytDir = joinPath(bootDir, kKytDirectory);
  const std::string package = selectKytPackage(options);
  makeDirectory(kytDir);

  // The scripting toolkit's modules win over the package's own.
  const std::string toolkitModules =
      joinPath(joinPath(joinPath(root, kToolkitDir), kKytDirectory), options.oem ? "oem" : "qor");
  logEntry(LogWarning, "BMLogger::OutputLogEntryEx()::Copy .c32 files from " + toolkitModules);
  const bool toolkitCopied = copyMemTestFiles(bootDir, toolkitModules, false) == 0;
  logEntry(LogWarning, toolkitCopied
                           ? "copying .c32 files from unzipped zad directory successfully." + kHookPlace
                           : "copying .c32 files from unzipped zad directory failed." + kHookPlace);
  removeDirectory(joinPath(root, kToolkitDir));

  if (!changeDirectory(kytDir)) {
    logEntry(LogError, "Changing working directory to " + kytDir + " failed." + kHookPlace);
    return kBootTreeMissing;
  }
  auto leave = [&](int32_t code) {
    if (!changeDirectory(root)) {
      logEntry(LogError, "Changing working directory to " + root + " failed." + kHookPlace);
      if (code == kBootTreeOk) code = kBootTreeMissing;
    }
    return code;
  };

  const std::string zip = joinPath(joinPath(joinPath("..", ".."), kKytDirectory), package);
  if (unzipArchive(zip, ".", "stdout.txt") != kUnzipOk) {
    logEntry(LogError, "Unzipping kyt failed." + kHookPlace);
    options.zipInError = package;
    return leave(kBootTreeUnzipFailed);
  }

  if (toolkitCopied) {
    const bool removed = copyMemTestFiles(bootDir, kytDir, true) == 0;
    logEntry(LogWarning, removed ? "removing .c32 files from unzipped kyt directory successfully." + kHookPlace
                                 : "removing .c32 files from unzipped kyt directory failed." + kHookPlace);
  } else {
    const int copied = copyMemTestFiles(bootDir, kytDir, false);
    if (copied != 0) {
      logEntry(LogError, "copying .c32 files from unzipped kyt directory failed." + kHookPlace);
      return leave(copied == kBootTreeNoSpace ? kBootTreeNoSpace : kBootTreeCopyFailed);
    }
    logEntry(LogWarning, "copying .c32 files from unzipped kyt directory successfully." + kHookPlace);
  }
  deleteFile("stdout.txt");
  return leave(kBootTreeOk);
}

// Copies the user's own tool directory into the boot tree. Never stops the
// medium: a failure is logged and the partial copy removed.
void copyThirdPartyTool(const std::string& extToolDir) {
  const std::string target = joinPath(kBootTreeDir, kThirdPartyToolDir);
  if (makeDirectory(target) != 0 && lackSpace()) {
    logEntry(LogError, "main()::No space left on device.");
    return;
  }
  if (!copyDirectory(extToolDir, target)) {
    removeTree(target);
    logEntry(LogError, "main()::Fail to copy third party tool.");
  }
}

}  // namespace

int32_t assembleBootTree(Options& options) {
  const std::string root = currentDirectory();

  // The environment becomes the boot tree. A tree left by an earlier run
  // goes first: the medium carries this run's environment and options only.
  // The builders report a missing directory as error 211.
  removeTree(kBootTreeDir);
  if (!copyDirectory(kEnvironmentDir, kBootTreeDir)) {
    logEntry(LogError, "main()::" + errorMessage(Exit::FileNotFound));
    return kBootTreeMissing;
  }
  removeTree(kEnvironmentDir);
  if (options.hasFunction("kyt")) {
    if (!copyDirectory(kEnvironmentKytDir, kBootTreeDir)) {
      logEntry(LogError, "main()::" + errorMessage(Exit::FileNotFound));
      return kBootTreeMissing;
    }
    removeTree(kEnvironmentKytDir);
  }

  // Tool folders of functions the medium does not have.
  if (!options.hasFunction("linuxtk")) removeTree(joinPath(kBootTreeDir, "dndeploy"));
  if (!options.hasFunction("novpi")) removeTree(joinPath(kBootTreeDir, kNovpiDirectory));
  if (!options.hasFunction("kyt")) removeTree(joinPath(kBootTreeDir, kKytDirectory));
  if (!options.hasFunction("novpi") && !options.hasFunction("kyt")) removeTree(joinPath(kBootTreeDir, "menu"));

  // A medium without its boot loader configuration would not boot.
  const std::string config = bootLoaderConfigPath(root);
  const char* bootSource = bootSourceOf(options);
  if (bootSource && (isDirectory(config) || !fileReadable(config))) {
    logEntry(LogError, options.toolZip + " is invalid!" + kHookPlace);
    return kBootTreeConfigMissing;
  }
  if (bootSource) {
    bool edited = modifyBootSrc(config, bootSource);
    if (edited && !options.kernelArgs.empty()) edited = appendKernelArgs(config, options.kernelArgs);
    if (!edited) return lackSpace() ? kBootTreeNoSpace : kBootTreeCopyFailed;
  }

  if (options.hasFunction("kyt")) {
    if (const int32_t code = unpackDiagnostics(options, root); code != kBootTreeOk) return code;
  }

  if (!options.extToolDir.empty()) copyThirdPartyTool(options.extToolDir);
  return kBootTreeOk;
}

}  // namespace XELO
