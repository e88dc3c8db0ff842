#include "downloadmanager.h"

#include <algorithm>
#include <map>
#include <memory>

#include "digest.h"
#include "engine.h"
#include "qyxl.h"
#include "rules.h"
#include "transfer.h"

namespace QYXAcquistion {

namespace {

constexpr const char* kUnknownException = "Get an unknown exception!";
constexpr const char* kPasswordHandle = "PWD_HANDLE";
constexpr const char* kProxySlot = "1";

// The "updates:<kind>" piece of the tools-pass messages; "" for firmware and
// driver updates.
std::string updateTypeText(UpdatesType type) {
  if (type == UPDATES_TOOLS) return "updates:tools";
  if (type == UPDATES_VMWARE_ESXI) return "updates:VMWare ESXi";
  return "";
}

void closeQuietly(qyxl::UpdateOrderContext& context) {
  try {
    context.close();
  } catch (...) {
  }
}

// The packages of an order that a pass keeps: those ordered and ready for
// download that the rules keep. Files the client will not fetch (a name or
// path that would leave the download directory, a size or hash it cannot
// read) and that the rules would keep go to `refused` as "id:file": the
// update they belong to cannot be complete, so the pass must not end as a
// success.
std::vector<qyxl::UpdatePackage*> selectPackages(const std::vector<qyxl::UpdatePackage*>& ordered,
                                                 const detail::PackageRules& rules, AcquireCallbackIfc& cb,
                                                 std::vector<std::string>& refused) {
  std::vector<qyxl::UpdatePackage*> selected;
  for (qyxl::UpdatePackage* package : ordered) {
    if (!package) continue;
    const qyxl::UpdatePackageState& packageState = package->getState();
    const bool refusedFile =
        packageState.getValue() == qyxl::UpdatePackageState::ERROR_STATE.getValue() || !package->isDownloadEnabled();
    if (!refusedFile && &packageState != &qyxl::UpdatePackageState::ORDERED) continue;
    const std::string name = package->getDownloadFilename();
    const auto verdict = detail::applyPackageRules(rules, name, package->getUpdateId());
    if (refusedFile) {
      if (verdict == detail::RuleVerdict::Keep) refused.push_back(package->getUpdateId() + ":" + name);
      continue;
    }
    if (verdict == detail::RuleVerdict::DropAndLog) cb.sendInfo(AcquireMessage::Log, "Remove: " + name, 0);
    if (verdict == detail::RuleVerdict::Keep) selected.push_back(package);
  }
  return selected;
}

// The download queue: the files of each update together, in the order they
// came, and the updates by their total size, largest first (equal sizes keep
// their order).
std::vector<qyxl::UpdatePackage*> largestUpdatesFirst(const std::vector<qyxl::UpdatePackage*>& selected) {
  std::vector<std::string> updateOrder;
  std::map<std::string, std::vector<qyxl::UpdatePackage*>> groups;
  std::map<std::string, unsigned long long> totalBytes;
  for (qyxl::UpdatePackage* package : selected) {
    const std::string id = package->getUpdateId();
    auto& group = groups[id];
    if (group.empty()) updateOrder.push_back(id);
    group.push_back(package);
    totalBytes[id] += package->getSize();
  }
  std::stable_sort(updateOrder.begin(), updateOrder.end(),
                   [&](const std::string& a, const std::string& b) { return totalBytes[a] > totalBytes[b]; });
  std::vector<qyxl::UpdatePackage*> queue;
  for (const auto& id : updateOrder) queue.insert(queue.end(), groups[id].begin(), groups[id].end());
  return queue;
}

// Hands the caller the content record of a pass: one entry per update of
// the queue, with its descriptive name and its files' sizes summed in KB.
void sendContent(const std::vector<qyxl::UpdatePackage*>& queue, const std::string& machineType,
                 const std::string& osName, int updateCount, bool downloading, AcquireCallbackIfc& cb) {
  std::vector<_PACKAGEDATA> pkgs;
  std::map<std::string, std::size_t> index;
  for (qyxl::UpdatePackage* package : queue) {
    const std::string id = package->getUpdateId();
    auto [it, added] = index.emplace(id, pkgs.size());
    if (added) {
      _PACKAGEDATA data;
      const auto attributes = package->getExtendedAttributes();
      const auto name = attributes.find("name");
      data.component = (name != attributes.end() && !name->second.empty()) ? name->second : "Undefined";
      data.updateId = id;
      pkgs.push_back(data);
    }
    _PACKAGEDATA& data = pkgs[it->second];
    data.size = detail::addKb(data.size, detail::kbFromBytes(static_cast<long long>(package->getSize())));
  }
  ContentNode node;
  node.setMT(machineType);
  node.setOS(osName);
  node.setTotal(updateCount);
  node.setPkgs(pkgs);
  cb.sendMessage(node, downloading);
}

}  // namespace

DownloadManager::DownloadManager() = default;
DownloadManager::~DownloadManager() = default;

// ---- settings ----------------------------------------------------------------

// Every setter assigns under the object's lock.
#define ACQUIRE_SETTER(Setter, Type, member) \
  void DownloadManager::Setter(Type value) { \
    std::lock_guard<std::mutex> guard(lock); \
    member = value;                          \
  }

ACQUIRE_SETTER(setDownloadPath, const std::string&, downloadPath)
ACQUIRE_SETTER(setMachineTypes, const std::vector<std::string>&, machineTypes)
ACQUIRE_SETTER(setFixIds, const std::vector<std::string>&, fixIds)
ACQUIRE_SETTER(setIsReport, bool, report)
ACQUIRE_SETTER(setIsLatest, bool, latest)
ACQUIRE_SETTER(setIncludeData, bool, includeData)
ACQUIRE_SETTER(setIncludeMetaData, bool, includeMetaData)
ACQUIRE_SETTER(setIncludeFirmwareOnly, bool, includeFirmwareOnly)
ACQUIRE_SETTER(setExcludeFirmwareOnly, bool, excludeFirmwareOnly)
ACQUIRE_SETTER(setIncludeFirmwareAndDriver, bool, includeFirmwareAndDriver)
ACQUIRE_SETTER(setIncludeSupercedeOnly, bool, includeSupercedeOnly)
ACQUIRE_SETTER(setUpdateType, UpdatesType, updateType)
ACQUIRE_SETTER(setProxy, const HTTPProxyInfo&, proxy)
ACQUIRE_SETTER(setSubmitterName, const std::string&, submitterName)
ACQUIRE_SETTER(setSubmitterVersion, const std::string&, submitterVersion)
ACQUIRE_SETTER(setSubjectVersion, const std::string&, subjectVersion)
#undef ACQUIRE_SETTER

void DownloadManager::setOperatingSystems(std::vector<OSPair> value) {
  std::lock_guard<std::mutex> guard(lock);
  operatingSystems = std::move(value);
}

std::string DownloadManager::getDownloadPath() const { return downloadPath; }
std::vector<std::string> DownloadManager::getMachineTypes() const { return machineTypes; }
std::vector<DownloadManager::OSPair> DownloadManager::getOperatingSystems() const { return operatingSystems; }
std::vector<std::string> DownloadManager::getFixIds() const { return fixIds; }
bool DownloadManager::getIsReport() const { return report; }
bool DownloadManager::getIsLatest() const { return latest; }
bool DownloadManager::getIncludeData() const { return includeData; }
bool DownloadManager::getIncludeMetaData() const { return includeMetaData; }
bool DownloadManager::getIncludeFirmwareOnly() const { return includeFirmwareOnly; }
bool DownloadManager::getExcludeFirmwareOnly() const { return excludeFirmwareOnly; }
bool DownloadManager::getIncludeFirmwareAndDriver() const { return includeFirmwareAndDriver; }
bool DownloadManager::getIncludeSupercedeOnly() const { return includeSupercedeOnly; }
UpdatesType DownloadManager::getUpdateType() const { return updateType; }
HTTPProxyInfo DownloadManager::getProxy() const { return proxy; }
std::string DownloadManager::getSubmitterName() const { return submitterName; }
std::string DownloadManager::getSubmitterVersion() const { return submitterVersion; }
std::string DownloadManager::getSubjectVersion() const { return subjectVersion; }
std::set<std::string> DownloadManager::getXMLFiles() const { return xmlFiles; }

// ---- static helpers ------------------------------------------------------------

std::string DownloadManager::getOSTypeString(OSPair os) { return detail::osTypeString(os.first, os.second); }

void DownloadManager::stopDownloads() { qyxl::transfer::stopFileDownloads(); }

void DownloadManager::checkFixIds(std::vector<std::string>& ids) { detail::normaliseFixIds(ids); }

std::string DownloadManager::getFileCheckSum(const std::string& path) { return qyxl::hexText(qyxl::sha1OfFile(path)); }

bool DownloadManager::checksumMatches(const std::string& path, const std::string& expected) {
  // A file that cannot be read has no checksum; it must not match a package
  // that has no hash either, or it would count as present.
  const std::string actual = getFileCheckSum(path);
  return !actual.empty() && actual == expected;
}

bool DownloadManager::isPackageFile(const std::string& path, const qyxl::UpdatePackage& package, bool* missing) {
  const std::vector<unsigned char>* sha256 = package.getFileSha256();
  if (sha256) {
    // The stronger digest alone decides: it tells the package's file from
    // any other more surely than both together would, and a repeated pass
    // hashes every file it has, so one digest per file halves its work.
    const std::vector<unsigned char> actual = qyxl::sha256OfFile(path, missing);
    return !actual.empty() && actual == *sha256;
  }
  // As checksumMatches: a file that cannot be read matches nothing.
  const std::string actual = qyxl::hexText(qyxl::sha1OfFile(path, missing));
  return !actual.empty() && actual == detail::hashText(package.getFileHash());
}

// ---- acquisition ---------------------------------------------------------------

void DownloadManager::setupProxy(AcquireCallbackIfc& cb) {
  try {
    qyxl::Config config;
    config.load(qyxl::Config::CONNECT, true);
    if (proxy.enabled != 0) {
      config.setProperty(qyxl::Config::PROXY_ENABLED, qyxl::Config::YES);
      config.setProperty(std::string(qyxl::Config::PROXY_LOCATION) + kProxySlot, proxy.host);
      config.setProperty(std::string(qyxl::Config::PROXY_PORT) + kProxySlot, std::to_string(proxy.port));
      config.setProperty(std::string(qyxl::Config::PROXY_USERID) + kProxySlot, proxy.userId);
      // The password never goes to the properties file, only its handle.
      config.setProperty(std::string(qyxl::Config::PROXY_PASSWORD_HANDLE) + kProxySlot,
                         proxy.password.empty() ? "" : kPasswordHandle);
      if (!proxy.password.empty())
        qyxl::PlatformExtensionIfc::getPlatformExtension().setSecret(kPasswordHandle, proxy.password);
      config.setProperty(qyxl::Config::DIRECT_LAN_CONNECT_ALLOWED, qyxl::Config::NO);
    } else {
      config.setProperty(qyxl::Config::PROXY_ENABLED, qyxl::Config::NO);
      config.setProperty(qyxl::Config::DIRECT_LAN_CONNECT_ALLOWED, qyxl::Config::YES);
    }
    if (!config.store(true)) cb.sendInfo(AcquireMessage::Log, "The connection settings could not be stored", 0);
  } catch (const std::exception& e) {
    cb.sendInfo(AcquireMessage::Log, std::string("The connection settings could not be stored: ") + e.what(), 0);
  } catch (...) {
    cb.sendInfo(AcquireMessage::Log, "The connection settings could not be stored", 0);
  }
}

int DownloadManager::startDownload(AcquireCallbackIfc& cb) {
  std::lock_guard<std::mutex> guard(lock);
  qyxl::Config::setRootDataDirectory(".");
  callback = &cb;
  setupProxy(cb);
  xmlFiles.clear();
  warningsSent.clear();

  int result = ACQUIRE_NOTHING_TO_DO;
  if (!fixIds.empty()) {
    result = download("", OSPair(0, static_cast<ArchTypeEnum>(0)), cb, ACQUIRE_BY_FIX_ID, report);
  } else {
    bool anySucceeded = false;
    for (const auto& machineType : machineTypes) {
      const std::string line = "Acquiring NOVP for Machine-Type=" + machineType;
      cb.sendInfo(AcquireMessage::Log, line + " - START", 0);
      for (const auto& os : operatingSystems) {
        result = download(machineType, os, cb, ACQUIRE_BY_MACHINE_TYPE, report);
        if (result == ACQUIRE_OK) anySucceeded = true;
      }
      cb.sendInfo(AcquireMessage::Log, line + " - END", 0);
    }
    if (anySucceeded) result = ACQUIRE_OK;
  }
  callback = nullptr;
  return result;
}

int DownloadManager::orderUpdates(qyxl::UpdateOrderContext& context, const std::string& machineType, OSPair os,
                                  bool fixIdMode, AcquireCallbackIfc& cb, std::vector<qyxl::UpdatePackage*>& ordered) {
  try {
    if (fixIdMode) {
      checkFixIds(fixIds);
      context.setUpdateIds(fixIds);
    } else {
      context.setUpdateIds({latest ? detail::kLatestId : detail::kUpdatePackId});
    }
    if (!submitterName.empty() && !submitterVersion.empty())
      context.setSubmitter(qyxl::protocol__Identity{submitterName, submitterVersion});
    context.setIncludeData(includeData);
    context.setIncludeMetaData(includeMetaData);
    context.setIncludeRequisites(true);
    if (latest) {
      context.setIncludeSupersedes(true);
      context.setSelectSupersedes(2);
    } else {
      context.setIncludeSupersedes(false);
    }
    qyxl::protocolUpdateOrder__DeliveryPreference delivery;
    delivery.kind = detail::kDeliveryKind;
    context.setDeliveryPreference(delivery);
    context.setSubject(qyxl::protocol__Identity{detail::subjectName(machineType, fixIdMode), subjectVersion});
    const auto platforms = detail::inclusionPlatforms(getOSTypeString(os), os.second, latest, fixIdMode);
    if (!platforms.empty()) context.setInclusionFilters(detail::platformFilter(platforms));
    context.orderUpdates();
    for (const auto& warning : context.getWarnings())
      if (warningsSent.insert(warning).second) cb.sendInfo(AcquireMessage::Warning, warning, 0);
    ordered = context.getUpdatePackages();
    return ACQUIRE_OK;
  } catch (const qyxl::QYXException& e) {
    const int code = detail::classifyClientError(e.getId(), true);
    closeQuietly(context);
    cb.sendInfo(AcquireMessage::Error, e.what(), code);
    return code;
  } catch (...) {
    closeQuietly(context);
    cb.sendInfo(AcquireMessage::Error, kUnknownException, ACQUIRE_FAILED);
    return ACQUIRE_FAILED;
  }
}

int DownloadManager::download(const std::string& machineType, OSPair os, AcquireCallbackIfc& cb,
                              AcquireType acquireType, bool isReport) {
  auto passGuard = engine::lockPass();
  const bool fixIdMode = acquireType == ACQUIRE_BY_FIX_ID;
  const std::string osName = getOSTypeString(os);
  const std::string typeText = updateTypeText(updateType);

  // 1. Announce.
  if (!fixIdMode)
    cb.sendInfo(isReport ? AcquireMessage::ReportStarted : AcquireMessage::PassStarted, machineType + ":" + osName, 0);
  if (!typeText.empty()) cb.sendInfo(AcquireMessage::ToolsPassStarted, typeText, 0);

  // 2. Order.
  auto context = std::make_unique<qyxl::UpdateOrderContext>();
  std::vector<qyxl::UpdatePackage*> ordered;
  const int orderResult = orderUpdates(*context, machineType, os, fixIdMode, cb, ordered);
  if (orderResult != ACQUIRE_OK) return orderResult;

  // 3. Select: only packages ordered and ready for download, then the
  // package rules.
  detail::PackageRules rules;
  rules.machineTypeMode = !fixIdMode;
  rules.includeFirmwareOnly = includeFirmwareOnly;
  rules.excludeFirmwareOnly = excludeFirmwareOnly;
  rules.includeFirmwareAndDriver = includeFirmwareAndDriver;
  rules.includeSupersedeOnly = includeSupercedeOnly;
  rules.firstFixId = fixIds.empty() ? "" : fixIds.front();
  rules.updateType = updateType;
  std::vector<std::string> refused;
  const std::vector<qyxl::UpdatePackage*> selected = selectPackages(ordered, rules, cb, refused);

  // 4. Arrange: updates grouped (files keep their order), largest first.
  std::vector<qyxl::UpdatePackage*> queue = largestUpdatesFirst(selected);

  // 5. Prepare: present files, stale ones deleted, descriptor names.
  engine::prepare(queue, downloadPath, cb, xmlFiles, !isReport);
  const int updateCount = engine::updateRecordCount();

  // 6. Report the content of the pass.
  sendContent(queue, machineType, osName, updateCount, !isReport, cb);
  for (const auto& file : refused) cb.sendInfo(AcquireMessage::Log, "Refused by the update-service client: " + file, 0);

  // 7. Nothing to fetch.
  if (queue.empty()) {
    closeQuietly(*context);
    if (!refused.empty()) {
      cb.sendInfo(AcquireMessage::Error, "Download failed!", ACQUIRE_FAILED);
      return ACQUIRE_FAILED;
    }
    if (fixIdMode) return ACQUIRE_FIX_IDS_NOT_FOUND;
    cb.sendInfo(AcquireMessage::Error, "No applicable updates available", ACQUIRE_NO_UPDATES);
    return ACQUIRE_NO_UPDATES;
  }

  // 8. Announce the count.
  const std::string count = std::to_string(updateCount);
  if (!fixIdMode)
    cb.sendInfo(isReport ? AcquireMessage::ReportEnded : AcquireMessage::PassEnded,
                machineType + ":" + osName + ":" + count, 0);
  if (!typeText.empty()) cb.sendInfo(AcquireMessage::ToolsPassEnded, typeText + ":" + count, 0);

  // 9. Fetch.
  const engine::PassSettings settings{
      .callback = &cb, .context = context.get(), .report = isReport, .acquireType = acquireType};
  const bool success = engine::dispatch(queue, settings);

  // 10. Close.
  closeQuietly(*context);
  if (success && refused.empty()) {
    cb.sendInfo(isReport ? AcquireMessage::ReportFilesEnded : AcquireMessage::FilesEnded, "", 0);
    return ACQUIRE_OK;
  }
  cb.sendInfo(AcquireMessage::Error, "Download failed!", ACQUIRE_FAILED);
  return ACQUIRE_FAILED;
}

}  // namespace QYXAcquistion
