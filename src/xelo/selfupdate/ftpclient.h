// Copying the service files from the maker's software FTP server into the
// working directory. libcurl is loaded at run time by file name, so the
// program starts (and builds every other kind of medium) without it.
//
// Settings (environment):
//   XELO_FTP_SERVER    host name (optionally "host:port", "[v6-address]:port")
//                      of the FTP server of the service files. Default
//                      "ftp.qor.example", port 21.
//   XELO_CURL_LIBRARY  file name of the libcurl library loaded at run time.
//                      Default: the host's (defaultCurlLibraryName in host/host.h).
//   XELO_FTP_STALL_SECONDS  seconds without a reply or a byte after which a
//                      transfer fails (1 to 99999, default 60).
#pragma once
#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "core/options.h"
#include "host/dynlib.h"
#include "log/logger.h"

namespace XELO {

inline constexpr const char* kDefaultFtpServer = "ftp.qor.example";
inline constexpr const char* kDefaultFtpPort = "21";
inline constexpr const char* kServiceFilesUser = "anonymous";
inline constexpr const char* kServiceFilesPassword = "visitorid";
inline constexpr const char* kServiceFilesDirectory = "/vendrel/Xelosft/sft/";
// Each remote listing is written here (current directory) and read back.
inline constexpr const char* kListingFile = "stpDirFile.log";

inline constexpr long kFtpConnectSeconds = 30;
inline constexpr long kDefaultFtpStallSeconds = 60;

// XELO_FTP_STALL_SECONDS when it is a whole number of seconds from 1 to
// 99999, the default otherwise.
long ftpStallSeconds();

// XELO_CURL_LIBRARY, or the default when unset or empty.
std::string curlLibraryName();

// "ftp://anonymous:visitorid@<host>:<port>/vendrel/Xelosft/sft/" with the
// host and port of XELO_FTP_SERVER (or the defaults).
std::string serviceFilesUrl();

// A name from a remote listing as it goes into a URL: every byte other than
// letters, digits and "-._~" percent-encoded.
std::string encodeUrlName(const std::string& name);

// A remote name that may be written into the local directory: not empty,
// not "." or "..", no separator of either platform, not absolute.
bool isSafeRemoteName(const std::string& name);

class FtpClient {
 public:
  // Loads the library; when that fails no handle is kept and every transfer
  // fails with a log entry.
  explicit FtpClient(const Options& options);
  ~FtpClient();
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;

  bool loaded() const { return library != nullptr; }

  // Copies the remote service-file tree into the working directory.
  bool downloadServiceFiles();

  // Copies every entry of the remote directory `remoteUrl` (ending in "/")
  // into `localDir` (ending in a separator). Files already present are kept
  // and not fetched again; sub-directories are walked. False when the
  // listing fails or is empty, or when any entry fails (the others are
  // still fetched). The walk is bounded, against a server whose folders
  // list themselves or loop through links: no folder is entered twice,
  // none deeper than kMaxFolderDepth below the top, and no more than
  // kMaxWalkEntries names are taken in all; past a bound the walk stops
  // and fails, with a log line saying which.
  bool downloadDir(const std::string& remoteUrl, const std::string& localDir);

  static constexpr int kMaxFolderDepth = 16;
  static constexpr std::size_t kMaxWalkEntries = 100000;

  // Fetches one remote file to `localPath`, through a temporary name beside
  // it that is renamed only when the transfer is complete. When the server
  // refuses the name as a file (reply 550: it is a directory), `localPath`
  // becomes a directory and the remote directory is copied into it. An
  // existing file at `localPath` is never replaced.
  bool downloadFile(const std::string& remoteUrl, const std::string& localPath);

  // The names in the remote directory (without "." and ".." and line ends);
  // empty when the listing fails. `listed` (optional) tells whether the
  // listing itself succeeded.
  std::vector<std::string> listRemoteDir(const std::string& remoteUrl, bool* listed = nullptr);

  // Writes the names in the remote directory into kListingFile; the
  // library's result (0 on success), -1 when the file cannot be opened or
  // the library cannot be used.
  int listToFile(const std::string& remoteUrl);

  // The library's write callback: writes `count` items of `size` bytes to
  // the FILE* `file`; returns the bytes written, or (size_t)-1 (which makes
  // the library stop the transfer) when `file` is null.
  static std::size_t writeBytes(void* data, std::size_t size, std::size_t count, void* file);

 private:
  using GlobalInitFn = int (*)(long);
  using EasyInitFn = void* (*)();
  using EasySetoptFn = int (*)(void*, int, ...);
  using EasyPerformFn = int (*)(void*);
  using EasyCleanupFn = void (*)(void*);
  using GlobalCleanupFn = void (*)();

  bool loadCurl();
  // One transfer of `url` into the open `file`; the library's result, with
  // its error text in `errorText`.
  int transfer(const std::string& url, void* file, bool listOnly, std::string& errorText);
  // Lists `remoteUrl` and copies its entries; `subDirectory` accepts an
  // empty listing.
  bool downloadTree(const std::string& remoteUrl, const std::string& localDir, bool subDirectory);
  bool copyEntries(const std::string& remoteUrl, const std::string& localDir, const std::vector<std::string>& entries);
  // Counts a folder of `entries` names into the walk; false (logged, and the
  // walk stopped) when it breaks a bound.
  bool enterFolder(const std::string& remoteUrl, std::size_t entries);
  bool walkRefused(const std::string& why, const std::string& remoteUrl);

  // The walk of the current downloadDir call.
  struct Walk {
    int depth = 0;
    std::size_t entries = 0;
    std::set<std::string> folders;
    bool stopped = false;
  };
  Walk walk;

  BMLogger& logger;
  const Options& options;
  // The entry points curl_global_init, curl_easy_init, curl_easy_setopt,
  // curl_easy_perform, curl_easy_cleanup and curl_global_cleanup.
  GlobalInitFn globalInit = nullptr;
  EasyInitFn easyInit = nullptr;
  EasySetoptFn easySetopt = nullptr;
  EasyPerformFn easyPerform = nullptr;
  EasyCleanupFn easyCleanup = nullptr;
  GlobalCleanupFn globalCleanup = nullptr;
  LibraryHandle library = nullptr;
};

}  // namespace XELO
