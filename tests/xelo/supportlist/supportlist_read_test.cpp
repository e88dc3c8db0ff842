#include <gtest/gtest.h>

#include "core/options.h"
#include "host/host.h"
#include "supportlist/supportlist.h"
#include "test_support.h"

namespace XELO {
namespace {

class SupportListReadTest : public ::testing::Test {
 protected:
  void SetUp() override { makeDirectory(supportListDirectory()); }
  void TearDown() override { deleteFile(workingSupportListPath()); }
  void writeList(const std::string& systems) {
    xelotest::writeFile(workingSupportListPath(), "<?xml version=\"1.0\" ?>\n<root>\n" + systems + "</root>");
  }
};

TEST_F(SupportListReadTest, ToolColumnMapsMachineTypesToTheirFlagKeepingTheFirst) {
  writeList(
      "<system><xname>A</xname><machineType>7101</machineType><kyt>yes</kyt><novpi>no</novpi></system>\n"
      "<system><xname>B</xname><machineType>7102</machineType><kyt>no</kyt><novpi>yes</novpi></system>\n"
      "<system><xname>A2</xname><machineType>7101</machineType><kyt>no</kyt><novpi>yes</novpi></system>\n");
  auto kyt = readToolColumn("kyt");
  ASSERT_EQ(kyt.size(), 2u);
  EXPECT_EQ(kyt["7101"], "yes");
  EXPECT_EQ(kyt["7102"], "no");
  EXPECT_TRUE(readToolColumn("dunvar").empty());
}

TEST_F(SupportListReadTest, VmwareVersionsAreReadFromOpeningTagsOnly) {
  writeList(
      "<system><machineType>7101</machineType><vmwareupdate4.1>yes</vmwareupdate4.1>"
      "<vmwareupdate5.0>no</vmwareupdate5.0></system>\n"
      "<system><machineType>7102</machineType><vmwareupdate5.0>yes</vmwareupdate5.0></system>\n"
      "<vmwareupdate6.0>yes</vmwareupdate6.0>\n");  // not a system line
  EXPECT_EQ(listVmwareUpdateVersions(), (std::vector<std::string>{"4.1", "5.0", "5.0"}));
  EXPECT_EQ(readToolColumn("vmwareupdate5.0")["7102"], "yes");
  EXPECT_EQ(readToolColumn("vmwareupdate5.0")["7101"], "no");
}

TEST_F(SupportListReadTest, WithoutAWorkingListTheShippedListIsRead) {
  deleteFile(workingSupportListPath());
  xelotest::TempDir program;
  xelotest::ScopedCwd cwd(program.path());
  EXPECT_TRUE(readToolColumn("kyt").empty());
  EXPECT_TRUE(listVmwareUpdateVersions().empty());

  xelotest::writeFile(program / "SYSTEM_SUPPORT_LIST_9.64.xml",
                      "<system><machineType>7101</machineType><kyt>yes</kyt>"
                      "<vmwareupdate5.0>yes</vmwareupdate5.0></system>\n");
  EXPECT_EQ(readToolColumn("kyt")["7101"], "yes");
  EXPECT_EQ(supportedMachineTypes("kyt"), std::vector<std::string>{"7101"});
  EXPECT_EQ(listVmwareUpdateVersions(), std::vector<std::string>{"5.0"});
}

TEST_F(SupportListReadTest, ShippedListIsWellFormedForEveryReader) {
  ASSERT_TRUE(copyFileOver(std::string(XELO_PROGRAM_DIR) + "/SYSTEM_SUPPORT_LIST_9.64.xml",
                           workingSupportListPath()) == 0);
  for (const char* tool : {"kyt", "novpi", "dunvar"}) {
    auto column = readToolColumn(tool);
    EXPECT_EQ(column.size(), 12u) << tool;
    for (const auto& [type, flag] : column) {
      EXPECT_EQ(type.size(), 4u);
      EXPECT_TRUE(flag == "yes" || flag == "no") << tool << " " << type << " " << flag;
    }
  }
}

}  // namespace
}  // namespace XELO
