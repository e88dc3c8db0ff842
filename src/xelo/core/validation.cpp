#include "core/validation.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

#include "core/text.h"
#include "host/host.h"

namespace XELO {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A dotted decimal octet: one to three digits, at most 255.
bool parseOctet(const std::string& text, unsigned& octet) {
  if (text.empty() || text.size() > 3) return false;
  unsigned value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 255) return false;
  octet = value;
  return true;
}

// One IPv6 group made of two octets: the first without padding, the second
// always in two digits.
std::string hexGroup(unsigned high, unsigned low) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%x%02x", high, low);
  return buffer;
}

}  // namespace

bool isFunctionName(const std::string& name) {
  if (name == "novpi" || name == "linuxtk" || name == "dunvar") return true;
  if (name == "kyt") return getEnv("XELO_KYT_DISABLE").empty();
  return false;
}

bool isMachineType(const std::string& value) {
  if (value == "all" || value == "none") return true;
  return value.size() == 4 && std::all_of(value.begin(), value.end(), isDigit);
}

bool checkSerialConsole(std::string& kernelArgs) {
  const std::string lower = lowerCase(kernelArgs);
  const auto serial = lower.find("ttys");
  if (serial == std::string::npos) return true;

  // Console 0 or 1, then the comma before the baud rate.
  if (serial + 5 >= lower.size()) return false;
  if (lower[serial + 4] != '0' && lower[serial + 4] != '1') return false;
  if (lower[serial + 5] != ',') return false;

  if (lower.find("console=ttys") == std::string::npos) return false;
  const auto textConsole = lower.find(" console=tty1", serial);
  if (textConsole == std::string::npos) return false;

  const auto rateStart = serial + 6;
  if (textConsole < rateStart) return false;
  auto rateEnd = textConsole;
  while (rateEnd > rateStart && (lower[rateEnd - 1] == ' ' || lower[rateEnd - 1] == '\t')) --rateEnd;
  const std::string rate = lower.substr(rateStart, rateEnd - rateStart);
  static const char* const kRates[] = {"9600", "19200", "38400", "57600", "115200"};
  if (std::find(std::begin(kRates), std::end(kRates), rate) == std::end(kRates)) return false;

  kernelArgs.replace(serial, 4, "ttyS");
  return true;
}

bool hasControlCharacter(const std::string& value) {
  return std::any_of(value.begin(), value.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

std::string kernelArgsLengthRefusal(const std::string& kernelArgs, const std::string& tftpAddress) {
  constexpr size_t kCommandLineBytes = 2048;  // COMMAND_LINE_SIZE on x86, NUL included
  size_t added = std::string(" boot_src=3 ").size();
  if (!tftpAddress.empty()) added += std::string(" tftp_server=").size() + tftpAddress.size();
  const size_t room = kCommandLineBytes - 1 - added;
  if (kernelArgs.size() <= room) return "";
  return "Error: --kernel-args is " + std::to_string(kernelArgs.size()) +
         " bytes long; the kernel command line has room for at most " + std::to_string(room) + " bytes of them.";
}

void printSolLines() {
  std::cout << "ERROR: Invalid console configuration provided for SOL support." << std::endl;
  std::cout << "       Valid example: console=ttyS[0|1],baudrate console=tty1" << std::endl;
  std::cout << "       The baud rate here should be supported by the system." << std::endl;
}

std::string rewriteProxyAddress(const std::string& address) {
  if (address.find(':') == std::string::npos || address.find('.') == std::string::npos) return address;
  const auto lastColon = address.rfind(':');
  const std::vector<std::string> parts = splitList(address.substr(lastColon + 1), ".");
  if (parts.size() != 4) return address;
  unsigned octets[4];
  for (int i = 0; i < 4; ++i)
    if (!parseOctet(parts[i], octets[i])) return address;
  return address.substr(0, lastColon + 1) + hexGroup(octets[0], octets[1]) + ":" +
         hexGroup(octets[2], octets[3]);
}

std::vector<std::string> splitList(const std::string& text, const std::string& separators) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (true) {
    const auto at = text.find_first_of(separators, start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

std::vector<std::string> withoutDuplicates(const std::vector<std::string>& list) {
  std::vector<std::string> unique;
  for (const auto& item : list)
    if (std::find(unique.begin(), unique.end(), item) == unique.end()) unique.push_back(item);
  return unique;
}

std::string joinList(const std::vector<std::string>& list, const std::string& separator) {
  std::string text;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) text += separator;
    text += list[i];
  }
  return text;
}

}  // namespace XELO
