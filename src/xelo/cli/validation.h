// The small checks behind the refusal of option values.
#pragma once
#include <string>
#include <vector>

namespace XELO {

// "novpi", "kyt", "linuxtk", "dunvar"; "kyt" is not one while
// XELO_KYT_DISABLE holds a non-empty value.
bool isFunctionName(const std::string& name);

// "all", "none", or exactly four decimal digits.
bool isMachineType(const std::string& value);

// Serial-console check of kernel arguments. Passes when the arguments name no
// serial console; when they do, it must be console 0 or 1 at a supported baud
// rate followed by " console=tty1", and the first "ttys" is then rewritten as
// "ttyS" in place.
bool checkSerialConsole(std::string& kernelArgs);

// Prints the three lines that explain a refused serial console.
void printSolLines();

// An IPv6 address ending in a dotted IPv4 part gets that part as two
// hexadecimal groups; other addresses are returned unchanged.
std::string rewriteProxyAddress(const std::string& address);

// Splits at every character of `separators`, keeping empty parts.
std::vector<std::string> splitList(const std::string& text, const std::string& separators = ",");

// Removes later duplicates, keeping the first of each.
std::vector<std::string> withoutDuplicates(const std::vector<std::string>& list);

// Joins with `separator`.
std::string joinList(const std::vector<std::string>& list, const std::string& separator = ",");

}  // namespace XELO
