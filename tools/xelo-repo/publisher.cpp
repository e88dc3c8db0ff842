#include "publisher.h"

#include <pugixml.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "digest.h"
#include "signature.h"

namespace xelorepo {

namespace fs = std::filesystem;
namespace cat = qyxl::catalog;

namespace {

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Properties of a descriptor in document order. In an update-pack
// descriptor the pack's own properties come after the value "NOVP"; what
// precedes it describes other things and is passed over.
class PropertyCollector {
 public:
  explicit PropertyCollector(bool pack) : active(!pack) {}

  void walk(const pugi::xml_node& node) {
    for (auto child : node.children()) {
      if (child.type() != pugi::node_element) continue;
      std::string tag = child.name();
      if (!active) {
        if (tag == "VALUE" && trim(child.text().as_string()).rfind("NOVP", 0) == 0) {
          active = true;
          continue;
        }
        walk(child);
        continue;
      }
      if ((tag == "PROPERTY" || tag == "PROPERTY.ARRAY") && child.attribute("NAME")) {
        record(child.attribute("NAME").as_string(), valuesOf(child));
        continue;
      }
      walk(child);
    }
  }

  // The first occurrence of a property.
  std::vector<std::string> first(const std::string& name) const {
    auto it = occurrences.find(name);
    return it == occurrences.end() || it->second.empty() ? std::vector<std::string>{} : it->second.front();
  }
  std::string scalar(const std::string& name) const {
    auto v = first(name);
    return v.empty() ? "" : v.front();
  }
  // Every value of every occurrence (requisites may come one property each).
  std::vector<std::string> all(const std::string& name) const {
    std::vector<std::string> values;
    auto it = occurrences.find(name);
    if (it == occurrences.end()) return values;
    for (const auto& occurrence : it->second)
      for (const auto& v : occurrence)
        if (!v.empty()) values.push_back(v);
    return values;
  }

 private:
  static std::vector<std::string> valuesOf(const pugi::xml_node& property) {
    std::vector<std::string> values;
    if (auto array = property.child("VALUE.ARRAY")) {
      for (auto v : array.children("VALUE")) values.push_back(trim(v.text().as_string()));
    } else if (auto v = property.child("VALUE")) {
      values.push_back(trim(v.text().as_string()));
    }
    return values;
  }

  void record(const std::string& name, std::vector<std::string> values) {
    occurrences[name].push_back(std::move(values));
  }

  bool active;
  std::map<std::string, std::vector<std::vector<std::string>>> occurrences;
};

std::string nowUtc() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
#if defined(_WIN32)
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buffer;
}

std::string humanSize(std::uint64_t bytes) {
  char buffer[32];
  if (bytes >= (1u << 20))
    std::snprintf(buffer, sizeof buffer, "%.1f MiB", bytes / 1048576.0);
  else if (bytes >= 1024)
    std::snprintf(buffer, sizeof buffer, "%.1f KiB", bytes / 1024.0);
  else
    std::snprintf(buffer, sizeof buffer, "%llu bytes", static_cast<unsigned long long>(bytes));
  return buffer;
}

// '/'-separated path of `p` relative to `root`.
std::string relativeOf(const fs::path& p, const fs::path& root) {
  return p.lexically_relative(root).generic_string();
}

bool writeAtomically(const fs::path& path, const std::string& text, std::string& error) {
  fs::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      error = "cannot write " + temp.string();
      std::error_code ec;
      fs::remove(temp, ec);
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    error = "cannot replace " + path.string() + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

void say(const Progress& progress, const std::string& line) {
  if (progress) progress(line);
}

}  // namespace

std::string machineTypeOfElement(const std::string& element) {
  auto open = element.find('[');
  auto close = element.find(']', open == std::string::npos ? 0 : open);
  if (open != std::string::npos && close != std::string::npos) return trim(element.substr(open + 1, close - open - 1));
  return trim(element);
}

std::string kindOf(const Descriptor& d) {
  if (d.isPack) return cat::kKindPack;
  if (d.id.rfind("qor_utl_", 0) == 0) return cat::kKindTool;
  return cat::kKindUpdate;
}

bool readDescriptor(const std::string& path, Descriptor& out, std::string& error) {
  pugi::xml_document doc;
  auto result = doc.load_file(path.c_str());
  if (!result) {
    error = std::string("not well-formed XML: ") + result.description();
    return false;
  }
  std::string fileName = fs::path(path).filename().string();
  bool pack = fileName.find("qor_utl_novp_") != std::string::npos;
  PropertyCollector props(pack);
  props.walk(doc);
  Descriptor d;
  d.isPack = pack;
  d.id = props.scalar("identificationCode");
  if (d.id.empty()) {
    error = "no identificationCode";
    return false;
  }
  d.name = props.scalar("description");
  d.version = props.scalar("version");
  d.xmlFilename = props.scalar("xmlFilename");
  d.readme = props.scalar("readme");
  if (d.readme.empty()) d.readme = props.scalar("readmeFilename");
  d.payload = pack ? "" : props.scalar("payload");
  d.history = props.scalar("revisionHistoryFile");
  if (d.history.empty()) d.history = props.scalar("changeHistoryFilename");
  for (const auto& e : props.first("applicableMachineTypes")) {
    std::string mt = machineTypeOfElement(e);
    if (!mt.empty() && std::find(d.machineTypes.begin(), d.machineTypes.end(), mt) == d.machineTypes.end())
      d.machineTypes.push_back(mt);
  }
  for (const auto& p : props.first("applicableOperatingSystems"))
    if (!p.empty()) d.platforms.push_back(p);
  d.preReqs = props.all("preReq");
  d.coReqs = props.all("coReq");
  d.supersedes = props.all("supersedes");
  d.members = props.all("updateIds");
  out = std::move(d);
  return true;
}

bool hashFile(const std::string& path, FileHashes& out) {
  std::vector<unsigned char> sha1, sha256;
  std::error_code ec;
  if (!qyxl::hashFile(path, sha1, sha256)) return false;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return false;
  out.sha1 = qyxl::hexText(sha1);
  out.sha256 = qyxl::hexText(sha256);
  out.size = size;
  return true;
}

namespace {

// Signs the catalog text with every key (before anything is written, so a
// bad key leaves the repository as it was), then writes the catalog and its
// signature file. Publishing unsigned removes an older signature, which
// would no longer match.
bool writeSignedCatalog(const fs::path& catalogPath, const std::string& text, const PublishOptions& options,
                        Report& report) {
  std::string signatures, error;
  for (const auto& keyFile : options.signingKeys) {
    std::ifstream in(keyFile, std::ios::binary);
    std::ostringstream pem;
    pem << in.rdbuf();
    qyxl::signature::Entry entry;
    if (!in || !qyxl::signature::sign(pem.str(), text, entry, error)) {
      report.errors.push_back(keyFile + ": cannot sign with this key: " + (in ? error : "cannot be read"));
      return false;
    }
    signatures += qyxl::signature::formatEntry(entry);
  }
  fs::path signaturePath = catalogPath;
  signaturePath += qyxl::signature::kSignatureSuffix;
  if (!writeAtomically(catalogPath, text, error) ||
      (!signatures.empty() && !writeAtomically(signaturePath, signatures, error))) {
    report.errors.push_back(error);
    return false;
  }
  std::error_code ec;
  if (signatures.empty() && fs::remove(signaturePath, ec))
    report.warnings.push_back(signaturePath.string() + ": removed; the catalog is published unsigned");
  return true;
}

}  // namespace

Report publishRepository(const std::string& rootText, const PublishOptions& options) {
  Report report;
  std::error_code ec;
  fs::path root = fs::absolute(rootText, ec).lexically_normal();
  if (!fs::is_directory(root, ec)) {
    report.errors.push_back(rootText + ": not a folder");
    return report;
  }
  fs::path catalogPath = root / options.catalogName;

  // Every ".xml" below the root, in a fixed order.
  std::vector<fs::path> xmlFiles;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& p = it->path();
    if (p.filename().string().rfind('.', 0) == 0) {  // hidden files and folders
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(ec) && p.extension() == ".xml" && p != catalogPath) xmlFiles.push_back(p);
  }
  if (ec) report.errors.push_back(root.string() + ": " + ec.message());
  std::sort(xmlFiles.begin(), xmlFiles.end());

  struct Found {
    fs::path path;
    Descriptor d;
  };
  std::vector<Found> descriptors;
  std::vector<fs::path> others;
  for (const auto& p : xmlFiles) {
    Descriptor d;
    std::string error;
    if (readDescriptor(p.string(), d, error))
      descriptors.push_back({p, std::move(d)});
    else
      others.push_back(p);
  }
  say(options.progress, "Found " + std::to_string(descriptors.size()) + " descriptors in " + root.string());

  std::set<std::string> referenced;  // files named by some descriptor, relative to the root
  std::map<std::string, std::string> firstDescriptorOf;
  struct NameUse {
    std::string path, sha256;
    std::uint64_t size;
  };
  std::map<std::string, NameUse> byName;
  cat::Catalog catalog;
  catalog.generated = options.generated.empty() ? nowUtc() : options.generated;
  catalog.validUntil = options.validUntil;

  int index = 0;
  for (const auto& [path, d] : descriptors) {
    ++index;
    std::string where = relativeOf(path, root);
    if (auto it = firstDescriptorOf.find(d.id); it != firstDescriptorOf.end()) {
      report.errors.push_back(where + ": update id " + d.id + " is already described by " + it->second);
      continue;
    }
    firstDescriptorOf[d.id] = where;
    if (!d.xmlFilename.empty() && d.xmlFilename != path.filename().string()) {
      report.errors.push_back(where + ": xmlFilename \"" + d.xmlFilename + "\" is not the descriptor's own name");
      continue;
    }
    cat::Update u;
    u.id = d.id;
    u.kind = kindOf(d);
    u.name = d.name;
    u.version = d.version;
    u.machineTypes = d.machineTypes;
    u.platforms = d.platforms;
    u.preReqs = d.preReqs;
    u.coReqs = d.coReqs;
    u.supersedes = d.supersedes;
    u.members = d.members;
    if (u.kind == cat::kKindPack && u.members.empty())
      report.warnings.push_back(where + ": update pack " + d.id + " holds no updates (updateIds)");

    // The files in the order descriptor, readme, payload, change history.
    std::vector<std::pair<std::string, std::string>> names{{path.filename().string(), cat::kRoleMetadata}};
    if (!d.readme.empty()) names.emplace_back(d.readme, cat::kRoleMetadata);
    if (!d.payload.empty()) names.emplace_back(d.payload, cat::kRoleData);
    if (!d.history.empty()) names.emplace_back(d.history, cat::kRoleMetadata);
    bool good = true;
    std::uint64_t updateBytes = 0;
    for (const auto& [name, role] : names) {
      if (!cat::isSafeFileName(name)) {
        report.errors.push_back(where + ": file name \"" + name + "\" is not a plain file name");
        good = false;
        continue;
      }
      fs::path file = path.parent_path() / name;
      cat::FileEntry e;
      e.name = name;
      e.path = relativeOf(file, root);
      e.role = role;
      FileHashes hashes;
      if (!fs::is_regular_file(file, ec) || !hashFile(file.string(), hashes)) {
        report.errors.push_back(where + ": names \"" + name + "\", which is missing or unreadable");
        good = false;
        continue;
      }
      e.sha1 = hashes.sha1;
      e.sha256 = hashes.sha256;
      e.size = hashes.size;
      e.hasSize = true;
      if (!cat::isSafeRelativePath(e.path)) {
        report.errors.push_back(where + ": path \"" + e.path + "\" cannot be served");
        good = false;
        continue;
      }
      auto [use, fresh] = byName.try_emplace(name, NameUse{e.path, e.sha256, e.size});
      if (!fresh && (use->second.sha256 != e.sha256 || use->second.size != e.size)) {
        report.errors.push_back(where + ": \"" + e.path + "\" and \"" + use->second.path +
                                "\" share the download name " + name + " but differ");
        good = false;
        continue;
      }
      referenced.insert(e.path);
      updateBytes += e.size;
      u.files.push_back(std::move(e));
    }
    if (!good) continue;
    report.files += static_cast<int>(u.files.size());
    report.bytes += updateBytes;
    say(options.progress, "[" + std::to_string(index) + "/" + std::to_string(descriptors.size()) + "] " + u.id +
                              " (" + u.kind + ", " + std::to_string(u.files.size()) + " files, " +
                              humanSize(updateBytes) + ")");
    catalog.updates.push_back(std::move(u));
  }
  for (const auto& p : others)
    if (!referenced.count(relativeOf(p, root)))
      report.warnings.push_back(relativeOf(p, root) + ": not a descriptor (no identificationCode); skipped");

  // References to ids the repository does not hold are allowed (a
  // requisite may be published later) but worth a word.
  std::set<std::string> ids;
  for (const auto& u : catalog.updates) ids.insert(u.id);
  for (const auto& u : catalog.updates) {
    for (const auto& m : u.members)
      if (!ids.count(m)) report.warnings.push_back(u.id + ": member " + m + " is not in the repository");
    for (const auto& r : u.preReqs)
      if (!ids.count(r)) report.warnings.push_back(u.id + ": pre-requisite " + r + " is not in the repository");
    for (const auto& r : u.coReqs)
      if (!ids.count(r)) report.warnings.push_back(u.id + ": co-requisite " + r + " is not in the repository");
  }

  report.updates = static_cast<int>(catalog.updates.size());
  if (!report.errors.empty()) {
    say(options.progress, "Not published: " + std::to_string(report.errors.size()) + " problems");
    return report;
  }
  std::sort(catalog.updates.begin(), catalog.updates.end(),
            [](const cat::Update& a, const cat::Update& b) { return a.id < b.id; });
  if (!writeSignedCatalog(catalogPath, cat::writeCatalog(catalog), options, report)) return report;
  say(options.progress, "Published " + std::to_string(report.updates) + " updates, " + std::to_string(report.files) +
                            " files (" + humanSize(report.bytes) + ") in " + catalogPath.string());
  report.ok = true;
  return report;
}

namespace {

bool readText(const fs::path& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return static_cast<bool>(in) || in.eof();
}

// The catalog's signature: checked against the given public keys, or only
// looked for when none are given.
void verifySignature(const fs::path& catalogPath, const std::string& text, const std::vector<std::string>& publicKeys,
                     const Progress& progress, Report& report) {
  fs::path signaturePath = catalogPath;
  signaturePath += qyxl::signature::kSignatureSuffix;
  std::string signatureText, why;
  const bool present = readText(signaturePath, signatureText);
  if (publicKeys.empty()) {
    report.warnings.push_back(present ? "the catalog's signature was not checked (no --key given)"
                                      : "the catalog is not signed (" + signaturePath.string() + " is missing)");
    return;
  }
  std::vector<qyxl::signature::PublicKey> keys;
  for (const auto& file : publicKeys) {
    std::string pem, error;
    qyxl::signature::PublicKey key;
    if (!readText(file, pem) || !qyxl::signature::readPublicKey(pem, key, error)) {
      report.errors.push_back(file + ": not a usable public key" + (error.empty() ? "" : ": " + error));
      continue;
    }
    key.source = file;
    keys.push_back(std::move(key));
  }
  if (qyxl::signature::check(text, present ? &signatureText : nullptr, keys, why) != qyxl::signature::Verdict::Good)
    report.errors.push_back(why);
  else
    say(progress, "Signature good: " + why);
}

// One listed file against the repository folder.
void verifyFile(const fs::path& root, const cat::Update& u, const cat::FileEntry& f, Report& report) {
  ++report.files;
  if (!cat::isSafeFileName(f.name) || !cat::isSafeRelativePath(f.path)) {
    report.errors.push_back(u.id + ": unsafe or malformed entry \"" + f.name + "\" (" + f.path + ")");
    return;
  }
  FileHashes hashes;
  if (!hashFile((root / f.path).string(), hashes)) {
    report.errors.push_back(u.id + ": " + f.path + " is missing or unreadable");
    return;
  }
  report.bytes += hashes.size;
  if (f.hasSize && hashes.size != f.size)
    report.errors.push_back(u.id + ": " + f.path + " has " + std::to_string(hashes.size) + " bytes, the catalog says " +
                            std::to_string(f.size));
  else if (!f.sha1.empty() && hashes.sha1 != f.sha1)
    report.errors.push_back(u.id + ": " + f.path + " does not match its SHA-1");
  else if (!f.sha256.empty() && hashes.sha256 != f.sha256)
    report.errors.push_back(u.id + ": " + f.path + " does not match its SHA-256");
  if (f.sha1.empty()) report.warnings.push_back(u.id + ": " + f.path + " has no SHA-1 in the catalog");
  if (f.sha256.empty()) report.warnings.push_back(u.id + ": " + f.path + " has no SHA-256 in the catalog");
}

}  // namespace

bool loadCatalog(const std::string& root, const std::string& catalogName, cat::Catalog& out, std::string& error) {
  fs::path path = fs::path(root) / catalogName;
  std::string text;
  if (!readText(path, text)) {
    error = path.string() + ": cannot be read";
    return false;
  }
  if (!cat::parseCatalog(text, out, error)) {
    error = path.string() + ": " + error;
    return false;
  }
  return true;
}

Report verifyRepository(const std::string& root, const std::string& catalogName, const Progress& progress,
                        const std::vector<std::string>& publicKeys) {
  Report report;
  cat::Catalog catalog;
  std::string error, text;
  const fs::path catalogPath = fs::path(root) / catalogName;
  if (!loadCatalog(root, catalogName, catalog, error)) {
    report.errors.push_back(error);
    return report;
  }
  readText(catalogPath, text);
  verifySignature(catalogPath, text, publicKeys, progress, report);
  if (!catalog.validUntil.empty()) say(progress, "Valid until " + catalog.validUntil);
  int index = 0;
  for (const auto& u : catalog.updates) {
    ++index;
    say(progress, "[" + std::to_string(index) + "/" + std::to_string(catalog.updates.size()) + "] " + u.id);
    for (const auto& f : u.files) verifyFile(root, u, f, report);
  }
  report.updates = static_cast<int>(catalog.updates.size());
  report.ok = report.errors.empty();
  return report;
}

bool generateKeyFiles(const std::string& privatePath, const std::string& publicPath, std::string& error) {
  std::string privatePem, publicPem;
  if (!qyxl::signature::generateKeyPair(privatePem, publicPem, error)) return false;
  std::error_code ec;
  if (fs::exists(publicPath, ec)) {
    error = publicPath + ": already exists";
    return false;
  }
  // The private key is created readable by its owner only, and never over
  // an existing file.
  const int fd = ::open(privatePath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (fd < 0) {
    error = privatePath + ": " + std::strerror(errno);
    return false;
  }
  const bool written = ::write(fd, privatePem.data(), privatePem.size()) == static_cast<ssize_t>(privatePem.size());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    error = privatePath + ": cannot be written";
    fs::remove(privatePath, ec);
    return false;
  }
  if (!writeAtomically(publicPath, publicPem, error)) {
    fs::remove(privatePath, ec);
    return false;
  }
  return true;
}

}  // namespace xelorepo
