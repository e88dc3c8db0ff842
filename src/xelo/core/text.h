// Small string helpers every subsystem shares. Prefix and suffix tests use
// std::string's own starts_with/ends_with; case-blind ones Boost's
// istarts_with/iends_with.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace XELO {

// ASCII lower and upper case (bytes above 127 stay as they are).
std::string lowerCase(std::string text);
std::string upperCase(std::string text);

// `list` holds `value`.
bool contains(const std::vector<std::string>& list, std::string_view value);

// `text` holds `part` anywhere.
inline bool contains(std::string_view text, std::string_view part) { return text.find(part) != text.npos; }

}  // namespace XELO
