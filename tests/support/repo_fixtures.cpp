// The test-repository generator: synthetic packages, their descriptors, and
// publishing through the publisher's own code.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include "publisher.h"
#include "repo_fixtures.h"

#include "signature.h"
namespace xelotest {

namespace fs = std::filesystem;

namespace {

std::uint64_t seedOf(const std::string& text) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// splitmix64: fast, and the same sequence for the same seed everywhere.
class ByteStream {
 public:
  explicit ByteStream(const std::string& seed) : state(seedOf(seed)) {}
  void fill(char* out, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
      std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      z ^= z >> 31;
      for (int b = 0; b < 8 && i < n; ++b, ++i) out[i] = static_cast<char>(z >> (8 * b));
    }
  }

 private:
  std::uint64_t state;
};

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeSynthetic(const fs::path& path, const std::string& seed, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path.string());
  ByteStream bytes(seed);
  std::vector<char> chunk(1 << 20);
  while (size > 0) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.size()));
    bytes.fill(chunk.data(), n);
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    size -= n;
  }
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string hexOf(const unsigned char* digest, unsigned int len) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (unsigned int i = 0; i < len; ++i) {
    s.push_back(digits[digest[i] >> 4]);
    s.push_back(digits[digest[i] & 15]);
  }
  return s;
}

void scalar(std::ostringstream& x, const std::string& name, const std::string& value) {
  x << "<PROPERTY NAME=\"" << name << "\" TYPE=\"string\">\n<VALUE>" << value << "</VALUE>\n</PROPERTY>\n";
}

void array(std::ostringstream& x, const std::string& name, const std::vector<std::string>& values) {
  x << "<PROPERTY.ARRAY NAME=\"" << name << "\" TYPE=\"string\">\n<VALUE.ARRAY>\n";
  for (const auto& v : values) x << "<VALUE>" << v << "</VALUE>\n";
  x << "</VALUE.ARRAY>\n</PROPERTY.ARRAY>\n";
}

bool isPack(const RepoUpdate& u) { return u.id.find("qor_utl_novp_") != std::string::npos; }

std::string readmeOf(const RepoUpdate& u) { return u.readmeName.empty() ? u.id + ".txt" : u.readmeName; }

}  // namespace

std::string syntheticBytes(const std::string& seed, std::uint64_t size) {
  std::string s(static_cast<std::size_t>(size), '\0');
  ByteStream(seed).fill(s.data(), s.size());
  return s;
}

std::string sha1OfBytes(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha1(), nullptr);
  return hexOf(digest, len);
}

std::string sha1OfFile(const std::string& path) {
  xelorepo::FileHashes hashes;
  return xelorepo::hashFile(path, hashes) ? hashes.sha1 : "";
}

void signCatalog(const std::string& catalogPath, const std::string& key) {
  qyxl::signature::Entry entry;
  std::string error;
  if (!qyxl::signature::sign(readFile(key), readFile(catalogPath), entry, error))
    throw std::runtime_error("signing " + catalogPath + " failed: " + error);
  writeText(catalogPath + qyxl::signature::kSignatureSuffix, qyxl::signature::formatEntry(entry));
}

void installKeyring(const std::string& dataDir) {
  const fs::path keyring = fs::path(dataDir) / "keyring";
  fs::create_directories(keyring);
  fs::copy_file(kDemoPublicKey, keyring / fs::path(kDemoPublicKey).filename(), fs::copy_options::skip_existing);
}

int expectPublishedCopies(const TestRepository& repo, const std::string& dir) {
  std::set<std::string> published;
  for (const auto& entry : fs::recursive_directory_iterator(repo.root()))
    if (entry.is_regular_file()) published.insert(entry.path().filename().string());
  int copies = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || !published.count(name)) continue;
    EXPECT_EQ(sha1OfFile(entry.path().string()), repo.sha1Of(name)) << name;
    ++copies;
  }
  return copies;
}

void writeConnectProperties(const std::string& dataDir, const std::string& locationUrl,
                            const std::vector<std::pair<std::string, std::string>>& extra) {
  std::string text = "# written by a test\n_QOR.SP_LOCATION_URL = " + locationUrl + "\n";
  for (const auto& [k, v] : extra) text += k + " = " + v + "\n";
  fs::create_directories(dataDir);
  writeText(fs::path(dataDir) / "qyxConnect.properties", text);
  installKeyring(dataDir);
}

TestRepository::TestRepository(std::string root) : rootDir(std::move(root)) { fs::create_directories(rootDir); }

RepoUpdate& TestRepository::add(RepoUpdate update) {
  if (update.id.empty()) throw std::invalid_argument("a test update needs an id");
  updates.push_back(std::move(update));
  return updates.back();
}

RepoUpdate& TestRepository::addUpdate(const std::string& id, const std::vector<std::string>& machineTypes,
                                      const std::vector<std::string>& platforms, std::uint64_t size) {
  RepoUpdate u;
  u.id = id;
  u.name = "Update " + id;
  u.machineTypes = machineTypes;
  u.platforms = platforms;
  u.payloadName = id + ".bin";
  u.payloadSize = size;
  return add(std::move(u));
}

RepoUpdate& TestRepository::addPack(const std::string& machineType, const std::vector<std::string>& members,
                                    const std::string& version) {
  RepoUpdate u;
  u.id = "qor_utl_novp_" + machineType + "-" + version + "_anyos_noarch";
  u.name = "Update pack " + version + " for " + machineType;
  u.version = version;
  u.machineTypes = {machineType};
  u.platforms = {kSles11x64, kRhel6x64, kWin2008x64};
  u.members = members;
  return add(std::move(u));
}

RepoUpdate& TestRepository::addTool(const std::string& id, const std::string& extension, std::uint64_t size) {
  RepoUpdate u;
  u.id = id;
  u.name = "Tool " + id;
  for (const auto& [mt, family] : families) u.machineTypes.push_back(mt);
  u.payloadName = id + extension;
  u.payloadSize = size;
  return add(std::move(u));
}

RepoUpdate& TestRepository::addEsxi(const std::string& version, const std::vector<std::string>& machineTypes,
                                    std::uint64_t size) {
  RepoUpdate u;
  u.id = "qor_fw_esxi_" + version + "_xelo_32-64";
  u.name = "VMware ESXi " + version + " update";
  u.version = version;
  u.machineTypes = machineTypes;
  u.platforms = {kSles10x64};
  u.payloadName = u.id;
  u.payloadSize = size;
  return add(std::move(u));
}

void TestRepository::setFamilyName(const std::string& machineType, const std::string& family) {
  families[machineType] = family;
}

std::string TestRepository::familyName(const std::string& machineType) const {
  auto it = families.find(machineType);
  return it == families.end() ? "System Model " + machineType : it->second;
}

std::string TestRepository::folderOf(const RepoUpdate& u) const {
  if (!u.folder.empty()) return u.folder;
  if (isPack(u)) return "packs";
  if (u.id.rfind("qor_utl_", 0) == 0) return "tools";
  return "updates";
}

std::string TestRepository::descriptorText(const RepoUpdate& u) const {
  bool pack = isPack(u);
  std::ostringstream x;
  x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n<DECLARATION>\n<DECLGROUP>\n<VALUE.OBJECT>\n"
    << "<INSTANCE CLASSNAME=\"QOR_SoftwareUpdate\">\n";
  if (pack) scalar(x, "category", "NOVP");
  scalar(x, "identificationCode", u.id);
  if (!u.name.empty()) scalar(x, "description", u.name);
  scalar(x, "version", u.version);
  scalar(x, "xmlFilename", u.id + ".xml");
  scalar(x, pack ? "readmeFilename" : "readme", u.readme ? readmeOf(u) : "");
  if (!pack) scalar(x, "payload", u.payloadName);
  scalar(x, pack ? "changeHistoryFilename" : "revisionHistoryFile", u.changeHistory ? u.id + ".chg" : "");
  std::vector<std::string> mts;
  for (const auto& mt : u.machineTypes) mts.push_back(familyName(mt) + "-[" + mt + "]");
  if (!mts.empty()) array(x, "applicableMachineTypes", mts);
  if (!u.platforms.empty()) array(x, "applicableOperatingSystems", u.platforms);
  for (const auto& r : u.preReqs) scalar(x, "preReq", r);
  for (const auto& r : u.coReqs) scalar(x, "coReq", r);
  for (const auto& s : u.supersedes) scalar(x, "supersedes", s);
  if (!u.members.empty()) array(x, "updateIds", u.members);
  x << "</INSTANCE>\n</VALUE.OBJECT>\n</DECLGROUP>\n</DECLARATION>\n</CIM>\n";
  return x.str();
}

void TestRepository::publish() {
  for (; written < updates.size(); ++written) {
    const RepoUpdate& u = updates[written];
    std::string folder = folderOf(u);
    fs::path dir = fs::path(rootDir) / folder;
    fs::create_directories(dir);
    writeText(dir / (u.id + ".xml"), descriptorText(u));
    fileFolders[u.id + ".xml"] = folder;
    if (u.readme) {
      writeText(dir / readmeOf(u), "Readme of " + u.id + "\n");
      fileFolders[readmeOf(u)] = folder;
    }
    if (u.changeHistory) {
      writeText(dir / (u.id + ".chg"), "Change history of " + u.id + "\n" + u.version + ": first release\n");
      fileFolders[u.id + ".chg"] = folder;
    }
    if (!u.payloadName.empty()) {
      fs::path payload = dir / u.payloadName;
      if (!u.payloadSource.empty())
        fs::copy_file(u.payloadSource, payload, fs::copy_options::overwrite_existing);
      else if (!u.payloadContent.empty())
        writeText(payload, u.payloadContent);
      else
        writeSynthetic(payload, u.payloadName, u.payloadSize);
      fileFolders[u.payloadName] = folder;
    }
  }
  xelorepo::PublishOptions options;
  options.generated = "2026-01-01T00:00:00Z";
  options.signingKeys = signingKeys;
  options.validUntil = validUntil;
  auto report = xelorepo::publishRepository(rootDir, options);
  if (!report.ok) {
    std::string text = "publishing the test repository failed:";
    for (const auto& e : report.errors) text += "\n  " + e;
    throw std::runtime_error(text);
  }
}

const RepoUpdate* TestRepository::find(const std::string& id) const {
  for (const auto& u : updates)
    if (u.id == id) return &u;
  return nullptr;
}

std::vector<std::string> TestRepository::filesOf(const std::string& id) const {
  const RepoUpdate* u = find(id);
  if (!u) return {};
  std::vector<std::string> names{u->id + ".xml"};
  if (u->readme) names.push_back(readmeOf(*u));
  if (!u->payloadName.empty() && !isPack(*u)) names.push_back(u->payloadName);
  if (u->changeHistory) names.push_back(u->id + ".chg");
  return names;
}

std::string TestRepository::pathOf(const std::string& fileName) const {
  auto it = fileFolders.find(fileName);
  if (it == fileFolders.end()) throw std::invalid_argument("no published file " + fileName);
  return (fs::path(rootDir) / it->second / fileName).string();
}

std::string TestRepository::urlPathOf(const std::string& fileName) const {
  auto it = fileFolders.find(fileName);
  if (it == fileFolders.end()) throw std::invalid_argument("no published file " + fileName);
  return "/" + it->second + "/" + fileName;
}

std::string TestRepository::contentOf(const std::string& fileName) const {
  std::ifstream in(pathOf(fileName), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string TestRepository::sha1Of(const std::string& fileName) const { return sha1OfFile(pathOf(fileName)); }

std::uint64_t TestRepository::sizeOf(const std::string& fileName) const { return fs::file_size(pathOf(fileName)); }

std::string TestRepository::catalogPath() const { return (fs::path(rootDir) / "catalog.xml").string(); }

std::string TestRepository::fileUrl() const {
  std::string root = fs::absolute(rootDir).lexically_normal().generic_string();
  if (root.empty() || root.back() != '/') root += "/";
  return "file://" + root;
}

void addStandardContent(TestRepository& repo) {
  repo.setFamilyName("7101", "Korvex KX-71");
  repo.setFamilyName("7102", "Korvex KX-72");
  const std::vector<std::string> both{"7101", "7102"};
  const std::vector<std::string> firmware{kPlatformNone, kSles11x64, kSles10x64, kRhel6x64, kWin2008x64};

  repo.addUpdate(kStdBmcOld, both, firmware, 3000).name = "Baseboard management controller firmware 1.30";
  auto& bmc = repo.addUpdate(kStdBmcNew, both, firmware, 5000);
  bmc.name = "Baseboard management controller firmware 1.40";
  bmc.supersedes = {kStdBmcOld};
  auto& uefi = repo.addUpdate(kStdUefi, {"7101"}, firmware, 40000);
  uefi.name = "UEFI firmware 2.10";
  uefi.preReqs = {kStdBmcNew};
  auto& nic = repo.addUpdate(kStdNicDriver, both, {kSles11x64}, 12000);
  nic.name = "Network driver 2.1.0 for Linux";
  nic.coReqs = {kStdNicFirmware};
  repo.addUpdate(kStdNicFirmware, both, firmware, 9000).name = "Network adapter firmware 2.1.0";
  repo.addUpdate(kStdRaidWinDriver, both, {kWin2008x64}, 7000).name = "RAID driver 5.0 for Windows";
  repo.addUpdate(kStdRaidFirmware, {"7102"}, firmware, 15000).name = "RAID controller firmware 7.3";
  repo.addUpdate(kStdMlnx, {"7101"}, firmware, 2000).name = "Network adapter firmware 2.30 (MLNX)";
  repo.addUpdate(kStdSvc, {"7101"}, firmware, 1500).name = "Diagnostics service 9.1";
  repo.addUpdate(kStdCmk, {"7101"}, firmware, 1200).name = "CMK firmware 1.2";
  repo.addUpdate(kStdMqrtz, {"7101"}, firmware, 1100).name = "MQRTZ firmware 3.0";

  repo.addPack("7101", {kStdBmcOld}, "1.00");
  auto& pack = repo.addPack("7101",
                            {kStdBmcNew, kStdUefi, kStdNicDriver, kStdNicFirmware, kStdRaidWinDriver, kStdMlnx,
                             kStdSvc, kStdCmk, kStdMqrtz},
                            "1.10");
  pack.supersedes = {kStdPack7101Old};
  repo.addPack("7102", {kStdBmcNew, kStdNicDriver, kStdNicFirmware, kStdRaidFirmware, kStdRaidWinDriver}, "1.10");

  repo.addTool(kStdNovpi, ".bin", 6000);
  repo.addTool(kStdNovpiWin, ".exe", 5500);
  repo.addTool(kStdKyt, ".zip", 7000);
  repo.addTool(kStdBootTools, ".zip", 20000);
  repo.addTool(kStdDnxelo, ".zip", 8000);

  repo.addEsxi("4.1_u1", both, 4000);
  repo.addEsxi("5.0", both, 4500);
}

void ServedRepository::serve(const std::string& programDir, const ConnectKeys& extra) {
  repo.publish();
  server.start();
  writeConnectProperties(programDir, server.baseUrl(), extra);
}

ServedStandardRepository::ServedStandardRepository(const std::string& programDir, const ConnectKeys& extra) {
  addStandardContent(repo);
  serve(programDir, extra);
}

}  // namespace xelotest
