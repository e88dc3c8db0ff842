#include "server.h"

#include <httplib.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "arguments.h"
#include "devices.h"
#include "platform.h"
#include "readers.h"
#include "security.h"
#include "supervisor.h"

namespace XELO::launchpad {
namespace {

using nlohmann::json;

void sendJson(httplib::Response& res, const json& body, int status = 200) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& why) { sendJson(res, {{"error", why}}, status); }

// Headers every answer carries: nothing is cached, framed or sniffed, and the
// page may load nothing but its own files.
void hardenResponse(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                 "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
}

// The keys of this start; the address token is spent by the first page
// request that carries it.
struct Gate {
  std::mutex lock;
  Keys keys;
};

httplib::Server::HandlerResponse checkEveryRequest(const httplib::Request& req, httplib::Response& res, Gate& gate,
                                                   int port) {
  hardenResponse(res);
  const RequestFacts facts{req.method,
                           req.get_header_value("Host"),
                           req.get_header_value("Origin"),
                           req.get_param_value("token"),
                           req.get_header_value("Cookie"),
                           req.path};
  Verdict verdict;
  {
    std::lock_guard<std::mutex> hold(gate.lock);
    verdict = checkRequest(facts, gate.keys, port);
    if (verdict == Verdict::Allowed && opensWithAddressToken(facts, gate.keys)) gate.keys.addressTokenSpent = true;
  }
  switch (verdict) {
    case Verdict::Allowed: return httplib::Server::HandlerResponse::Unhandled;
    case Verdict::ForeignHost: refuse(res, 403, "This server answers only at " + ownOrigin(port) + "."); break;
    case Verdict::NoToken: refuse(res, 403, "Open the address launchpad printed, with its token."); break;
    case Verdict::SpentToken:
      refuse(res, 403, "This address has been opened once already; start launchpad again for a new one.");
      break;
    case Verdict::ForeignOrigin: refuse(res, 403, "Requests that change something must come from the page."); break;
  }
  return httplib::Server::HandlerResponse::Handled;
}

void serveFile(httplib::Response& res, const std::string& path, const char* type) {
  const std::string text = readWholeFile(path);
  if (text.empty()) return refuse(res, 404, "missing " + path);
  res.set_content(text, type);
}

// The page's JSON request as a RunRequest; throws json exceptions on a
// member of the wrong type.
RunRequest runRequestFrom(const json& body, Action action) {
  RunRequest r;
  r.action = action;
  r.workingDir = body.value("workingDir", "");
  r.machineTypes = body.value("machineTypes", std::vector<std::string>{});
  r.functions = body.value("functions", std::vector<std::string>{});
  r.medium = body.value("medium", "");
  r.target = body.value("target", "");
  r.tftpAddress = body.value("tftpAddress", "");
  r.description = body.value("description", "");
  r.kernelArgs = body.value("kernelArgs", "");
  r.autorun = body.value("autorun", "");
  r.timeout = body.value("timeout", 0);
  r.force = body.value("force", false);
  r.noAcquire = body.value("noAcquire", false);
  r.verify = body.value("verify", false);
  r.proxyAddress = body.value("proxyAddress", "");
  r.proxyPort = body.value("proxyPort", 0);
  r.proxyUser = body.value("proxyUser", "");
  r.proxyPassword = body.value("proxyPassword", "");
  return r;
}

void startRun(const httplib::Request& req, httplib::Response& res, Supervisor& supervisor) {
  const json body = json::parse(req.body, nullptr, false);
  Action action;
  if (!body.is_object() || !parseAction(body.value("action", std::string()), action))
    return refuse(res, 400, "Unknown action.");
  RunRequest request;
  try {
    request = runRequestFrom(body, action);
  } catch (const json::exception&) {
    return refuse(res, 400, "A field of the request has the wrong type.");
  }
  std::set<std::string> usb;
  if (request.medium == "usb")
    for (const auto& device : listUsbDevices()) usb.insert(device.path);
  const BuiltCommand command = buildArguments(request, usb, supervisor.progressFile());
  if (!command.error.empty()) return refuse(res, 400, command.error);
  const std::string why = supervisor.start(body.value("action", std::string()), command.args, request.proxyPassword);
  if (!why.empty()) return refuse(res, supervisor.running() ? 409 : 500, why);
  sendJson(res, {{"started", true}});
}

json supportListJson(const ServerSetup& setup) {
  std::string text = readWholeFile(setup.supportList);
  const bool installed = !text.empty();
  if (!installed) text = readWholeFile(setup.shippedList);
  json systems = json::array();
  for (const auto& s : readSupportList(text))
    systems.push_back(
        {{"machineType", s.machineType}, {"name", s.name}, {"novpi", s.novpi}, {"kyt", s.kyt}, {"dunvar", s.dunvar}});
  return {{"installed", installed}, {"systems", systems}};
}

}  // namespace

int bindLoopback(httplib::Server& server) { return server.bind_to_any_port("127.0.0.1"); }

void installRoutes(httplib::Server& server, const ServerSetup& setup, Supervisor& supervisor, int port) {
  auto gate = std::make_shared<Gate>();
  gate->keys.session = setup.session;
  gate->keys.addressToken = setup.token;
  server.set_payload_max_length(64 * 1024);  // a run request is a few hundred bytes
  server.set_pre_routing_handler([gate, port](const httplib::Request& req, httplib::Response& res) {
    return checkEveryRequest(req, res, *gate, port);
  });
  server.Get("/", [setup](const httplib::Request& req, httplib::Response& res) {
    // The token leaves the address bar; from now on the page's cookie, which
    // only this origin is sent, carries the session key.
    res.set_header("Set-Cookie",
                   std::string(kTokenCookie) + "=" + setup.session + "; Path=/; HttpOnly; SameSite=Strict");
    if (req.has_param("token")) return res.set_redirect("/", 303);
    serveFile(res, setup.wwwDir + "/index.html", "text/html; charset=utf-8");
  });
  server.Get("/app.js", [setup](const httplib::Request&, httplib::Response& res) {
    serveFile(res, setup.wwwDir + "/app.js", "text/javascript; charset=utf-8");
  });
  server.Get("/app.css", [setup](const httplib::Request&, httplib::Response& res) {
    serveFile(res, setup.wwwDir + "/app.css", "text/css; charset=utf-8");
  });
  server.Get("/api/supportlist",
             [setup](const httplib::Request&, httplib::Response& res) { sendJson(res, supportListJson(setup)); });
  server.Get("/api/devices", [](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (const auto& d : listUsbDevices()) list.push_back({{"path", d.path}, {"model", d.model}, {"bytes", d.bytes}});
    sendJson(res, list);
  });
  server.Get("/api/state", [&supervisor](const httplib::Request& req, httplib::Response& res) {
    std::size_t from = 0;
    try {
      from = req.has_param("log") ? std::stoul(req.get_param_value("log")) : 0;
    } catch (const std::exception&) {
    }
    sendJson(res, supervisor.state(from));
  });
  server.Post("/api/run",
              [&supervisor](const httplib::Request& req, httplib::Response& res) { startRun(req, res, supervisor); });
  server.Post("/api/answer", [&supervisor](const httplib::Request& req, httplib::Response& res) {
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("yes") || !body["yes"].is_boolean())
      return refuse(res, 400, "The answer is yes or no.");
    const std::string why = supervisor.answer(body["yes"].get<bool>());
    if (!why.empty()) return refuse(res, 409, why);
    sendJson(res, {{"answered", true}});
  });
  server.Post("/api/cancel", [&supervisor](const httplib::Request&, httplib::Response& res) {
    supervisor.cancel();
    sendJson(res, {{"cancelled", true}});
  });
}

}  // namespace XELO::launchpad
