// Support-list operations asked for on the command line, and the checks of
// the selected systems before media are built.
#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/options.h"

namespace XELO {

// What --show/--update/--rollback-supportlist ask for together.
enum class SupportListAction : int {
  None = 0,
  UpdateAndRollback = 1,  // refused: the two exclude each other
  Show = 2,
  Update = 3,
  Rollback = 4,
  UpdateAndShow = 5,
  RollbackAndShow = 6,
};

// The action asked for, with its message (for None and UpdateAndRollback).
std::pair<SupportListAction, std::string> supportListAction(const Options& options);

// The folder the tools' list packages are downloaded into:
// <support list dir>/toollists. Kept apart from the working list, so that no
// file of the repository can take the working list's place.
std::string toolListDirectory();

// Removes the tool list packages that an earlier update left (the folder
// above, and packages an older version left in the support-list directory).
void clearAcquiredToolPackages();

// Performs the action, reports it and returns the run's exit status
// (0, 101 or 110).
int runSupportListAction(const Options& options, SupportListAction action, const std::string& message);

// Prints the working list as a table (copying the shipped list first when
// there is none). Always true.
bool showSupportList(const Options& options);

// Copies the shipped list over the working list (written beside it and
// renamed, so a failed copy leaves the old list as it was) and records the
// outcome.
bool rollbackSupportList(const Options& options);

// Replaces the working list with one made from the tools' own lists in the
// update repository; only when every list was read, else the working list
// stays as it was.
bool updateSupportList(const Options& options);

// The front end's result file: <support list dir>/supportlist_ac_result.xml.
std::string supportListResultPath();
void writeSupportListResult(const std::string& word);
void clearSupportListResult();

// `text` with everything between <tag> and </tag> replaced by `value`.
std::string setXmlElementText(const std::string& text, const std::string& tag, const std::string& value);

// "kyt", "novpi", "dunvar", "vmwareupdate<version>" or "" for a package id.
std::string toolKeyForPackage(const std::string& id);

// Adds the parts of `family` (split at "/") that `stored` lacks, joined by " / ".
std::string mergeFamilyName(const std::string& stored, const std::string& family);

// Whether the tool supports at least one of the selected machine types
// (a type the working list does not name counts as supported).
bool toolSupportsSelection(const std::string& toolKey, const std::vector<std::string>& machineTypes);

// Whether each tool supports the selected machine types: 0, or 101 with the
// list of refusing tools in the message.
std::pair<int, std::string> checkSelectedSystems(const std::vector<std::string>& tools,
                                                 const std::vector<std::string>& machineTypes);

// As checkSelectedSystems, and the working directory must hold updates:
// 0, 101 or 215.
std::pair<int, std::string> checkLocalSystemSupportability(const std::vector<std::string>& tools,
                                                           const std::vector<std::string>& machineTypes);

}  // namespace XELO
