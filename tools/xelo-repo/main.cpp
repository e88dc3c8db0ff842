// xelo-repo: publishes and checks update repositories.
//
//   xelo-repo publish [--catalog NAME] [--quiet] FOLDER
//   xelo-repo verify  [--catalog NAME] [--quiet] FOLDER
//   xelo-repo list    [--catalog NAME] FOLDER
//
// Exit status: 0 success, 1 problems found, 2 wrong usage.
#include <iostream>
#include <string>
#include <vector>

#include "publisher.h"

namespace {

const char* kUsage =
    "Usage: xelo-repo COMMAND [--catalog NAME] [--quiet] FOLDER\n"
    "\n"
    "Commands:\n"
    "  publish  read the package descriptors below FOLDER, hash the files they\n"
    "           name and write the catalog (default catalog.xml) at the top of FOLDER\n"
    "  verify   check that every file the catalog lists is there, with its size\n"
    "           and SHA-1\n"
    "  list     print the updates of the catalog\n"
    "\n"
    "Options:\n"
    "  --catalog NAME  file name of the catalog in FOLDER (default catalog.xml)\n"
    "  --quiet         print only problems\n"
    "  -h, --help      show this text\n"
    "\n"
    "Exit status: 0 success, 1 problems found, 2 wrong usage.\n";

int usageError(const std::string& message) {
  std::cerr << "xelo-repo: " << message << "\n\n" << kUsage;
  return 2;
}

int finish(const xelorepo::Report& report) {
  for (const auto& w : report.warnings) std::cerr << "warning: " << w << "\n";
  for (const auto& e : report.errors) std::cerr << "error: " << e << "\n";
  return report.ok ? 0 : 1;
}

std::string join(const std::vector<std::string>& values) {
  std::string s;
  for (const auto& v : values) s += (s.empty() ? "" : ",") + v;
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string command, folder, catalogName = qyxl::catalog::kDefaultCatalogName;
  bool quiet = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--catalog" || a.rfind("--catalog=", 0) == 0) {
      if (a == "--catalog") {
        if (i + 1 >= args.size()) return usageError("--catalog needs a file name");
        catalogName = args[++i];
      } else {
        catalogName = a.substr(10);
      }
      if (!qyxl::catalog::isSafeFileName(catalogName)) return usageError("--catalog takes a plain file name");
    } else if (a.rfind("-", 0) == 0) {
      return usageError("unknown option " + a);
    } else if (command.empty()) {
      command = a;
    } else if (folder.empty()) {
      folder = a;
    } else {
      return usageError("too many arguments");
    }
  }
  if (command.empty()) return usageError("no command given");
  if (folder.empty()) return usageError("no folder given");

  xelorepo::Progress progress;
  if (!quiet) progress = [](const std::string& line) { std::cout << line << std::endl; };

  if (command == "publish") {
    xelorepo::PublishOptions options;
    options.catalogName = catalogName;
    options.progress = progress;
    return finish(xelorepo::publishRepository(folder, options));
  }
  if (command == "verify") {
    auto report = xelorepo::verifyRepository(folder, catalogName, progress);
    if (report.ok && !quiet)
      std::cout << "OK: " << report.updates << " updates, " << report.files << " files" << std::endl;
    return finish(report);
  }
  if (command == "list") {
    qyxl::catalog::Catalog catalog;
    std::string error;
    if (!xelorepo::loadCatalog(folder, catalogName, catalog, error)) {
      std::cerr << "error: " << error << "\n";
      return 1;
    }
    for (const auto& u : catalog.updates) {
      std::uint64_t bytes = 0;
      for (const auto& f : u.files) bytes += f.size;
      std::cout << u.id << "\t" << u.kind << "\t" << (u.machineTypes.empty() ? "*" : join(u.machineTypes)) << "\t"
                << (u.platforms.empty() ? "NONE" : join(u.platforms)) << "\t" << u.files.size() << " files\t"
                << bytes << " bytes\t" << u.name << "\n";
    }
    return 0;
  }
  return usageError("unknown command " + command);
}
