#include "acquisition/orchestration.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/options.h"
#include "host/host.h"
#include "metadata/descriptors.h"
#include "test_support.h"

namespace XELO {
namespace {

using xelotest::readFile;
using xelotest::writeFile;

class OrchestrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options.workingDir = work.path();
    makeDirectory(supportDirectory());
    deleteFile(reportFilePath());
  }
  void TearDown() override { deleteFile(reportFilePath()); }
  xelotest::TempDir work;
  Options options;
};

TEST_F(OrchestrationTest, ToolsLandInTheirOwnFolders) {
  EXPECT_EQ(packageDownloadPath(kNovpiPackage, options.workingDir), work / "novpi");
  EXPECT_EQ(packageDownloadPath(kNovpiWindowsPackage, options.workingDir), work / "novpi");
  EXPECT_EQ(packageDownloadPath(kKytPackage, options.workingDir), work / "kyt");
  EXPECT_EQ(packageDownloadPath(kDunvarPackage, options.workingDir), work / "dunvar");
  EXPECT_EQ(packageDownloadPath("qor_utl_boot_tools-141_anyos_x86-64-mid", options.workingDir), work.path());
}

TEST_F(OrchestrationTest, EsxiIdsComeFromTheReportOfEsxiUpdatesOnly) {
  writeFile(reportFilePath(),
            "\r\nReporting acquisition status of updates for Machine-Type=all Done\r\n"
            "qor_fw_esxi_5.0_xelo_32-64 - Remotely available\r\n"
            "qor_fw_bmc_1.40_anyos_noarch - Locally available\r\n"
            "qor_fw_esxi_4.1_u1_xelo_32-64 - Locally available\r\n"
            " - Remotely available esxi\r\n");
  EXPECT_EQ(getEsxiFixIds(options),
            (std::vector<std::string>{"qor_fw_esxi_4.1_u1_xelo_32-64", "qor_fw_esxi_5.0_xelo_32-64"}));
}

TEST_F(OrchestrationTest, RequisitesOfTheDescriptorsWithoutPacks) {
  const auto requisite = [](const char* kind, const char* id) {
    return std::string("<PROPERTY.ARRAY NAME=\"") + kind + "\" TYPE=\"string\">\n<VALUE.ARRAY>\n<VALUE>" + id +
           "</VALUE>\n</VALUE.ARRAY>\n</PROPERTY.ARRAY>\n";
  };
  writeFile(work / "a.xml",
            "<CIM>\n" + requisite("preReq", "qor_fw_bmc_1.40") + requisite("coReq", "qor_fw_nic_2") + "</CIM>\n");
  writeFile(work / "b.xml", "<CIM>\n" + requisite("preReq", "qor_fw_bmc_1.40") + "</CIM>\n");
  writeFile(work / "qor_utl_novp_7101.xml", "<CIM>\n" + requisite("preReq", "qor_fw_pack_only") + "</CIM>\n");
  EXPECT_EQ(requisiteIds(options.workingDir, {"a.xml", "b.xml", "qor_utl_novp_7101.xml", "missing.xml"}),
            (std::set<std::string>{"qor_fw_bmc_1.40", "qor_fw_nic_2"}));
}

TEST_F(OrchestrationTest, LocalReportFileForTheFrontEnd) {
  DescriptorIndex& index = descriptorIndex();
  index.clear();
  index.idsByMachineType.emplace("7101", "qor_fw_bmc_1.40");
  index.idsByMachineType.emplace("7101", "qor_fw_uefi_2.10");
  writeLocalReportXml({"7101", "7102"});
  EXPECT_EQ(readFile(supportDirectory() + "/xelo_local_report.xml"),
            "<LOCAL_REPORT>\n\t<CONTENT>\n\t\t<MT>7101</MT>\n\t\t<TOTAL>2</TOTAL>"
            "\n\t\t<PACKAGE>\n\t\t\t<UPDATEID>qor_fw_bmc_1.40</UPDATEID>\n\t\t\t<STATUS>Locally "
            "available</STATUS>\n\t\t</PACKAGE>"
            "\n\t\t<PACKAGE>\n\t\t\t<UPDATEID>qor_fw_uefi_2.10</UPDATEID>\n\t\t\t<STATUS>Locally "
            "available</STATUS>\n\t\t</PACKAGE>"
            "\n\t</CONTENT>\n\t<CONTENT>\n\t\t<MT>7102</MT>\n\t\t<TOTAL>0</TOTAL>\n\t</CONTENT>\n</LOCAL_REPORT>");
  index.clear();
}

}  // namespace
}  // namespace XELO
