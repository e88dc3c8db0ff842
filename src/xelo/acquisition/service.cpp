#include "acquisition/service.h"

#include <curl/curl.h>

#include <fstream>
#include <vector>

#include "core/options.h"
#include "host/host.h"
#include "log/logger.h"

namespace XELO {

namespace {

bool startsWith(const std::string& text, const char* head) { return text.rfind(head, 0) == 0; }

// Closes what one proxy check opened, whichever step it ended at.
struct CurlHandle {
  CURL* handle = curl_easy_init();
  ~CurlHandle() {
    if (handle) curl_easy_cleanup(handle);
  }
};

// The body of the answer is not needed: the transfer stops at its first
// byte, once the status line and headers are in.
struct BodyStop {
  bool reached = false;
  static size_t onData(char*, size_t, size_t, void* self) {
    static_cast<BodyStop*>(self)->reached = true;
    return 0;
  }
};

}  // namespace

std::string webServerHost() {
  const std::string host = getEnv("XELO_WEB_SERVER");
  return host.empty() ? kDefaultWebServer : host;
}

std::string productionServiceLocation() { return "http://" + webServerHost() + kProductionProviderPath; }

HTTPProxyInfo& runProxyRecord() {
  static HTTPProxyInfo record;
  return record;
}

void fillProxyRecord(HTTPProxyInfo& record, const Options& options) {
  record = HTTPProxyInfo{};
  if (options.proxyAddress.empty() || options.proxyPort == 0) return;
  record.enabled = 1;
  record.host = options.proxyAddress;
  record.port = options.proxyPort;
  record.userId = options.proxyUser;
  record.password = options.proxyPassword;
}

int checkProxy(const HTTPProxyInfo& record) {
  const std::string host = webServerHost();
  std::string proxyName = record.host + ":" + std::to_string(record.port);
  if (proxyName.size() > 255) proxyName.resize(255);

  CurlHandle curl;
  CURL* h = curl.handle;
  if (!h || curl_easy_setopt(h, CURLOPT_PROXY, proxyName.c_str()) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP)) != CURLE_OK ||
      // The proxy is used for every host: a no_proxy setting of the
      // environment must not turn the check into a direct request.
      curl_easy_setopt(h, CURLOPT_NOPROXY, "") != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_USERAGENT, "XELO") != CURLE_OK) {
    logEntry(LogError, "Error: Failed to InternetOpen proxyName :  " + proxyName);
    return -1;
  }

  const std::string url = "http://" + host + "/";
  if (curl_easy_setopt(h, CURLOPT_URL, url.c_str()) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L) != CURLE_OK) {
    logEntry(LogError, "Error: Failed InternetConnetct to " + host + " : 80 via proxy server.");
    return -1;
  }

  if (!record.userId.empty()) curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, record.userId.c_str());
  if (!record.password.empty() &&
      curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, record.password.c_str()) != CURLE_OK) {
    logEntry(LogError, "Error: Failed to InternetSetOption username/password.");
    return -1;
  }

  BodyStop body;
  if (curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &BodyStop::onData) != CURLE_OK ||
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &body) != CURLE_OK) {
    logEntry(LogError, "Error: Failed to HttpOpenRequest " + host + " via proxy server.");
    return -1;
  }

  const CURLcode sent = curl_easy_perform(h);
  if (sent != CURLE_OK && !(sent == CURLE_WRITE_ERROR && body.reached)) {
    logEntry(LogError, "Error: Failed to HttpSendRequest " + host + " via proxy server.");
    return -1;
  }

  long code = 0;
  if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
    logEntry(LogError, "Error: Failed to HttpQueryInfo " + host + " via proxy server.");
    return -1;
  }
  logEntry(LogError, "HTTP Response Code is:" + std::to_string(code));
  const int status = (code == 0 || code == 401 || code == 407) ? 1 : 2;
  logEntry(LogError, "set proxyStatus = " + std::to_string(status));
  return status;
}

bool pointClientAt(const std::string& location) {
  const std::string file = kConnectPropertiesFile;
  std::vector<std::string> lines;
  {
    std::ifstream in(file, std::ios::in | std::ios::binary);
    if (isDirectory(file) || (!in.is_open() && pathExists(file))) {
      // Rewriting from nothing would throw away the client's settings.
      logEntry(LogWarning, "Can't read " + file + "; the service provider was not switched.");
      return false;
    }
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    if (in.bad()) {
      logEntry(LogWarning, "Can't read " + file + "; the service provider was not switched.");
      return false;
    }
  }

  const std::string locationLine = "_QOR.SP_LOCATION_URL = " + location;
  const std::string initLine = "_QOR.SP_UPDATE_INIT = NO";
  bool haveLocation = false;
  bool haveInit = false;
  std::string text;
  for (auto& line : lines) {
    if (startsWith(line, "_QOR.SP_LOCATION_URL")) {
      line = locationLine;
      haveLocation = true;
    } else if (startsWith(line, "_QOR.SP_UPDATE_INIT")) {
      line = initLine;
      haveInit = true;
    }
    text += line + "\n";
  }
  // Without these keys the client would not be pointed anywhere.
  if (!haveLocation) text += locationLine + "\n";
  if (!haveInit) text += initLine + "\n";

  if (!replaceFileContents(file, text)) {
    logEntry(LogWarning, "Can't write " + file + "; the service provider was not switched.");
    return false;
  }
  deleteFile("qyxReq");
  return true;
}

namespace {
bool testServiceProviderSelected = false;
}  // namespace

void selectTestServiceProvider(bool selected) { testServiceProviderSelected = selected; }

void useTestServiceProvider() {
  if (!testServiceProviderSelected) return;
  const std::string location = getEnv("XELO_TEST_FSP");
  if (pointClientAt(location)) logEntry(LogVerbose, "Using QYX Test FSP: " + location);
}

void restoreProductionServiceProvider() {
  if (!testServiceProviderSelected) return;
  if (pointClientAt(productionServiceLocation())) logEntry(LogVerbose, "Restore to QYX Production FSP");
}

}  // namespace XELO
