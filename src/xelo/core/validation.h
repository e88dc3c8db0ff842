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

// The value holds a control character (a line feed, a carriage return, a
// tab...). Such a value would add lines, and so keys, to the configuration
// files the medium reads at boot.
bool hasControlCharacter(const std::string& value);

// The refusal of kernel arguments that the kernel command line cannot hold
// (2048 bytes on x86, its terminating NUL included) together with what the
// boot configuration edits add: " boot_src=N" before them, and for network
// boot " tftp_server=" with the TFTP address. Empty when they fit.
std::string kernelArgsLengthRefusal(const std::string& kernelArgs, const std::string& tftpAddress);

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
