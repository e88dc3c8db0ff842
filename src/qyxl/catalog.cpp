#include "catalog.h"

#include <pugixml.hpp>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace qyxl::catalog {

const Update* Catalog::find(const std::string& id) const {
  for (const auto& u : updates)
    if (u.id == id) return &u;
  return nullptr;
}

namespace {

bool parseHexDigits(const std::string& text, std::size_t digits, std::string& normalized) {
  if (text.size() != digits) return false;
  std::string out;
  out.reserve(digits);
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  normalized = out;
  return true;
}

}  // namespace

bool parseSha1Hex(const std::string& text, std::string& normalized) { return parseHexDigits(text, 40, normalized); }

bool parseSha256Hex(const std::string& text, std::string& normalized) { return parseHexDigits(text, 64, normalized); }

bool parseTimestamp(const std::string& text, std::int64_t& seconds) {
  static const std::string pattern = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) return false;
  }
  auto number = [&](std::size_t at, std::size_t length) { return std::stoi(text.substr(at, length)); };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12 || day < 1 || day > monthDays[month - 1] + (month == 2 && leap ? 1 : 0) || hour > 23 ||
      minute > 59 || second > 59)
    return false;
  // Days since 1970-01-01 of a proleptic Gregorian date.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = y / 400;
  const int yearOfEra = y - era * 400;
  const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
  seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

bool isSafeFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || c == ':' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}

bool isSafeRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  std::string::size_type start = 0;
  while (true) {
    auto slash = path.find('/', start);
    std::string segment = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!isSafeFileName(segment)) return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

namespace {

std::vector<std::string> childIds(const pugi::xml_node& node, const char* element) {
  std::vector<std::string> ids;
  for (auto child : node.children(element)) {
    std::string id = child.attribute("id").as_string();
    if (!id.empty()) ids.push_back(id);
  }
  return ids;
}

std::vector<std::string> childTexts(const pugi::xml_node& node, const char* element) {
  std::vector<std::string> values;
  for (auto child : node.children(element)) {
    std::string v = child.text().as_string();
    if (!v.empty()) values.push_back(v);
  }
  return values;
}

// A byte count in decimal digits. A number too large for 64 bits is
// malformed: it is not read as some other number.
bool parseSize(const std::string& text, std::uint64_t& size) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return false;
  size = v;
  return true;
}

}  // namespace

bool parseCatalog(const std::string& text, Catalog& out, std::string& error) {
  pugi::xml_document doc;
  auto result = doc.load_buffer(text.data(), text.size());
  if (!result) {
    error = std::string("catalog is not well-formed XML: ") + result.description() + " at offset " +
            std::to_string(result.offset);
    return false;
  }
  auto root = doc.child("repository");
  if (!root) {
    error = "catalog has no <repository> element";
    return false;
  }
  Catalog cat;
  cat.format = root.attribute("format").as_int(kFormatVersion);
  if (cat.format > kFormatVersion) {
    error = "catalog format " + std::to_string(cat.format) + " is newer than this client reads (" +
            std::to_string(kFormatVersion) + ")";
    return false;
  }
  cat.generated = root.attribute("generated").as_string();
  cat.validUntil = root.attribute("validUntil").as_string();
  std::int64_t until = 0;
  if (!cat.validUntil.empty() && !parseTimestamp(cat.validUntil, until)) {
    error = "catalog validity end \"" + cat.validUntil + "\" is not a time stamp YYYY-MM-DDTHH:MM:SSZ";
    return false;
  }
  for (auto node : root.children("update")) {
    Update u;
    u.id = node.attribute("id").as_string();
    if (u.id.empty()) continue;  // an entry without id cannot be ordered
    u.kind = node.attribute("kind").as_string(kKindUpdate);
    u.name = node.attribute("name").as_string();
    u.version = node.attribute("version").as_string();
    u.machineTypes = childTexts(node, "machineType");
    u.platforms = childTexts(node, "platform");
    u.preReqs = childIds(node, "prereq");
    u.coReqs = childIds(node, "coreq");
    u.supersedes = childIds(node, "supersedes");
    u.members = childIds(node, "member");
    for (auto f : node.children("file")) {
      FileEntry e;
      e.name = f.attribute("name").as_string();
      e.path = f.attribute("path").as_string();
      e.role = f.attribute("role").as_string(kRoleData);
      std::string size = f.attribute("size").as_string();
      if (!size.empty()) e.hasSize = parseSize(size, e.size);
      if (!size.empty() && !e.hasSize) e.path.clear();  // a bad size makes the entry unusable
      std::string sha = f.attribute("sha1").as_string();
      if (!sha.empty() && !parseSha1Hex(sha, e.sha1)) e.path.clear();  // same for a bad hash
      std::string sha256 = f.attribute("sha256").as_string();
      if (!sha256.empty() && !parseSha256Hex(sha256, e.sha256)) e.path.clear();
      u.files.push_back(std::move(e));
    }
    cat.updates.push_back(std::move(u));
  }
  out = std::move(cat);
  return true;
}

namespace {

void addTexts(pugi::xml_node node, const char* element, const std::vector<std::string>& values) {
  for (const auto& v : values) node.append_child(element).text().set(v.c_str());
}

void addIds(pugi::xml_node node, const char* element, const std::vector<std::string>& ids) {
  for (const auto& id : ids) node.append_child(element).append_attribute("id").set_value(id.c_str());
}

}  // namespace

std::string writeCatalog(const Catalog& catalog) {
  pugi::xml_document doc;
  auto decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version").set_value("1.0");
  decl.append_attribute("encoding").set_value("UTF-8");
  auto root = doc.append_child("repository");
  root.append_attribute("format").set_value(catalog.format);
  if (!catalog.generated.empty()) root.append_attribute("generated").set_value(catalog.generated.c_str());
  if (!catalog.validUntil.empty()) root.append_attribute("validUntil").set_value(catalog.validUntil.c_str());
  for (const auto& u : catalog.updates) {
    auto node = root.append_child("update");
    node.append_attribute("id").set_value(u.id.c_str());
    node.append_attribute("kind").set_value(u.kind.c_str());
    if (!u.name.empty()) node.append_attribute("name").set_value(u.name.c_str());
    if (!u.version.empty()) node.append_attribute("version").set_value(u.version.c_str());
    addTexts(node, "machineType", u.machineTypes);
    addTexts(node, "platform", u.platforms);
    addIds(node, "prereq", u.preReqs);
    addIds(node, "coreq", u.coReqs);
    addIds(node, "supersedes", u.supersedes);
    addIds(node, "member", u.members);
    for (const auto& f : u.files) {
      auto file = node.append_child("file");
      file.append_attribute("name").set_value(f.name.c_str());
      file.append_attribute("path").set_value(f.path.c_str());
      if (f.hasSize) file.append_attribute("size").set_value(std::to_string(f.size).c_str());
      if (!f.sha1.empty()) file.append_attribute("sha1").set_value(f.sha1.c_str());
      if (!f.sha256.empty()) file.append_attribute("sha256").set_value(f.sha256.c_str());
      file.append_attribute("role").set_value(f.role.c_str());
    }
  }
  std::ostringstream s;
  doc.save(s, "  ", pugi::format_indent, pugi::encoding_utf8);
  return s.str();
}

}  // namespace qyxl::catalog
