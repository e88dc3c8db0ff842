// Orders and their packages: the catalog is fetched from the configured
// location, the order answered from it, and every file of every chosen
// update becomes one UpdatePackage.
#include <atomic>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "catalog.h"
#include "digest.h"
#include "internal.h"
#include "qyxl.h"
#include "selection.h"
#include "transfer.h"
#include "trust.h"

namespace qyxl {

namespace fs = std::filesystem;

const UpdatePackageState UpdatePackageState::ORDERED(1, "ORDERED");
const UpdatePackageState UpdatePackageState::DOWNLOADED(2, "DOWNLOADED");
const UpdatePackageState UpdatePackageState::ERROR_STATE(3, "ERROR");

namespace {

std::vector<unsigned char> hashBytes(const std::string& hex) {
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

class Package : public UpdatePackage {
 public:
  Package(const catalog::Update& update, const catalog::FileEntry& file, const transfer::Settings& settings,
          bool verified)
      : settings(settings),
        updateId(update.id),
        filename(file.name),
        size(file.hasSize ? file.size : 0),
        hasSize(file.hasSize) {
    if (!update.name.empty()) attributes["name"] = update.name;
    attributes["kind"] = update.kind;
    attributes["role"] = file.role;
    if (!update.version.empty()) attributes["version"] = update.version;
    if (!file.sha1.empty()) {
      hash = hashBytes(file.sha1);
      hasHash = true;
    }
    if (!file.sha256.empty()) strongHash = hashBytes(file.sha256);
    // A name or path that would leave the download directory, or an entry
    // whose size or hash could not be read, is never fetched. A signed
    // catalog vouches for a file only through its size and SHA-256.
    if (!catalog::isSafeFileName(file.name)) {
      refusal = "refused file name \"" + file.name + "\" of update " + update.id;
    } else if (!catalog::isSafeRelativePath(file.path)) {
      refusal = "refused repository path \"" + file.path + "\" of " + file.name;
    } else if (verified && (!file.hasSize || file.sha256.empty())) {
      refusal = "refused " + file.name + ": the signed catalog gives no size or SHA-256 for it";
    } else {
      url = transfer::fileUrl(settings, file.path);
    }
    state.store(refusal.empty() ? &UpdatePackageState::ORDERED : &UpdatePackageState::ERROR_STATE);
  }

  std::string getUpdateId() const override { return updateId; }
  std::string getDownloadFilename() const override { return filename; }
  std::string getDownloadPathname() const override {
    std::lock_guard<std::mutex> lock(mutex);
    return pathname;
  }
  void setDownloadPathname(const std::string& dir) override {
    std::lock_guard<std::mutex> lock(mutex);
    pathname = dir;
  }
  std::uint64_t getSize() const override { return size; }
  const std::vector<unsigned char>* getFileHash() const override { return hasHash ? &hash : nullptr; }
  const std::vector<unsigned char>* getFileSha256() const override {
    return strongHash.empty() ? nullptr : &strongHash;
  }
  std::map<std::string, std::string> getExtendedAttributes() const override { return attributes; }
  const UpdatePackageState& getState() const override { return *state.load(); }
  bool isDownloadEnabled() const override { return refusal.empty(); }
  void setCompareSizeEnabled(bool enabled) override { compareSize.store(enabled); }

  void download(UpdateOrderContext& context) override;

  std::string finalPath() const {
    std::string dir = getDownloadPathname();
    return dir.empty() ? filename : (fs::path(dir) / filename).string();
  }

 private:
  // A file already in place with the expected size (and hashes, when known).
  bool alreadyPresent(const std::string& path) const {
    std::error_code ec;
    if (!hasSize || !fs::is_regular_file(path, ec) || fs::file_size(path, ec) != size || ec) return false;
    if (strongHash.empty()) return !hasHash || sha1OfFile(path) == hash;
    std::vector<unsigned char> sha1, sha256;
    return hashFile(path, sha1, sha256) && (!hasHash || sha1 == hash) && sha256 == strongHash;
  }

  transfer::Settings settings;
  std::string updateId;
  std::string filename;
  std::uint64_t size;
  bool hasSize;
  std::vector<unsigned char> hash;
  bool hasHash = false;
  std::vector<unsigned char> strongHash;  // SHA-256, when the catalog gives it
  std::map<std::string, std::string> attributes;
  std::string url;
  std::string refusal;
  mutable std::mutex mutex;
  std::string pathname;
  std::atomic<const UpdatePackageState*> state{&UpdatePackageState::ORDERED};
  std::atomic<bool> compareSize{true};
};

}  // namespace

struct UpdateOrderContext::Impl {
  selection::Request request;
  bool closed = false;
  std::vector<std::unique_ptr<Package>> owned;  // every package ever answered
  std::vector<UpdatePackage*> current;          // those of the last order
  std::vector<std::string> warnings;            // of the last order
};

UpdateOrderContext::UpdateOrderContext() : impl(std::make_unique<Impl>()) {}
UpdateOrderContext::~UpdateOrderContext() = default;

void UpdateOrderContext::setUpdateIds(const std::vector<std::string>& ids) { impl->request.ids = ids; }
void UpdateOrderContext::setSubmitter(const protocol__Identity&) {}
void UpdateOrderContext::setSubject(const protocol__Identity& subject) { impl->request.subject = subject.name; }
void UpdateOrderContext::setIncludeData(bool include) { impl->request.includeData = include; }
void UpdateOrderContext::setIncludeMetaData(bool include) { impl->request.includeMetaData = include; }
void UpdateOrderContext::setIncludeRequisites(bool include) { impl->request.includeRequisites = include; }
void UpdateOrderContext::setIncludeSupersedes(bool include) { impl->request.includeSupersedes = include; }
void UpdateOrderContext::setSelectSupersedes(int select) { impl->request.selectSupersedes = select; }
void UpdateOrderContext::setDeliveryPreference(const protocolUpdateOrder__DeliveryPreference&) {}
void UpdateOrderContext::setInclusionFilters(const protocolUpdateOrderFilter__Filter& filter) {
  impl->request.filter = filter;
  impl->request.hasFilter = true;
}

void UpdateOrderContext::orderUpdates() {
  impl->warnings.clear();
  transfer::Settings settings = transfer::readSettings();
  trust::TrustedCatalog trusted = trust::loadCatalog(settings, static_cast<std::int64_t>(std::time(nullptr)));
  impl->warnings = trusted.warnings;
  auto chosen = selection::select(trusted.catalog, impl->request);
  std::vector<UpdatePackage*> packages;
  for (const auto& s : chosen) {
    for (const catalog::FileEntry* f : s.files) {
      auto p = std::make_unique<Package>(*s.update, *f, settings, trusted.verified);
      packages.push_back(p.get());
      impl->owned.push_back(std::move(p));
    }
  }
  impl->current = std::move(packages);
  impl->closed = false;
}

std::vector<UpdatePackage*> UpdateOrderContext::getUpdatePackages() { return impl->current; }

std::vector<std::string> UpdateOrderContext::getWarnings() const { return impl->warnings; }

void UpdateOrderContext::close() { impl->closed = true; }

void Package::download(UpdateOrderContext&) {
  if (!refusal.empty()) throw detail::error(QYXMessage::CmnDownloadFileError, refusal);
  const std::string path = finalPath();
  if (compareSize.load() && alreadyPresent(path)) {
    state.store(&UpdatePackageState::DOWNLOADED);
    return;
  }
  transfer::FileRequest request;
  request.url = url;
  request.finalPath = path;
  request.hasSize = hasSize;
  request.size = size;
  request.sha1 = hash;
  request.sha256 = strongHash;
  // A failed download throws and leaves the package ordered, so it can be
  // tried again.
  transfer::fetchFile(settings, request);
  state.store(&UpdatePackageState::DOWNLOADED);
}

}  // namespace qyxl
