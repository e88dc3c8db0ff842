// Update-service client library. It orders updates from an update
// repository (a static folder tree served over HTTP(S), or read through a
// file:// location) and downloads their files with verification.
//
// The acquisition library is its only user: it fills an UpdateOrderContext
// with ids, identities and platform filters, calls orderUpdates(), and then
// downloads each UpdatePackage the order returned. Failures are reported by
// throwing QYXException, which carries the id of its message; its text starts
// with the message text of that id.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qyxl {

// Version of the client protocol this build speaks.
std::string clientVersion();

// ---- messages ------------------------------------------------------------

class QYXMessage {
 public:
  // Message ids; the texts are given by getString() for the keys below.
  enum Id : int {
    Unknown = 0,
    CreateDirFailed = 1,       // key "createDirFailed"
    CmnDownloadFileError = 2,  // key "Cmn.DownloadFileError"
    CmnDownloadTimeout = 3,    // key "Cmn.DownloadTimeout"
    UpdUpdateNotFound = 4,     // key "Upd.UpdateNotFound"
    ConnectivityPath = 5,      // "Error preparing connectivity path"
    WebServiceCall = 6,        // "Error preparing web service call"
  };

  QYXMessage(int id, std::string text) : id(id), text(std::move(text)) {}
  int getIdAsInt() const { return id; }
  Id getId() const { return static_cast<Id>(id); }
  const std::string& getText() const { return text; }

  // The text of a message key ("" for an unknown key).
  static std::string getString(const std::string& key);

 private:
  int id;
  std::string text;
};

// What the client throws. what() is the message text followed by details.
class QYXException : public std::runtime_error {
 public:
  QYXException(QYXMessage message, const std::string& detail);
  const QYXMessage& getMessage() const { return message; }
  int getIdAsInt() const { return message.getIdAsInt(); }
  QYXMessage::Id getId() const { return message.getId(); }

 private:
  QYXMessage message;
};

// ---- configuration ---------------------------------------------------------

// The client's properties files in the root data directory: "qyxBase.properties"
// (BASE) and "qyxConnect.properties" (CONNECT), lines "key = value".
class Config {
 public:
  enum Store { BASE = 0, CONNECT = 1 };
  static constexpr const char* YES = "true";
  static constexpr const char* NO = "false";

  // Keys of the connection store.
  static constexpr const char* SP_LOCATION_URL = "_QOR.SP_LOCATION_URL";
  static constexpr const char* SP_UPDATE_INIT = "_QOR.SP_UPDATE_INIT";
  static constexpr const char* PROXY_ENABLED = "CUSTOMER_SUPPLIED_HTTP_PROXY_ENABLED";
  static constexpr const char* PROXY_LOCATION = "CUSTOMER_SUPPLIED_HTTP_PROXY_LOCATION_";
  static constexpr const char* PROXY_PORT = "CUSTOMER_SUPPLIED_HTTP_PROXY_PORT_";
  static constexpr const char* PROXY_USERID = "CUSTOMER_SUPPLIED_HTTP_PROXY_USERID_";
  static constexpr const char* PROXY_PASSWORD_HANDLE = "CUSTOMER_SUPPLIED_HTTP_PROXY_PASSWORD_HANDLE_";
  static constexpr const char* DIRECT_LAN_CONNECT_ALLOWED = "DIRECT_LAN_CONNECT_ALLOWED";
  // Optional transport settings (connection store): a PEM file of
  // certificate authorities for https (default: the system's), seconds to
  // connect (default 30), and seconds without a received byte after which a
  // transfer counts as stalled (default 60).
  static constexpr const char* CA_FILE = "_QOR.CA_FILE";
  static constexpr const char* CONNECT_TIMEOUT = "_QOR.CONNECT_TIMEOUT_SECONDS";
  static constexpr const char* LOW_SPEED_TIMEOUT = "_QOR.LOW_SPEED_TIMEOUT_SECONDS";
  // A catalog is used only when its signature verifies against a key of the
  // keyring (the folder "keyring" of the root data directory). This key,
  // set to exactly the repository location, lets that location's catalog be
  // used without a valid signature, with a warning at every order.
  static constexpr const char* UNSIGNED_CATALOG_ALLOWED_FOR = "_QOR.UNSIGNED_CATALOG_ALLOWED_FOR";

  // Where the properties files are (relative names are taken from the
  // current directory when used).
  static void setRootDataDirectory(const std::string& dir);
  static std::string getRootDataDirectory();

  // Reads a store; with `create`, a missing file reads as empty.
  bool load(Store store, bool create);
  std::string getProperty(const std::string& key) const;
  void setProperty(const std::string& key, const std::string& value);
  // Writes the loaded store back, keeping the lines it did not change.
  bool store(bool create);

 private:
  Store loaded = CONNECT;
  std::vector<std::pair<std::string, std::string>> lines;  // key ("" for comment/blank) and raw text
};

// Secrets that must not be written to a properties file (the proxy
// password) are kept in memory by handle.
class PlatformExtensionIfc {
 public:
  virtual ~PlatformExtensionIfc() = default;
  virtual void setSecret(const std::string& handle, const std::string& secret) = 0;
  virtual std::string getSecret(const std::string& handle) const = 0;
  static PlatformExtensionIfc& getPlatformExtension();
};

// ---- request types ---------------------------------------------------------

struct protocol__Identity {
  std::string name;
  std::string version;  // may be empty
};

struct protocol__DataPortPreference {
  std::string kind = "default";
};

struct protocolUpdateOrder__DeliveryPreference {
  std::string kind = "individual";
  protocol__DataPortPreference dataPort;
};

// An inclusion filter tree: "or" nodes over platform or string comparisons.
struct protocolUpdateOrderFilter__PlatformComparison {
  int comparison = 0;  // 0: equal
  std::string platform;
};

struct protocolUpdateOrderFilter__StringComparison {
  int comparison = 0;  // 0: equal
  std::string name;
  std::string value;
};

struct protocolUpdateOrderFilter__Filter;

struct protocolUpdateOrderFilter__Or {
  std::vector<protocolUpdateOrderFilter__Filter> nodes;
};

struct protocolUpdateOrderFilter__Filter {
  enum Kind { Platform, String, Or } kind = Platform;
  protocolUpdateOrderFilter__PlatformComparison platform;
  protocolUpdateOrderFilter__StringComparison string;
  std::shared_ptr<protocolUpdateOrderFilter__Or> orNode;
};

// ---- packages --------------------------------------------------------------

class UpdatePackageState {
 public:
  static const UpdatePackageState ORDERED;
  static const UpdatePackageState DOWNLOADED;
  static const UpdatePackageState ERROR_STATE;
  int getValue() const { return value; }
  const char* getName() const { return name; }

 private:
  constexpr UpdatePackageState(int value, const char* name) : value(value), name(name) {}
  int value;
  const char* name;
};

class UpdateOrderContext;

// One file of an ordered update.
class UpdatePackage {
 public:
  virtual ~UpdatePackage() = default;
  virtual std::string getUpdateId() const = 0;
  virtual std::string getDownloadFilename() const = 0;
  virtual std::string getDownloadPathname() const = 0;
  virtual void setDownloadPathname(const std::string& dir) = 0;
  virtual std::uint64_t getSize() const = 0;
  // SHA-1 of the file (20 bytes), or null when the repository gives none.
  virtual const std::vector<unsigned char>* getFileHash() const = 0;
  // SHA-256 of the file (32 bytes), or null when the repository gives none.
  virtual const std::vector<unsigned char>* getFileSha256() const { return nullptr; }
  // Descriptive attributes; "name" is the update's descriptive name when known.
  virtual std::map<std::string, std::string> getExtendedAttributes() const = 0;
  // ERROR_STATE (and download disabled) for a file the client refuses: a
  // name or path that would leave the download directory, or a malformed
  // size or hash in the repository.
  virtual const UpdatePackageState& getState() const = 0;
  virtual bool isDownloadEnabled() const = 0;
  // Enabled (the default): download() keeps a file already in place with
  // the expected size and SHA-1 instead of fetching it again.
  virtual void setCompareSizeEnabled(bool enabled) = 0;
  // Downloads the file into pathname/filename (under a temporary name,
  // renamed when complete and verified). Blocks; throws QYXException.
  virtual void download(UpdateOrderContext& context) = 0;
};

// One order: what to ask the repository for, and the packages it answered.
class UpdateOrderContext {
 public:
  UpdateOrderContext();
  ~UpdateOrderContext();
  UpdateOrderContext(const UpdateOrderContext&) = delete;
  UpdateOrderContext& operator=(const UpdateOrderContext&) = delete;

  void setUpdateIds(const std::vector<std::string>& ids);
  void setSubmitter(const protocol__Identity& submitter);
  void setSubject(const protocol__Identity& subject);
  void setIncludeData(bool include);
  void setIncludeMetaData(bool include);
  void setIncludeRequisites(bool include);
  void setIncludeSupersedes(bool include);
  void setSelectSupersedes(int select);
  void setDeliveryPreference(const protocolUpdateOrder__DeliveryPreference& preference);
  void setInclusionFilters(const protocolUpdateOrderFilter__Filter& filter);

  // Asks the repository; blocks. Throws QYXException on failure. How an
  // order is answered is described in docs/repository.md.
  void orderUpdates();
  // Warnings of the last order for the user: a catalog used without a valid
  // signature, by the settings' choice.
  std::vector<std::string> getWarnings() const;
  // Packages of the last order, owned by the context: they stay valid until
  // the context is destroyed, across close() and later orders.
  std::vector<UpdatePackage*> getUpdatePackages();
  // Releases the order's resources; never throws.
  void close();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

// Sleeps whole seconds.
void qyxsleep(int seconds);

// The name under which UpdatePackage::download() writes a file while it is
// in flight: the final path followed by ".part", in the same directory. The
// file is renamed to `finalPath` only when it is complete and verified, so a
// partial file never carries the final name. Progress monitors sample the
// size of this file.
inline std::string temporaryPathFor(const std::string& finalPath) { return finalPath + ".part"; }

}  // namespace qyxl
