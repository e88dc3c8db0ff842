// The acquisition library's pure rules: operating-system names, sizes in KB,
// checksums, the thread count, fix ids, what an order asks for and which
// ordered packages a pass keeps. Kept apart from the engine so that they can
// be tested on their own.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "downloadmanager.h"
#include "qyxl.h"

namespace QYXAcquistion::detail {

// Display name of an operating system and architecture; "" for a pair that
// names nothing.
std::string osTypeString(int osType, int arch);

// Sizes leave the library in KB: 0 for a count of 0 or less, otherwise the
// count divided by 1024 and rounded down, but at least 1. Saturates at the
// largest 32-bit value.
int32_t kbFromBytes(long long bytes);
// a + b for KB values, saturating like kbFromBytes.
int32_t addKb(int32_t a, int32_t b);

// A package's file hash as lower-case hex ("" without a hash), the form in
// which DownloadManager compares checksums.
std::string hashText(const std::vector<unsigned char>* hash);

inline constexpr int kThreadSlots = 20;
inline constexpr int kDefaultThreads = 10;
// The download thread count from the text of ACQUIRE_THREAD_NUM (null when
// unset): a number from 1 to 20 is taken, anything else gives 10.
int threadCountFrom(const char* value);

// Prefixes every fix id that lacks it with "ptf/".
void normaliseFixIds(std::vector<std::string>& fixIds);

// Order constants.
inline constexpr const char* kUpdatePackId = "sup/latest";
inline constexpr const char* kLatestId = "all";
inline constexpr const char* kFixIdPrefix = "ptf/";
inline constexpr const char* kSubjectRoot = "qor/korvex";
inline constexpr const char* kDeliveryKind = "individual";

// The subject of an order: the root for fix ids and for machine type "all",
// else the root followed by "/" and the machine type.
std::string subjectName(const std::string& machineType, bool fixIdMode);

// The platform names of the inclusion filter of an order; empty when the
// order carries no filter (fix-id mode).
std::vector<std::string> inclusionPlatforms(const std::string& osName, int arch, bool latest, bool fixIdMode);
// One "or" node over one equality platform comparison per name.
qyxl::protocolUpdateOrderFilter__Filter platformFilter(const std::vector<std::string>& platforms);

// The settings that decide which ordered packages a pass keeps.
struct PackageRules {
  bool machineTypeMode = true;
  bool includeFirmwareOnly = false;
  bool excludeFirmwareOnly = false;
  bool includeFirmwareAndDriver = false;
  bool includeSupersedeOnly = false;
  std::string firstFixId;  // the first normalised fix id; "" when there is none
  int updateType = 0;
};

enum class RuleVerdict {
  Keep,
  Drop,
  DropAndLog,  // dropped and logged as "Remove: <name>"
};

// Applies the package rules in order to one package, by its download file
// name and update id.
RuleVerdict applyPackageRules(const PackageRules& rules, const std::string& fileName, const std::string& updateId);

// Result code of a client error, from its message id. An unknown update is
// ACQUIRE_NO_UPDATES only `withUpdateNotFound` (not for failed downloads in
// fix-id mode, where it is ACQUIRE_FAILED like every unlisted id).
AcquireResult classifyClientError(qyxl::QYXMessage::Id messageId, bool withUpdateNotFound);

// Whether a failed download is worth another try on fewer threads: the
// transfer failed or stalled.
bool isRetryableDownloadError(qyxl::QYXMessage::Id messageId);

}  // namespace QYXAcquistion::detail
