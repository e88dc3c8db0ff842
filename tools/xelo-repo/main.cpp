// xelo-repo: publishes and checks update repositories.
//
//   xelo-repo publish [--catalog NAME] [--quiet] [--sign KEY]... [--valid-until TIME | --valid-days N] FOLDER
//   xelo-repo verify  [--catalog NAME] [--quiet] [--key PUBLIC_KEY]... FOLDER
//   xelo-repo list    [--catalog NAME] FOLDER
//   xelo-repo keygen  NAME
//
// Exit status: 0 success, 1 problems found, 2 wrong usage.
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "publisher.h"

namespace {

const char* kUsage =
    "Usage: xelo-repo COMMAND [OPTIONS] FOLDER\n"
    "       xelo-repo keygen NAME\n"
    "\n"
    "Commands:\n"
    "  publish  read the package descriptors below FOLDER, hash the files they\n"
    "           name and write the catalog (default catalog.xml) at the top of FOLDER\n"
    "  verify   check that every file the catalog lists is there, with its size,\n"
    "           SHA-1 and SHA-256, and check the catalog's signature\n"
    "  list     print the updates of the catalog\n"
    "  keygen   write a new Ed25519 signing key pair: NAME.key (private, mode 0600)\n"
    "           and NAME.pem (public, for the clients' keyring)\n"
    "\n"
    "Options:\n"
    "  --catalog NAME      file name of the catalog in FOLDER (default catalog.xml)\n"
    "  --sign KEY          publish: sign the catalog with this private key into\n"
    "                      <catalog>.sig (repeat to sign with several keys)\n"
    "  --valid-until TIME  publish: clients refuse the catalog after TIME\n"
    "                      (YYYY-MM-DD, end of that day UTC, or YYYY-MM-DDTHH:MM:SSZ)\n"
    "  --valid-days N      publish: clients refuse the catalog N days from now\n"
    "  --key PUBLIC_KEY    verify: the signature must verify against this key\n"
    "                      (repeat to accept any of several keys)\n"
    "  --quiet             print only problems\n"
    "  -h, --help          show this text\n"
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

std::string utcText(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

// "YYYY-MM-DD" stands for the end of that day; a full time stamp is taken
// as it is. "" when neither.
std::string validityEnd(const std::string& text) {
  std::string stamp = text.size() == 10 ? text + "T23:59:59Z" : text;
  std::int64_t seconds = 0;
  return qyxl::catalog::parseTimestamp(stamp, seconds) ? stamp : "";
}

struct Arguments {
  std::string command, folder, catalogName = qyxl::catalog::kDefaultCatalogName, validUntil;
  std::vector<std::string> signingKeys, publicKeys;
  bool quiet = false;
};

// Parses the command line; "" when it is good, else what is wrong.
std::string parse(const std::vector<std::string>& args, Arguments& out) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i], value;
    const auto eq = a.find('=');
    const bool takesValue = a == "--catalog" || a == "--sign" || a == "--key" || a == "--valid-until" ||
                            a == "--valid-days" || (a.rfind("--", 0) == 0 && eq != std::string::npos);
    if (takesValue) {
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        a = a.substr(0, eq);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return a + " needs a value";
      }
    }
    if (a == "--quiet") {
      out.quiet = true;
    } else if (a == "--catalog") {
      if (!qyxl::catalog::isSafeFileName(value)) return "--catalog takes a plain file name";
      out.catalogName = value;
    } else if (a == "--sign") {
      out.signingKeys.push_back(value);
    } else if (a == "--key") {
      out.publicKeys.push_back(value);
    } else if (a == "--valid-until") {
      out.validUntil = validityEnd(value);
      if (out.validUntil.empty()) return "--valid-until takes YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ";
    } else if (a == "--valid-days") {
      if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos)
        return "--valid-days takes a number of days";
      out.validUntil = utcText(std::time(nullptr) + static_cast<std::time_t>(std::stol(value)) * 86400);
    } else if (a.rfind("-", 0) == 0) {
      return "unknown option " + a;
    } else if (out.command.empty()) {
      out.command = a;
    } else if (out.folder.empty()) {
      out.folder = a;
    } else {
      return "too many arguments";
    }
  }
  if (out.command.empty()) return "no command given";
  if (out.folder.empty()) return out.command == "keygen" ? "no key name given" : "no folder given";
  return "";
}

int list(const Arguments& arguments) {
  qyxl::catalog::Catalog catalog;
  std::string error;
  if (!xelorepo::loadCatalog(arguments.folder, arguments.catalogName, catalog, error)) {
    std::cerr << "error: " << error << "\n";
    return 1;
  }
  for (const auto& u : catalog.updates) {
    std::uint64_t bytes = 0;
    for (const auto& f : u.files) bytes += f.size;
    std::cout << u.id << "\t" << u.kind << "\t" << (u.machineTypes.empty() ? "*" : join(u.machineTypes)) << "\t"
              << (u.platforms.empty() ? "NONE" : join(u.platforms)) << "\t" << u.files.size() << " files\t" << bytes
              << " bytes\t" << u.name << "\n";
  }
  return 0;
}

int keygen(const Arguments& arguments) {
  const std::string privatePath = arguments.folder + ".key", publicPath = arguments.folder + ".pem";
  std::string error;
  if (!xelorepo::generateKeyFiles(privatePath, publicPath, error)) {
    std::cerr << "error: " << error << "\n";
    return 1;
  }
  if (!arguments.quiet)
    std::cout << "Private key: " << privatePath << " (keep it secret; sign with --sign " << privatePath << ")\n"
              << "Public key:  " << publicPath << " (copy it into the keyring folder of the clients)\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& a : args) {
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    }
  }
  Arguments arguments;
  if (std::string problem = parse(args, arguments); !problem.empty()) return usageError(problem);
  const bool publishing = arguments.command == "publish";
  if (!publishing && (!arguments.signingKeys.empty() || !arguments.validUntil.empty()))
    return usageError("--sign, --valid-until and --valid-days belong to publish");
  if (arguments.command != "verify" && !arguments.publicKeys.empty()) return usageError("--key belongs to verify");

  xelorepo::Progress progress;
  if (!arguments.quiet) progress = [](const std::string& line) { std::cout << line << std::endl; };

  if (publishing) {
    xelorepo::PublishOptions options;
    options.catalogName = arguments.catalogName;
    options.progress = progress;
    options.signingKeys = arguments.signingKeys;
    options.validUntil = arguments.validUntil;
    return finish(xelorepo::publishRepository(arguments.folder, options));
  }
  if (arguments.command == "verify") {
    auto report = xelorepo::verifyRepository(arguments.folder, arguments.catalogName, progress, arguments.publicKeys);
    if (report.ok && !arguments.quiet)
      std::cout << "OK: " << report.updates << " updates, " << report.files << " files" << std::endl;
    return finish(report);
  }
  if (arguments.command == "list") return list(arguments);
  if (arguments.command == "keygen") return keygen(arguments);
  return usageError("unknown command " + arguments.command);
}
