#include "metadata/descriptors.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <utility>

#include "core/text.h"
#include "host/host.h"
#include "host/paths.h"
#include "log/logger.h"

namespace XELO {

namespace {

const std::string::size_type npos = std::string::npos;

// The last component of a path. Rules that look at "the descriptor's name"
// look here, so the name of the working directory never changes a verdict.
std::string baseName(const std::string& path) {
  const auto at = lastSeparator(path);
  return at == npos ? path : path.substr(at + 1);
}

// A value that names a file in the working directory itself. Descriptors come
// from a remote repository: a name that climbs out of the directory or names
// a path elsewhere is not one of the update's files.
bool plainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) { return isPathSeparator(c) || c == ':'; });
}

// The texts of the descriptors read while one index is built: the index
// asks each descriptor for several properties, and they all come from one
// reading of the file. Only the thread that builds the index uses it.
class DescriptorCache {
 public:
  DescriptorCache() : outer(active) { active = this; }
  ~DescriptorCache() { active = outer; }
  DescriptorCache(const DescriptorCache&) = delete;
  DescriptorCache& operator=(const DescriptorCache&) = delete;

  static DescriptorCache* current() { return active; }

  // The file's text; null when it cannot be opened.
  const std::string* text(const std::string& path) {
    auto found = texts.find(path);
    if (found == texts.end()) {
      std::optional<std::string> text;
      std::ifstream in(path, std::ios::in | std::ios::binary);
      if (in.is_open()) text.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      found = texts.emplace(path, std::move(text)).first;
    }
    return found->second ? &*found->second : nullptr;
  }

 private:
  static thread_local DescriptorCache* active;
  DescriptorCache* outer;
  std::map<std::string, std::optional<std::string>> texts;
};

thread_local DescriptorCache* DescriptorCache::active = nullptr;

// One descriptor, line by line. A trailing carriage return is dropped, so
// files written on Windows read the same. A file that cannot be opened is
// logged and reads as empty.
class DescriptorLines {
 public:
  explicit DescriptorLines(const std::string& path) {
    if (DescriptorCache* cache = DescriptorCache::current()) {
      const std::string* text = cache->text(path);
      if (text) in = std::make_unique<std::istringstream>(*text);
    } else {
      auto file = std::make_unique<std::ifstream>(path, std::ios::in | std::ios::binary);
      if (file->is_open()) in = std::move(file);
    }
    if (!in) logEntry(LogVerbose, "can't open " + path);
  }
  bool next(std::string& line) {
    if (!in || !std::getline(*in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }

 private:
  std::unique_ptr<std::istream> in;
};

// Text after `open` up to the first `close` after it (to the end of the line
// when there is none). `open` must be in the line.
std::string textAfter(const std::string& line, const std::string& open, const std::string& close) {
  const auto start = line.find(open) + open.size();
  const auto end = line.find(close, start);
  return line.substr(start, end == npos ? npos : end - start);
}

template <typename Map>
void insertOnce(Map& map, const std::string& key, const std::string& value) {
  const auto [first, last] = map.equal_range(key);
  for (auto it = first; it != last; ++it)
    if (it->second == value) return;
  map.emplace(key, value);
}

void appendOnce(std::vector<std::string>& list, const std::string& value) {
  if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
}

}  // namespace

void DescriptorIndex::clear() {
  workDir.clear();
  machineTypes.clear();
  acquireFlag = false;
  osSelector = false;
  filesByMachineType.clear();
  idsByMachineType.clear();
  updateMachineTypes.clear();
  toolkitMachineTypes.clear();
  foundMachineTypes.clear();
  linuxDescriptors.clear();
  windowsDescriptors.clear();
  esxiDescriptors.clear();
  incompleteUpdates.clear();
}

DescriptorIndex& descriptorIndex() {
  static DescriptorIndex index;
  return index;
}

// ---- readers ---------------------------------------------------------------

bool isUpdatePackDescriptor(const std::string& path) { return contains(baseName(path), kUpdatePackMarker); }

bool descriptorComplete(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line))
    if (contains(line, "</CIM>")) return true;
  return false;
}

std::string readDescriptorProperty(const std::string& path, const std::string& name) {
  DescriptorLines in(path);
  std::string line;
  if (isUpdatePackDescriptor(path)) {
    // An update pack describes its bundled updates first; its own
    // properties follow the line that opens the pack's section.
    bool section = false;
    while (!section && in.next(line)) section = contains(line, "<VALUE>NOVP");
    if (!section) return "";
  }
  bool haveLine = in.next(line);
  while (haveLine) {
    if (contains(line, "<PROPERTY NAME") && line.find(name) != npos) {
      if (!in.next(line)) return "";
      if (contains(line, "<VALUE>")) return textAfter(line, "<VALUE>", "</VALUE");
      continue;  // the line after a bare property line may itself open a property
    }
    haveLine = in.next(line);
  }
  return "";
}

std::vector<std::string> readMachineTypeArray(const std::string& path) {
  DescriptorLines in(path);
  std::vector<std::string> types;
  std::string line;
  bool haveLine = in.next(line);
  while (haveLine) {
    if (!contains(line, "applicableMachineTypes")) {
      haveLine = in.next(line);
      continue;
    }
    if (!in.next(line)) break;
    if (!contains(line, "<VALUE.ARRAY>")) continue;  // look at this line again
    while (in.next(line) && !contains(line, "</VALUE.ARRAY>")) {
      const auto open = line.find('[');
      if (open == npos) {
        types.push_back(line);
      } else {
        const auto close = line.find(']', open + 1);
        types.push_back(line.substr(open + 1, close == npos ? npos : close - open - 1));
      }
    }
    break;  // only the first array counts
  }
  return types;
}

std::vector<std::string> readArrayProperty(const std::string& path, const std::string& name, bool* found) {
  DescriptorLines in(path);
  std::vector<std::string> elements;
  if (found) *found = false;
  std::string line;
  bool haveLine = in.next(line);
  while (haveLine) {
    if (line.find(name) == npos) {
      haveLine = in.next(line);
      continue;
    }
    if (!in.next(line)) break;
    if (!contains(line, "<VALUE.ARRAY>")) continue;  // look at this line again
    if (found) *found = true;
    while (in.next(line) && !contains(line, "</VALUE.ARRAY>"))
      if (contains(line, "<VALUE>")) elements.push_back(textAfter(line, "<VALUE>", "</VALUE>"));
    break;  // only the first array counts
  }
  return elements;
}

std::multimap<std::string, std::string> readApplicableMachineTypes(DescriptorIndex& index,
                                                                  const std::vector<std::string>& names) {
  std::multimap<std::string, std::string> result;
  std::vector<std::string> met;
  for (const auto& name : names) {
    for (const auto& type : readMachineTypeArray(joinPath(index.workDir, name))) {
      result.emplace(name, type);
      appendOnce(met, type);
    }
  }
  index.foundMachineTypes.insert(index.foundMachineTypes.end(), met.begin(), met.end());
  return result;
}

OsClass getDescriptorOsClass(const std::string& path) {
  {
    DescriptorLines in(path);
    std::string line;
    bool haveLine = in.next(line);
    while (haveLine) {
      if (!contains(line, "applicableOperatingSystems")) {
        haveLine = in.next(line);
        continue;
      }
      if (!in.next(line)) break;
      if (!contains(line, "<VALUE.ARRAY>")) continue;
      while (in.next(line) && !contains(line, "</VALUE.ARRAY>")) {
        if (!contains(line, "<VALUE>")) continue;
        const std::string os = lowerCase(textAfter(line, "<VALUE>", "</VALUE>"));
        static const char* const linuxCodes[] = {"linux", "201", "202", "203", "204", "205", "206", "207"};
        if (std::find(std::begin(linuxCodes), std::end(linuxCodes), os) != std::end(linuxCodes)) return kOsLinux;
        if (contains(os, "windows")) return kOsWindows;
        if (contains(os, "none")) return kOsIndependent;
      }
      break;
    }
  }
  const std::string name = baseName(path);
  if (contains(name, "linux") || contains(name, "sles10")) return kOsLinux;
  if (contains(name, "windows")) return kOsWindows;
  if (contains(name, "anyos_noarch")) return kOsIndependent;
  return kOsUnknown;
}

int splitDescriptorsByOs(DescriptorIndex& index, const std::vector<std::string>& names) {
  int result = 0;
  for (const auto& name : names) {
    switch (getDescriptorOsClass(joinPath(index.workDir, name))) {
      case kOsLinux:
        index.linuxDescriptors.push_back(name);
        break;
      case kOsWindows:
        index.windowsDescriptors.push_back(name);
        break;
      case kOsIndependent:
        index.windowsDescriptors.push_back(name);
        index.linuxDescriptors.push_back(name);
        break;
      default:
        logEntry(LogVerbose, "can't get applicableOperatingSystem from xml file : " + name);
        result = -1;
        break;
    }
  }
  return result;
}

bool fileExists(const std::string& path) { return !isDirectory(path) && fileReadable(path); }

std::string getUpdatePayload(const DescriptorIndex& index, const std::string& name) {
  if (isUpdatePackDescriptor(name)) return "";
  const std::string payload = readDescriptorProperty(joinPath(index.workDir, name), "payload");
  if (!plainFileName(payload) || !fileExists(joinPath(index.workDir, payload))) return "";
  return payload;
}

std::vector<std::string> getUpdateFiles(const DescriptorIndex& index, const std::string& name) {
  const std::string path = joinPath(index.workDir, name);
  auto read = [&](const char* property) { return readDescriptorProperty(path, property); };
  auto readEither = [&](const char* property, const char* fallback) {
    std::string value = read(property);
    return value.empty() ? read(fallback) : value;
  };

  std::vector<std::string> candidates;
  if (isUpdatePackDescriptor(name)) {
    candidates = {read("xmlFilename"), read("readmeFilename"), read("changeHistoryFilename")};
  } else {
    candidates = {read("xmlFilename"), readEither("readme", "readmeFilename"), read("payload"),
                  readEither("revisionHistoryFile", "changeHistoryFilename")};
  }
  std::vector<std::string> files;
  for (const auto& file : candidates)
    if (plainFileName(file) && fileExists(joinPath(index.workDir, file))) files.push_back(file);
  return files;
}

// ---- the index -------------------------------------------------------------

void indexUpdateDescriptors(DescriptorIndex& index, const Options& options) {
  DescriptorCache cache;
  index.clear();
  index.workDir = options.workingDir;
  index.machineTypes = options.machineTypes;
  index.acquireFlag = options.acquire;
  index.osSelector = options.hasFunction("dunvar");

  // Sorted, so that the index does not depend on the order in which the
  // file system happens to list the directory.
  std::vector<std::string> names;
  listDirectory(index.workDir, names);
  std::sort(names.begin(), names.end());

  std::vector<std::string> toolkits;
  std::vector<std::string> updates;
  for (const auto& name : names) {
    if (!name.ends_with(".xml") || isDirectory(joinPath(index.workDir, name))) continue;
    if (contains(name, "qor_utl_vzad_") || contains(name, "qor_utl_zad_"))
      toolkits.push_back(name);
    else if (contains(name, "qor_fw_esxi"))
      index.esxiDescriptors.push_back(name);
    else
      updates.push_back(name);
  }

  index.toolkitMachineTypes = readApplicableMachineTypes(index, toolkits);
  splitDescriptorsByOs(index, updates);
  index.updateMachineTypes =
      readApplicableMachineTypes(index, index.osSelector ? index.windowsDescriptors : index.linuxDescriptors);

  // Each descriptor is read once, however many machine types it applies to.
  struct Update {
    std::string payload;
    std::vector<std::string> files;
    std::string id;
  };
  std::map<std::string, Update> read;
  for (const auto& [descriptor, machineType] : index.updateMachineTypes) {
    auto found = read.find(descriptor);
    if (found == read.end()) {
      Update update;
      update.payload = getUpdatePayload(index, descriptor);
      if (!update.payload.empty() || isUpdatePackDescriptor(descriptor)) {
        update.files = getUpdateFiles(index, descriptor);
        update.id = readDescriptorProperty(joinPath(index.workDir, descriptor), "identificationCode");
      }
      found = read.emplace(descriptor, std::move(update)).first;
    }
    const Update& update = found->second;
    if (update.payload.empty() && !isUpdatePackDescriptor(descriptor)) {
      logEntry(LogVerbose, "The payload file doesn't exist for xml file " + descriptor);
      appendOnce(index.incompleteUpdates, descriptor);
      continue;
    }
    for (const auto& file : update.files) insertOnce(index.filesByMachineType, machineType, file);
    if (!update.id.empty()) insertOnce(index.idsByMachineType, machineType, update.id);
  }
}

// ---- queries ---------------------------------------------------------------

namespace {

// Values of `map` for `key` ("all": every distinct value in key order) that
// pass `keep`.
template <typename Keep>
std::vector<std::string> valuesFor(const std::multimap<std::string, std::string>& map, const std::string& key,
                                   Keep keep) {
  std::vector<std::string> values;
  if (key == "NULL") return values;
  auto take = [&](const std::string& value) {
    if (keep(value)) appendOnce(values, value);
  };
  if (key == "all") {
    for (const auto& entry : map) take(entry.second);
  } else {
    const auto [first, last] = map.equal_range(key);
    for (auto it = first; it != last; ++it) take(it->second);
  }
  return values;
}

}  // namespace

std::vector<std::string> updatesForMachineType(const DescriptorIndex& index, const std::string& machineType) {
  return valuesFor(index.idsByMachineType, machineType, [](const std::string&) { return true; });
}

std::vector<std::string> updatesForMachineType(const std::string& machineType) {
  return updatesForMachineType(descriptorIndex(), machineType);
}

std::vector<std::string> filesForMachineType(const DescriptorIndex& index, const std::string& machineType) {
  return valuesFor(index.filesByMachineType, machineType,
                   [&](const std::string& file) { return isRegularFile(joinPath(index.workDir, file)); });
}

std::vector<std::string> filesForMachineType(const std::string& machineType) {
  return filesForMachineType(descriptorIndex(), machineType);
}

std::vector<std::string> filesForMachineTypeNoFirmware(const DescriptorIndex& index,
                                                       const std::string& machineType) {
  return valuesFor(index.filesByMachineType, machineType, [&](const std::string& file) {
    return !contains(file, "_fw_") && isRegularFile(joinPath(index.workDir, file));
  });
}

std::vector<std::string> filesForMachineTypeNoFirmware(const std::string& machineType) {
  return filesForMachineTypeNoFirmware(descriptorIndex(), machineType);
}

// ---- requisites --------------------------------------------------------------

std::vector<std::string> readDescriptorRequisites(const std::string& path) {
  DescriptorLines in(path);
  std::vector<std::string> ids;
  std::string line;
  while (in.next(line)) {
    if (!contains(line, "NAME=\"preReq\"") && !contains(line, "NAME=\"coReq\"")) continue;
    // The first value of the property is the requisite. Qualifier lines are
    // passed over; the end of the property ends the search, so that an empty
    // requisite list never takes the value of a later property.
    while (in.next(line)) {
      if (contains(line, "<QUALIFIER")) continue;
      if (contains(line, "<VALUE>") && contains(line, "</VALUE>")) {
        const auto open = line.find('>');
        const auto close = line.find('<', open + 1);
        const std::string id = line.substr(open + 1, close == npos ? npos : close - open - 1);
        if (!id.empty()) {
          logEntry(LogError, "req-" + id);
          ids.push_back(id);
        }
        break;
      }
      if (contains(line, "</PROPERTY")) break;
    }
  }
  return ids;
}

std::set<std::string> collectRequisites(const std::string& workDir, const std::vector<std::string>& names) {
  std::set<std::string> ids;
  for (const auto& name : names) {
    if (contains(lowerCase(name), kUpdatePackMarker)) continue;
    for (auto& id : readDescriptorRequisites(joinPath(workDir, name))) ids.insert(std::move(id));
  }
  return ids;
}

}  // namespace XELO
