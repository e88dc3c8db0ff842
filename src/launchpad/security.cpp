#include "security.h"

#include <stdexcept>

#include "platform.h"

namespace XELO::launchpad {

std::string newToken() {
  const std::string bytes = randomBytes(32);
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

bool sameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

std::string tokenFromCookie(const std::string& cookieHeader) {
  const std::string name = std::string(kTokenCookie) + "=";
  std::size_t pos = 0;
  while (pos < cookieHeader.size()) {
    std::size_t end = cookieHeader.find(';', pos);
    if (end == std::string::npos) end = cookieHeader.size();
    std::size_t start = cookieHeader.find_first_not_of(' ', pos);
    if (start != std::string::npos && start < end && cookieHeader.compare(start, name.size(), name) == 0)
      return cookieHeader.substr(start + name.size(), end - start - name.size());
    pos = end + 1;
  }
  return "";
}

std::string ownOrigin(int port) { return "http://127.0.0.1:" + std::to_string(port); }

bool opensWithAddressToken(const RequestFacts& request, const Keys& keys) {
  return !keys.addressTokenSpent && request.method == "GET" && request.path == "/" &&
         sameSecret(request.queryToken, keys.addressToken);
}

Verdict checkRequest(const RequestFacts& request, const Keys& keys, int port) {
  if (request.host != "127.0.0.1:" + std::to_string(port)) return Verdict::ForeignHost;
  if (!sameSecret(tokenFromCookie(request.cookie), keys.session) && !opensWithAddressToken(request, keys))
    return keys.addressTokenSpent && sameSecret(request.queryToken, keys.addressToken) ? Verdict::SpentToken
                                                                                       : Verdict::NoToken;
  const bool reading = request.method == "GET" || request.method == "HEAD";
  if (!reading && request.origin != ownOrigin(port)) return Verdict::ForeignOrigin;
  return Verdict::Allowed;
}

}  // namespace XELO::launchpad
