// Types shared by the acquisition library and its callers: the enumerations,
// the proxy record, the per-pass content record handed to the caller, and the
// callback interface through which the library reports progress.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32)
#define ACQUIRE_API __declspec(dllexport)
#else
#define ACQUIRE_API __attribute__((visibility("default")))
#endif

namespace QYXAcquistion {

// Version of the acquisition library.
ACQUIRE_API std::string libraryVersion();

// What a pass acquires.
enum UpdatesType : int {
  UPDATES_FIRMWARE_DRIVER = 0,  // firmware and driver updates
  UPDATES_TOOLS = 1,            // the repository's tool packages
  UPDATES_VMWARE_ESXI = 2,      // VMware ESXi updates
};

// How a pass chooses its updates.
enum AcquireType : int {
  ACQUIRE_BY_MACHINE_TYPE = 0,  // by machine type and operating system
  ACQUIRE_BY_FIX_ID = 1,        // by explicit update ids
};

enum ArchTypeEnum : int {
  ARCH_X86 = 1,
  ARCH_X64 = 2,
  ARCH_PPC = 5,
};

// Operating-system codes are plain integers: 0 none, 1 and 301-303 VMware,
// 2 AIX, 101-109 Windows, 201-209 RHEL and SLES. Any other value names
// nothing. An operating system is always given with its architecture.
using OSTypeEnum = int;

struct HTTPProxyInfo {
  int32_t enabled = 0;  // nonzero: use the proxy
  std::string host;
  int32_t port = 0;
  std::string userId;    // may be empty
  std::string password;  // may be empty
};

// One update of a pass. The library fills the first fields and leaves the
// progress fields to the caller.
struct _PACKAGEDATA {
  std::string component;  // descriptive name, "Undefined" when the update has none
  std::string updateId;
  std::string status = "Not Started";
  int32_t size = 0;  // KB, summed over the update's files
  int32_t downloadedSize = 0;
  int32_t downloadSpeed = 0;
};

// The record of one acquisition pass: machine type, operating system and the
// updates in the order the pass queues them.
class ACQUIRE_API ContentNode {
 public:
  ContentNode() = default;
  ContentNode(const ContentNode&) = default;
  ContentNode& operator=(const ContentNode&) = default;
  ~ContentNode() = default;

  void setMT(std::string mt);
  std::string getMT() const;
  void setOS(std::string os);
  std::string getOS() const;
  void setTotal(int total);
  int getTotal() const;
  void setPkgs(std::vector<_PACKAGEDATA>& pkgs);
  std::vector<_PACKAGEDATA>& getPkgs();

  // The first entry with this update id. For an id that is not in the list a
  // blank entry (owned by the node, not part of getPkgs()) is returned.
  _PACKAGEDATA& getPkg(std::string updateId);
  // These change the first entry with the id and ignore unknown ids.
  void setStatus(std::string updateId, std::string status);
  std::string getStatus(std::string updateId);
  void setDownloadedSize(std::string updateId, long kb);
  void setFullDownloadedSize(std::string updateId);  // downloaded = size
  int getDownloadedSize(std::string updateId);
  void setDownloadSpeed(std::string updateId, long value);

 private:
  _PACKAGEDATA* find(const std::string& updateId);

  std::string MT;
  std::string OS;
  int32_t total = 0;
  std::vector<_PACKAGEDATA> pkgs;
  _PACKAGEDATA missing;
};

// The message ids of AcquireCallbackIfc::sendInfo, with the text each one
// carries (fields separated by ":"). The numbers are part of the library's
// interface and never change; "updates" is the number of updates of the pass
// and "done" how many of them are finished.
struct AcquireMessage {
  enum Id : int {
    FileStarted = 0,        // "id:file": its download begins
    FileHandled = 1,        // "id:file": finished with, downloaded or failed
    FilePresent = 2,        // "id:file": already there with the right hash
    PassStarted = 3,        // "machineType:os"
    PassEnded = 4,          // "machineType:os:updates"
    Error = 5,              // the failure's text; the code is an AcquireResult
    ReportStarted = 6,      // "machineType:os" (report mode)
    ReportEnded = 7,        // "machineType:os:updates" (report mode)
    ReportFilePresent = 8,  // "id:file" (report mode)
    ReportFileMissing = 9,  // "id:file" (report mode)
    FileQueued = 13,        // "id:file": about to be downloaded
    FilesEnded = 14,        // no text: every file of the pass is handled
    ReportFilesEnded = 15,  // no text: the report pass is over
    ToolsPassStarted = 16,  // "updates:<kind of tools>"
    ToolsPassEnded = 17,    // "updates:<kind of tools>:updates"
    Notice = 18,            // a line for the user (sent by callers, not by the library)
    FileSize = 20,          // "id:file:KB"
    FileProgress = 21,      // "id:file:KB so far:KB:updates:done"
    FileDownloaded = 22,    // "id:file"
    UpdateStarted = 23,     // "id:updates:done"
    UpdateDone = 24,        // "id:updates:done": every file is good
    UpdateFailed = 25,      // "id:updates:done": some file failed
    UpdatePresent = 26,     // "id:updates:done": every file was already there
    UpdateProgress = 27,    // "id:KB so far"
    FileFailed = 30,        // "id:file:reason"
    Log = 31,               // a log line
    Verbose = 32,           // a log line for verbose logging only
    Warning = 33,           // a warning for the user, to show and log (a catalog used unsigned)
  };
};

// How the library reports to its caller. Calls from the library's worker and
// monitor threads are serialised by the library's lock, so an implementation
// needs no lock of its own; it must not call back into the DownloadManager
// that is running.
class ACQUIRE_API AcquireCallbackIfc {
 public:
  AcquireCallbackIfc() = default;
  AcquireCallbackIfc(const AcquireCallbackIfc&) = default;
  AcquireCallbackIfc& operator=(const AcquireCallbackIfc&) = default;

  // Once per pass, after ordering and before any file is handled; the
  // default does nothing. `downloading` is false in report mode.
  virtual void sendMessage(ContentNode node, bool downloading);
  // Every other report: progress, per-file results, errors and log lines.
  // `messageId` is an AcquireMessage::Id; `code` is an AcquireResult for
  // AcquireMessage::Error and 0 otherwise.
  virtual void sendInfo(int messageId, std::string text, int code) = 0;

  virtual ~AcquireCallbackIfc() = default;
};

}  // namespace QYXAcquistion
