// The acquisition library's pure rules: names, sizes, checksums, thread
// count, fix ids, order contents and the package rules.
#include "rules.h"

#include <gtest/gtest.h>

namespace QYXAcquistion::detail {
namespace {

TEST(OsTypeString, NamesFollowTypeAndArchitecture) {
  struct Case {
    int os, arch;
    const char* name;
  };
  const Case cases[] = {
      {0, 7, "NONE"},
      {302, 9, "VMware"},
      {2, 0, "AIX ppc"},
      {106, 5, "Windows 2000"},
      {107, 2, "Windows 2003 x64"},
      {108, 5, ""},
      {109, 5, ""},
      {203, 5, "RHEL 5 ppc"},
      {202, 5, ""},
      {206, 5, "SLES 10 ppc"},
      {207, 2, "SLES 11 x64"},
      {209, 1, "RHEL 7"},
      {209, 3, ""},
      {204, 1, ""},
      {304, 1, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(osTypeString(c.os, c.arch), c.name) << c.os << "," << c.arch;
}

TEST(KbRule, EveryNonEmptyFileCountsAtLeastOneKb) {
  EXPECT_EQ(kbFromBytes(-5), 0);
  EXPECT_EQ(kbFromBytes(0), 0);
  EXPECT_EQ(kbFromBytes(1), 1);
  EXPECT_EQ(kbFromBytes(1023), 1);
  EXPECT_EQ(kbFromBytes(1024), 1);
  EXPECT_EQ(kbFromBytes(2047), 1);
  EXPECT_EQ(kbFromBytes(2048), 2);
  // Sizes that do not fit 32 bits saturate instead of wrapping negative.
  EXPECT_EQ(kbFromBytes(1LL << 50), INT32_MAX);
  EXPECT_EQ(addKb(INT32_MAX, 5), INT32_MAX);
  EXPECT_EQ(addKb(3, 4), 7);
}

TEST(Checksum, PackageHashesInLowerCaseHex) {
  const std::vector<unsigned char> bytes = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(hashText(&bytes), "000fa0ff");
  EXPECT_EQ(hashText(nullptr), "");
}

TEST(ThreadCount, OnlyOneToTwentyIsTaken) {
  EXPECT_EQ(threadCountFrom(nullptr), 10);
  for (const char* v : {"0", "-3", "abc", "21", "", "100000000000"}) EXPECT_EQ(threadCountFrom(v), 10) << v;
  EXPECT_EQ(threadCountFrom("1"), 1);
  EXPECT_EQ(threadCountFrom("20"), 20);
  EXPECT_EQ(threadCountFrom("7"), 7);
  EXPECT_EQ(threadCountFrom(" 3"), 3);  // converted as the C runtime does
}

TEST(FixIds, MissingPrefixIsAddedOnce) {
  std::vector<std::string> ids = {"qor_fw_bmc_1.40", "ptf/qor_fw_uefi_2.10", "PTF/x", ""};
  normaliseFixIds(ids);
  EXPECT_EQ(ids, (std::vector<std::string>{"ptf/qor_fw_bmc_1.40", "ptf/qor_fw_uefi_2.10", "ptf/PTF/x", "ptf/"}));
  normaliseFixIds(ids);
  EXPECT_EQ(ids[0], "ptf/qor_fw_bmc_1.40");
}

TEST(Order, SubjectNamesTheMachineType) {
  EXPECT_EQ(subjectName("9753", false), "qor/korvex/9753");
  EXPECT_EQ(subjectName("all", false), "qor/korvex");
  EXPECT_EQ(subjectName("9753", true), "qor/korvex");
}

TEST(Order, InclusionPlatformsFollowTheOperatingSystem) {
  const std::vector<std::string> windows = {"Windows 2000", "Windows 2003", "Windows 2003 x64", "Windows 2008",
                                            "Windows 2008 x64"};
  EXPECT_EQ(inclusionPlatforms("Windows 2003 x64", 2, false, false), windows);
  EXPECT_EQ(inclusionPlatforms("Windows 2000", 1, true, false), windows);
  EXPECT_EQ(inclusionPlatforms("SLES 11 ppc", 5, false, false),
            (std::vector<std::string>{"SLES 11 ppc", "RHEL 5 ppc"}));
  EXPECT_EQ(inclusionPlatforms("SLES 11 x64", 2, false, false), std::vector<std::string>{"SLES 11 x64"});
  EXPECT_EQ(inclusionPlatforms("RHEL 6 x64", 2, true, false), (std::vector<std::string>{"RHEL 6 x64", "NONE"}));
  EXPECT_TRUE(inclusionPlatforms("NONE", 0, false, true).empty());
  EXPECT_TRUE(inclusionPlatforms("NONE", 0, true, true).empty());
}

TEST(PackageRules, MachineTypeOnlyRulesDoNotApplyToFixIds) {
  PackageRules rules;
  EXPECT_EQ(applyPackageRules(rules, "qor_utl_vcu_1.0.zip", "qor_utl_vcu_1.0"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(rules, "a.bin", "qor_fw_cmk_1.2"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(rules, "a.bin", "qor_fw_mqrtz_3.0"), RuleVerdict::Drop);
  // The id tests look at the id, the name test at the name.
  EXPECT_EQ(applyPackageRules(rules, "qor_fw_cmk_1.2.bin", "other"), RuleVerdict::Keep);
  rules.machineTypeMode = false;
  EXPECT_EQ(applyPackageRules(rules, "qor_utl_vcu_1.0.zip", "qor_utl_vcu_1.0"), RuleVerdict::Keep);
  EXPECT_EQ(applyPackageRules(rules, "a.bin", "qor_fw_cmk_1.2"), RuleVerdict::Keep);
}

TEST(PackageRules, MlnxPackagesAreAlwaysDroppedAndLogged) {
  PackageRules rules;
  for (bool machineTypeMode : {true, false}) {
    rules.machineTypeMode = machineTypeMode;
    EXPECT_EQ(applyPackageRules(rules, "qor_fw_MLNX_cx3.bin", "id"), RuleVerdict::DropAndLog);
    EXPECT_EQ(applyPackageRules(rules, "qor_fw_mlnx_cx3.bin", "id"), RuleVerdict::DropAndLog);
    EXPECT_EQ(applyPackageRules(rules, "qor_fw_Mlnx_cx3.bin", "id"), RuleVerdict::Keep);  // case-exact
  }
  // A package that an earlier rule drops is not logged.
  rules.machineTypeMode = true;
  EXPECT_EQ(applyPackageRules(rules, "qor_fw_MLNX.bin", "mqrtz"), RuleVerdict::Drop);
}

TEST(PackageRules, FirmwareSwitchesApplyOneAfterAnother) {
  PackageRules include;
  include.includeFirmwareOnly = true;
  EXPECT_EQ(applyPackageRules(include, "qor_dd_nic.bin", "i"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(include, "qor_fw_bmc.bin", "i"), RuleVerdict::Keep);
  EXPECT_EQ(applyPackageRules(include, "x.sles10.bin", "i"), RuleVerdict::Drop);

  PackageRules exclude;
  exclude.excludeFirmwareOnly = true;
  EXPECT_EQ(applyPackageRules(exclude, "qor_fw_bmc.bin", "i"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(exclude, "qor_dd_nic.bin", "i"), RuleVerdict::Keep);
  EXPECT_EQ(applyPackageRules(exclude, "qor_utl_novpi_9.63.bin", "i"), RuleVerdict::Drop);

  PackageRules both;
  both.includeFirmwareAndDriver = true;
  EXPECT_EQ(applyPackageRules(both, "qor_fw_bmc.bin", "i"), RuleVerdict::Keep);
  EXPECT_EQ(applyPackageRules(both, "qor_dd_nic.bin", "i"), RuleVerdict::Keep);
  EXPECT_EQ(applyPackageRules(both, "qor_svc_dsa.bin", "i"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(both, "qor_vzad_1.bin", "i"), RuleVerdict::Drop);

  // Include and exclude together leave neither firmware nor drivers.
  include.excludeFirmwareOnly = true;
  EXPECT_EQ(applyPackageRules(include, "qor_fw_bmc.bin", "i"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(include, "qor_dd_nic.bin", "i"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(include, "readme.txt", "i"), RuleVerdict::Keep);
}

TEST(PackageRules, SupersedeOnlyDropsTheUpdatesInsideTheFirstFixId) {
  PackageRules rules;
  rules.machineTypeMode = false;
  rules.includeSupersedeOnly = true;
  rules.firstFixId = "ptf/qor_fw_bmc_1.30_anyos_noarch";
  EXPECT_EQ(applyPackageRules(rules, "a.bin", "qor_fw_bmc_1.30_anyos_noarch"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(rules, "a.bin", "qor_fw_bmc_1.40_anyos_noarch"), RuleVerdict::Keep);
  rules.includeSupersedeOnly = false;
  EXPECT_EQ(applyPackageRules(rules, "a.bin", "qor_fw_bmc_1.30_anyos_noarch"), RuleVerdict::Keep);
  rules.includeSupersedeOnly = true;
  rules.firstFixId.clear();  // no fix ids: nothing to compare with
  EXPECT_EQ(applyPackageRules(rules, "a.bin", "qor_fw_bmc_1.30_anyos_noarch"), RuleVerdict::Keep);
}

TEST(PackageRules, ToolPassesDropTheOldUpdatePackages) {
  PackageRules rules;
  rules.updateType = 1;
  EXPECT_EQ(applyPackageRules(rules, "qor_utl_vzad_2.00_anyos.zip", "i"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(rules, "qor_utl_vzad_2.00_anyos.xml", "i"), RuleVerdict::Keep);
  EXPECT_EQ(applyPackageRules(rules, "qor_utl_vzad_2.01_anyos.xml", "i"), RuleVerdict::Drop);
  EXPECT_EQ(applyPackageRules(rules, "qor_utl_vzad_2.02_anyos.zip", "i"), RuleVerdict::Keep);
  rules.updateType = 0;
  EXPECT_EQ(applyPackageRules(rules, "qor_utl_vzad_2.01_anyos.xml", "i"), RuleVerdict::Keep);
}

TEST(ClientErrors, ClassifiedAndRetriedByMessageId) {
  using qyxl::QYXMessage;
  struct Case {
    QYXMessage::Id id;
    bool withUpdateNotFound;
    AcquireResult code;
    bool retried;  // a failed download with this id is tried again on fewer threads
  };
  const Case cases[] = {
      {QYXMessage::Unknown, true, ACQUIRE_FAILED, false},
      {QYXMessage::CreateDirFailed, true, ACQUIRE_CREATE_DIR_FAILED, false},
      {QYXMessage::CreateDirFailed, false, ACQUIRE_CREATE_DIR_FAILED, false},
      {QYXMessage::UpdUpdateNotFound, true, ACQUIRE_NO_UPDATES, false},
      // A failed download in fix-id mode is not an unknown update.
      {QYXMessage::UpdUpdateNotFound, false, ACQUIRE_FAILED, false},
      {QYXMessage::ConnectivityPath, true, ACQUIRE_SERVICE_UNREACHABLE, false},
      {QYXMessage::WebServiceCall, false, ACQUIRE_SERVICE_UNREACHABLE, false},
      {QYXMessage::CmnDownloadFileError, true, ACQUIRE_DOWNLOAD_FILE_ERROR, true},
      {QYXMessage::CmnDownloadFileError, false, ACQUIRE_DOWNLOAD_FILE_ERROR, true},
      {QYXMessage::CmnDownloadTimeout, true, ACQUIRE_FAILED, true},
      {static_cast<QYXMessage::Id>(99), true, ACQUIRE_FAILED, false},  // an id this build does not know
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "id " << c.id << (c.withUpdateNotFound ? ", ordering" : ", downloading"));
    EXPECT_EQ(classifyClientError(c.id, c.withUpdateNotFound), c.code);
    EXPECT_EQ(isRetryableDownloadError(c.id), c.retried);
  }
}

}  // namespace
}  // namespace QYXAcquistion::detail
