#include "core/text.h"

#include <gtest/gtest.h>

#include <clocale>

namespace XELO {
namespace {

// Case folding touches ASCII letters only, whatever the locale: names such as
// "ALL", ".ISO" or "ttyS" must match the same way on every system, and UTF-8
// bytes of other characters must stay intact.
TEST(Text, CaseFoldingIsAsciiOnlyInAnyLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  std::setlocale(LC_ALL, "C.UTF-8");
  struct Case {
    std::string text, lower, upper;
  };
  const Case cases[] = {
      {"TtYs0,9600", "ttys0,9600", "TTYS0,9600"},
      {"", "", ""},
      {"\xC3\x84rger.ISO", "\xC3\x84rger.iso", "\xC3\x84RGER.ISO"},  // "Ä" stays two bytes
      {"@[`{", "@[`{", "@[`{"},                                       // neighbours of the letter ranges
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(lowerCase(c.text), c.lower);
    EXPECT_EQ(upperCase(c.text), c.upper);
  }
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(Text, ContainsWholeItemsOfAListAndPartsOfAText) {
  const std::vector<std::string> functions{"novpi", "kyt"};
  EXPECT_TRUE(contains(functions, "kyt"));
  EXPECT_FALSE(contains(functions, "ky"));  // items match whole, not in part
  EXPECT_FALSE(contains(std::vector<std::string>{}, ""));
  EXPECT_TRUE(contains(std::string("qor_fw_esxi_4.1"), "esxi"));
  EXPECT_FALSE(contains(std::string("qor_fw"), "esxi"));
}

}  // namespace
}  // namespace XELO
