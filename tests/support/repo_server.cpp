// The HTTP repository server for tests, with per-path fault injection.
#include <httplib.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>
#include <thread>

#include "repo_fixtures.h"

namespace xelotest {

namespace fs = std::filesystem;

struct RepoServer::State {
  std::string root;
  mutable std::mutex mutex;
  std::map<std::string, RepoFault> faults;
  std::map<std::string, int> counts;
  int total = 0;
  int proxied = 0;
  std::set<int> clientPorts;  // one per connection the requests came on
  std::string lastProxyAuth;
  std::string requiredProxyAuth;  // the full header value, "" when not required

  std::mutex stopMutex;
  std::condition_variable stopSignal;
  bool stopping = false;

  std::unique_ptr<httplib::Server> server;
  std::thread thread;

  // Waits `ms`; false when the server is being stopped.
  bool pause(int ms) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopSignal.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping; });
  }
};

namespace {

std::string base64(const std::string& in) {
  static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  while (i + 2 < in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                 static_cast<unsigned char>(in[i + 2]);
    out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], table[v & 63]};
    i += 3;
  }
  if (i + 1 == in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += {table[v >> 18], table[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8);
    out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], '='};
  }
  return out;
}

// The path of a request; for an absolute-form target (a request sent to a
// proxy) the scheme and host are dropped.
std::string pathOfTarget(const std::string& target, bool& viaProxy) {
  viaProxy = false;
  for (const char* scheme : {"http://", "https://"}) {
    std::string s = scheme;
    if (target.compare(0, s.size(), s) == 0) {
      viaProxy = true;
      auto slash = target.find('/', s.size());
      return slash == std::string::npos ? "/" : target.substr(slash);
    }
  }
  return target;
}

bool safePath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    auto slash = path.find('/', start);
    std::string segment = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (segment == ".." || segment.find('\\') != std::string::npos) return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

void serve(const std::shared_ptr<RepoServer::State>& state, const httplib::Request& req, httplib::Response& res) {
  bool viaProxy = false;
  std::string path = pathOfTarget(req.path, viaProxy);
  RepoFault fault;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    ++state->counts[path];
    ++state->total;
    state->clientPorts.insert(req.remote_port);
    if (viaProxy) {
      ++state->proxied;
      state->lastProxyAuth = req.get_header_value("Proxy-Authorization");
      if (!state->requiredProxyAuth.empty() && state->lastProxyAuth != state->requiredProxyAuth) {
        res.status = 407;
        res.set_header("Proxy-Authenticate", "Basic realm=\"test proxy\"");
        return;
      }
    }
    auto it = state->faults.find(path);
    if (it != state->faults.end()) {
      fault = it->second;
      if (it->second.times > 0 && --it->second.times == 0) state->faults.erase(it);
    }
  }

  switch (fault.kind) {
    case RepoFault::NotFound:
      res.status = 404;
      return;
    case RepoFault::ServerError:
      res.status = 500;
      return;
    case RepoFault::Redirect:
      res.status = 302;
      res.set_header("Location", fault.location);
      return;
    case RepoFault::Delay:
      if (!state->pause(fault.delayMs)) {
        res.status = 503;
        return;
      }
      break;
    default:
      break;
  }

  std::error_code ec;
  fs::path file = fs::path(state->root) / path.substr(1);
  if (!safePath(path) || !fs::is_regular_file(file, ec)) {
    res.status = 404;
    return;
  }
  const std::uint64_t size = fs::file_size(file, ec);
  auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
  res.status = 200;
  res.set_content_provider(
      static_cast<std::size_t>(size), "application/octet-stream",
      [state, in, fault, size](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        bool limited = fault.kind == RepoFault::Stall || fault.kind == RepoFault::Truncate;
        if (limited && offset >= fault.afterBytes) {
          // Stall: hold the connection without sending; then (or for a
          // truncation, at once) drop it before the announced length.
          if (fault.kind == RepoFault::Stall) state->pause(fault.stallMs);
          return false;
        }
        std::size_t n = std::min<std::size_t>(length, 64 * 1024);
        if (limited) n = static_cast<std::size_t>(std::min<std::uint64_t>(n, fault.afterBytes - offset));
        std::vector<char> buffer(n);
        in->seekg(static_cast<std::streamoff>(offset));
        in->read(buffer.data(), static_cast<std::streamsize>(n));
        if (static_cast<std::size_t>(in->gcount()) != n) return false;
        if (fault.kind == RepoFault::WrongContent) {
          std::uint64_t middle = size / 2;
          if (middle >= offset && middle < offset + n) buffer[middle - offset] = static_cast<char>(~buffer[middle - offset]);
        }
        return sink.write(buffer.data(), n);
      });
}

}  // namespace

RepoServer::RepoServer(std::string root) : rootDir(std::move(root)), state(std::make_shared<State>()) {
  state->root = rootDir;
}

RepoServer::~RepoServer() { stop(); }

void RepoServer::start() {
  if (state->server) throw std::logic_error("the repository server is already running");
  {
    std::lock_guard<std::mutex> lock(state->stopMutex);
    state->stopping = false;
  }
  std::unique_ptr<httplib::Server> server;
  if (tls.certificate.empty()) {
    server = std::make_unique<httplib::Server>();
  } else {
    auto secure = std::make_unique<httplib::SSLServer>(tls.certificate.c_str(), tls.privateKey.c_str());
    if (!secure->is_valid()) throw std::runtime_error("the repository server cannot load " + tls.certificate);
    server = std::move(secure);
  }
  // Enough workers for parallel downloads plus stalled connections.
  server->new_task_queue = [] { return new httplib::ThreadPool(32); };
  server->set_keep_alive_timeout(1);
  // As a web server would: a connection serves many requests.
  server->set_keep_alive_max_count(1000);
  server->set_read_timeout(5);
  server->set_write_timeout(5);
  auto shared = state;
  auto handler = [shared](const httplib::Request& req, httplib::Response& res) { serve(shared, req, res); };
  server->Get(".*", handler);
  boundPort = server->bind_to_any_port("127.0.0.1");
  if (boundPort <= 0) throw std::runtime_error("the repository server cannot bind 127.0.0.1");
  httplib::Server* raw = server.get();
  state->server = std::move(server);
  state->thread = std::thread([raw] { raw->listen_after_bind(); });
  // The server's stop() does nothing until the listening loop has begun:
  // a stop right after start would then leave the thread in accept() for
  // ever. start() returns only once the loop runs.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!raw->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the repository server did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void RepoServer::stop() {
  if (!state->server) return;
  {
    std::lock_guard<std::mutex> lock(state->stopMutex);
    state->stopping = true;
  }
  state->stopSignal.notify_all();
  state->server->stop();
  if (state->thread.joinable()) state->thread.join();
  state->server.reset();
}

std::string RepoServer::baseUrl() const {
  return (tls.certificate.empty() ? "http://" : "https://") + std::string("127.0.0.1:") + std::to_string(boundPort) + "/";
}

TlsCredentials makeSelfSignedCertificate(const std::string& dir) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert) throw std::runtime_error("cannot make a test key");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                            std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) throw std::runtime_error("cannot make a test certificate extension");
    X509_add_ext(cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (!X509_sign(cert.get(), key.get(), EVP_sha256())) throw std::runtime_error("cannot sign a test certificate");

  TlsCredentials files{(fs::path(dir) / "server.crt").string(), (fs::path(dir) / "server.key").string()};
  auto write = [](const std::string& path, const std::function<int(BIO*)>& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "w"), BIO_free);
    if (!bio || !pem(bio.get())) throw std::runtime_error("cannot write " + path);
  };
  write(files.certificate, [&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
  write(files.privateKey,
        [&](BIO* b) { return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  return files;
}

void RepoServer::setFault(const std::string& path, const RepoFault& fault) {
  std::lock_guard<std::mutex> lock(state->mutex);
  state->faults[path] = fault;
}

void RepoServer::clearFault(const std::string& path) {
  std::lock_guard<std::mutex> lock(state->mutex);
  state->faults.erase(path);
}

void RepoServer::clearFaults() {
  std::lock_guard<std::mutex> lock(state->mutex);
  state->faults.clear();
}

int RepoServer::requestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(state->mutex);
  auto it = state->counts.find(path);
  return it == state->counts.end() ? 0 : it->second;
}

int RepoServer::totalRequests() const {
  std::lock_guard<std::mutex> lock(state->mutex);
  return state->total;
}

int RepoServer::connectionCount() const {
  std::lock_guard<std::mutex> lock(state->mutex);
  return static_cast<int>(state->clientPorts.size());
}

int RepoServer::proxiedRequests() const {
  std::lock_guard<std::mutex> lock(state->mutex);
  return state->proxied;
}

std::string RepoServer::lastProxyAuthorization() const {
  std::lock_guard<std::mutex> lock(state->mutex);
  return state->lastProxyAuth;
}

void RepoServer::requireProxyAuth(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lock(state->mutex);
  state->requiredProxyAuth = "Basic " + base64(user + ":" + password);
}

}  // namespace xelotest
