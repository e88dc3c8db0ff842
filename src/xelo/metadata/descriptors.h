// Update descriptors: the XML file that comes with every update package in
// the working directory, and the index of one working directory built from
// them.
//
// Descriptors are never parsed as XML trees. Every reader scans the file line
// by line for marker substrings and takes a value from a fixed place in a
// line; the repository writes one element per line:
//
//   <PROPERTY NAME="payload" TYPE="string">         a scalar property: the
//   <VALUE>fw_7101.bin</VALUE>                      value is on the next line
//
//   <PROPERTY.ARRAY NAME="applicableMachineTypes">  an array property: one
//   <VALUE.ARRAY>                                   element per line, up to
//   <VALUE>Model 100 [7101]</VALUE>                 the closing line
//   </VALUE.ARRAY>
//
// A descriptor that does not follow this layout is read as far as it does;
// readers never fail on malformed, truncated or binary input, they only find
// less. File names are narrow strings in the user's code page.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/options.h"

namespace XELO {

// Operating-system class of a descriptor.
using OsClass = int32_t;
inline constexpr OsClass kOsLinux = 0;
inline constexpr OsClass kOsWindows = 1;
inline constexpr OsClass kOsIndependent = 2;  // applies to every operating system
inline constexpr OsClass kOsUnknown = -1;

// Descriptors of update packs (bundles of updates) are named so; their
// properties live after the "<VALUE>NOVP" line and they carry no payload.
inline constexpr const char* kUpdatePackMarker = "qor_utl_novp_";

// What one working directory holds, by machine type and operating system.
// One per run (descriptorIndex()); the deployment media builder may fill
// one of its own.
struct DescriptorIndex {
  std::string workDir;
  std::vector<std::string> machineTypes;  // selected for the run
  bool acquireFlag = false;               // copy of the `acquire` option
  bool osSelector = false;                // the tool list holds "dunvar": index Windows updates
  // machine type -> file (descriptor, readme, payload, history) of an applicable update
  std::multimap<std::string, std::string> filesByMachineType;
  // machine type -> update id of an applicable update
  std::multimap<std::string, std::string> idsByMachineType;
  // descriptor -> machine type, for update descriptors of the indexed OS
  std::multimap<std::string, std::string> updateMachineTypes;
  // descriptor -> machine type, for the scripting toolkits
  std::multimap<std::string, std::string> toolkitMachineTypes;
  // every machine type met, once per reading pass, in the order met
  std::vector<std::string> foundMachineTypes;
  std::vector<std::string> linuxDescriptors;    // class Linux or independent
  std::vector<std::string> windowsDescriptors;  // class Windows or independent
  std::vector<std::string> esxiDescriptors;     // VMware ESXi updates
  // descriptors of the indexed OS whose payload is not in the working
  // directory (a failed or skipped download), in name order
  std::vector<std::string> incompleteUpdates;

  // Empties everything that indexUpdateDescriptors fills.
  void clear();
};

// The run's index, filled by the run driver.
DescriptorIndex& descriptorIndex();

// ---- readers ---------------------------------------------------------------

// The descriptor's file name marks an update pack.
bool isUpdatePackDescriptor(const std::string& path);

// The descriptor holds its closing "</CIM>" line: it was written whole, not
// cut short by an interrupted download.
bool descriptorComplete(const std::string& path);

// First value of the scalar property `name` (a substring match on the
// "<PROPERTY NAME" line, so "readme" also matches "readmeFilename" when that
// comes first). In an update-pack descriptor only lines after "<VALUE>NOVP"
// count. Empty when the file cannot be opened or the property is missing.
std::string readDescriptorProperty(const std::string& path, const std::string& name);

// Elements of the first applicableMachineTypes array of one descriptor: the
// text between the first "[" and the following "]" of each element line, or
// the whole line when it has no "[".
std::vector<std::string> readMachineTypeArray(const std::string& path);

// Elements of the first array property `name`, each the text between
// "<VALUE>" and "</VALUE>" of its line. `found` (optional) tells whether the
// array was there at all.
std::vector<std::string> readArrayProperty(const std::string& path, const std::string& name, bool* found = nullptr);

// For each descriptor name (in the working directory), the pairs
// (name, machine type). Machine types met for the first time in this call
// are appended to index.foundMachineTypes.
std::multimap<std::string, std::string> readApplicableMachineTypes(DescriptorIndex& index,
                                                                  const std::vector<std::string>& names);

// Class by the first deciding element of the applicableOperatingSystems
// array; when none decides, by the descriptor's file name ("linux" or
// "sles10": Linux, "windows": Windows, "anyos_noarch": independent).
OsClass getDescriptorOsClass(const std::string& path);

// Appends each name to linuxDescriptors and/or windowsDescriptors by its
// class. -1 when the class of some descriptor could not be determined (that
// name goes to neither list), else 0.
int splitDescriptorsByOs(DescriptorIndex& index, const std::vector<std::string>& names);

// The payload file named by the descriptor when it is in the working
// directory; empty otherwise and always for update packs.
std::string getUpdatePayload(const DescriptorIndex& index, const std::string& name);

// The files of one update that are in the working directory, in the order
// descriptor, readme, payload, change history.
std::vector<std::string> getUpdateFiles(const DescriptorIndex& index, const std::string& name);

// Something that is not a directory and opens for reading.
bool fileExists(const std::string& path);

// ---- the index -------------------------------------------------------------

// Rebuilds `index` from the descriptors ("*.xml", case-sensitive) of the
// run's working directory, for its machine types and tool list. Never stops
// a run: unreadable descriptors and missing files only leave entries out
// (logged).
void indexUpdateDescriptors(DescriptorIndex& index, const Options& options);

// Update ids for a machine type: none for "NULL", every distinct id for
// "all", else those stored under exactly that machine type.
std::vector<std::string> updatesForMachineType(const DescriptorIndex& index, const std::string& machineType);
std::vector<std::string> updatesForMachineType(const std::string& machineType);

// Files for a machine type that are regular files in the working directory:
// none for "NULL", every distinct file for "all", else those stored under
// exactly that machine type.
std::vector<std::string> filesForMachineType(const DescriptorIndex& index, const std::string& machineType);
std::vector<std::string> filesForMachineType(const std::string& machineType);
// The same without firmware updates (names holding "_fw_").
std::vector<std::string> filesForMachineTypeNoFirmware(const DescriptorIndex& index,
                                                       const std::string& machineType);
std::vector<std::string> filesForMachineTypeNoFirmware(const std::string& machineType);

// ---- requisites --------------------------------------------------------------

// Update ids of the requisites (preReq and coReq properties) of one
// descriptor, in file order: the first value of each such property.
// Each id is logged at level Error as "req-" + id.
std::vector<std::string> readDescriptorRequisites(const std::string& path);

// The requisite ids of the descriptors `names` in `workDir`, update packs
// (name in any letter case) left out. Ordered, without duplicates.
std::set<std::string> collectRequisites(const std::string& workDir, const std::vector<std::string>& names);

}  // namespace XELO
