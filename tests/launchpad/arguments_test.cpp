// The page's requests turned into the console program's arguments: what is
// accepted, how it is spelled, and what hostile input is refused.
#include "arguments.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace XELO::launchpad {
namespace {

const std::string kProgress = "/tmp/lp/progress.jsonl";

RunRequest isoRequest() {
  RunRequest r;
  r.workingDir = "/srv/xelo/work";
  r.machineTypes = {"7101"};
  r.functions = {"novpi"};
  r.medium = "iso";
  r.target = "/srv/xelo/out/updates.iso";
  return r;
}

TEST(LaunchpadArguments, IsoRunBecomesOneArgumentPerOption) {
  RunRequest r = isoRequest();
  r.machineTypes = {"7101", "7102"};
  r.functions = {"novpi", "kyt"};
  r.description = "Rack --force; rm -rf / $(reboot)";
  r.kernelArgs = "console=ttyS0,115200 console=tty1";
  r.autorun = "kyt";
  r.timeout = 30;
  r.proxyAddress = "proxy.example.lan";
  r.proxyPort = 3128;
  r.proxyUser = "jdoe";
  r.proxyPassword = "s3cret --xml";
  const BuiltCommand c = buildArguments(r, {}, kProgress);
  ASSERT_EQ(c.error, "");
  const std::vector<std::string> expected{"--xml",
                                          "--progress-json=" + kProgress,
                                          "--local=/srv/xelo/work",
                                          "--machine-type=7101,7102",
                                          "--function=novpi,kyt",
                                          "--iso=/srv/xelo/out/updates.iso",
                                          "--description=Rack --force; rm -rf / $(reboot)",
                                          "--kernel-args=console=ttyS0,115200 console=tty1",
                                          "--autorun=kyt",
                                          "--timeout=30",
                                          "--proxy-address=proxy.example.lan",
                                          "--proxy-port=3128",
                                          "--proxy-user=jdoe"};
  EXPECT_EQ(c.args, expected);
  // The password never reaches the command line.
  for (const auto& a : c.args) EXPECT_EQ(a.find("s3cret"), std::string::npos) << a;
}

TEST(LaunchpadArguments, OtherActions) {
  struct Case {
    Action action;
    std::vector<std::string> tail;
  };
  const std::vector<Case> cases{
      {Action::Report, {"--local=/srv/xelo/work", "--machine-type=7101", "--function=novpi", "--report"}},
      {Action::CheckUpdate, {"--check-update", "--local=/srv/xelo/work", "--report"}},
      {Action::UpdateSupportList, {"--update-supportlist", "--local=/srv/xelo/work"}},
      {Action::RollbackSupportList, {"--rollback-supportlist"}},
      {Action::ShowSupportList, {"--show-supportlist"}},
  };
  for (const auto& c : cases) {
    RunRequest r = isoRequest();
    r.action = c.action;
    const BuiltCommand built = buildArguments(r, {}, kProgress);
    ASSERT_EQ(built.error, "");
    std::vector<std::string> expected{"--xml", "--progress-json=" + kProgress};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(built.args, expected);
  }
}

TEST(LaunchpadArguments, HostileAndInvalidRequestsAreRefused) {
  struct Case {
    const char* what;
    void (*edit)(RunRequest&);
  };
  const std::vector<Case> cases{
      {"relative working directory", [](RunRequest& r) { r.workingDir = "work"; }},
      {"option as working directory", [](RunRequest& r) { r.workingDir = "--configfile=/etc/x"; }},
      {"parent step", [](RunRequest& r) { r.workingDir = "/srv/../etc"; }},
      {"newline in path", [](RunRequest& r) { r.target = "/srv/a.iso\n--force"; }},
      {"NUL in path", [](RunRequest& r) { r.target = std::string("/srv/a.iso\0--force", 18); }},
      {"option as ISO", [](RunRequest& r) { r.target = "--pxe=/tmp"; }},
      {"empty ISO", [](RunRequest& r) { r.target = ""; }},
      {"no machine type", [](RunRequest& r) { r.machineTypes.clear(); }},
      {"three digits", [](RunRequest& r) { r.machineTypes = {"710"}; }},
      {"letters", [](RunRequest& r) { r.machineTypes = {"71a1"}; }},
      {"list in one", [](RunRequest& r) { r.machineTypes = {"7101,all"}; }},
      {"all", [](RunRequest& r) { r.machineTypes = {"all"}; }},
      {"option as machine type", [](RunRequest& r) { r.machineTypes = {"--xml"}; }},
      {"unknown function",
       [](RunRequest& r) {
         r.functions = {"novpi", "shell"};
       }},
      {"repeated function",
       [](RunRequest& r) {
         r.functions = {"novpi", "novpi"};
       }},
      {"no function", [](RunRequest& r) { r.functions.clear(); }},
      {"unknown medium", [](RunRequest& r) { r.medium = "floppy"; }},
      {"USB key not listed", [](RunRequest& r) { r.medium = "usb", r.target = "/dev/vda"; }},
      {"TFTP without PXE", [](RunRequest& r) { r.tftpAddress = "10.0.0.1"; }},
      {"TFTP option", [](RunRequest& r) { r.medium = "pxe", r.target = "/srv/pxe", r.tftpAddress = "-x"; }},
      {"newline in description", [](RunRequest& r) { r.description = "a\nQOR_SYSTEM_FORCE=YES"; }},
      {"tab in kernel args", [](RunRequest& r) { r.kernelArgs = "quiet\tsplash"; }},
      {"long kernel args", [](RunRequest& r) { r.kernelArgs = std::string(4000, 'a'); }},
      {"autorun not chosen", [](RunRequest& r) { r.autorun = "kyt"; }},
      {"timeout too large", [](RunRequest& r) { r.timeout = 70000; }},
      {"negative timeout", [](RunRequest& r) { r.timeout = -1; }},
      {"proxy without port", [](RunRequest& r) { r.proxyAddress = "proxy"; }},
      {"proxy port only", [](RunRequest& r) { r.proxyPort = 8080; }},
      {"proxy address with blank", [](RunRequest& r) { r.proxyAddress = "a b", r.proxyPort = 80; }},
      {"proxy address option", [](RunRequest& r) { r.proxyAddress = "--force", r.proxyPort = 80; }},
      {"password without proxy", [](RunRequest& r) { r.proxyPassword = "x"; }},
      {"newline in password", [](RunRequest& r) { r.proxyAddress = "p", r.proxyPort = 80, r.proxyPassword = "a\nb"; }},
  };
  for (const auto& c : cases) {
    RunRequest r = isoRequest();
    c.edit(r);
    const BuiltCommand built = buildArguments(r, {"/dev/sdb"}, kProgress);
    EXPECT_NE(built.error, "") << c.what;
    EXPECT_TRUE(built.args.empty()) << c.what;
  }
}

TEST(LaunchpadArguments, ListedUsbKeyAndPxeAreAccepted) {
  RunRequest usb = isoRequest();
  usb.medium = "usb";
  usb.target = "/dev/sdb";
  usb.force = true;
  const BuiltCommand u = buildArguments(usb, {"/dev/sdb"}, kProgress);
  ASSERT_EQ(u.error, "");
  EXPECT_NE(std::find(u.args.begin(), u.args.end(), "--usbkey=/dev/sdb"), u.args.end());
  EXPECT_NE(std::find(u.args.begin(), u.args.end(), "--force"), u.args.end());

  RunRequest pxe = isoRequest();
  pxe.medium = "pxe";
  pxe.target = "/srv/tftp/xelo";
  pxe.tftpAddress = "fd00::5";
  const BuiltCommand p = buildArguments(pxe, {}, kProgress);
  ASSERT_EQ(p.error, "");
  EXPECT_NE(std::find(p.args.begin(), p.args.end(), "--tftp-pxe-address=fd00::5"), p.args.end());
}

TEST(LaunchpadArguments, ActionNames) {
  Action a;
  EXPECT_TRUE(parseAction("rollback-supportlist", a));
  EXPECT_EQ(a, Action::RollbackSupportList);
  EXPECT_FALSE(parseAction("--help", a));
  EXPECT_FALSE(parseAction("", a));
}

}  // namespace
}  // namespace XELO::launchpad
