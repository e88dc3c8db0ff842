// Orders answered from a generated repository read through file://.
#include <filesystem>
#include <fstream>
#include <functional>

#include "qyxl_test_helpers.h"

namespace {

using namespace xelotest;
using qyxltest::Order;
using qyxltest::updateIds;
using Ids = std::set<std::string>;

class OrderTest : public qyxltest::RepositoryTest {};

TEST_F(OrderTest, UpdatePackOfMachineTypeHoldsLatestPackAndMembersOfThePlatform) {
  qyxl::UpdateOrderContext ctx;
  auto packages = order(ctx, {{"sup/latest"}, "qor/korvex/7101", {kSles11x64}});
  // The superseded pack 1.00 and the Windows-only driver stay out; the
  // pack's own files come with its members.
  EXPECT_EQ(updateIds(packages), (Ids{kStdPack7101, kStdBmcNew, kStdUefi, kStdNicDriver, kStdNicFirmware, kStdMlnx,
                                      kStdSvc, kStdCmk, kStdMqrtz}));
  auto files = qyxltest::fileNames(packages);
  EXPECT_TRUE(files.count(std::string(kStdPack7101) + ".xml"));
  EXPECT_TRUE(files.count(std::string(kStdPack7101) + ".chg"));
  EXPECT_TRUE(files.count("qor_fw_MLNX_nic_2.30_anyos_noarch.bin"));

  qyxl::UpdateOrderContext other;
  EXPECT_EQ(updateIds(order(other, {{"sup/latest"}, "qor/korvex/7102", {kSles11x64}})),
            (Ids{kStdPack7102, kStdBmcNew, kStdNicDriver, kStdNicFirmware, kStdRaidFirmware}));
}

TEST_F(OrderTest, UpdatePackOfUnknownMachineTypeIsEmptyNotAnError) {
  qyxl::UpdateOrderContext ctx;
  EXPECT_TRUE(order(ctx, {{"sup/latest"}, "qor/korvex/9753", {kSles11x64}}).empty());
}

TEST_F(OrderTest, LatestIndividualUpdatesLeaveOutSupersededPacksToolsAndOtherPlatforms) {
  qyxl::UpdateOrderContext ctx;
  EXPECT_EQ(updateIds(order(ctx, {{"all"}, "qor/korvex/7102", {kSles11x64, kPlatformNone}})),
            (Ids{kStdBmcNew, kStdNicDriver, kStdNicFirmware, kStdRaidFirmware}));

  // The five Windows platforms the acquisition library asks for any Windows.
  qyxl::UpdateOrderContext win;
  auto ids = updateIds(order(win, {{"all"}, "qor/korvex/7102",
                                   {"Windows 2000", "Windows 2003", "Windows 2003 x64", "Windows 2008", kWin2008x64}}));
  EXPECT_TRUE(ids.count(kStdRaidWinDriver));
  EXPECT_FALSE(ids.count(kStdNicDriver));
}

TEST_F(OrderTest, LatestOverEveryMachineTypeFindsEsxiUpdatesOfTheirPlatform) {
  qyxl::UpdateOrderContext ctx;
  auto ids = updateIds(order(ctx, {{"all"}, "qor/korvex", {kSles10x64, kPlatformNone}}));
  EXPECT_TRUE(ids.count(kStdEsxi41));
  EXPECT_TRUE(ids.count(kStdEsxi50));
  EXPECT_TRUE(ids.count(kStdUefi));  // 7101 only, but the subject is every machine type
  EXPECT_FALSE(ids.count(kStdBmcOld));
  EXPECT_FALSE(ids.count(kStdNovpi));
}

TEST_F(OrderTest, FixIdGivesEveryFileOfThePackageWithSizeHashAndName) {
  qyxl::UpdateOrderContext ctx;
  auto packages = order(ctx, {{std::string("ptf/") + kStdNovpi}});
  ASSERT_EQ(packages.size(), 4u);  // descriptor, readme, payload, change history
  for (auto* p : packages) {
    const std::string name = p->getDownloadFilename();
    EXPECT_EQ(p->getUpdateId(), kStdNovpi);
    EXPECT_EQ(p->getSize(), repo.sizeOf(name)) << name;
    ASSERT_NE(p->getFileHash(), nullptr);
    EXPECT_EQ(qyxltest::hexOf(*p->getFileHash()), repo.sha1Of(name)) << name;
    EXPECT_EQ(p->getExtendedAttributes()["name"], std::string("Tool ") + kStdNovpi);
    EXPECT_EQ(&p->getState(), &qyxl::UpdatePackageState::ORDERED);
    EXPECT_TRUE(p->isDownloadEnabled());
  }
  EXPECT_NE(byName(packages, std::string(kStdNovpi) + ".bin"), nullptr);
}

TEST_F(OrderTest, IncludeFlagsChooseDataAndMetadataFiles) {
  qyxl::UpdateOrderContext dataOnly;
  Order o{{kStdKyt}};
  o.includeMetaData = false;
  auto files = qyxltest::fileNames(order(dataOnly, o));
  EXPECT_EQ(files, (Ids{std::string(kStdKyt) + ".zip"}));

  qyxl::UpdateOrderContext metaOnly;
  o.includeMetaData = true;
  o.includeData = false;
  files = qyxltest::fileNames(order(metaOnly, o));
  EXPECT_EQ(files.size(), 3u);
  EXPECT_FALSE(files.count(std::string(kStdKyt) + ".zip"));
}

TEST_F(OrderTest, RequisitesComeWithTheUpdateOnlyWhenAskedFor) {
  qyxl::UpdateOrderContext with;
  EXPECT_EQ(updateIds(order(with, {{std::string("ptf/") + kStdUefi}})), (Ids{kStdUefi, kStdBmcNew}));
  qyxl::UpdateOrderContext coreq;
  EXPECT_EQ(updateIds(order(coreq, {{std::string("ptf/") + kStdNicDriver}})), (Ids{kStdNicDriver, kStdNicFirmware}));

  qyxl::UpdateOrderContext without;
  Order o{{std::string("ptf/") + kStdUefi}};
  o.requisites = false;
  EXPECT_EQ(updateIds(order(without, o)), (Ids{kStdUefi}));
}

TEST_F(OrderTest, SupersedesAddTheNewerUpdateOnlyWhenIncluded) {
  Order o{{std::string("ptf/") + kStdBmcOld}};
  qyxl::UpdateOrderContext plain;
  EXPECT_EQ(updateIds(order(plain, o)), (Ids{kStdBmcOld}));

  o.supersedes = true;
  o.select = 2;
  qyxl::UpdateOrderContext newest;
  EXPECT_EQ(updateIds(order(newest, o)), (Ids{kStdBmcOld, kStdBmcNew}));
}

TEST_F(OrderTest, SelectTwoKeepsOnlyTheHeadOfASupersedeChain) {
  auto& v3 = repo.addUpdate("qor_fw_chain_3_anyos_noarch", {"7101"}, {kPlatformNone}, 100);
  v3.supersedes = {"qor_fw_chain_2_anyos_noarch"};
  auto& v2 = repo.addUpdate("qor_fw_chain_2_anyos_noarch", {"7101"}, {kPlatformNone}, 100);
  v2.supersedes = {"qor_fw_chain_1_anyos_noarch"};
  repo.addUpdate("qor_fw_chain_1_anyos_noarch", {"7101"}, {kPlatformNone}, 100);
  repo.publish();

  Order o{{"ptf/qor_fw_chain_1_anyos_noarch"}};
  o.supersedes = true;
  o.select = 2;
  qyxl::UpdateOrderContext head;
  EXPECT_EQ(updateIds(order(head, o)), (Ids{"qor_fw_chain_1_anyos_noarch", "qor_fw_chain_3_anyos_noarch"}));
  o.select = 1;
  qyxl::UpdateOrderContext chain;
  EXPECT_EQ(updateIds(order(chain, o)).size(), 3u);

  // "all" gives only the head of the chain.
  qyxl::UpdateOrderContext latest;
  auto ids = updateIds(order(latest, {{"all"}, "qor/korvex/7101", {kPlatformNone}}));
  EXPECT_TRUE(ids.count("qor_fw_chain_3_anyos_noarch"));
  EXPECT_FALSE(ids.count("qor_fw_chain_2_anyos_noarch"));
}

TEST_F(OrderTest, RemovedUpdateIsAnsweredByTheOneThatSupersedesIt) {
  auto& kyt = repo.addTool("qor_utl_kyt_962cp_anyos_i386", ".zip", 100);
  kyt.supersedes = {"qor_utl_kyt_960cp_anyos_i386"};
  repo.publish();
  qyxl::UpdateOrderContext ctx;
  EXPECT_EQ(updateIds(order(ctx, {{"ptf/qor_utl_kyt_960cp_anyos_i386"}})), (Ids{"qor_utl_kyt_962cp_anyos_i386"}));
}

TEST_F(OrderTest, UnknownIdsFailOnlyWhenNothingOfTheOrderIsKnown) {
  qyxl::UpdateOrderContext ctx;
  try {
    order(ctx, {{"ptf/qor_fw_nothing_1.0_anyos_noarch", "ptf/qor_fw_nothing_2.0"}});
    FAIL() << "an order of unknown ids must throw";
  } catch (const qyxl::QYXException& e) {
    EXPECT_NE(std::string(e.what()).find(qyxl::QYXMessage::getString("Upd.UpdateNotFound")), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("qor_fw_nothing_1.0_anyos_noarch"), std::string::npos);
    EXPECT_EQ(e.getIdAsInt(), qyxl::QYXMessage::UpdUpdateNotFound);
  }
  qyxl::UpdateOrderContext mixed;
  EXPECT_EQ(updateIds(order(mixed, {{"ptf/qor_fw_nothing", std::string("ptf/") + kStdKyt}})), (Ids{kStdKyt}));
}

TEST_F(OrderTest, KnownIdOfAnotherMachineTypeIsAnEmptyAnswer) {
  qyxl::UpdateOrderContext ctx;
  Order o{{std::string("ptf/") + kStdRaidFirmware}, "qor/korvex/7101"};
  EXPECT_TRUE(order(ctx, o).empty());
}

TEST_F(OrderTest, SubjectOutsideTheRepositoryRootIsRefused) {
  qyxl::UpdateOrderContext ctx;
  try {
    order(ctx, {{"all"}, "other/root/7101"});
    FAIL() << "a foreign subject must throw";
  } catch (const qyxl::QYXException& e) {
    EXPECT_NE(std::string(e.what()).find("Error preparing web service call"), std::string::npos);
  }
}

TEST_F(OrderTest, StringComparisonsAndNotEqualFilterOnUpdateAttributes) {
  qyxl::protocolUpdateOrderFilter__Filter f;
  f.kind = qyxl::protocolUpdateOrderFilter__Filter::String;
  f.string = {0, "kind", "tool"};
  qyxl::UpdateOrderContext tools;
  Order o{{kStdKyt, kStdBmcNew}};
  o.requisites = false;
  o.apply(tools);
  tools.setInclusionFilters(f);
  tools.orderUpdates();
  EXPECT_EQ(updateIds(tools.getUpdatePackages()), (Ids{kStdKyt}));

  qyxl::protocolUpdateOrderFilter__Filter notSles;
  notSles.platform = {1, kSles11x64};
  qyxl::UpdateOrderContext ctx;
  Order drivers{{kStdKyt, kStdNicDriver}};
  drivers.requisites = false;
  drivers.apply(ctx);
  ctx.setInclusionFilters(notSles);
  ctx.orderUpdates();
  EXPECT_EQ(updateIds(ctx.getUpdatePackages()), (Ids{kStdKyt}));
}

// ---- where the repository is ------------------------------------------------

void expectConnectivityError(const std::function<void()>& call) {
  try {
    call();
    FAIL() << "expected a connectivity error";
  } catch (const qyxl::QYXException& e) {
    EXPECT_NE(std::string(e.what()).find("Error preparing connectivity path"), std::string::npos) << e.what();
  }
}

TEST_F(OrderTest, UnusableLocationsFailWithTheConnectivityText) {
  Order o{{"all"}};
  useLocation("ftp://example.invalid/repo/");
  expectConnectivityError([&] {
    qyxl::UpdateOrderContext ctx;
    order(ctx, o);
  });
  useLocation("file://" + repoDir.path() + "/no-such-folder/");
  expectConnectivityError([&] {
    qyxl::UpdateOrderContext ctx;
    order(ctx, o);
  });
  std::filesystem::remove(dataDir / "qyxConnect.properties");
  expectConnectivityError([&] {
    qyxl::UpdateOrderContext ctx;
    order(ctx, o);
  });
}

TEST_F(OrderTest, LocationMayNameTheCatalogFileItself) {
  std::filesystem::rename(repo.catalogPath(), repoDir / "qyx_sp.xml");
  std::filesystem::rename(repo.catalogPath() + ".sig", repoDir / "qyx_sp.xml.sig");
  useLocation(repo.fileUrl() + "qyx_sp.xml");
  qyxl::UpdateOrderContext ctx;
  auto packages = order(ctx, {{kStdKyt}});
  ASSERT_FALSE(packages.empty());
  packages.front()->setDownloadPathname(downloads.path());
  packages.front()->download(ctx);  // files are found beside the named catalog
  EXPECT_TRUE(exists(downloads / packages.front()->getDownloadFilename()));
}

TEST_F(OrderTest, DamagedCatalogFailsWithTheWebServiceText) {
  writeFile(repo.catalogPath(), "<repository><update id=\"x\"");
  xelotest::signCatalog(repo.catalogPath());
  qyxl::UpdateOrderContext ctx;
  try {
    order(ctx, {{"all"}});
    FAIL() << "a damaged catalog must throw";
  } catch (const qyxl::QYXException& e) {
    EXPECT_NE(std::string(e.what()).find("Error preparing web service call"), std::string::npos);
  }
}

}  // namespace
