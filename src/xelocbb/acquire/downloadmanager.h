// The download manager: the settings of one acquisition and the operation
// that runs it. An acquisition orders updates from the update service, keeps
// the files already present in the download directory whose SHA-1 matches,
// downloads the rest on several threads and reports every step through an
// AcquireCallbackIfc.
//
// Environment:
//   ACQUIRE_THREAD_NUM   number of download threads, 1 to 20 (default 10;
//                        any other value gives 10).
//   ACQUIRE_MONITOR_INTERVAL_MS
//                        test-only: the progress monitor samples a download
//                        every this many milliseconds (1 to 10000) instead of
//                        every two seconds.
#pragma once
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "acquireutil.h"

namespace qyxl {
class UpdateOrderContext;
class UpdatePackage;
}  // namespace qyxl

namespace QYXAcquistion {

// Results of startDownload (and of one pass).
enum AcquireResult : int {
  ACQUIRE_OK = 0,
  ACQUIRE_DOWNLOAD_FILE_ERROR = 1,  // ordering failed with the client's download-file error
  ACQUIRE_CREATE_DIR_FAILED = 2,    // a directory could not be created
  ACQUIRE_NO_UPDATES = 3,           // nothing applicable, or an unknown update id
  ACQUIRE_FIX_IDS_NOT_FOUND = 4,    // none of the fix ids was found
  ACQUIRE_FAILED = 5,               // the pass or the order failed otherwise
  ACQUIRE_NOTHING_TO_DO = 8,        // no machine type or no operating system
  ACQUIRE_SERVICE_UNREACHABLE = 9,  // the update service could not be reached
};

class ACQUIRE_API DownloadManager {
 public:
  using OSPair = std::pair<OSTypeEnum, ArchTypeEnum>;

  DownloadManager();
  ~DownloadManager();
  DownloadManager(const DownloadManager&) = delete;
  DownloadManager& operator=(const DownloadManager&) = delete;

  // Setters assign under the object's lock; getters read without it.
  void setDownloadPath(const std::string& path);
  std::string getDownloadPath() const;
  void setMachineTypes(const std::vector<std::string>& machineTypes);
  std::vector<std::string> getMachineTypes() const;
  void setOperatingSystems(std::vector<OSPair> operatingSystems);
  std::vector<OSPair> getOperatingSystems() const;
  void setFixIds(const std::vector<std::string>& fixIds);
  std::vector<std::string> getFixIds() const;
  // Report mode: nothing is downloaded; each file is classified as locally
  // or remotely available.
  void setIsReport(bool report);
  bool getIsReport() const;
  // Order the individual latest updates instead of the update pack.
  void setIsLatest(bool latest);
  bool getIsLatest() const;
  void setIncludeData(bool include);
  bool getIncludeData() const;
  void setIncludeMetaData(bool include);
  bool getIncludeMetaData() const;
  void setIncludeFirmwareOnly(bool include);
  bool getIncludeFirmwareOnly() const;
  void setExcludeFirmwareOnly(bool exclude);
  bool getExcludeFirmwareOnly() const;
  void setIncludeFirmwareAndDriver(bool include);
  bool getIncludeFirmwareAndDriver() const;
  void setIncludeSupercedeOnly(bool include);
  bool getIncludeSupercedeOnly() const;
  void setUpdateType(UpdatesType type);
  UpdatesType getUpdateType() const;
  void setProxy(const HTTPProxyInfo& proxy);
  HTTPProxyInfo getProxy() const;
  // The submitting program's identity, sent only when both are non-empty.
  void setSubmitterName(const std::string& name);
  std::string getSubmitterName() const;
  void setSubmitterVersion(const std::string& version);
  std::string getSubmitterVersion() const;
  // The version of the order's subject identity; empty sends none.
  void setSubjectVersion(const std::string& version);
  std::string getSubjectVersion() const;

  // Names (without directory) of the ordered files ending in ".xml", collected
  // by the last startDownload, in byte-wise order.
  std::set<std::string> getXMLFiles() const;

  // Runs the whole acquisition with the current settings. Returns an
  // AcquireResult; service and download errors never escape as exceptions.
  int startDownload(AcquireCallbackIfc& callback);

  // True when the SHA-1 of the file at `path`, as lower-case hex, equals
  // `expected`. A file that cannot be read never matches.
  static bool checksumMatches(const std::string& path, const std::string& expected);
  // True when the file at `path` is the package's file: its SHA-256 matches
  // when the repository gives one (a file that only collides with the SHA-1
  // is not taken for the package), else its SHA-1. `missing` (optional)
  // tells whether there is no file at `path` at all.
  static bool isPackageFile(const std::string& path, const qyxl::UpdatePackage& package, bool* missing = nullptr);
  // For a process that is being cancelled: after this returns no download
  // creates a temporary file any more, so the caller can remove every one
  // ("<name>.part") and end the process. Downloads in flight are not waited for.
  static void stopDownloads();

 private:
  void setupProxy(AcquireCallbackIfc& callback);
  // Fills `context` with the order of one pass and sends it, leaving the
  // packages it answered in `ordered`. Returns ACQUIRE_OK, or the result of
  // a failed order after reporting it and closing `context`.
  int orderUpdates(qyxl::UpdateOrderContext& context, const std::string& machineType, OSPair os, bool fixIdMode,
                   AcquireCallbackIfc& callback, std::vector<qyxl::UpdatePackage*>& ordered);
  int download(const std::string& machineType, OSPair os, AcquireCallbackIfc& callback, AcquireType acquireType,
               bool isReport);
  static void checkFixIds(std::vector<std::string>& fixIds);
  static std::string getFileCheckSum(const std::string& path);
  static std::string getOSTypeString(OSPair os);

  std::string downloadPath = ".";
  std::vector<std::string> machineTypes;
  std::vector<OSPair> operatingSystems;
  std::vector<std::string> fixIds;
  bool report = false;
  bool latest = false;
  bool includeData = true;
  bool includeMetaData = true;
  bool includeFirmwareOnly = false;
  bool excludeFirmwareOnly = false;
  bool includeFirmwareAndDriver = false;
  bool includeSupercedeOnly = false;
  HTTPProxyInfo proxy;
  std::string subjectVersion = "5.20";
  UpdatesType updateType = UPDATES_FIRMWARE_DRIVER;
  std::string submitterVersion;
  std::string submitterName;
  std::set<std::string> xmlFiles;
  std::set<std::string> warningsSent;  // the client's warnings, each sent once per startDownload()

  AcquireCallbackIfc* callback = nullptr;
  std::mutex lock;
};

}  // namespace QYXAcquistion
