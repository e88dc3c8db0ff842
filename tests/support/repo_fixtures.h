// Test repositories and the HTTP server that serves them.
//
// TestRepository writes synthetic update packages (payloads of chosen sizes
// with descriptors in the one-element-per-line layout the program reads) into
// a folder and publishes the catalog with the same code as the `xelo-repo`
// publisher tool. The folder can then be used through a file:// location or
// served by RepoServer over HTTP on 127.0.0.1.
//
// Typical use:
//
//   xelotest::TempDir dir;
//   xelotest::TestRepository repo(dir / "repo");
//   xelotest::addStandardContent(repo);          // or repo.addUpdate(...)...
//   repo.publish();
//   xelotest::RepoServer server(repo.root());
//   server.start();
//   xelotest::writeConnectProperties(dataDir, server.baseUrl());
//   server.setFault(repo.urlPathOf("qor_fw_bmc_1.40_anyos_noarch.bin"),
//                   xelotest::RepoFault::stall(1024, 10000));
//   ... order and download through qyxl ...
//   EXPECT_EQ(server.requestCount(repo.urlPathOf(...)), 1);
//   server.stop();                                // also done by the destructor
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "test_support.h"

namespace xelotest {

// ---- repository content ----------------------------------------------------

// The demo key pair of the sample repository: the private key signs test
// repositories, the public key is the one the shipped keyring holds.
inline constexpr const char* kDemoSigningKey = XELO_SOURCE_DIR "/tools/sample/demo-signing-key.key";
inline constexpr const char* kDemoPublicKey = XELO_SOURCE_DIR "/data/keyring/sample-repository-demo.pem";

// Platform names as the acquisition library puts them into its filters.
inline constexpr const char* kSles11x64 = "SLES 11 x64";
inline constexpr const char* kSles10x64 = "SLES 10 x64";
inline constexpr const char* kRhel6x64 = "RHEL 6 x64";
inline constexpr const char* kWin2008x64 = "Windows 2008 x64";
inline constexpr const char* kPlatformNone = "NONE";

// One package of a test repository. Its files are:
//   <id>.xml   the descriptor (always)
//   <id>.txt   the readme (when `readme`; `readmeName` names it otherwise)
//   <id>.chg   the change history (when `changeHistory`)
//   payloadName, the data file (when not empty)
// all in the sub-folder `folder` of the repository.
struct RepoUpdate {
  std::string id;    // the update id (identificationCode)
  std::string name;  // descriptive name; empty leaves it out of the descriptor
  std::string version = "1.00";
  std::vector<std::string> machineTypes;  // empty: applies to every machine type
  std::vector<std::string> platforms;     // empty: "NONE"
  std::string payloadName;                // empty: no payload (update packs)
  std::uint64_t payloadSize = 4096;       // size of the synthetic payload
  std::string payloadContent;             // when not empty: the payload's bytes
  std::string payloadSource;              // when not empty: a file copied as payload
  bool readme = true;
  std::string readmeName;  // empty: "<id>.txt"
  bool changeHistory = true;
  std::vector<std::string> preReqs;
  std::vector<std::string> coReqs;
  std::vector<std::string> supersedes;
  std::vector<std::string> members;  // update packs: the ids of the updates they hold
  std::string folder;                // "" chooses "updates", "packs" or "tools" by id
};

// A repository folder being built by a test.
class TestRepository {
 public:
  // `root` is created when missing.
  explicit TestRepository(std::string root);

  const std::string& root() const { return rootDir; }

  // Adds a package; the reference stays valid for the repository's lifetime.
  RepoUpdate& add(RepoUpdate update);
  // An individual update with a payload "<id>.bin" of `size` bytes.
  RepoUpdate& addUpdate(const std::string& id, const std::vector<std::string>& machineTypes,
                        const std::vector<std::string>& platforms, std::uint64_t size = 4096);
  // An update pack "qor_utl_novp_<machineType>-<version>_anyos_noarch" (no
  // payload) holding `members`, for the platforms SLES 11 x64, RHEL 6 x64
  // and Windows 2008 x64.
  RepoUpdate& addPack(const std::string& machineType, const std::vector<std::string>& members,
                      const std::string& version = "1.10");
  // A tool package; the payload is "<id><extension>" (".bin", ".zip"...).
  // Its machine types are those named by setFamilyName() before the call
  // (the support-list refresh reads them from the tool's descriptor).
  RepoUpdate& addTool(const std::string& id, const std::string& extension, std::uint64_t size = 8192);
  // A VMware ESXi update "qor_fw_esxi_<version>_xelo_32-64" whose payload
  // carries the id as its name, for the platform SLES 10 x64.
  RepoUpdate& addEsxi(const std::string& version, const std::vector<std::string>& machineTypes,
                      std::uint64_t size = 4096);

  // Family name written into descriptors for a machine type, as
  // "<family>-[<machine type>]" (default "System Model <machine type>").
  void setFamilyName(const std::string& machineType, const std::string& family);
  std::string familyName(const std::string& machineType) const;

  // Keys that sign the catalog at publish() (default: the demo key the
  // program's keyring trusts); none publishes it unsigned.
  void setSigningKeys(std::vector<std::string> keys) { signingKeys = std::move(keys); }
  // The catalog's validity end ("YYYY-MM-DDTHH:MM:SSZ"; default none).
  void setValidUntil(std::string time) { validUntil = std::move(time); }

  // Writes the packages added since the last publish() (descriptor, readme,
  // change history, payload) and publishes "catalog.xml" over the whole
  // folder. Throws std::runtime_error with the publisher's messages when
  // publishing fails. Payloads are written in chunks, so large repositories
  // (a GiB and more) cost no memory.
  void publish();

  // Lookups after publish(). File names are download names (no folder).
  const RepoUpdate* find(const std::string& id) const;
  std::vector<std::string> filesOf(const std::string& id) const;  // descriptor, readme, payload, history
  std::string pathOf(const std::string& fileName) const;          // absolute path in the repository
  std::string urlPathOf(const std::string& fileName) const;       // "/<folder>/<name>" as the server sees it
  std::string contentOf(const std::string& fileName) const;       // the bytes published
  std::string sha1Of(const std::string& fileName) const;          // 40 lower-case hex digits
  std::uint64_t sizeOf(const std::string& fileName) const;
  std::string catalogPath() const;
  std::string fileUrl() const;  // "file://<root>/"

  // The descriptor text written for an update.
  std::string descriptorText(const RepoUpdate& update) const;

 private:
  std::string folderOf(const RepoUpdate& update) const;
  std::string rootDir;
  std::deque<RepoUpdate> updates;
  std::map<std::string, std::string> families;
  std::map<std::string, std::string> fileFolders;  // download name -> folder
  std::size_t written = 0;                         // packages already on disk
  std::vector<std::string> signingKeys{kDemoSigningKey};
  std::string validUntil;
};

// Deterministic pseudo-random bytes: the same seed and size always give the
// same content. Used for synthetic payloads.
std::string syntheticBytes(const std::string& seed, std::uint64_t size);

// SHA-1 of a file or of bytes, 40 lower-case hex digits ("" when unreadable).
std::string sha1OfFile(const std::string& path);
std::string sha1OfBytes(const std::string& bytes);

// Expects every file below `dir` that has the name of a file published in
// `repo` to be that file, byte for byte; returns how many there are.
int expectPublishedCopies(const TestRepository& repo, const std::string& dir);

// Signs the catalog file as it now is (after a test edited it) with `key`
// into "<catalog>.sig", as a publisher holding that key would.
void signCatalog(const std::string& catalogPath, const std::string& key = kDemoSigningKey);

// Copies the demo public key into the keyring folder of `dataDir`.
void installKeyring(const std::string& dataDir);

// Writes "qyxConnect.properties" in `dataDir` naming `locationUrl` as the
// repository, plus any `extra` keys (for example short timeouts), and
// installs the keyring that trusts the demo key.
void writeConnectProperties(const std::string& dataDir, const std::string& locationUrl,
                            const std::vector<std::pair<std::string, std::string>>& extra = {});

// ---- the standard repository -----------------------------------------------
//
// addStandardContent() fills a repository with a fixed set of packages for
// the machine types 7101 and 7102 that exercises every selection rule:
//
// machine type 7101: pack kStdPack7101 (superseding kStdPack7101Old) with
//   kStdBmcNew, kStdUefi, kStdNicDriver, kStdNicFirmware, kStdRaidWinDriver,
//   kStdMlnx, kStdSvc, kStdCmk, kStdMqrtz
// machine type 7102: pack kStdPack7102 with kStdBmcNew, kStdNicDriver,
//   kStdNicFirmware, kStdRaidFirmware, kStdRaidWinDriver
// relations: kStdBmcNew supersedes kStdBmcOld; kStdUefi has the pre-requisite
//   kStdBmcNew; kStdNicDriver has the co-requisite kStdNicFirmware
// platforms: firmware "NONE", SLES 11 x64, SLES 10 x64, RHEL 6 x64, Windows
//   2008 x64; kStdNicDriver SLES 11 x64; kStdRaidWinDriver Windows 2008 x64;
//   ESXi updates SLES 10 x64
// tools (no machine-type restriction): kStdNovpi, kStdNovpiWin, kStdKyt,
//   kStdBootTools, kStdDnxelo
// ESXi: kStdEsxi41 and kStdEsxi50 for 7101 and 7102
// Payloads are small (1 to 40 KiB).
inline constexpr const char* kStdPack7101 = "qor_utl_novp_7101-1.10_anyos_noarch";
inline constexpr const char* kStdPack7101Old = "qor_utl_novp_7101-1.00_anyos_noarch";
inline constexpr const char* kStdPack7102 = "qor_utl_novp_7102-1.10_anyos_noarch";
inline constexpr const char* kStdBmcOld = "qor_fw_bmc_1.30_anyos_noarch";
inline constexpr const char* kStdBmcNew = "qor_fw_bmc_1.40_anyos_noarch";
inline constexpr const char* kStdUefi = "qor_fw_uefi_2.10_anyos_noarch";
inline constexpr const char* kStdNicDriver = "qor_dd_nic_2.1.0_linux_x86-64";
inline constexpr const char* kStdNicFirmware = "qor_fw_nic_2.1.0_anyos_noarch";
inline constexpr const char* kStdRaidWinDriver = "qor_dd_raid_5.0_windows_32-64";
inline constexpr const char* kStdRaidFirmware = "qor_fw_raid_7.3_anyos_noarch";
inline constexpr const char* kStdMlnx = "qor_fw_MLNX_nic_2.30_anyos_noarch";
inline constexpr const char* kStdSvc = "qor_svc_diag_9.1_anyos_x86-64";
inline constexpr const char* kStdCmk = "qor_fw_cmk_1.2_anyos_noarch";
inline constexpr const char* kStdMqrtz = "qor_fw_mqrtz_3.0_anyos_noarch";
inline constexpr const char* kStdNovpi = "qor_utl_novpi_9.63_anyos_x86-64";
inline constexpr const char* kStdNovpiWin = "qor_utl_novpi_9.63_winsrvr_32-64";
inline constexpr const char* kStdKyt = "qor_utl_kyt_961cp_anyos_x86-64";
inline constexpr const char* kStdBootTools = "qor_utl_boot_tools-141_anyos_x86-64-mid";
inline constexpr const char* kStdDnxelo = "qor_utl_dnxelo_9.63_windows_32-64";
inline constexpr const char* kStdEsxi41 = "qor_fw_esxi_4.1_u1_xelo_32-64";
inline constexpr const char* kStdEsxi50 = "qor_fw_esxi_5.0_xelo_32-64";

void addStandardContent(TestRepository& repo);

// ---- the HTTP repository server --------------------------------------------

// A fault served for one path (the request path, e.g. "/updates/x.bin").
struct RepoFault {
  enum Kind {
    None,
    Delay,         // wait `delayMs` before answering, then answer normally
    Stall,         // send `afterBytes` of the body, then send nothing for `stallMs` and drop the connection
    NotFound,      // answer 404
    ServerError,   // answer 500
    Truncate,      // announce the full length, send `afterBytes`, drop the connection
    WrongContent,  // the right length with different bytes
    Redirect,      // answer 302 with Location `location`
  };
  Kind kind = None;
  int delayMs = 0;
  std::uint64_t afterBytes = 0;
  int stallMs = 30000;
  std::string location;
  int times = -1;  // requests the fault applies to (-1: every one); then the path is served normally

  static RepoFault delay(int ms) { RepoFault f; f.kind = Delay; f.delayMs = ms; return f; }
  static RepoFault stall(std::uint64_t after, int ms = 30000) { RepoFault f; f.kind = Stall; f.afterBytes = after; f.stallMs = ms; return f; }
  static RepoFault notFound() { RepoFault f; f.kind = NotFound; return f; }
  static RepoFault serverError() { RepoFault f; f.kind = ServerError; return f; }
  static RepoFault truncate(std::uint64_t after) { RepoFault f; f.kind = Truncate; f.afterBytes = after; return f; }
  static RepoFault wrongContent() { RepoFault f; f.kind = WrongContent; return f; }
  static RepoFault redirect(const std::string& to) { RepoFault f; f.kind = Redirect; f.location = to; return f; }
  RepoFault& limit(int count) { times = count; return *this; }
};

// PEM files of a server certificate and its private key.
struct TlsCredentials {
  std::string certificate;
  std::string privateKey;
};

// A self-signed certificate for 127.0.0.1 and localhost (valid one day),
// written into `dir` as "server.crt" and "server.key". The certificate is
// its own authority: hand it to a client as its CA file.
TlsCredentials makeSelfSignedCertificate(const std::string& dir);

// Serves the files below a folder over HTTP on 127.0.0.1, on an ephemeral
// port. GET and HEAD; paths with ".." are refused. It also answers requests
// sent to it as an HTTP proxy (absolute-form targets "http://host/path"):
// the host part is ignored, the path served from the folder, and the
// request counted as proxied. With requireProxyAuth set, proxied requests
// without the expected Basic credentials get 407.
class RepoServer {
 public:
  explicit RepoServer(std::string root);
  ~RepoServer();  // stops the server
  RepoServer(const RepoServer&) = delete;
  RepoServer& operator=(const RepoServer&) = delete;

  // Binds 127.0.0.1 on a free port and starts answering (throws
  // std::runtime_error when it cannot bind). stop() interrupts stalls and
  // delays, joins every thread and may be called more than once.
  void start();
  void stop();
  int port() const { return boundPort; }
  std::string baseUrl() const;  // "http://127.0.0.1:<port>/" ("https://" with TLS)

  // Serve HTTPS with these credentials; call before start().
  void useTls(const TlsCredentials& credentials) { tls = credentials; }

  void setFault(const std::string& path, const RepoFault& fault);
  void clearFault(const std::string& path);
  void clearFaults();

  // Requests received for a path (faulty or not), and in all.
  int requestCount(const std::string& path) const;
  int totalRequests() const;
  // Connections the requests came on (told apart by the client's port).
  int connectionCount() const;
  int proxiedRequests() const;
  // The Proxy-Authorization header of the last proxied request ("" if none).
  std::string lastProxyAuthorization() const;
  void requireProxyAuth(const std::string& user, const std::string& password);

  struct State;  // shared with the request handlers

 private:
  std::string rootDir;
  int boundPort = 0;
  TlsCredentials tls;
  std::shared_ptr<State> state;
};

// Keys added to "qyxConnect.properties" besides the repository location.
using ConnectKeys = std::vector<std::pair<std::string, std::string>>;

// A repository in a private folder and the server for it. Fill `repo`,
// then serve() publishes it, starts the server and points the program in
// `programDir` at it, with `extra` connection keys (e.g. short timeouts).
struct ServedRepository {
  void serve(const std::string& programDir, const ConnectKeys& extra = {});

  TempDir dir;
  TestRepository repo{dir / "repo"};
  RepoServer server{repo.root()};
};

// The standard content published in a private folder and served on
// 127.0.0.1, with the program in `programDir` pointed at it.
struct ServedStandardRepository : ServedRepository {
  explicit ServedStandardRepository(const std::string& programDir, const ConnectKeys& extra = {});
};

}  // namespace xelotest
