// The support-list options, run through the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "repo_fixtures.h"
#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using xelotest::ProgramSandbox;
using xelotest::readFile;

constexpr const char* kNovpiList = "qor_utl_novpi_9.63_anyos_x86-64";
constexpr const char* kKytList = "qor_utl_kyt_961cp_anyos_x86-64";
constexpr const char* kDunvarList = "qor_utl_dnxelo_9.63_windows_32-64";

// A repository with the tools' own lists, served to a sandboxed program that
// already has a working list.
class WorkingSupportList : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(box.run("xelo", {"--rollback-supportlist"}).status, 0);
    before = readFile(working);
  }
  void serve() { served.serve(box.programDir()); }

  ProgramSandbox box;
  const std::string working = box.supportDir() + "/Xelo/SYSTEM_SUPPORT_LIST_9.64.xml";
  std::string before;
  xelotest::ServedRepository served;
  xelotest::TestRepository& repo = served.repo;
};

TEST_F(WorkingSupportList, RepositoryFileNamedLikeTheWorkingListNeverTakesItsPlace) {
  repo.setFamilyName("7101", "Tolvane Rack R210");
  xelotest::RepoUpdate& novpi = repo.addTool(kNovpiList, ".bin");
  novpi.readmeName = "SYSTEM_SUPPORT_LIST_9.64.xml";  // a readme carrying the working list's name
  repo.addTool(kDunvarList, ".zip");                  // and no diagnostics list: the update fails
  serve();

  auto r = box.run("xelo", {"--update-supportlist"});
  EXPECT_EQ(r.status, 110) << r.output;
  EXPECT_THAT(r.output, HasSubstr("System support list update failed"));
  EXPECT_THAT(r.output, Not(HasSubstr("There is a warning")));  // downloaded files are no warnings
  EXPECT_EQ(readFile(working), before);
  // The tool lists have a folder of their own, emptied by the next action.
  EXPECT_THAT(readFile(box.supportDir() + "/Xelo/toollists/SYSTEM_SUPPORT_LIST_9.64.xml"), HasSubstr("Readme of"));
  ASSERT_EQ(box.run("xelo", {"--show-supportlist"}).status, 0);
  EXPECT_FALSE(xelotest::exists(box.supportDir() + "/Xelo/toollists"));
}

TEST_F(WorkingSupportList, ListsThatCannotAllBeReadLeaveTheWorkingListAsItWas) {
  repo.addTool(kNovpiList, ".bin");  // added before any family: a list without machine types
  repo.setFamilyName("7101", "Tolvane Rack R210");
  repo.setFamilyName("9001", "Tolvane Micro M1");
  repo.addTool(kDunvarList, ".zip");
  repo.addTool(kKytList, ".zip");
  serve();

  auto r = box.run("xelo", {"--update-supportlist", "--xml"});
  EXPECT_EQ(r.status, 110) << r.output;
  EXPECT_THAT(r.output, HasSubstr("System support list update failed"));
  EXPECT_EQ(readFile(working), before);
  EXPECT_THAT(readFile(box.supportDir() + "/Xelo/supportlist_ac_result.xml"), HasSubstr("<result>FAIL</result>"));
}

TEST(SupportListCheck, WithoutAWorkingListTheSelectionIsNotRefused) {
  ProgramSandbox box;
  // 7846 is marked without updates in the list shipped beside the program;
  // no working list is installed, so nothing refuses it. The run goes on to
  // the repository, which is not there.
  xelotest::writeConnectProperties(box.programDir(), "http://127.0.0.1:9/");
  auto r = box.run("xelo", {"--local=" + box.scratch() + "/w", "-m", "7846", "--function=novpi"});
  EXPECT_THAT(r.output, Not(HasSubstr("None of the systems selected is supported")));
  EXPECT_NE(r.status, 101) << r.output;
  EXPECT_FALSE(xelotest::exists(box.supportDir() + "/Xelo/SYSTEM_SUPPORT_LIST_9.64.xml"));
}

TEST(SupportListRun, ShowRollbackAndRefusal) {
  ProgramSandbox box;
  const std::string working = box.supportDir() + "/Xelo/SYSTEM_SUPPORT_LIST_9.64.xml";

  auto show = box.run("xelo", {"--show-supportlist"});
  EXPECT_EQ(show.status, 0);
  EXPECT_THAT(show.output, HasSubstr("localFile not existed, rollback first\n"));
  EXPECT_THAT(show.output, HasSubstr("|Machine Type|Diagnostics|Updates|Deployment\n"));
  EXPECT_THAT(show.output, HasSubstr("|7101        |yes        |yes    |yes\n"));
  EXPECT_EQ(readFile(working), readFile(box.programDir() + "/SYSTEM_SUPPORT_LIST_9.64.xml"));
  EXPECT_THAT(readFile(box.supportDir() + "/xelo_cli.xml"),
              HasSubstr("<MESSAGE>System support list displayed on console successfully</MESSAGE>"));
  const std::string log = readFile(box.supportDir() + "/" + box.logFiles().at(0));
  EXPECT_THAT(log, HasSubstr("Update System List - START"));
  EXPECT_THAT(log, HasSubstr("Update System List - END"));

  xelotest::writeFile(working, "damaged");
  auto rollback = box.run("xelo", {"--rollback-supportlist"});
  EXPECT_EQ(rollback.status, 0);
  EXPECT_THAT(rollback.output, HasSubstr("System support list rolled back successfully"));
  EXPECT_EQ(readFile(working), readFile(box.programDir() + "/SYSTEM_SUPPORT_LIST_9.64.xml"));

  auto both = box.run("xelo", {"--update-supportlist", "--rollback-supportlist"});
  EXPECT_EQ(both.status, 101);
  EXPECT_THAT(both.output,
              HasSubstr("\"update-supportlist\" and \"rollback-supportlist\" should be specified exclusively."));
}

}  // namespace
