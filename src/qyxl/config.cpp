#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "qyxl.h"

namespace qyxl {

namespace fs = std::filesystem;

namespace {

std::mutex& rootMutex() {
  static std::mutex m;
  return m;
}

std::string& rootDirectory() {
  static std::string dir;
  return dir;
}

// One lock for reading and writing the properties files, so a store written
// by one thread is never read half-way by another.
std::mutex& fileMutex() {
  static std::mutex m;
  return m;
}

const char* fileNameOf(Config::Store store) {
  return store == Config::BASE ? "qyxBase.properties" : "qyxConnect.properties";
}

fs::path storePath(Config::Store store) {
  std::string root = Config::getRootDataDirectory();
  return root.empty() ? fs::path(fileNameOf(store)) : fs::path(root) / fileNameOf(store);
}

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// The key of a properties line, or "" for a comment or blank line.
std::string keyOfLine(const std::string& line) {
  std::string t = trim(line);
  if (t.empty() || t[0] == '#' || t[0] == '!') return "";
  auto eq = t.find('=');
  return trim(eq == std::string::npos ? t : t.substr(0, eq));
}

std::string valueOfLine(const std::string& line) {
  auto eq = line.find('=');
  return eq == std::string::npos ? "" : trim(line.substr(eq + 1));
}

}  // namespace

void Config::setRootDataDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lock(rootMutex());
  rootDirectory() = dir;
}

std::string Config::getRootDataDirectory() {
  std::lock_guard<std::mutex> lock(rootMutex());
  return rootDirectory();
}

bool Config::load(Store which, bool create) {
  loaded = which;
  lines.clear();
  std::lock_guard<std::mutex> lock(fileMutex());
  std::ifstream in(storePath(which), std::ios::binary);
  if (!in) return create;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.emplace_back(keyOfLine(line), line);
  }
  return true;
}

std::string Config::getProperty(const std::string& key) const {
  for (const auto& [k, raw] : lines)
    if (!k.empty() && k == key) return valueOfLine(raw);
  return "";
}

void Config::setProperty(const std::string& key, const std::string& value) {
  std::string raw = key + " = " + value;
  for (auto& [k, line] : lines) {
    if (k == key) {
      line = raw;
      return;
    }
  }
  lines.emplace_back(key, raw);
}

bool Config::store(bool create) {
  std::lock_guard<std::mutex> lock(fileMutex());
  fs::path path = storePath(loaded);
  std::error_code ec;
  if (!create && !fs::exists(path, ec)) return false;
  std::ostringstream text;
  for (const auto& entry : lines) text << entry.second << '\n';
  // Written beside the store and renamed over it, so a failed write leaves
  // the previous settings in place.
  fs::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text.str();
    out.flush();
    if (!out) {
      out.close();
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, path, ec);
  if (ec) {
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

namespace {

class InMemoryPlatformExtension : public PlatformExtensionIfc {
 public:
  void setSecret(const std::string& handle, const std::string& secret) override {
    std::lock_guard<std::mutex> lock(mutex);
    secrets[handle] = secret;
  }
  std::string getSecret(const std::string& handle) const override {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = secrets.find(handle);
    return it == secrets.end() ? std::string() : it->second;
  }

 private:
  mutable std::mutex mutex;
  std::map<std::string, std::string> secrets;
};

}  // namespace

PlatformExtensionIfc& PlatformExtensionIfc::getPlatformExtension() {
  static InMemoryPlatformExtension instance;
  return instance;
}

}  // namespace qyxl
