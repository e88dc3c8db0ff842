// Who may talk to the front end's server: only the page it served, on the
// loopback address, holding the one-time token of this start.
#pragma once
#include <string>

namespace XELO::launchpad {

inline constexpr const char* kTokenCookie = "launchpad_token";

// 32 random bytes as 64 lower-case hex digits (from the kernel's generator).
std::string newToken();

// Equal texts, compared in time that does not depend on where they differ.
bool sameSecret(const std::string& a, const std::string& b);

// The token in a Cookie header ("a=1; launchpad_token=...; b=2"), or "".
std::string tokenFromCookie(const std::string& cookieHeader);

enum class Verdict { Allowed, ForeignHost, NoToken, SpentToken, ForeignOrigin };

// The secrets of one start. The token of the printed address opens the page
// once: that request gets the session key as its cookie and spends the
// token, so a copy of the address (a process list, a shell history, a
// browser's history) is worth nothing afterwards.
struct Keys {
  std::string session;       // what the page's cookie carries
  std::string addressToken;  // the token of the printed address
  bool addressTokenSpent = false;
};

struct RequestFacts {
  std::string method;      // "GET", "POST"...
  std::string host;        // Host header
  std::string origin;      // Origin header, "" when absent
  std::string queryToken;  // ?token= of the URL, "" when absent
  std::string cookie;      // Cookie header, "" when absent
  std::string path = "/";  // the request's path, without the query
};

// The server's own origin, "http://127.0.0.1:<port>".
std::string ownOrigin(int port);

// Host must name 127.0.0.1 and our port (a page served under another name,
// as in DNS rebinding, is refused); the session key must come as the cookie,
// or, for the page itself (GET /) while it is unspent, the address token in
// the URL; a request that changes state (anything but GET and HEAD) must
// carry our own Origin.
Verdict checkRequest(const RequestFacts& request, const Keys& keys, int port);

// True when `request` is let through by the address token: the caller spends it.
bool opensWithAddressToken(const RequestFacts& request, const Keys& keys);

}  // namespace XELO::launchpad
