// The QOR_SYSTEM_* configuration keys held in Options.
#pragma once
#include <string>

#include "core/options.h"

namespace XELO {

// Fills options.configEntries with the 35 keys in file order, empty, unset.
void initOptionKeys(Options& options);

// Sets the value of `key` and marks it set. Returns false when the key was
// found, true when it is not a known key (nothing changes then).
bool setConfigValue(Options& options, const std::string& key, const std::string& value);

// Value of `key` ("" when unknown or never set).
std::string configValue(const Options& options, const std::string& key);

// All entries in list order, "KEY=value\n" each, "NULL" for an empty value.
std::string serializeConfig(const Options& options);

}  // namespace XELO
