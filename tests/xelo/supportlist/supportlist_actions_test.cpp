#include "supportlist/supportlist_actions.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/errors.h"
#include "host/host.h"
#include "supportlist/supportlist.h"
#include "test_support.h"

namespace XELO {
namespace {

namespace fs = std::filesystem;
using xelotest::ConsoleScope;
using xelotest::readFile;
using xelotest::writeFile;

// Runs in a private "program directory" holding a shipped list.
class SupportListActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(supportListDirectory());
    writeFile(program / kSupportListName,
              "<?xml version=\"1.0\" ?>\n<root>\n"
              "<system><xname>Tolvane Rack R210 Long Name</xname><machineType>7101</machineType><kyt>yes</kyt>"
              "<novpi>no</novpi><dunvar>yes</dunvar></system>\n"
              "<system><xname>B</xname><machineType>7102</machineType><kyt>no</kyt><novpi>yes</novpi>"
              "<dunvar>no</dunvar></system>\n</root>");
  }
  xelotest::TempDir program;
  xelotest::ScopedCwd cwd{program.path()};
  Options options;
};

TEST_F(SupportListActionsTest, ShowCopiesTheShippedListFirstAndWidensColumns) {
  ConsoleScope console;
  EXPECT_TRUE(showSupportList(options));
  EXPECT_EQ(console.output(),
            std::string("localFile not existed, rollback first\n") +
            "Family Name" + std::string(16, ' ') + "|Machine Type|Diagnostics|Updates|Deployment\n" +
            "Tolvane Rack R210 Long Name|7101        |yes        |no     |yes\n" +
            "B" + std::string(26, ' ') + "|7102        |no         |yes    |no\n");
  EXPECT_EQ(readFile(workingSupportListPath()), readFile(program / kSupportListName));
  EXPECT_NE(readFile(supportListResultPath()).find("<result>SUCCESS</result>"), std::string::npos);
}

TEST_F(SupportListActionsTest, ActionsReportTheirResult) {
  {
    ConsoleScope console;
    EXPECT_EQ(runSupportListAction(options, SupportListAction::RollbackAndShow, ""), 0);
    EXPECT_EQ(console.output().rfind("Rolling back system support list now, please wait...\n"
                                     "System support list rolled back successfully\nFamily Name",
                                     0),
              0u);
    EXPECT_NE(readFile(cliResultPath()).find("<MESSAGE>System support list rolled back successfully\n"
                                             "System support list displayed on console successfully</MESSAGE>"),
              std::string::npos);
  }
  ConsoleScope console;
  EXPECT_EQ(runSupportListAction(options, SupportListAction::UpdateAndRollback, "exclusive"), 101);
  EXPECT_EQ(runSupportListAction(options, SupportListAction::None, "Unknown Operation: No operation on system support list performed."), 110);
  EXPECT_NE(readFile(cliResultPath()).find("<CODE>110</CODE>"), std::string::npos);
  fs::remove(program / kSupportListName);
  EXPECT_EQ(runSupportListAction(options, SupportListAction::Rollback, ""), 110);
  EXPECT_NE(console.output().find("System support list rollback failed\n"), std::string::npos);
  EXPECT_NE(readFile(supportListResultPath()).find("<result>FAIL</result>"), std::string::npos);
}

TEST_F(SupportListActionsTest, SelectedSystemsAreCheckedPerTool) {
  ASSERT_TRUE(rollbackSupportList(options));
  EXPECT_TRUE(toolSupportsSelection("novpi", {"7101", "7102"}));
  EXPECT_FALSE(toolSupportsSelection("novpi", {"7101"}));
  EXPECT_TRUE(toolSupportsSelection("novpi", {"9999"}));  // not named: not refused

  auto [code, message] = checkSelectedSystems({"novpi", "kyt", "dunvar"}, {"7102"});
  EXPECT_EQ(code, 101);
  EXPECT_EQ(message,
            "None of the systems selected is supported by the following tools:\nkyt\ndunvar\n"
            "You can update the system support list using --update-supportlist");
  EXPECT_EQ(checkSelectedSystems({"novpi"}, {"7101", "all"}).first, 0);
  EXPECT_EQ(checkSelectedSystems({"novpi"}, {}).first, 0);
  EXPECT_EQ(checkSelectedSystems({"kyt"}, {"7101"}).first, 0);
}

TEST(SupportListText, ElementTextFamilyNamesAndToolKeys) {
  EXPECT_EQ(setXmlElementText("<kyt>no</kyt><novpi>no</novpi>", "novpi", "yes"), "<kyt>no</kyt><novpi>yes</novpi>");
  EXPECT_EQ(setXmlElementText("<kyt>no</kyt>", "novpi", "yes"), "<kyt>no</kyt>");
  EXPECT_EQ(mergeFamilyName("Alpha / Beta", "Alpha"), "Alpha / Beta");
  EXPECT_EQ(mergeFamilyName("Alpha / Beta", "Delta"), "Alpha / Beta / Delta");
  EXPECT_EQ(mergeFamilyName("Alpha", " Beta /Alpha"), "Alpha / Beta");
  EXPECT_EQ(toolKeyForPackage("qor_utl_kyt_970cp_anyos_i386"), "kyt");
  EXPECT_EQ(toolKeyForPackage("qor_utl_novpi_9.63_anyos_x86-64"), "novpi");
  EXPECT_EQ(toolKeyForPackage("qor_utl_dnxelo_9.70_windows_32-64"), "dunvar");
  EXPECT_EQ(toolKeyForPackage("qor_fw_esxi_4.1_xelo_32-64"), "vmwareupdate4.1");
  EXPECT_EQ(toolKeyForPackage("esxi"), "vmwareupdate");
  EXPECT_EQ(toolKeyForPackage("qor_fw_imm_1.0"), "");
}

}  // namespace
}  // namespace XELO
