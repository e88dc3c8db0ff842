#include "rules.h"

#include <cstdlib>
#include <limits>
#include <memory>

#include "digest.h"

namespace QYXAcquistion::detail {

namespace {

constexpr int32_t kMaxKb = std::numeric_limits<int32_t>::max();

bool contains(const std::string& text, const char* piece) { return text.find(piece) != std::string::npos; }

bool containsAny(const std::string& text, std::initializer_list<const char*> pieces) {
  for (const char* p : pieces)
    if (contains(text, p)) return true;
  return false;
}

}  // namespace

std::string osTypeString(int osType, int arch) {
  // Names that do not depend on the architecture.
  switch (osType) {
    case 0: return "NONE";
    case 1:
    case 301:
    case 302:
    case 303: return "VMware";
    case 2: return "AIX ppc";
    case 101:
    case 102:
    case 104:
    case 105:
    case 106: return "Windows 2000";
    default: break;
  }
  const char* base = nullptr;
  bool hasPpc = false;
  switch (osType) {
    case 103:
    case 107:
    case 108: base = "Windows 2003"; break;
    case 109: base = "Windows 2008"; break;
    case 201: base = "RHEL 3"; break;
    case 202: base = "RHEL 4"; break;
    case 203:
      base = "RHEL 5";
      hasPpc = true;
      break;
    case 205: base = "SLES 9"; break;
    case 206:
      base = "SLES 10";
      hasPpc = true;
      break;
    case 207:
      base = "SLES 11";
      hasPpc = true;
      break;
    case 208: base = "RHEL 6"; break;
    case 209: base = "RHEL 7"; break;
    default: return "";
  }
  if (arch == 1) return base;
  if (arch == 2) return std::string(base) + " x64";
  if (arch == 5 && hasPpc) return std::string(base) + " ppc";
  return "";
}

int32_t kbFromBytes(long long bytes) {
  if (bytes <= 0) return 0;
  const long long kb = bytes / 1024;
  if (kb == 0) return 1;
  return kb > kMaxKb ? kMaxKb : static_cast<int32_t>(kb);
}

int32_t addKb(int32_t a, int32_t b) {
  const long long sum = static_cast<long long>(a) + b;
  return sum > kMaxKb ? kMaxKb : static_cast<int32_t>(sum);
}

std::string hashText(const std::vector<unsigned char>* hash) { return hash ? qyxl::hexText(*hash) : ""; }

int threadCountFrom(const char* value) {
  if (!value) return kDefaultThreads;
  const int count = std::atoi(value);
  return (count >= 1 && count <= kThreadSlots) ? count : kDefaultThreads;
}

void normaliseFixIds(std::vector<std::string>& fixIds) {
  for (auto& id : fixIds)
    if (id.rfind(kFixIdPrefix, 0) != 0) id = kFixIdPrefix + id;
}

std::string subjectName(const std::string& machineType, bool fixIdMode) {
  if (fixIdMode || machineType == "all") return kSubjectRoot;
  return std::string(kSubjectRoot) + "/" + machineType;
}

std::vector<std::string> inclusionPlatforms(const std::string& osName, int arch, bool latest, bool fixIdMode) {
  if (fixIdMode) return {};
  // Any Windows version is served by the updates of every Windows platform.
  if (contains(osName, "Windows"))
    return {"Windows 2000", "Windows 2003", "Windows 2003 x64", "Windows 2008", "Windows 2008 x64"};
  if (contains(osName, "SLES 11") && arch == 5) return {"SLES 11 ppc", "RHEL 5 ppc"};
  if (latest) return {osName, "NONE"};
  return {osName};
}

qyxl::protocolUpdateOrderFilter__Filter platformFilter(const std::vector<std::string>& platforms) {
  qyxl::protocolUpdateOrderFilter__Filter root;
  root.kind = qyxl::protocolUpdateOrderFilter__Filter::Or;
  root.orNode = std::make_shared<qyxl::protocolUpdateOrderFilter__Or>();
  for (const auto& name : platforms) {
    qyxl::protocolUpdateOrderFilter__Filter node;
    node.kind = qyxl::protocolUpdateOrderFilter__Filter::Platform;
    node.platform.comparison = 0;
    node.platform.platform = name;
    root.orNode->nodes.push_back(node);
  }
  return root;
}

RuleVerdict applyPackageRules(const PackageRules& rules, const std::string& name, const std::string& id) {
  // Packages that never belong on a machine-type medium.
  if (rules.machineTypeMode && (contains(name, "_utl_vcu") || contains(id, "_fw_cmk") || contains(id, "mqrtz")))
    return RuleVerdict::Drop;
  // Packages named "mlnx" are never acquired, in any mode; each is logged.
  if (contains(name, "mlnx") || contains(name, "MLNX")) return RuleVerdict::DropAndLog;
  if (rules.includeFirmwareOnly && containsAny(name, {"_dd_", "_svc_", "novpi", ".sles10", "_zad_", "_vzad_"}))
    return RuleVerdict::Drop;
  if (rules.excludeFirmwareOnly && containsAny(name, {"_fw_", "_svc_", "novpi", ".sles10", "_zad_", "_vzad_"}))
    return RuleVerdict::Drop;
  if (rules.includeFirmwareAndDriver && containsAny(name, {"_svc_", "novpi", ".sles10", "_zad_", "_vzad_"}))
    return RuleVerdict::Drop;
  // Only the updates that supersede the first fix id remain.
  if (rules.includeSupersedeOnly && !rules.firstFixId.empty() && rules.firstFixId.find(id) != std::string::npos)
    return RuleVerdict::Drop;
  if (rules.updateType == 1 &&
      ((contains(name, "_vzad_2.00_") && contains(name, ".zip")) || contains(name, "_vzad_2.01_")))
    return RuleVerdict::Drop;
  return RuleVerdict::Keep;
}

AcquireResult classifyClientError(qyxl::QYXMessage::Id messageId, bool withUpdateNotFound) {
  switch (messageId) {
    case qyxl::QYXMessage::CreateDirFailed: return ACQUIRE_CREATE_DIR_FAILED;
    case qyxl::QYXMessage::UpdUpdateNotFound: return withUpdateNotFound ? ACQUIRE_NO_UPDATES : ACQUIRE_FAILED;
    case qyxl::QYXMessage::ConnectivityPath:
    case qyxl::QYXMessage::WebServiceCall: return ACQUIRE_SERVICE_UNREACHABLE;
    case qyxl::QYXMessage::CmnDownloadFileError: return ACQUIRE_DOWNLOAD_FILE_ERROR;
    case qyxl::QYXMessage::CmnDownloadTimeout:
    case qyxl::QYXMessage::Unknown: break;
  }
  return ACQUIRE_FAILED;
}

bool isRetryableDownloadError(qyxl::QYXMessage::Id messageId) {
  return messageId == qyxl::QYXMessage::CmnDownloadFileError || messageId == qyxl::QYXMessage::CmnDownloadTimeout;
}

}  // namespace QYXAcquistion::detail
