// Building and checking a repository catalog from a folder of packages.
// Used by the `xelo-repo` tool and by the test-repository generator, so
// both publish the same way.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "catalog.h"

namespace xelorepo {

// What one descriptor says about its update.
struct Descriptor {
  std::string id;       // identificationCode
  std::string name;     // description
  std::string version;  // version
  std::string xmlFilename;
  std::string readme;   // readme, else readmeFilename
  std::string payload;
  std::string history;  // revisionHistoryFile, else changeHistoryFilename
  std::vector<std::string> machineTypes;  // from applicableMachineTypes
  std::vector<std::string> platforms;     // applicableOperatingSystems
  std::vector<std::string> preReqs;
  std::vector<std::string> coReqs;
  std::vector<std::string> supersedes;
  std::vector<std::string> members;  // updateIds of an update pack
  bool isPack = false;
};

// Reads a descriptor file. False with `error` set when the file is not
// well-formed XML or names no identificationCode.
bool readDescriptor(const std::string& path, Descriptor& out, std::string& error);

// "Family-[7101]" gives "7101"; text without brackets is taken whole
// (blanks trimmed).
std::string machineTypeOfElement(const std::string& element);

// The kind of update a descriptor describes.
std::string kindOf(const Descriptor& d);

using Progress = std::function<void(const std::string& line)>;

struct PublishOptions {
  std::string catalogName = qyxl::catalog::kDefaultCatalogName;
  std::string generated;  // time stamp for the catalog; "" takes the current UTC time
  Progress progress;      // one line per step; may be empty
  // Private key files (Ed25519, PEM) that sign the catalog; each adds a line
  // to "<catalog>.sig". None: the catalog is published unsigned and an older
  // signature file is removed.
  std::vector<std::string> signingKeys;
  std::string validUntil;  // "YYYY-MM-DDTHH:MM:SSZ" written into the catalog; "" for no end
};

struct Report {
  bool ok = false;
  int updates = 0;
  int files = 0;
  std::uint64_t bytes = 0;
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
};

// Reads every descriptor below `root` (files ending in ".xml"), checks the
// files each names in its own folder, hashes them and writes the catalog
// at the top of `root` (replacing an older one only when all went well).
// Problems that would make the repository wrong are errors and no catalog
// is written: a descriptor naming a missing file or an unsafe name, two
// descriptors with one update id, two different files with one download
// name (they would overwrite each other in a download directory).
Report publishRepository(const std::string& root, const PublishOptions& options);

// Checks a published repository: every file the catalog lists exists with
// its size, SHA-1 and SHA-256, and every name and path is safe. With public
// key files, the catalog's signature must verify against one of them;
// without, a missing signature is a warning.
Report verifyRepository(const std::string& root, const std::string& catalogName, const Progress& progress,
                        const std::vector<std::string>& publicKeys = {});

// Writes a new Ed25519 key pair: the private key (mode 0600) and the public
// key as PEM files. Refuses to overwrite either file.
bool generateKeyFiles(const std::string& privatePath, const std::string& publicPath, std::string& error);

// Reads the catalog of a repository folder.
bool loadCatalog(const std::string& root, const std::string& catalogName, qyxl::catalog::Catalog& out,
                 std::string& error);

struct FileHashes {
  std::string sha1;    // 40 lower-case hex digits
  std::string sha256;  // 64 lower-case hex digits
  std::uint64_t size = 0;
};

// Digests and size of a file; false when it cannot be read.
bool hashFile(const std::string& path, FileHashes& out);

}  // namespace xelorepo
