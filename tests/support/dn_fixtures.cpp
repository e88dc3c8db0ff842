#include "dn_fixtures.h"

#include "repo_fixtures.h"

namespace xelotest {

void addDeploymentContent(TestRepository& repo) {
  repo.setFamilyName("7101", "Korvex KX-71");
  repo.addUpdate(kStdBmcNew, {"7101"}, {kPlatformNone, kSles11x64, kWin2008x64}, 5000).name =
      "Baseboard management controller firmware 1.40";
  repo.addUpdate(kStdRaidWinDriver, {"7101"}, {kWin2008x64}, 7000).name = "RAID driver 5.0 for Windows";
  repo.addUpdate(kStdNicDriver, {"7101"}, {kSles11x64}, 3000).name = "Network driver 2.1.0 for Linux";
  repo.addPack("7101", {kStdBmcNew, kStdRaidWinDriver, kStdNicDriver}, "1.10");

  auto& kit = repo.addTool(kDnKitPackage, ".zip");
  kit.payloadContent = deploymentKitZipBytes();

  auto& novpi = repo.addTool(kDnNovpiWinPackage, ".exe");
  novpi.payloadName = kDnNovpiInstaller;
  novpi.payloadContent = "MZ Windows NOVPI installer of the tests\n";
}

}  // namespace xelotest
