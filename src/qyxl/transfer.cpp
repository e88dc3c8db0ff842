#include "transfer.h"

#include <curl/curl.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <thread>

#include "digest.h"
#include "internal.h"
#include "qyxl.h"
#include "signature.h"

namespace qyxl::transfer {

namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool isYes(const std::string& value) {
  std::string v = lower(value);
  return v == "true" || v == "yes" || v == "1";
}

long positiveSeconds(const std::string& text, long fallback) {
  if (text.empty() || text.size() > 6) return fallback;
  for (char c : text)
    if (c < '0' || c > '9') return fallback;
  long v = std::stol(text);
  return v > 0 ? v : fallback;
}

void initCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Easy handles between transfers. A handle keeps its connections open, so
// the next transfer that takes it reuses one (HTTP keep-alive) instead of
// connecting again: a pass opens about as many connections as it runs
// transfers at once. A reset keeps a handle's connections and DNS cache,
// nothing else.
class HandlePool {
 public:
  static HandlePool& instance() {
    // Never destroyed: transfers may still end while the process exits.
    static HandlePool* const pool = new HandlePool;
    return *pool;
  }

  CURL* take() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!idle.empty()) {
        CURL* h = idle.back();
        idle.pop_back();
        return h;
      }
    }
    return curl_easy_init();
  }

  // The handle is reset at once: it must keep no pointer to the finished
  // transfer's buffers and callbacks.
  void give(CURL* h) {
    curl_easy_reset(h);
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (idle.size() < kMaxIdle) {
        idle.push_back(h);
        return;
      }
    }
    curl_easy_cleanup(h);
  }

 private:
  // More than the engine's most threads: handles beyond it are closed.
  static constexpr std::size_t kMaxIdle = 24;
  std::mutex mutex;
  std::vector<CURL*> idle;
};

struct CurlDeleter {
  void operator()(CURL* h) const { HandlePool::instance().give(h); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

// Options shared by every transfer: protocols, redirects, timeouts, proxy
// and certificates.
CurlHandle makeHandle(const Settings& s, const std::string& url, char* errorBuffer) {
  initCurl();
  CurlHandle h(HandlePool::instance().take());
  if (!h) return h;
  CURL* c = h.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_USERAGENT, ("qyxl/" + clientVersion()).c_str());
  if (s.local) {
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "file");
  } else {
    // A repository on the web may redirect, but only to the web: never to
    // a local file or another protocol.
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  }
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, s.connectTimeout);
  if (s.proxyEnabled) {
    curl_easy_setopt(c, CURLOPT_PROXY, s.proxyHost.c_str());
    if (s.proxyPort > 0) curl_easy_setopt(c, CURLOPT_PROXYPORT, s.proxyPort);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "");
    if (!s.proxyUser.empty()) {
      curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, s.proxyUser.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, s.proxyPassword.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    }
  } else {
    // Only the configured proxy is used, never one from the environment.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
  }
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!s.caFile.empty()) {
    curl_easy_setopt(c, CURLOPT_CAINFO, s.caFile.c_str());
    curl_easy_setopt(c, CURLOPT_PROXY_CAINFO, s.caFile.c_str());
  }
  return h;
}

// Stall detection: a transfer that receives nothing for the low-speed
// timeout is aborted. (libcurl's own low-speed check averages over several
// seconds, so a short timeout would take far longer to notice.)
struct StallWatch {
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
  curl_off_t lastReceived = 0;
  long timeoutSeconds = kDefaultLowSpeedTimeout;
  bool stalled = false;
};

int onProgress(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto* watch = static_cast<StallWatch*>(user);
  auto now = std::chrono::steady_clock::now();
  if (received != watch->lastReceived) {
    watch->lastReceived = received;
    watch->lastActivity = now;
    return 0;
  }
  if (now - watch->lastActivity >= std::chrono::seconds(watch->timeoutSeconds)) {
    watch->stalled = true;
    return 1;  // aborts the transfer
  }
  return 0;
}

void watchStalls(CURL* c, const Settings& s, StallWatch& watch) {
  watch.timeoutSeconds = s.lowSpeedTimeout;
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &watch);
}

std::string curlError(CURLcode code, const char* buffer) {
  std::string text = buffer[0] ? buffer : curl_easy_strerror(code);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string encodePath(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

bool gunzip(const std::string& in, std::string& out, std::string& error) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
    error = "cannot start decompression";
    return false;
  }
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  char buffer[65536];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    out.append(buffer, sizeof buffer - z.avail_out);
    if (out.size() > kMaxCatalogBytes) {
      rc = Z_MEM_ERROR;
      break;
    }
    if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) {
      rc = Z_DATA_ERROR;  // input ended before the stream did
      break;
    }
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) {
    error = "compressed catalog is damaged or too large";
    return false;
  }
  return true;
}

// Final paths with a download in flight in this process.
std::mutex inFlightMutex;
std::condition_variable inFlightChanged;
std::set<std::string> inFlight;

class PathLock {
 public:
  explicit PathLock(std::string path) : key(std::move(path)) {
    std::unique_lock<std::mutex> lock(inFlightMutex);
    inFlightChanged.wait(lock, [&] { return inFlight.count(key) == 0; });
    inFlight.insert(key);
  }
  ~PathLock() {
    {
      std::lock_guard<std::mutex> lock(inFlightMutex);
      inFlight.erase(key);
    }
    inFlightChanged.notify_all();
  }

 private:
  std::string key;
};

// Creating a temporary file and stopping all downloads exclude each other;
// downloads create theirs side by side.
struct CreationGate {
  std::shared_mutex lock;
  bool stopped = false;
};

CreationGate& creationGate() {
  static CreationGate* const gate = new CreationGate;  // never destroyed: used until the process ends
  return *gate;
}

// Opens the temporary file of a download, unless downloads were stopped: the
// process is ending then, and the calling thread waits for that.
std::FILE* openTemporaryFile(const std::string& temp) {
  std::shared_lock<std::shared_mutex> hold(creationGate().lock);
  if (creationGate().stopped) {
    hold.unlock();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  return std::fopen(temp.c_str(), "wb");
}

// Where received bytes go: the temporary file and the running hash.
struct FileSink {
  std::FILE* file = nullptr;
  Sha1* sha1 = nullptr;
  Sha256* sha256 = nullptr;
  std::uint64_t written = 0;
  bool capped = false;
  std::uint64_t cap = 0;
  enum { Ok, TooLarge, WriteFailed } state = Ok;
  int writeErrno = 0;
};

size_t onFileData(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<FileSink*>(user);
  size_t n = size * count;
  if (sink->capped && sink->written + n > sink->cap) {
    sink->state = FileSink::TooLarge;
    return 0;  // aborts the transfer: never write more than the file may hold
  }
  if (n && std::fwrite(data, 1, n, sink->file) != n) {
    sink->state = FileSink::WriteFailed;
    sink->writeErrno = errno;
    return 0;
  }
  // A failure sticks: the digest is then missing.
  sink->sha1->update(data, n);
  sink->sha256->update(data, n);
  sink->written += n;
  return n;
}

struct TextSink {
  std::string text;
  std::size_t cap = kMaxCatalogBytes;
  bool tooLarge = false;
};

size_t onTextData(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<TextSink*>(user);
  size_t n = size * count;
  if (sink->text.size() + n > sink->cap) {
    sink->tooLarge = true;
    return 0;
  }
  sink->text.append(data, n);
  return n;
}

}  // namespace

bool resolveLocation(const std::string& location, std::string& catalogUrl, std::string& baseUrl, bool& local) {
  std::string lowered = lower(location.substr(0, 8));
  if (lowered.rfind("file://", 0) == 0)
    local = true;
  else if (lowered.rfind("http://", 0) == 0 || lowered.rfind("https://", 0) == 0)
    local = false;
  else
    return false;
  // Blanks are not valid in URLs; a folder with blanks in its name is
  // still found when they are encoded.
  std::string url;
  for (char c : location) {
    if (c == ' ')
      url += "%20";
    else
      url.push_back(c);
  }
  auto cut = url.find_first_of("?#");
  std::string path = url.substr(0, cut);
  if (!path.empty() && path.back() == '/') {
    baseUrl = path;
    catalogUrl = path + "catalog.xml";
  } else {
    catalogUrl = url;
    baseUrl = path.substr(0, path.rfind('/') + 1);
  }
  return true;
}

Settings readSettings() {
  Config config;
  if (!config.load(Config::CONNECT, false)) {
    std::string root = Config::getRootDataDirectory();
    throw detail::error(QYXMessage::ConnectivityPath,
                        "the connection settings \"qyxConnect.properties\" are missing in \"" +
                            (root.empty() ? std::string(".") : root) + "\"");
  }
  Settings s;
  s.location = config.getProperty(Config::SP_LOCATION_URL);
  if (s.location.empty())
    throw detail::error(QYXMessage::ConnectivityPath,
                        std::string("no repository location (") + Config::SP_LOCATION_URL + ")");
  if (!resolveLocation(s.location, s.catalogUrl, s.baseUrl, s.local))
    throw detail::error(QYXMessage::ConnectivityPath,
                        "the repository location \"" + s.location + "\" is not an http://, https:// or file:// URL");
  // The signature file is named after the catalog file, whatever query
  // the location carries.
  const auto query = s.catalogUrl.find_first_of("?#");
  s.signatureUrl = s.catalogUrl.substr(0, query) + signature::kSignatureSuffix +
                   (query == std::string::npos ? "" : s.catalogUrl.substr(query));
  s.allowUnsigned = config.getProperty(Config::UNSIGNED_CATALOG_ALLOWED_FOR) == s.location;
  s.proxyEnabled = isYes(config.getProperty(Config::PROXY_ENABLED));
  if (s.proxyEnabled) {
    s.proxyHost = config.getProperty(std::string(Config::PROXY_LOCATION) + "1");
    s.proxyPort = positiveSeconds(config.getProperty(std::string(Config::PROXY_PORT) + "1"), 0);
    s.proxyUser = config.getProperty(std::string(Config::PROXY_USERID) + "1");
    std::string handle = config.getProperty(std::string(Config::PROXY_PASSWORD_HANDLE) + "1");
    if (!handle.empty()) s.proxyPassword = PlatformExtensionIfc::getPlatformExtension().getSecret(handle);
    if (s.proxyHost.empty()) s.proxyEnabled = false;
  }
  std::string direct = config.getProperty(Config::DIRECT_LAN_CONNECT_ALLOWED);
  s.directAllowed = direct.empty() || isYes(direct);
  if (!s.local && !s.proxyEnabled && !s.directAllowed)
    throw detail::error(QYXMessage::ConnectivityPath, "no proxy is set and a direct connection is not allowed");
  s.caFile = config.getProperty(Config::CA_FILE);
  s.connectTimeout = positiveSeconds(config.getProperty(Config::CONNECT_TIMEOUT), kDefaultConnectTimeout);
  s.lowSpeedTimeout = positiveSeconds(config.getProperty(Config::LOW_SPEED_TIMEOUT), kDefaultLowSpeedTimeout);
  return s;
}

std::string fileUrl(const Settings& settings, const std::string& relativePath) {
  return settings.baseUrl + encodePath(relativePath);
}

namespace {

// The text at `url`, at most `cap` bytes. False with `why` set when it
// cannot be fetched; `missing` tells a file the server does not have apart
// from a failed connection.
bool fetchText(const Settings& settings, const std::string& url, std::size_t cap, std::string& text, std::string& why,
               bool& missing) {
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  CurlHandle h = makeHandle(settings, url, errorBuffer);
  missing = false;
  if (!h) {
    why = "cannot start a transfer";
    return false;
  }
  TextSink sink;
  sink.cap = cap;
  StallWatch watch;
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, onTextData);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &sink);
  watchStalls(h.get(), settings, watch);
  CURLcode rc = curl_easy_perform(h.get());
  if (rc != CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &status);
    missing =
        rc == CURLE_FILE_COULDNT_READ_FILE || (rc == CURLE_HTTP_RETURNED_ERROR && (status == 404 || status == 410));
    why = sink.tooLarge   ? "larger than " + std::to_string(cap) + " bytes"
          : watch.stalled ? "nothing received for " + std::to_string(settings.lowSpeedTimeout) + " seconds"
                          : curlError(rc, errorBuffer);
    return false;
  }
  text = std::move(sink.text);
  return true;
}

}  // namespace

std::string fetchCatalog(const Settings& settings) {
  std::string text, why;
  bool missing = false;
  if (!fetchText(settings, settings.catalogUrl, kMaxCatalogBytes, text, why, missing))
    throw detail::error(QYXMessage::ConnectivityPath, settings.catalogUrl + ": " + why);
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0x1f && static_cast<unsigned char>(text[1]) == 0x8b) {
    std::string plain, error;
    if (!gunzip(text, plain, error))
      throw detail::error(QYXMessage::WebServiceCall, settings.catalogUrl + ": " + error);
    return plain;
  }
  return text;
}

bool fetchSignature(const Settings& settings, std::string& text) {
  std::string why;
  bool missing = false;
  if (fetchText(settings, settings.signatureUrl, kMaxSignatureBytes, text, why, missing)) return true;
  if (missing) return false;
  throw detail::error(QYXMessage::ConnectivityPath, settings.signatureUrl + ": " + why);
}

void fetchFile(const Settings& settings, const FileRequest& request) {
  fs::path finalPath(request.finalPath);
  std::error_code ec;
  fs::path dir = finalPath.parent_path();
  // The directory is there for all but the first file of a pass.
  if (!dir.empty() && !fs::is_directory(dir, ec)) {
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) throw detail::error(QYXMessage::CreateDirFailed, dir.string());
  }
  PathLock lock(fs::absolute(finalPath, ec).lexically_normal().string());
  const std::string temp = temporaryPathFor(request.finalPath);

  auto fail = [&](QYXMessage::Id id, const std::string& why) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    return detail::error(id, request.finalPath + ": " + why);
  };

  FileSink sink;
  sink.file = openTemporaryFile(temp);
  if (!sink.file)
    throw fail(QYXMessage::CmnDownloadFileError, "cannot write \"" + temp + "\": " + std::strerror(errno));
  Sha1 sha1;
  Sha256 sha256;
  sink.sha1 = &sha1;
  sink.sha256 = &sha256;
  sink.capped = request.hasSize;
  sink.cap = request.size;

  char errorBuffer[CURL_ERROR_SIZE] = {0};
  CurlHandle h = makeHandle(settings, request.url, errorBuffer);
  CURLcode rc = CURLE_FAILED_INIT;
  long status = 0;
  StallWatch watch;
  if (h) {
    curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, onFileData);
    curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h.get(), CURLOPT_BUFFERSIZE, 128L * 1024);  // fewer, larger writes
    watchStalls(h.get(), settings, watch);
    rc = curl_easy_perform(h.get());
    curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &status);
  }
  bool closeFailed = std::fclose(sink.file) != 0;
  int closeErrno = errno;

  if (rc != CURLE_OK) {
    if (sink.state == FileSink::TooLarge)
      throw fail(QYXMessage::CmnDownloadFileError,
                 "the server sent more than the expected " + std::to_string(request.size) + " bytes");
    if (sink.state == FileSink::WriteFailed)
      throw fail(QYXMessage::CmnDownloadFileError, "cannot write \"" + temp + "\": " + std::strerror(sink.writeErrno));
    if (watch.stalled)
      throw fail(QYXMessage::CmnDownloadTimeout,
                 request.url + ": nothing received for " + std::to_string(settings.lowSpeedTimeout) + " seconds");
    if (rc == CURLE_OPERATION_TIMEDOUT)
      throw fail(QYXMessage::CmnDownloadTimeout, request.url + ": " + curlError(rc, errorBuffer));
    std::string why = curlError(rc, errorBuffer);
    if (rc == CURLE_HTTP_RETURNED_ERROR && status) why = "HTTP status " + std::to_string(status);
    throw fail(QYXMessage::CmnDownloadFileError, request.url + ": " + why);
  }
  if (closeFailed)
    throw fail(QYXMessage::CmnDownloadFileError, "cannot write \"" + temp + "\": " + std::strerror(closeErrno));
  if (request.hasSize && sink.written != request.size)
    throw fail(QYXMessage::CmnDownloadFileError,
               "received " + std::to_string(sink.written) + " bytes, expected " + std::to_string(request.size));
  const std::vector<unsigned char> digest = sha1.finish();
  if (!request.sha1.empty() && digest.empty())
    throw fail(QYXMessage::CmnDownloadFileError, "the SHA-1 of the received file could not be computed");
  if (!request.sha1.empty() && digest != request.sha1)
    throw fail(QYXMessage::CmnDownloadFileError,
               "SHA-1 " + hexText(digest) + " does not match the expected " + hexText(request.sha1));
  const std::vector<unsigned char> strong = sha256.finish();
  if (!request.sha256.empty() && strong != request.sha256)
    throw fail(QYXMessage::CmnDownloadFileError,
               "SHA-256 " + hexText(strong) + " does not match the expected " + hexText(request.sha256));
  fs::rename(temp, finalPath, ec);
  if (ec) throw fail(QYXMessage::CmnDownloadFileError, "cannot rename \"" + temp + "\": " + ec.message());
}

void stopFileDownloads() {
  std::unique_lock<std::shared_mutex> hold(creationGate().lock);
  creationGate().stopped = true;
}

}  // namespace qyxl::transfer
