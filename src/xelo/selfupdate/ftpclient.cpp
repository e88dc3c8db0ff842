#include "selfupdate/ftpclient.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "host/host.h"
#include "host/paths.h"

namespace XELO {

namespace {

// Option and flag values as the library defines them.
constexpr int kOptErrorBuffer = 10010;
constexpr int kOptUrl = 10002;
constexpr int kOptFtpListOnly = 48;
constexpr int kOptWriteFunction = 20011;
constexpr int kOptWriteData = 10001;
constexpr int kOptLowSpeedLimit = 19;
constexpr int kOptLowSpeedTime = 20;
constexpr int kOptConnectTimeout = 78;
constexpr int kOptServerResponseTimeout = 112;
constexpr long kGlobalAll = 3;
// The library's result when the server answered 550 to a retrieval.
constexpr int kRemoteFileNotFound = 78;
constexpr std::size_t kErrorBufferSize = 256;

// Suffix of the name a file is written under until its transfer is complete.
constexpr const char* kPartialSuffix = ".xelo-partial";

// A name beside `path` that no file has yet, for the transfer in progress.
std::string partialNameFor(const std::string& path) {
  std::string candidate = path + kPartialSuffix;
  for (int i = 1; pathExists(candidate); ++i) candidate = path + kPartialSuffix + std::to_string(i);
  return candidate;
}

// `dir` with a separator at its end, every separator of either platform
// made the native one.
std::string directoryWithSeparator(const std::string& dir) {
  std::string out = joinPath(dir, "");
  if (out.empty()) out = std::string(".") + kPathSeparator;
  for (char& c : out)
    if (isPathSeparator(c)) c = kPathSeparator;
  return out;
}

}  // namespace

std::string curlLibraryName() {
  const std::string name = getEnv("XELO_CURL_LIBRARY");
  return name.empty() ? defaultCurlLibraryName() : name;
}

long ftpStallSeconds() {
  const std::string text = getEnv("XELO_FTP_STALL_SECONDS");
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return kDefaultFtpStallSeconds;
  const long seconds = std::stol(text);
  return seconds > 0 ? seconds : kDefaultFtpStallSeconds;
}

std::string serviceFilesUrl() {
  std::string server = getEnv("XELO_FTP_SERVER");
  if (server.empty()) server = kDefaultFtpServer;
  std::string host = server;
  std::string port = kDefaultFtpPort;
  if (server.front() == '[') {
    // A bracketed IPv6 address, optionally followed by ":port".
    const auto close = server.find(']');
    if (close != std::string::npos) {
      host = server.substr(0, close + 1);
      if (close + 1 < server.size() && server[close + 1] == ':') port = server.substr(close + 2);
    }
  } else if (const auto colon = server.find(':');
             colon != std::string::npos && server.find(':', colon + 1) == std::string::npos) {
    host = server.substr(0, colon);
    port = server.substr(colon + 1);
  }
  return std::string("ftp://") + kServiceFilesUser + ":" + kServiceFilesPassword + "@" + host + ":" + port +
         kServiceFilesDirectory;
}

std::string encodeUrlName(const std::string& name) {
  static const char* const hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    }
  }
  return out;
}

bool isSafeRemoteName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return !isAbsolutePath(name);
}

FtpClient::FtpClient(const Options& options) : logger(processLogger()), options(options) {
  if (!loadCurl()) {
    freeLibrary(library);
    library = nullptr;
  }
}

FtpClient::~FtpClient() { freeLibrary(library); }

bool FtpClient::loadCurl() {
  library = loadLibrary(curlLibraryName());
  if (library == nullptr) {
    logger.OutputLogEntry(LogError, "Fail to load curl library.");
    return false;
  }
  bool complete = true;
  // Every entry point is looked up, so the log names all that are missing.
  auto lookUp = [&](const char* name) {
    void* address = findSymbol(library, name);
    if (address == nullptr) {
      logger.OutputLogEntry(LogError, std::string("Failed to load ") + name + ".");
      complete = false;
    }
    return address;
  };
  globalInit = reinterpret_cast<GlobalInitFn>(lookUp("curl_global_init"));
  easyInit = reinterpret_cast<EasyInitFn>(lookUp("curl_easy_init"));
  easySetopt = reinterpret_cast<EasySetoptFn>(lookUp("curl_easy_setopt"));
  easyPerform = reinterpret_cast<EasyPerformFn>(lookUp("curl_easy_perform"));
  easyCleanup = reinterpret_cast<EasyCleanupFn>(lookUp("curl_easy_cleanup"));
  globalCleanup = reinterpret_cast<GlobalCleanupFn>(lookUp("curl_global_cleanup"));
  return complete;
}

std::size_t FtpClient::writeBytes(void* data, std::size_t size, std::size_t count, void* file) {
  if (file == nullptr) return static_cast<std::size_t>(-1);
  return std::fwrite(data, 1, size * count, static_cast<std::FILE*>(file));
}

int FtpClient::transfer(const std::string& url, void* file, bool listOnly, std::string& errorText) {
  errorText.clear();
  globalInit(kGlobalAll);
  void* handle = easyInit();
  if (handle == nullptr) {
    logger.OutputLogEntry(LogError, "Failed to initialize curl library.");
    globalCleanup();
    return -1;
  }
  char errorBuffer[kErrorBufferSize] = {};
  auto set = [&](int option, auto value, const char* name) {
    if (easySetopt(handle, option, value) != 0)
      logger.OutputLogEntry(LogError, std::string("Failed to set option ") + name + ".");
  };
  set(kOptErrorBuffer, static_cast<char*>(errorBuffer), "CURLOPT_ERRORBUFFER");
  set(kOptUrl, url.c_str(), "CURLOPT_URL");
  if (listOnly) set(kOptFtpListOnly, 1L, "CURLOPT_FTPLISTONLY");
  set(kOptWriteFunction, &FtpClient::writeBytes, "CURLOPT_WRITEFUNCTION");
  set(kOptWriteData, file, "CURLOPT_WRITEDATA");
  // A server that stops answering or sending ends the transfer instead of
  // holding the run forever: no reply, or less than a byte a second, for
  // the stall time is a failure.
  const long stall = ftpStallSeconds();
  set(kOptConnectTimeout, kFtpConnectSeconds, "CURLOPT_CONNECTTIMEOUT");
  set(kOptServerResponseTimeout, stall, "CURLOPT_SERVER_RESPONSE_TIMEOUT");
  set(kOptLowSpeedLimit, 1L, "CURLOPT_LOW_SPEED_LIMIT");
  set(kOptLowSpeedTime, stall, "CURLOPT_LOW_SPEED_TIME");
  const int result = easyPerform(handle);
  easyCleanup(handle);
  globalCleanup();
  errorBuffer[kErrorBufferSize - 1] = '\0';
  errorText = errorBuffer;
  return result;
}

int FtpClient::listToFile(const std::string& remoteUrl) {
  std::FILE* file = std::fopen(kListingFile, "w+");
  if (file == nullptr) {
    logger.OutputLogEntry(LogError, std::string("Failed to open file ") + kListingFile);
    return -1;
  }
  std::string errorText;
  const int result = transfer(remoteUrl, file, true, errorText);
  if (result != 0)
    logger.OutputLogEntry(
        LogError, "Failed to perform with error code and error message " + std::to_string(result) + " " + errorText);
  else
    logger.OutputLogEntry(LogVerbose, "Succeeded to show file names in the specified directory.");
  if (std::fclose(file) != 0 && result == 0) {
    logger.OutputLogEntry(LogError, std::string("Failed to write file ") + kListingFile);
    return -1;
  }
  return result;
}

std::vector<std::string> FtpClient::listRemoteDir(const std::string& remoteUrl, bool* listed) {
  if (listed) *listed = false;
  std::vector<std::string> names;
  if (!loaded()) {
    logger.OutputLogEntry(LogError, "Failed to load curl library.");
    return names;
  }
  if (listToFile(remoteUrl) != 0) {
    logger.OutputLogEntry(LogError, "Failed to show files in directory " + remoteUrl);
    return names;
  }
  std::ifstream in(kListingFile, std::ios::binary);
  if (!in) {
    logger.OutputLogEntry(LogError, std::string("Failed to open file ") + kListingFile);
    return names;
  }
  if (listed) *listed = true;
  std::string line;
  while (std::getline(in, line)) {
    // Listings end their lines in CR LF; a server that sends bare LF still
    // gives whole names.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line == "." || line == "..") continue;
    names.push_back(line);
  }
  return names;
}

bool FtpClient::downloadServiceFiles() {
  std::cout << "start download from Xelosft..." << std::endl;
  return downloadDir(serviceFilesUrl(), directoryWithSeparator(options.workingDir));
}

bool FtpClient::downloadDir(const std::string& remoteUrl, const std::string& localDir) {
  walk = Walk();
  return downloadTree(remoteUrl, localDir, false);
}

bool FtpClient::walkRefused(const std::string& why, const std::string& remoteUrl) {
  logger.OutputLogEntry(LogError, "The service-file download is stopped: " + why + " (at " + remoteUrl + ")");
  walk.stopped = true;
  return false;
}

bool FtpClient::enterFolder(const std::string& remoteUrl, std::size_t entries) {
  if (walk.stopped) return false;
  if (!walk.folders.insert(remoteUrl).second) return walkRefused("a folder is listed a second time", remoteUrl);
  if (walk.depth > kMaxFolderDepth)
    return walkRefused("the folders nest deeper than " + std::to_string(kMaxFolderDepth) + " levels", remoteUrl);
  walk.entries += entries;
  if (walk.entries > kMaxWalkEntries)
    return walkRefused("the folders hold more than " + std::to_string(kMaxWalkEntries) + " names", remoteUrl);
  return true;
}

bool FtpClient::downloadTree(const std::string& remoteUrl, const std::string& localDir, bool subDirectory) {
  bool listed = false;
  const std::vector<std::string> entries = listRemoteDir(remoteUrl, &listed);
  // An empty sub-directory is copied as an empty directory; an empty or
  // unreadable top directory means there was nothing to fetch.
  if (entries.empty()) return listed && subDirectory;
  return copyEntries(remoteUrl, localDir, entries);
}

bool FtpClient::copyEntries(const std::string& remoteUrl, const std::string& localDir,
                            const std::vector<std::string>& entries) {
  if (!enterFolder(remoteUrl, entries.size())) return false;
  ++walk.depth;
  bool result = true;
  for (const std::string& name : entries) {
    if (walk.stopped) {
      result = false;
      break;
    }
    if (!isSafeRemoteName(name)) {
      // A name that would land outside the local directory is never written.
      logger.OutputLogEntry(LogError, "Refused remote name: " + name);
      result = false;
      continue;
    }
    const std::string remote = remoteUrl + encodeUrlName(name);
    const std::string local = joinPath(localDir, name);
    if (!isDirectory(local) && fileReadable(local)) {
      logger.OutputLogEntry(LogWarning, local + " file already exist");
      continue;
    }
    logger.OutputLogEntry(LogVerbose, "downloadDir from:" + remote);
    try {
      if (!downloadFile(remote, local)) result = false;
    } catch (...) {
      logger.OutputLogEntry(LogError, "FTP library from Tolvcbb throwed some exceptions.");
      result = false;
    }
  }
  --walk.depth;
  return result;
}

bool FtpClient::downloadFile(const std::string& remoteUrl, const std::string& localPath) {
  if (isDirectory(localPath)) {
    logger.OutputLogEntry(LogVerbose, "path exist:" + localPath);
    logger.OutputLogEntry(LogVerbose, "path exists:" + localPath);
    return downloadTree(remoteUrl + "/", directoryWithSeparator(localPath), true);
  }
  if (pathExists(localPath)) {
    // Something the user already has: never replaced.
    logger.OutputLogEntry(LogError, "Failed to open file " + localPath);
    logger.OutputLogEntry(LogError, "fail to open file:" + localPath);
    return false;
  }
  if (!loaded()) {
    logger.OutputLogEntry(LogError, "Failed to initialize curl library.");
    return false;
  }
  const std::string partial = partialNameFor(localPath);
  std::FILE* file = std::fopen(partial.c_str(), "wb");
  if (file == nullptr) {
    logger.OutputLogEntry(LogError, "Failed to open file " + partial);
    logger.OutputLogEntry(LogError, "fail to open file:" + partial);
    return false;
  }
  std::string errorText;
  const int result = transfer(remoteUrl, file, false, errorText);
  const bool written = std::fclose(file) == 0;

  if (result == 0 && written) {
    if (moveFileOver(partial, localPath) != 0) {
      deleteFile(partial);
      logger.OutputLogEntry(LogError, "Failed to rename " + partial + " to " + localPath);
      std::cout << "  " << localPath << " ... Fail" << std::endl;
      return false;
    }
    logger.OutputLogEntry(LogVerbose, "Succeeded to download file:" + remoteUrl);
    logger.OutputLogEntry(LogVerbose, "Succeeded to download file," + localPath);
    std::cout << "  " << localPath << " ... Done" << std::endl;
    return true;
  }
  deleteFile(partial);

  if (result == kRemoteFileNotFound || (result != 0 && errorText.find("550") != std::string::npos)) {
    // The server refused to send the name as a file (reply 550; the
    // library's text for it differs between versions): it is a directory.
    // A directory made here is removed again when it cannot be listed, so a
    // missing remote file leaves nothing behind.
    if (!ensureDirectory(localPath)) {
      logger.OutputLogEntry(LogError, "Failed to create directory " + localPath);
      return false;
    }
    bool listed = false;
    const std::string remoteDir = remoteUrl + "/";
    const std::vector<std::string> entries = listRemoteDir(remoteDir, &listed);
    if (!listed) {
      removeDirectory(localPath);
      logger.OutputLogEntry(LogError, "error:" + errorText);
      return false;
    }
    return copyEntries(remoteDir, directoryWithSeparator(localPath), entries);
  }
  logger.OutputLogEntry(LogError, "error:" + (written ? errorText : "cannot write " + partial));
  std::cout << "  " << localPath << " ... Fail" << std::endl;
  return false;
}

}  // namespace XELO
