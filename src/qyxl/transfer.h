// Transfers: the connection settings from the connection store, fetching
// the catalog, and downloading one file with verification. Built on libcurl
// for http://, https:// and file:// locations alike.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qyxl::transfer {

inline constexpr long kDefaultConnectTimeout = 30;   // seconds
inline constexpr long kDefaultLowSpeedTimeout = 60;  // seconds without a byte
inline constexpr std::size_t kMaxCatalogBytes = 256u << 20;

struct Settings {
  std::string location;    // as configured
  std::string catalogUrl;  // the catalog file
  std::string baseUrl;     // the catalog's folder, ending in '/'
  bool local = false;      // a file:// location
  bool proxyEnabled = false;
  std::string proxyHost;
  long proxyPort = 0;
  std::string proxyUser;
  std::string proxyPassword;
  bool directAllowed = true;
  std::string caFile;
  long connectTimeout = kDefaultConnectTimeout;
  long lowSpeedTimeout = kDefaultLowSpeedTimeout;
  std::string signatureUrl;    // the catalog's detached signature
  bool allowUnsigned = false;  // the settings allow this location's catalog without a valid signature
};

inline constexpr std::size_t kMaxSignatureBytes = 64u << 10;

// Reads the connection store of the root data directory. Throws the
// connectivity-path error when it is missing or names no usable location.
Settings readSettings();

// Splits a location into the catalog URL and its folder: a location ending
// in '/' is a folder holding "catalog.xml"; any other names the catalog file.
// False for a scheme other than http, https or file.
bool resolveLocation(const std::string& location, std::string& catalogUrl, std::string& baseUrl, bool& local);

// `relativePath` ('/'-separated) below the base URL, percent-encoded.
std::string fileUrl(const Settings& settings, const std::string& relativePath);

// The catalog's text (gzip-compressed catalogs are unpacked). Throws the
// connectivity-path error when it cannot be fetched.
std::string fetchCatalog(const Settings& settings);

// The catalog's signature file; false when the repository has none (HTTP
// 404, missing local file). Throws the connectivity-path error when it
// cannot be fetched otherwise.
bool fetchSignature(const Settings& settings, std::string& text);

struct FileRequest {
  std::string url;
  std::string finalPath;
  bool hasSize = false;
  std::uint64_t size = 0;
  std::vector<unsigned char> sha1;    // 20 bytes, or empty when not known
  std::vector<unsigned char> sha256;  // 32 bytes, or empty when not known
};

// Downloads into temporaryPathFor(finalPath), hashing while writing, and
// renames the file to finalPath only when its size, SHA-1 and SHA-256 match. On
// failure nothing is left under either name and QYXException is thrown
// (createDirFailed, Cmn.DownloadTimeout or Cmn.DownloadFileError). Two
// downloads to the same final path never run at once.
void fetchFile(const Settings& settings, const FileRequest& request);

// For a process that is ending: once this returns, no download creates its
// temporary file any more (a download that would start waits for the process
// to end instead), so every temporary file there will ever be already exists
// and can be removed. Downloads in flight go on writing to theirs.
void stopFileDownloads();

}  // namespace qyxl::transfer
