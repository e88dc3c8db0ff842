#include "core/validation.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace XELO {
namespace {

TEST(Validation, FunctionNamesAndKytSwitch) {
  for (const char* name : {"novpi", "kyt", "linuxtk", "dunvar"}) EXPECT_TRUE(isFunctionName(name)) << name;
  for (const char* name : {"", "NOVPI", "novpi ", "all"}) EXPECT_FALSE(isFunctionName(name)) << name;
  {
    xelotest::ScopedEnv empty("XELO_KYT_DISABLE", "");
    EXPECT_TRUE(isFunctionName("kyt"));  // defined but empty does not disable
  }
  xelotest::ScopedEnv disabled("XELO_KYT_DISABLE", "1");
  EXPECT_FALSE(isFunctionName("kyt"));
  EXPECT_TRUE(isFunctionName("novpi"));
}

TEST(Validation, MachineTypes) {
  for (const char* value : {"all", "none", "9753", "0000"}) EXPECT_TRUE(isMachineType(value)) << value;
  for (const char* value : {"", "975", "97531", "97a3", "ALL", " 975", "\xff\xff\xff\xff"})
    EXPECT_FALSE(isMachineType(value)) << value;
}

struct SerialCase {
  const char* args;
  bool accepted;
  const char* after;  // kernel arguments after the check
};

TEST(Validation, SerialConsole) {
  const SerialCase cases[] = {
      {"quiet splash", true, "quiet splash"},
      {"", true, ""},
      {"console=ttys0,115200 console=tty1", true, "console=ttyS0,115200 console=tty1"},
      {"Console=TTYs1,9600  console=tty1 quiet", true, "Console=ttyS1,9600  console=tty1 quiet"},
      {"console=ttyS1,57600 console=tty1", true, "console=ttyS1,57600 console=tty1"},
      {"console=ttyS2,115200 console=tty1", false, nullptr},  // console 2
      {"console=ttyS0,4800 console=tty1", false, nullptr},    // unsupported rate
      {"console=ttyS0,115200", false, nullptr},               // no text console
      {"console=tty1 console=ttyS0,115200", false, nullptr},  // text console first
      {"ttyS0,115200 console=tty1", false, nullptr},          // no console= before it
      {"console=ttyS0;115200 console=tty1", false, nullptr},
      {"console=ttyS0, 115200 console=tty1", false, nullptr},
      // Short and truncated texts must be refused without reading past the end.
      {"ttys", false, nullptr},
      {"ttys0", false, nullptr},
      {"console=ttys0,", false, nullptr},
      {"console=ttys0, console=tty1", false, nullptr},
  };
  for (const auto& c : cases) {
    std::string args = c.args;
    EXPECT_EQ(checkSerialConsole(args), c.accepted) << c.args;
    if (c.accepted) {
      EXPECT_EQ(args, c.after) << c.args;
    }
  }
}

TEST(Validation, ProxyAddressRewrite) {
  EXPECT_EQ(rewriteProxyAddress("::ffff:1.2.3.4"), "::ffff:102:304");
  EXPECT_EQ(rewriteProxyAddress("::ffff:192.168.10.255"), "::ffff:c0a8:aff");
  EXPECT_EQ(rewriteProxyAddress("::0.0.0.1"), "::000:001");
  // Not an IPv6 address with a dotted tail: unchanged.
  for (const char* address : {"192.168.1.1", "fe80::1", "proxy.example.com", "proxy.example.com:8080",
                              "::ffff:1.2.3", "::ffff:1.2.3.4.5", "::ffff:1.2.3.256", "::ffff:1..3.4",
                              "::ffff:a.b.c.d", "[::ffff:1.2.3.4]", ":.", "::ffff:1.2.3.4444", ""})
    EXPECT_EQ(rewriteProxyAddress(address), address) << address;
}

TEST(Validation, ListHelpers) {
  EXPECT_EQ(splitList("a,b,,c"), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(splitList(""), (std::vector<std::string>{""}));
  EXPECT_EQ(splitList("a@#b", "@#"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(withoutDuplicates({"b", "a", "b", "c", "a"}), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(joinList({"a", "b"}), "a,b");
  EXPECT_EQ(joinList({}), "");
  EXPECT_EQ(joinList({"x"}, ";"), "x");
}

}  // namespace
}  // namespace XELO
