// The connection to the update service: the run's proxy record, the proxy
// check, and switching the update-service client between the production
// and the test service provider.
//
// Settings (environment):
//   XELO_WEB_SERVER  host name (optionally "host:port") of the maker's public
//                    web server. The proxy check requests its front page
//                    through the proxy, and the production service-provider
//                    descriptor lies on it. Default "www.qor.example".
//   XELO_TEST_FSP    location of the test service provider; when defined at
//                    start-up, the switches below take effect.
#pragma once
#include <string>

#include "core/options.h"
#include "downloadmanager.h"

namespace XELO {

using QYXAcquistion::HTTPProxyInfo;

inline constexpr const char* kDefaultWebServer = "www.qor.example";
inline constexpr const char* kProductionProviderPath = "/services/projects/qyx/serviceProviderQOR.gzip";
inline constexpr const char* kConnectPropertiesFile = "qyxConnect.properties";

// XELO_WEB_SERVER, or the default when it is unset or empty.
std::string webServerHost();

// Where the client finds the production service-provider descriptor:
// "http://" + webServerHost() + kProductionProviderPath.
std::string productionServiceLocation();

// The run's proxy record (process-wide).
HTTPProxyInfo& runProxyRecord();

// Sets `record` from the proxy options when the address is not empty and the
// port is not 0 (enabled, host, port, user, password); otherwise leaves it
// not enabled and empty.
void fillProxyRecord(HTTPProxyInfo& record, const Options& options);

// Sends one HTTP GET for the web server's front page through the proxy of
// `record` and logs the outcome. 1 when the proxy answers 0, 401 or 407
// (reached, but the credentials are missing or refused), 2 for any other
// status, -1 when no answer was had. The outcome never stops a run.
int checkProxy(const HTTPProxyInfo& record);

// Rewrites kConnectPropertiesFile in the current directory so that the
// client reads its service-provider descriptor from `location` and does not
// re-initialise it, and deletes the client's request cache "qyxReq". Keys
// missing from the file are added. A file that exists but cannot be read is
// left alone (false); false too when it cannot be written.
bool pointClientAt(const std::string& location);

// Set at start-up when XELO_TEST_FSP is defined: the run uses the test
// service provider it names.
void selectTestServiceProvider(bool selected);

// When XELO_TEST_FSP was defined at start-up: point the client at the test
// service provider it names. Otherwise nothing.
void useTestServiceProvider();

// When XELO_TEST_FSP was defined at start-up: point the client back at the
// production service provider. Otherwise nothing.
void restoreProductionServiceProvider();

}  // namespace XELO
