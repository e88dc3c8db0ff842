// Which requests the server lets through, and the lsblk reading that keeps
// the system disk out of the USB list.
#include "security.h"

#include <gtest/gtest.h>

#include "devices.h"

namespace XELO::launchpad {
namespace {

TEST(LaunchpadSecurity, RequestChecks) {
  const std::string token = newToken();
  ASSERT_EQ(token.size(), 64u);
  EXPECT_NE(token, newToken());
  const Keys fresh{newToken(), token, false};
  const Keys spent{fresh.session, token, true};
  const std::string cookie = "theme=dark; launchpad_token=" + fresh.session;
  const std::string host = "127.0.0.1:8123";
  const std::string origin = "http://127.0.0.1:8123";
  struct Case {
    const char* what;
    RequestFacts request;
    const Keys& keys;
    Verdict verdict;
  };
  const std::vector<Case> cases{
      {"page with the address token", {"GET", host, "", token, ""}, fresh, Verdict::Allowed},
      {"address token once spent", {"GET", host, "", token, ""}, spent, Verdict::SpentToken},
      {"address token for the API", {"GET", host, "", token, "", "/api/state"}, fresh, Verdict::NoToken},
      {"address token in a POST", {"POST", host, origin, token, ""}, fresh, Verdict::NoToken},
      {"address token as the cookie", {"GET", host, "", "", "launchpad_token=" + token}, fresh, Verdict::NoToken},
      {"call with cookie", {"GET", host, "", "", cookie, "/api/state"}, spent, Verdict::Allowed},
      {"POST from the page", {"POST", host, origin, "", cookie, "/api/run"}, spent, Verdict::Allowed},
      {"no token", {"GET", host, "", "", ""}, fresh, Verdict::NoToken},
      {"wrong token", {"GET", host, "", std::string(64, 'a'), ""}, fresh, Verdict::NoToken},
      {"token prefix", {"GET", host, "", token.substr(0, 63), ""}, fresh, Verdict::NoToken},
      {"cookie of another name", {"GET", host, "", "", "xlaunchpad_token=" + fresh.session}, fresh, Verdict::NoToken},
      {"empty cookie value", {"GET", host, "", "", "launchpad_token="}, fresh, Verdict::NoToken},
      {"rebinding name", {"GET", "attacker.example:8123", "", token, ""}, fresh, Verdict::ForeignHost},
      {"localhost", {"GET", "localhost:8123", "", token, ""}, fresh, Verdict::ForeignHost},
      {"other port", {"GET", "127.0.0.1:8124", "", token, ""}, fresh, Verdict::ForeignHost},
      {"no port", {"GET", "127.0.0.1", "", token, ""}, fresh, Verdict::ForeignHost},
      {"no Host", {"GET", "", "", token, ""}, fresh, Verdict::ForeignHost},
      {"POST without Origin", {"POST", host, "", "", cookie}, fresh, Verdict::ForeignOrigin},
      {"POST from elsewhere", {"POST", host, "http://attacker.example", "", cookie}, fresh, Verdict::ForeignOrigin},
      {"POST from other port", {"POST", host, "http://127.0.0.1:9999", "", cookie}, fresh, Verdict::ForeignOrigin},
      {"POST from null origin", {"POST", host, "null", "", cookie}, fresh, Verdict::ForeignOrigin},
      {"DELETE from elsewhere", {"DELETE", host, "http://a.example", "", cookie}, fresh, Verdict::ForeignOrigin},
  };
  for (const auto& c : cases) EXPECT_EQ(checkRequest(c.request, c.keys, 8123), c.verdict) << c.what;
  EXPECT_FALSE(sameSecret("", ""));
}

TEST(LaunchpadDevices, OnlyRemovableDisksAndNeverTheSystemDisk) {
  const std::string listing = R"({"blockdevices": [
    {"name":"sda","path":"/dev/sda","type":"disk","tran":"usb","rm":false,"hotplug":true,"size":2000000000000,
     "vendor":"WD      ","model":"Elements","mountpoints":[null],
     "children":[{"name":"sda1","path":"/dev/sda1","type":"part","mountpoints":["/boot/efi"]},
                 {"name":"sda2","path":"/dev/sda2","type":"part","mountpoints":[null],
                  "children":[{"name":"root","type":"lvm","mountpoints":["/"]}]}]},
    {"name":"sdb","path":"/dev/sdb","type":"disk","tran":"usb","rm":true,"hotplug":true,"size":16008609792,
     "vendor":"SanDisk ","model":"Cruzer Blade","mountpoints":[null],
     "children":[{"name":"sdb1","path":"/dev/sdb1","type":"part","mountpoints":["/media/key"]}]},
    {"name":"sdc","path":"/dev/sdc","type":"disk","tran":"usb","rm":"1","hotplug":"1","size":"8004829184",
     "vendor":null,"model":"Flash","mountpoint":null},
    {"name":"nvme0n1","path":"/dev/nvme0n1","type":"disk","tran":"nvme","rm":false,"hotplug":false,"size":5},
    {"name":"sr0","path":"/dev/sr0","type":"rom","tran":"usb","rm":true,"size":1},
    {"name":"sdd","path":"/etc/passwd","type":"disk","tran":"usb","rm":true,"size":1},
    {"name":"sde","path":"/dev/sde","type":"disk","tran":"usb","rm":true,"size":1,"mountpoints":["[SWAP]"]}
  ]})";
  const auto devices = usbDevicesFromLsblk(listing);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].path, "/dev/sdb");
  EXPECT_EQ(devices[0].model, "SanDisk Cruzer Blade");
  EXPECT_EQ(devices[0].bytes, 16008609792);
  EXPECT_EQ(devices[1].path, "/dev/sdc");
  EXPECT_EQ(devices[1].model, "Flash");
  EXPECT_EQ(devices[1].bytes, 8004829184);
  for (const char* bad : {"", "null", "[]", "{\"blockdevices\": 5}", "{\"blockdevices\": [1, \"x\", null]}"})
    EXPECT_TRUE(usbDevicesFromLsblk(bad).empty()) << bad;
}

}  // namespace
}  // namespace XELO::launchpad
