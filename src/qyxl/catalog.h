// The repository catalog: one XML file at the top of a repository folder that
// lists every update with its files. The client reads it to answer orders;
// the publisher writes it. The format is described in docs/repository.md.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qyxl::catalog {

inline constexpr const char* kDefaultCatalogName = "catalog.xml";
inline constexpr int kFormatVersion = 1;

// Kinds of update.
inline constexpr const char* kKindUpdate = "update";  // firmware, driver, ESXi update
inline constexpr const char* kKindPack = "pack";      // update pack of one machine type
inline constexpr const char* kKindTool = "tool";      // tool or boot environment package

// Roles of a file.
inline constexpr const char* kRoleData = "data";          // the payload
inline constexpr const char* kRoleMetadata = "metadata";  // descriptor, readme, change history

struct FileEntry {
  std::string name;  // download file name (no directory)
  std::string path;  // location relative to the catalog's folder, '/'-separated
  std::uint64_t size = 0;
  bool hasSize = false;
  std::string sha1;  // 40 lower-case hex digits, or "" when not given
  std::string role = kRoleData;
  std::string sha256;  // 64 lower-case hex digits, or "" when not given
};

struct Update {
  std::string id;
  std::string kind = kKindUpdate;
  std::string name;  // descriptive name, may be empty
  std::string version;
  std::vector<std::string> machineTypes;  // empty: every machine type
  std::vector<std::string> platforms;     // empty: the same as "NONE"
  std::vector<std::string> preReqs;
  std::vector<std::string> coReqs;
  std::vector<std::string> supersedes;
  std::vector<std::string> members;  // packs: the updates they hold
  std::vector<FileEntry> files;
};

struct Catalog {
  int format = kFormatVersion;
  std::string generated;   // time stamp written by the publisher (informative)
  std::string validUntil;  // "YYYY-MM-DDTHH:MM:SSZ": the catalog is not to be used after it; "" for no end
  std::vector<Update> updates;

  const Update* find(const std::string& id) const;
};

// Parses catalog text. False with `error` set when the text is not a
// catalog. A file entry whose size or hash is malformed keeps its name but
// loses its path, so the client refuses that file instead of fetching it
// unverified.
bool parseCatalog(const std::string& text, Catalog& out, std::string& error);

// The catalog as XML text (UTF-8, one element per line).
std::string writeCatalog(const Catalog& catalog);

// Whether `text` is 40 (SHA-1) or 64 (SHA-256) hexadecimal digits;
// `normalized` gets them in lower case.
bool parseSha1Hex(const std::string& text, std::string& normalized);
bool parseSha256Hex(const std::string& text, std::string& normalized);

// A UTC time stamp "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970; false for
// any other text or an impossible date.
bool parseTimestamp(const std::string& text, std::int64_t& seconds);

// A download file name that stays inside the download directory: not empty,
// not "." or "..", no separator ('/' or '\\'), no drive colon, no control
// character.
bool isSafeFileName(const std::string& name);

// A relative repository path: '/'-separated segments, each a safe file name;
// no leading '/', no scheme.
bool isSafeRelativePath(const std::string& path);

}  // namespace qyxl::catalog
